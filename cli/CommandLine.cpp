#include "CommandLine.h"

#include "Output.h"
#include "PortNumbers.h"

#include <QStringList>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <stdexcept>

namespace cli {

namespace {

// A command line the program will not run; what() says why in one line.
class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Longer than any line runs unattended; keeps the milliseconds in an int.
constexpr int LongestWaitSeconds = 1000000;

std::optional<int> parseDecimal(std::string_view text, int lowest, int highest)
{
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        }))
        return std::nullopt;
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < lowest ||
        value > highest)
        return std::nullopt;
    return value;
}

std::optional<Command> parseCommand(std::string_view name)
{
    if (name == "ports")
        return Command::Ports;
    if (name == "detect")
        return Command::Detect;
    if (name == "read")
        return Command::Read;
    if (name == "write")
        return Command::Write;
    if (name == "map")
        return Command::Map;
    return std::nullopt;
}

// "SECONDS" or "SECONDS.FRACTION", in milliseconds.
std::optional<int> parseSeconds(std::string_view text)
{
    const std::size_t point = text.find('.');
    const auto whole = parseDecimal(text.substr(0, point), 0, LongestWaitSeconds);
    if (!whole)
        return std::nullopt;
    int ms = *whole * 1000;
    if (point != std::string_view::npos) {
        const std::string_view fraction = text.substr(point + 1);
        if (fraction.empty() || !parseDecimal(fraction, 0, std::numeric_limits<int>::max()))
            return std::nullopt;
        int scale = 100;
        for (std::size_t i = 0; i < fraction.size() && scale > 0; ++i, scale /= 10)
            ms += (fraction[i] - '0') * scale;
    }
    return ms;
}

// A word that a user meant as a number of seconds, valid or not ("1e3",
// ".5", "1000001"), rather than the next argument.
bool LooksLikeSeconds(std::string_view word)
{
    const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    if (word.empty())
        return false;
    if (word.front() == '.' || word.front() == '+')
        return word.size() > 1 && digit(word[1]);
    return digit(word.front());
}

// Which options each subcommand takes beside --json.
bool takesOption(Command command, std::string_view option)
{
    if (option == "--parallel" || option == "--all" || option == "--wait" ||
        option == "--fixed-waits")
        return command != Command::Ports && command != Command::Map;
    if (option == "--by-path" || option == "--by-id")
        return command == Command::Map;
    if (option == "--each")
        return command == Command::Write;
    if (option == "--port" || option == "--generation")
        return command == Command::Read || command == Command::Write;
    if (option == "--ports")
        return command != Command::Map;
    if (option == "--channel" || option == "--again")
        return command == Command::Write;
    if (option == "--log")
        return command != Command::Ports && command != Command::Map;
    return option == "--json";
}

} // namespace

std::optional<ComPort> parsePortName(std::string_view name)
{
    if (name.size() < 4)
        return std::nullopt;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i])
            return std::nullopt;
    }
    const std::string_view digits = name.substr(3);
    if (digits.front() == '0')
        return std::nullopt;
    const auto number = parseDecimal(digits, 1, HighestOpenedPort);
    if (!number)
        return std::nullopt;
    return ComPort{*number};
}

