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

bool parseNumber(std::string_view text, DWORD& value)
{
    if (!allDigits(text) || text.size() > 10)
        return false;
    std::uint64_t number = 0;
    for (const char c : text)
        number = number * 10 + static_cast<unsigned>(c - '0');
    if (number > MAXDWORD)
        return false;
    value = static_cast<DWORD>(number);
    return true;
}

bool parseBaudRate(std::string_view text, DWORD& rate)
{
    // MODE's two-digit short forms name the classic rates.
    static constexpr struct
    {
        std::string_view text;
        DWORD rate;
    } shortForms[] = {{"11", 110},  {"15", 150},  {"30", 300},  {"60", 600},  {"12", 1200},
                      {"24", 2400}, {"48", 4800}, {"96", 9600}, {"19", 19200}};
    for (const auto& form : shortForms) {
        if (text == form.text) {
            rate = form.rate;
            return true;
        }
    }
    // 0 is taken here; SetCommState refuses it.
    return parseNumber(text, rate);
}

bool parseParity(std::string_view text, BYTE& parity)
{
    if (text.size() != 1)
        return false;
    switch (std::tolower(static_cast<unsigned char>(text.front()))) {
    case 'n':
        parity = NOPARITY;
        return true;
    case 'o':
        parity = ODDPARITY;
        return true;
    case 'e':
        parity = EVENPARITY;
        return true;
    case 'm':
        parity = MARKPARITY;
        return true;
    case 's':
        parity = SPACEPARITY;
        return true;
    default:
        return false;
    }
}

bool parseDataBits(std::string_view text, BYTE& bits)
{
    if (text.size() != 1 || text.front() < '5' || text.front() > '8')
        return false;
    bits = static_cast<BYTE>(text.front() - '0');
    return true;
}

bool parseStopBits(std::string_view text, BYTE& stopBits)
{
    if (text == "1")
        stopBits = ONESTOPBIT;
    else if (text == "1.5")
        stopBits = ONE5STOPBITS;
    else if (text == "2")
        stopBits = TWOSTOPBITS;
    else
        return false;
    return true;
}

bool parseSwitch(std::string_view text, DWORD& on)
{
    if (text == "on")
        on = 1;
    else if (text == "off")
        on = 0;
    else
        return false;
    return true;
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
        bool ok = true;
        DWORD rate = 0;
        BYTE value = 0;
        switch (i) {
        case 0:
            ok = parseBaudRate(field, rate);
            dcb.BaudRate = rate;
            break;
        case 1:
            ok = parseParity(field, value);
            dcb.Parity = value;
            break;
        case 2:
            ok = parseDataBits(field, value);
            dcb.ByteSize = value;
            break;
        case 3:
            ok = parseStopBits(field, value);
            dcb.StopBits = value;
            break;
        default:
            if (field == "x" || field == "X") {
                dcb.fOutX = dcb.fInX = 1;
            } else if (field == "p" || field == "P") {
                dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = 1;
                dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
                dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            } else {
                ok = false;
            }
        }
        if (!ok)
            return false;
    }
    if (!stopNamed && dcb.BaudRate == 110)
        dcb.StopBits = TWOSTOPBITS;
    return true;
}

bool applyKey(std::string_view key, std::string_view value, DCB& dcb)
{
    DWORD number = 0;
    BYTE byte = 0;
    bool ok = false;
    if (key == "baud") {
        ok = parseBaudRate(value, number);
        dcb.BaudRate = number;
    } else if (key == "parity") {
        ok = parseParity(value, byte);
        dcb.Parity = byte;
    } else if (key == "data") {
        ok = parseDataBits(value, byte);
        dcb.ByteSize = byte;
    } else if (key == "stop") {
        ok = parseStopBits(value, byte);
        dcb.StopBits = byte;
    } else if (key == "xon") {
        ok = parseSwitch(value, number);
        dcb.fOutX = dcb.fInX = number;
    } else if (key == "octs") {
        ok = parseSwitch(value, number);
        dcb.fOutxCtsFlow = number;
    } else if (key == "odsr") {
        ok = parseSwitch(value, number);
        dcb.fOutxDsrFlow = number;
    } else if (key == "idsr") {
        ok = parseSwitch(value, number);
        dcb.fDsrSensitivity = number;
    } else if (key == "to") {
        ok = parseSwitch(value, number);
    } else if (key == "dtr") {
        ok = value != "tg" && (parseSwitch(value, number) || value == "hs");
        dcb.fDtrControl = value == "hs" ? DTR_CONTROL_HANDSHAKE : number;
    } else if (key == "rts") {
        ok = parseSwitch(value, number) || value == "hs" || value == "tg";
        dcb.fRtsControl = value == "hs"   ? RTS_CONTROL_HANDSHAKE
                          : value == "tg" ? RTS_CONTROL_TOGGLE
                                          : number;
    }
    return ok;
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
    DWORD number = 0;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
        ++end;
    if (!parseNumber(text.substr(3, end - 3), number) || number == 0)
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
