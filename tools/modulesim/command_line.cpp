#include "command_line.h"

#include <charconv>
#include <limits>
#include <optional>
#include <utility>

namespace modulesim {

namespace {

long long parseNumber(const std::string& option, const std::string& text, long long lowest,
                      long long highest)
{
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < lowest ||
        value > highest)
        throw UsageError(option + " takes a whole number from " + std::to_string(lowest) + " to " +
                         std::to_string(highest) + ", not '" + text + "'");
    return value;
}

int parseInt(const std::string& option, const std::string& text, int lowest)
{
    return static_cast<int>(parseNumber(option, text, lowest, std::numeric_limits<int>::max()));
}

// Takes "--name value" and "--name=value" alike.
class ArgumentReader
{
public:
    explicit ArgumentReader(const std::vector<std::string>& arguments) : arguments_(arguments) {}

    bool done() const { return next_ >= arguments_.size(); }

    // The next option's name; its value, if written with '=', is kept for value().
    std::string option()
    {
        const std::string& argument = arguments_[next_++];
        const std::size_t equals = argument.find('=');
        if (argument.rfind("--", 0) != 0 || equals == std::string::npos) {
            inlineValue_.reset();
            return argument;
        }
        inlineValue_ = argument.substr(equals + 1);
        return argument.substr(0, equals);
    }

    std::string value(const std::string& option)
    {
        if (inlineValue_)
            return *std::exchange(inlineValue_, std::nullopt);
        if (done())
            throw UsageError(option + " needs a value");
        return arguments_[next_++];
    }

    // For an option without a value.
    void noValue(const std::string& option) const
    {
        if (inlineValue_)
            throw UsageError(option + " takes no value");
    }

private:
    const std::vector<std::string>& arguments_;
    std::size_t next_ = 0;
    std::optional<std::string> inlineValue_;
};

Generation parseGeneration(const std::string& text)
{
    if (text == "v5")
        return Generation::V5;
    if (text == "v4")
        return Generation::V4;
    throw UsageError("--generation takes v5 or v4, not '" + text + "'");
}

Layout parseLayout(const std::string& text)
{
    if (text == "short")
        return Layout::Short;
    if (text == "long")
        return Layout::Long;
    throw UsageError("--layout takes short or long, not '" + text + "'");
}

} // namespace

ProgramSettings parseCommandLine(const std::vector<std::string>& arguments)
{
    ProgramSettings settings;
    Options& options = settings.options;
    bool comGiven = false;
    ArgumentReader reader(arguments);
    while (!reader.done()) {
        const std::string option = reader.option();
        if (option == "--help" || option == "-h") {
            settings.helpWanted = true;
            return settings;
        }
        if (option == "--stray-byte") {
            reader.noValue(option);
            options.strayByte = true;
            continue;
        }
        if (option == "--silent") {
            reader.noValue(option);
            options.silent = true;
            continue;
        }
        if (option == "--ignore-writes") {
            reader.noValue(option);
            options.ignoreWrites = true;
            continue;
        }
        const std::string value = reader.value(option);
        if (option == "--port-dir") {
            settings.portDir = value;
        } else if (option == "--com") {
            settings.comNumber = parseInt(option, value, 1);
            comGiven = true;
        } else if (option == "--generation") {
            options.generation = parseGeneration(value);
        } else if (option == "--layout") {
            options.layout = parseLayout(value);
        } else if (option == "--channel") {
            options.channel = static_cast<std::uint8_t>(parseNumber(option, value, 0, 255));
        } else if (option == "--address") {
            options.address = value;
        } else if (option == "--pieces") {
            options.pieces = parseInt(option, value, 1);
        } else if (option == "--piece-pause") {
            options.piecePause = std::chrono::milliseconds(parseInt(option, value, 0));
        } else if (option == "--answer-from") {
            options.answerFrom = parseInt(option, value, 1);
        } else if (option == "--vanish-after") {
            options.vanishAfter = std::chrono::milliseconds(parseInt(option, value, 0));
        } else {
            throw UsageError("unknown option '" + option + "'");
        }
    }
    if (settings.portDir.empty() || !comGiven)
        throw UsageError("--port-dir and --com are required");
    try {
        checkOptions(options);
    } catch (const std::invalid_argument& error) {
        throw UsageError(error.what());
    }
    return settings;
}

std::string_view helpText()
{
    return R"(Usage: modulesim --port-dir DIR --com N [options]

Acts as a radio module on a pseudo-terminal, so that the programmer can be
tried without hardware. The module's end is linked into the port map
directory DIR as comN; run the programmer with MELVIX_PORT_DIR=DIR. Runs
until interrupted (Ctrl+C or SIGTERM), then removes the link.

  --port-dir DIR        port map directory; created when missing
  --com N               the COM number to appear as (DIR/comN)
  --generation v5|v4    module generation, i.e. which commands it understands
                        (default v5)
  --layout short|long   short: a read gets the 16-byte data block alone;
                        long: the read command is echoed before the block
                        (default short)
  --channel N           radio channel the module starts with, 0-255 (default 5)
  --address TEXT        the module's address, exactly 4 bytes (default WXYZ);
                        any bytes, e.g. QABC for an invalid address
  --pieces N            send each answer in N pieces (default 1)
  --piece-pause MS      pause between pieces in milliseconds (default 0)
  --stray-byte          send a stray 0xFF byte before each answer
  --answer-from K       leave read requests 1 to K-1 unanswered (default 1)
  --silent              never answer; requests are still counted
  --ignore-writes       take write commands without changing the channel or
                        the address
  --vanish-after MS     close the module's end after MS milliseconds, as when
                        an adapter is pulled out
  --help, -h            show this text

Options take their value as the next argument or after '=' (--com=3).
Exit status: 0 after an interrupt, 1 when the module cannot be set up,
2 for a bad command line.
)";
}

} // namespace modulesim
