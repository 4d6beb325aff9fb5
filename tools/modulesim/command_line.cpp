#include "command_line.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <iostream>
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

double parseChance(const std::string& option, const std::string& text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || !(value >= 0 && value <= 1))
        throw UsageError(option + " takes a probability from 0 to 1, not '" + text + "'");
    return value;
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

// A word of an option that takes one of two, and the value it names.
template <typename Value> struct Word
{
    std::string_view text;
    Value value;
};

template <typename Value>
Value parseEither(const std::string& option, const std::string& text, Word<Value> first,
                  Word<Value> second)
{
    if (text == first.text)
        return first.value;
    if (text == second.text)
        return second.value;
    throw UsageError(option + " takes " + std::string(first.text) + " or " +
                     std::string(second.text) + ", not '" + text + "'");
}

Generation parseGeneration(const std::string& text)
{
    return parseEither<Generation>("--generation", text, {"v5", Generation::V5},
                                   {"v4", Generation::V4});
}

Layout parseLayout(const std::string& text)
{
    return parseEither<Layout>("--layout", text, {"short", Layout::Short}, {"long", Layout::Long});
}

// The options that take a value, and what each sets.
using Setter = void (*)(ProgramSettings& settings, const std::string& option,
                        const std::string& value);
const std::array<std::pair<std::string_view, Setter>, 18> valuedOptions{{
    {"--port-dir",
     [](ProgramSettings& s, const std::string&, const std::string& value) { s.portDir = value; }},
    {"--socket", [](ProgramSettings& s, const std::string&,
                    const std::string& value) { s.socketPath = value; }},
    {"--com", [](ProgramSettings& s, const std::string& option,
                 const std::string& value) { s.comNumber = parseInt(option, value, 1); }},
    {"--generation",
     [](ProgramSettings& s, const std::string&, const std::string& value) {
         s.options.generation = parseGeneration(value);
     }},
    {"--layout", [](ProgramSettings& s, const std::string&,
                    const std::string& value) { s.options.layout = parseLayout(value); }},
    {"--channel",
     [](ProgramSettings& s, const std::string& option, const std::string& value) {
         s.options.channel = static_cast<std::uint8_t>(parseNumber(option, value, 0, 255));
     }},
    {"--address", [](ProgramSettings& s, const std::string&,
                     const std::string& value) { s.options.address = value; }},
    {"--pieces", [](ProgramSettings& s, const std::string& option,
                    const std::string& value) { s.options.pieces = parseInt(option, value, 1); }},
    {"--piece-pause",
     [](ProgramSettings& s, const std::string& option, const std::string& value) {
         s.options.piecePause = std::chrono::milliseconds(parseInt(option, value, 0));
     }},
    {"--answer-from",
     [](ProgramSettings& s, const std::string& option, const std::string& value) {
         s.options.answerFrom = parseInt(option, value, 1);
     }},
    {"--vanish-after",
     [](ProgramSettings& s, const std::string& option, const std::string& value) {
         s.options.vanishAfter = std::chrono::milliseconds(parseInt(option, value, 0));
     }},
    {"--stray-value",
     [](ProgramSettings& s, const std::string& option, const std::string& value) {
         s.options.strayValue = static_cast<std::uint8_t>(parseNumber(option, value, 0, 255));
     }},
    {"--cut-to", [](ProgramSettings& s, const std::string& option,
                    const std::string& value) { s.options.cutTo = parseInt(option, value, 0); }},
    {"--cut-answer",
     [](ProgramSettings& s, const std::string& option, const std::string& value) {
         s.options.cutAnswer = parseInt(option, value, 1);
     }},
    {"--double-answer",
     [](ProgramSettings& s, const std::string& option, const std::string& value) {
         s.options.doubledAnswer = parseInt(option, value, 1);
     }},
    {"--drop-read",
     [](ProgramSettings& s, const std::string& option, const std::string& value) {
         s.options.droppedRead = parseInt(option, value, 1);
     }},
    {"--drop-chance",
     [](ProgramSettings& s, const std::string& option, const std::string& value) {
         s.options.dropChance = parseChance(option, value);
     }},
    {"--seed",
     [](ProgramSettings& s, const std::string& option, const std::string& value) {
         s.options.seed = static_cast<std::uint64_t>(
             parseNumber(option, value, 0, std::numeric_limits<long long>::max()));
     }},
}};

