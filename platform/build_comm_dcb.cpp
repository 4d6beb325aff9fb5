// BuildCommDCBA: line settings from a mode text, in either of the two forms
// that Windows' MODE command takes, optionally after a port name "COMn:":
// "115200,N,8,1[,x|p]" or "baud=115200 parity=N data=8 stop=1 [xon=on]
// [octs=on] [odsr=on] [idsr=on] [dtr=on|off|hs] [rts=on|off|hs|tg]
// [to=on|off]". As Windows does, it changes only what the text names, with
// these exceptions: the short form always sets the six flow-control fields
// (all off and both lines enabled, unless it ends in x or p); the key=value
// form without stop= sets one stop bit; 110 baud without a stop setting sets
// two. fParity (whether parity errors are checked) and fBinary are never
// touched: Windows leaves them as the caller had them, whatever parity the
// text names.
#include <windows.h>

#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

bool allDigits(std::string_view text)
{
    if (text.empty())
        return false;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

std::optional<DWORD> parseNumber(std::string_view text)
{
    if (!allDigits(text) || text.size() > 10)
        return std::nullopt;
    std::uint64_t number = 0;
    for (const char c : text)
        number = number * 10 + static_cast<unsigned>(c - '0');
    if (number > MAXDWORD)
        return std::nullopt;
    return static_cast<DWORD>(number);
}

std::optional<DWORD> parseBaudRate(std::string_view text)
{
    // MODE's two-digit short forms name the classic rates.
    static constexpr struct
    {
        std::string_view text;
        DWORD rate;
    } shortForms[] = {{"11", 110},  {"15", 150},  {"30", 300},  {"60", 600},  {"12", 1200},
                      {"24", 2400}, {"48", 4800}, {"96", 9600}, {"19", 19200}};
    for (const auto& form : shortForms) {
        if (text == form.text)
            return form.rate;
    }
    // 0 is taken here; SetCommState refuses it.
    return parseNumber(text);
}

std::optional<BYTE> parseParity(std::string_view text)
{
    if (text.size() != 1)
        return std::nullopt;
    switch (std::tolower(static_cast<unsigned char>(text.front()))) {
    case 'n':
        return NOPARITY;
    case 'o':
        return ODDPARITY;
    case 'e':
        return EVENPARITY;
    case 'm':
        return MARKPARITY;
    case 's':
        return SPACEPARITY;
    default:
        return std::nullopt;
    }
}

std::optional<BYTE> parseDataBits(std::string_view text)
{
    if (text.size() != 1 || text.front() < '5' || text.front() > '8')
        return std::nullopt;
    return static_cast<BYTE>(text.front() - '0');
}

std::optional<BYTE> parseStopBits(std::string_view text)
{
    if (text == "1")
        return ONESTOPBIT;
    if (text == "1.5")
        return ONE5STOPBITS;
    if (text == "2")
        return TWOSTOPBITS;
    return std::nullopt;
}

std::optional<DWORD> parseSwitch(std::string_view text)
{
    if (text == "on")
        return 1;
    if (text == "off")
        return 0;
    return std::nullopt;
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const auto end = text.find(separator);
        parts.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            return parts;
        text.remove_prefix(end + 1);
    }
}

// Puts a parsed value into its field; false when the text held none.
template <typename Value, typename Field>
bool store(const std::optional<Value>& value, Field& field)
{
    if (!value)
        return false;
    field = *value;
    return true;
}

// Sets what `key` names from `value`; false when either is not one that MODE
// takes. Both forms of mode text come here, the short form with the keys of
// its positions.
bool applyKey(std::string_view key, std::string_view value, DCB& dcb)
{
    if (key == "baud")
        return store(parseBaudRate(value), dcb.BaudRate);
    if (key == "parity")
        return store(parseParity(value), dcb.Parity);
    if (key == "data")
        return store(parseDataBits(value), dcb.ByteSize);
    if (key == "stop")
        return store(parseStopBits(value), dcb.StopBits);

    // The rest are switches; the control lines take words of their own
    // besides on and off.
    std::optional<DWORD> setting = parseSwitch(value);
    if (key == "dtr" && value == "hs")
        setting = DTR_CONTROL_HANDSHAKE;
    if (key == "rts" && value == "hs")
        setting = RTS_CONTROL_HANDSHAKE;
    if (key == "rts" && value == "tg")
        setting = RTS_CONTROL_TOGGLE;
    if (!setting)
        return false;
    if (key == "xon")
        dcb.fOutX = dcb.fInX = *setting;
    else if (key == "octs")
        dcb.fOutxCtsFlow = *setting;
    else if (key == "odsr")
        dcb.fOutxDsrFlow = *setting;
    else if (key == "idsr")
        dcb.fDsrSensitivity = *setting;
    else if (key == "dtr")
        dcb.fDtrControl = *setting;
    else if (key == "rts")
        dcb.fRtsControl = *setting;
    else if (key != "to")
        return false;
    return true;
}