std::optional<QList<int>> parsePortList(std::string_view list, bool* reversed)
{
    QList<int> ports;
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string_view item = list.substr(start, comma - start);
        start = comma + 1;
        const std::size_t dash = item.find('-');
        const auto first = parsePortName(item.substr(0, dash));
        if (!first)
            return std::nullopt;
        std::optional<ComPort> last = first;
        if (dash != std::string_view::npos) {
            // "COM5-COM12", or "COM5-12" as people write it too.
            const std::string_view end = item.substr(dash + 1);
            last = parsePortName(end);
            if (!last)
                last = parsePortName("COM" + std::string(end));
            if (!last)
                return std::nullopt;
            if (last->index() < first->index()) {
                if (reversed)
                    *reversed = true;
                return std::nullopt;
            }
        }
        for (int index = first->index(); index <= last->index(); ++index) {
            if (!ports.contains(index))
                ports.append(index);
        }
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

QString portListText(const QList<int>& portIndices)
{
    QStringList parts;
    for (qsizetype first = 0; first < portIndices.size();) {
        qsizetype last = first;
        while (last + 1 < portIndices.size() && portIndices[last + 1] == portIndices[last] + 1)
            ++last;
        QString part = ComPort::fromIndex(portIndices[first]).name();
        if (last > first)
            part += QLatin1Char('-') + ComPort::fromIndex(portIndices[last]).name();
        parts.append(part);
        first = last + 1;
    }
    return parts.join(QStringLiteral(", "));
}

std::optional<int> parseChannel(std::string_view text)
{
    return parseDecimal(text, LowestChannel, HighestChannel);
}

namespace {

// --wait, with the limit it may take from the next word.
void takeWait(Settings& settings, const std::vector<std::string>& arguments, std::size_t& next,
              std::optional<std::string> value)
{
    settings.wait = true;
    // The limit is optional: a following word meant as a number is taken as
    // it, and refused when it is none the option takes.
    if (!value && next + 1 < arguments.size() && LooksLikeSeconds(arguments[next + 1]))
        value = arguments[++next];
    if (!value)
        return;
    settings.waitLimitMs = parseSeconds(*value);
    if (!settings.waitLimitMs)
        throw UsageError("--wait takes a number of seconds from 0 to " +
                         std::to_string(LongestWaitSeconds) + ", with decimals if need be, not '" +
                         *value + "'");
}

void takeSwitch(Settings& settings, const std::string& option)
{
    if (option == "--json")
        settings.json = true;
    else if (option == "--parallel")
        settings.parallel = true;
    else if (option == "--all")
        settings.all = true;
    else if (option == "--each")
        settings.each = true;
    else if (option == "--by-id")
        settings.mapById = true;
    else if (option == "--by-path")
        settings.mapById = false;
    else if (option == "--again")
        settings.again = true;
    else
        settings.fixedWaits = true;
}

void takeValue(Settings& settings, const std::string& option, const std::string& value)
{
    if (option == "--ports") {
        bool reversed = false;
        settings.onlyPorts = parsePortList(value, &reversed);
        if (reversed)
            throw UsageError("--ports: a range runs from the lower port to the higher, as in "
                             "COM5-COM12, not '" +
                             value + "'");
        if (!settings.onlyPorts)
            throw UsageError("--ports takes ports COM1 to COM" + std::to_string(HighestOpenedPort) +
                             " and ranges of them separated by commas, as COM5-COM12,COM14, "
                             "not '" +
                             value + "'");
    } else if (option == "--log") {
        if (value.empty())
            throw UsageError("--log takes the name of a file");
        settings.logPath = value;
    } else if (option == "--port") {
        settings.port = parsePortName(value);
        if (!settings.port)
            throw UsageError("--port takes a port name COM1 to COM" +
                             std::to_string(HighestOpenedPort) + ", not '" + value + "'");
    } else if (option == "--channel") {
        settings.channel = parseChannel(value);
        if (!settings.channel)
            throw UsageError("--channel takes a whole number from 1 to 83, not '" + value + "'");
    } else if (value == "v4" || value == "v5") {
        settings.generation = value == "v4" ? ModuleProtocol::V4 : ModuleProtocol::V5;
    } else {
        throw UsageError("--generation takes v4 or v5, not '" + value + "'");
    }
}

// One option of `command` at arguments[next], and its value; moves `next`
// past what it took.
void takeOption(Settings& settings, Command command, const std::vector<std::string>& arguments,
                std::size_t& next, std::vector<std::string>& given)
{
    std::string option = arguments[next];
    // "--name value" and "--name=value" alike.
    std::optional<std::string> value;
    if (const std::size_t equals = option.find('='); equals != std::string::npos) {
        value = option.substr(equals + 1);
        option.resize(equals);
    }
    if (!takesOption(command, option))
        throw UsageError("unknown option '" + option + "' for " + arguments[0]);
    // A second value would silently replace the first.
    if (std::find(given.begin(), given.end(), option) != given.end())
        throw UsageError(option + " is given twice");
    given.push_back(option);
    if (option == "--wait")
        return takeWait(settings, arguments, next, value);
    if (option != "--port" && option != "--ports" && option != "--channel" &&
        option != "--generation" && option != "--log") {
        if (value)
            throw UsageError(option + " takes no value");
        return takeSwitch(settings, option);
    }
    if (!value) {
        if (++next >= arguments.size())
            throw UsageError(option + " needs a value");
        value = arguments[next];
    }
    takeValue(settings, option, *value);
}

// The options that the command needs, or that cannot go together.
void checkCombination(const Settings& settings, const std::vector<std::string>& given)
{
    if (settings.command == Command::Map && settings.mapDirectory.empty())
        throw UsageError("map needs a directory: melvix-module map DIR");
    const auto wasGiven = [&given](std::string_view option) {
        return std::find(given.begin(), given.end(), option) != given.end();
    };
    if (wasGiven("--by-path") && wasGiven("--by-id"))
        throw UsageError("--by-path and --by-id exclude each other");
    if (settings.command == Command::Write && !settings.channel)
        throw UsageError("write needs --channel N");
    if (settings.all && settings.port)
        throw UsageError("--all and --port exclude each other");
    if (settings.onlyPorts && settings.port)
        throw UsageError("--port names the one port to use and --ports the ports to search: use "
                         "one of them");
    if (settings.parallel && settings.port)
        throw UsageError("--parallel probes every port to find the module, and --port names it: "
                         "use one of them");
    if (settings.each && (settings.all || settings.wait))
        throw UsageError("--each waits for module after module; it takes neither --all nor --wait");
    if (settings.each && settings.parallel)
        throw UsageError("--each probes every port at once already; it takes no --parallel");
    if (settings.again && !settings.logPath)
        throw UsageError("--again writes a module that the --log FILE calls programmed already; "
                         "it needs --log");
}

Settings parse(const std::vector<std::string>& arguments)
{
    Settings settings;
    std::optional<Command> command;
    std::vector<std::string> given;
    for (std::size_t next = 0; next < arguments.size(); ++next) {
        const std::string& word = arguments[next];
        if (word == "--help" || word == "-h") {
            settings.helpWanted = true;
            return settings;
        }
        if (word == "--version") {
            settings.versionWanted = true;
            return settings;
        }
        if (word.starts_with("-")) {
            if (!command)
                throw UsageError("a command comes first: ports, detect, read, write or map");
            takeOption(settings, *command, arguments, next, given);
            continue;
        }
        if (command == Command::Map && settings.mapDirectory.empty() && !word.empty()) {
            settings.mapDirectory = word;
            continue;
        }
        if (command)
            throw UsageError("unexpected argument '" + word + "'");
        command = parseCommand(word);
        if (!command)
            throw UsageError("unknown command '" + word + "'");
    }
    if (!command)
        throw UsageError("a command is needed: ports, detect, read, write or map");
    settings.command = *command;
    checkCombination(settings, given);
    return settings;
}

} // namespace

Result<Settings> parseCommandLine(const std::vector<std::string>& arguments)
{
    try {
        return parse(arguments);
    } catch (const UsageError& error) {
        return Failure{QStringLiteral("read the command line"), 0,
                       QString::fromStdString(error.what())};
    }
}

std::string_view helpText()
{
    return R"(Usage: melvix-module COMMAND [options]

Finds, reads and programs a Melvix radio module on a serial port, as the
melvix-programmer window does, from the command line.

Commands:
  ports                 list COM1 to COM21 and every higher port of the port
                        map, the device behind each and whether it can be
                        opened; sends nothing
  detect                find the module on COM1 to COM21 and print its port,
                        channel and address
  read                  read the module's channel and address
  write --channel N     write channel N (1 to 83) with the module's own
                        address, once two readings in a row agree on it,
                        then read it back
  map DIR               make the port map directory DIR (or renew the comN
                        links of the one there): COM1 to COM4 stay the
                        built-in serial ports, the USB serial devices get
                        COM5 up by socket (or by serial number with --by-id),
                        each linked to its /dev/serial name; prints the
                        table. Use it with MELVIX_PORT_DIR=DIR. Linux only

Options:
  --port COMn           read or write on this port, COM1 to COM31, instead
                        of detecting
  --ports LIST          use only these ports, for every command: detection,
                        --all, --each and --wait open no other port and send
                        it nothing, and report none of the others. LIST is
                        port names and ranges, any case, separated by commas:
                        COM5-COM12,COM14 (COM1 to COM31); not with --port
  --parallel            detect by probing every port at once; not with --port
                        or --each
  --all                 every module on COM1 to COM31, probed, read or
                        written together: one line (or JSON object) each,
                        then a summary on stderr
  --wait [SECONDS]      when no module is found, wait for a port to appear or
                        change and try again, for at most SECONDS (0 to
                        1000000, decimals allowed; default: no limit); uses
                        no CPU while it waits. With --all, once modules have
                        come, it waits 0.5 s more for those plugged in with
                        them, and again while more come
  --each                write only: program module after module as each is
                        plugged in, once each, one line per module, until
                        Ctrl+C, SIGTERM or SIGHUP
  --generation v4|v5    the module generation for read and write (default v5)
  --fixed-waits         wait the full 50 ms after every read command, as the
                        window does, instead of ending the wait on the reply
                        (either way a wait goes on while a reply arrives)
  --by-path             map: number the adapters by the USB socket they are
                        plugged into, socket 2 before socket 10 (default)
  --by-id               map: number the adapters by their serial numbers
  --log FILE            detect, read and write: keep a production record in
                        FILE, a line per module: "started" on disk before its
                        write command goes out, "result" after the read-back,
                        "read" for a module only read; JSON Lines, or CSV when
                        FILE ends in .csv; appended under a lock and synced.
                        A record that cannot be written stops with status 74.
                        A module FILE calls verified with the channel asked
                        is only checked: "already programmed at TIME" (status
                        0, counted apart)
  --again               write with --log: write such modules again too
  --json                one JSON object on stdout (see the manual page); one
                        JSON array with --all, JSON Lines with --each
  --help, -h            show this text
  --version             show the version

Each option is given at most once.

Ports: detection tries COM1 to COM21, as the window does; --all and --each
try COM1 to COM31, and --port takes any of them; a port above COM31 cannot
be used. --ports replaces those ranges with its list.

On a terminal, without --json, --all and --each keep a table in place below
their lines: a row per port (waiting, reading, writing with the module's
pause counted down, programmed with the channel, or failed and why), the
counts of modules programmed and failed and the rate per hour. It stays on
the screen when the run ends; a pipe or a file gets the lines alone.

Modules with one address held at the same time are each flagged: "address
WDUP is also on COM6", and sameAddressAs in JSON. They are not written: with
--all they count as not written (exit 3), with --each as failed.

Exit status: 0 done, 1 module not found or not answering, 2 the read-back
differs from the channel or the address written, 3 nothing written (the
module's answers disagree, or its address cannot be sent back unchanged),
64 usage error, 74 output error (stdout or the --log FILE). map: 1 when no
map was made (DIR holds anything but comN links, no USB serial device could
be mapped, or Windows, which numbers COM ports itself). With --all: 1 when
any module stopped
answering, none was found or the port map holds ports above COM31, else 2
when any read-back differs, else 3 when any was not written. With --each: 0
when no module failed.

Production line: melvix-module write --channel 30 --each --json >> line.log
  melvix-module write --each --channel 42 --ports COM5-COM12 --log line1.jsonl
A fixture whose sockets keep their COM numbers:
  melvix-module map /etc/melvix/line1 --by-path
  MELVIX_PORT_DIR=/etc/melvix/line1 melvix-module write --each --channel 42
)";
}

} // namespace cli