// The options that take no value, and what each sets.
using FlagSetter = void (*)(ProgramSettings& settings);
const std::array<std::pair<std::string_view, FlagSetter>, 5> flagOptions{{
    {"--stray-byte", [](ProgramSettings& s) { s.options.strayByte = true; }},
    {"--stray-first", [](ProgramSettings& s) { s.options.strayFirst = true; }},
    {"--silent", [](ProgramSettings& s) { s.options.silent = true; }},
    {"--ignore-writes", [](ProgramSettings& s) { s.options.ignoreWrites = true; }},
    {"--log-requests", [](ProgramSettings& s) { s.options.requestLog = &std::cout; }},
}};

} // namespace

ProgramSettings parseCommandLine(const std::vector<std::string>& arguments)
{
    ProgramSettings settings;
    ArgumentReader reader(arguments);
    while (!reader.done()) {
        const std::string option = reader.option();
        if (option == "--help" || option == "-h") {
            settings.helpWanted = true;
            return settings;
        }
        const auto flag = std::find_if(flagOptions.begin(), flagOptions.end(),
                                       [&](const auto& entry) { return entry.first == option; });
        if (flag != flagOptions.end()) {
            reader.noValue(option);
            flag->second(settings);
            continue;
        }
        const auto valued = std::find_if(valuedOptions.begin(), valuedOptions.end(),
                                         [&](const auto& entry) { return entry.first == option; });
        // Known first, so that a misspelt option is not taken for one
        // missing its value.
        if (valued == valuedOptions.end())
            throw UsageError("unknown option '" + option + "'");
        valued->second(settings, option, reader.value(option));
    }
    // --com takes nothing below 1, so 0 means it was not given.
    const bool mapped = !settings.portDir.empty() || settings.comNumber != 0;
    if (!settings.socketPath.empty() && mapped)
        throw UsageError("--socket takes no --port-dir or --com: the socket is the port");
    if (settings.socketPath.empty() && (settings.portDir.empty() || settings.comNumber == 0))
        throw UsageError("--port-dir and --com are required");
    try {
        checkOptions(settings.options);
    } catch (const std::invalid_argument& error) {
        throw UsageError(error.what());
    }
    return settings;
}

std::optional<std::string> comNumberWarning(int comNumber)
{
    if (comNumber <= highestScannedCom)
        return std::nullopt;
    return "warning: the programmer looks for a module on COM1 to COM" +
           std::to_string(highestScannedCom) + " only; it will not find COM" +
           std::to_string(comNumber);
}

std::string_view helpText()
{
    return R"(Usage: modulesim --port-dir DIR --com N [options]
       modulesim --socket PATH [options]

Acts as a radio module on a pseudo-terminal, so that the programmer can be
tried without hardware. The module's end is linked into the port map
directory DIR as comN; run the programmer with MELVIX_PORT_DIR=DIR. Runs
until interrupted (Ctrl+C, SIGTERM or SIGHUP), then removes the link. It
refuses to replace a link that still leads to a device, such as the link of
a simulator that is still running.

  --port-dir DIR        port map directory; created when missing (not its
                        parents) and removed again at the end
  --com N               the COM number to appear as (DIR/comN); the programmer
                        looks at COM1 to COM21 only
  --socket PATH         serve the Unix socket PATH instead (for example a
                        virtual machine's serial device, its far end given
                        as a QEMU socket character device); runs until
                        interrupted or the socket is closed
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
  --stray-byte          send a stray byte (0xFF unless --stray-value) before
                        each answer
  --stray-first         send a stray byte before the first answer only
  --stray-value V       the stray byte's value, 0-255 (default 255)
  --cut-to N            cut an answer short after N bytes; the rest of it is
                        never sent, later answers go whole
  --cut-answer K        the answer cut short, counted from 1 (default 1)
  --double-answer K     send answer K twice, back to back
  --drop-read K         lose the answer to read request K
  --drop-chance P       lose each answer with probability P (0 to 1); needs
                        --seed
  --seed S              start the sequence --drop-chance draws from, so that
                        a run can be replayed
  --answer-from K       leave read requests 1 to K-1 unanswered (default 1)
  --silent              never answer; requests are still counted
  --ignore-writes       take write commands without changing the channel or
                        the address
  --log-requests        print a line for each request as it arrives
  --vanish-after MS     close the module's end after MS milliseconds and remove
                        its link, as when an adapter is pulled out
  --help, -h            show this text

Options take their value as the next argument or after '=' (--com=3).
Answers are counted as they are sent, read requests as they arrive, both
from 1; the faults of the line apply to the radio data block and to the
echo of the long layout alike.
Exit status: 0 after an interrupt or a closed socket, 1 when the module
cannot be set up (the link cannot be made, another device has it, or the
socket cannot be reached),
2 for a bad command line.
)";
}

} // namespace modulesim