// The short form's trailing x (XON/XOFF) or p (hardware handshake).
bool applyHandshake(std::string_view field, DCB& dcb)
{
    if (field == "x" || field == "X") {
        dcb.fOutX = dcb.fInX = 1;
        return true;
    }
    if (field == "p" || field == "P") {
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = 1;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        return true;
    }
    return false;
}

// What the short form's first four positions set, named as the keyed form
// names it.
constexpr std::string_view PositionalKeys[] = {"baud", "parity", "data", "stop"};

// "baud[,parity[,data[,stop[,x|p]]]]"; an empty field keeps its setting.
bool parsePositional(std::string_view text, DCB& dcb)
{
    const auto fields = split(text, ',');
    if (fields.size() > 5 || trimmed(fields[0]).empty())
        return false;
    dcb.fOutX = dcb.fInX = 0;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    const bool stopNamed = fields.size() > 3 && !trimmed(fields[3]).empty();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::string_view field = trimmed(fields[i]);
        if (field.empty())
            continue;
        const bool ok = i < std::size(PositionalKeys) ? applyKey(PositionalKeys[i], field, dcb)
                                                      : applyHandshake(field, dcb);
        if (!ok)
            return false;
    }
    if (!stopNamed && dcb.BaudRate == 110)
        dcb.StopBits = TWOSTOPBITS;
    return true;
}

// "key=value key=value ...", keys and values in any case.
bool parseKeyed(std::string_view text, DCB& dcb)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    dcb.StopBits = ONESTOPBIT;
    bool stopNamed = false;
    std::string_view rest = lower;
    while (!(rest = trimmed(rest)).empty()) {
        std::size_t end = 0;
        while (end < rest.size() && !std::isspace(static_cast<unsigned char>(rest[end])))
            ++end;
        const std::string_view pair = rest.substr(0, end);
        rest.remove_prefix(end);
        const auto equals = pair.find('=');
        if (equals == std::string_view::npos ||
            !applyKey(pair.substr(0, equals), pair.substr(equals + 1), dcb))
            return false;
        stopNamed = stopNamed || pair.substr(0, equals) == "stop";
    }
    if (!stopNamed && dcb.BaudRate == 110)
        dcb.StopBits = TWOSTOPBITS;
    return true;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// MODE accepts the port's name in front, "COM1: 9600,n,8,1", with blanks
// before the colon. COM0 names no port. Empty when the text is refused.
std::optional<std::string_view> withoutPortName(std::string_view text)
{
    const bool named = text.size() > 3 && (text[0] == 'c' || text[0] == 'C') &&
                       (text[1] == 'o' || text[1] == 'O') && (text[2] == 'm' || text[2] == 'M') &&
                       std::isdigit(static_cast<unsigned char>(text[3]));
    if (!named)
        return text;
    std::size_t end = 3;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
        ++end;
    const std::optional<DWORD> number = parseNumber(text.substr(3, end - 3));
    if (!number || *number == 0)
        return std::nullopt;
    std::size_t colon = end;
    while (colon < text.size() && isBlank(text[colon]))
        ++colon;
    if (colon < text.size() && text[colon] == ':')
        return text.substr(colon + 1);
    // Without a colon the name must stand apart from the settings.
    if (colon == end)
        return std::nullopt;
    return text.substr(colon);
}

} // namespace

BOOL BuildCommDCBA(LPCSTR definition, LPDCB dcb)
{
    if (!definition || !dcb) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string_view whole = definition;
    const auto settings =
        whole.empty() || isBlank(whole.front()) ? std::nullopt : withoutPortName(whole);
    DCB result = *dcb;
    const std::string_view text = settings ? trimmed(*settings) : std::string_view{};
    const bool ok =
        settings && (text.find('=') == std::string_view::npos ? parsePositional(text, result)
                                                              : parseKeyed(text, result));
    if (!ok) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *dcb = result;
    return TRUE;
}
