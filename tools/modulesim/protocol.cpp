#include "protocol.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

namespace modulesim {

namespace {

constexpr std::string_view v5Preamble = "KQZRTMNVP";
constexpr std::string_view v5ReadCommand = "KQZRTMNVPA12345";
constexpr std::string_view v4ReadCommand = "A1234567";
constexpr std::uint8_t writeMark = 'C';
constexpr std::uint8_t blockMark = 'a';
constexpr std::size_t blockLength = 16;
constexpr std::size_t v5CommandLength = 15;
constexpr std::size_t v4CommandLength = 8;

// A command form: its leading bytes are fixed, the rest up to `length` may
// be anything.
struct Form
{
    enum class Meaning
    {
        Read,
        Write,
        Foreign
    };
    Meaning meaning;
    std::string_view fixedPart;
    std::size_t length;
};

// A V4 module sees V5 commands too when the program probes for both
// generations. It passes over them whole: a V5 write carries a 'C' that
// would otherwise be taken for the start of a V4 write.
constexpr std::array v4Forms{
    Form{Form::Meaning::Read, v4ReadCommand, v4CommandLength},
    Form{Form::Meaning::Write, "C", v4CommandLength},
    Form{Form::Meaning::Foreign, v5Preamble, v5CommandLength},
};
constexpr std::array v5Forms{
    Form{Form::Meaning::Read, v5ReadCommand, v5CommandLength},
    Form{Form::Meaning::Write, "KQZRTMNVPC", v5CommandLength},
};

std::span<const Form> formsOf(Generation generation)
{
    if (generation == Generation::V4)
        return v4Forms;
    return v5Forms;
}

enum class Match
{
    None,
    Partial,
    Complete
};

Match match(std::span<const std::uint8_t> bytes, const Form& form)
{
    const std::size_t compared = std::min(bytes.size(), form.fixedPart.size());
    for (std::size_t i = 0; i < compared; ++i) {
        if (bytes[i] != static_cast<std::uint8_t>(form.fixedPart[i]))
            return Match::None;
    }
    return bytes.size() >= form.length ? Match::Complete : Match::Partial;
}

Bytes bytesOf(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

// The channel and address of a write sit right after its mark.
Command writeFrom(std::span<const std::uint8_t> command, std::size_t markAt)
{
    Command write{Command::Kind::Write, command[markAt + 1], {}};
    write.address.assign(command.begin() + markAt + 2, command.begin() + markAt + 6);
    return write;
}

} // namespace

Bytes readCommand(Generation generation)
{
    return bytesOf(generation == Generation::V5 ? v5ReadCommand : v4ReadCommand);
}

Bytes writeCommand(Generation generation, std::uint8_t channel, std::string_view address)
{
    Bytes command = generation == Generation::V5 ? bytesOf(v5Preamble) : Bytes{};
    command.push_back(writeMark);
    command.push_back(channel);
    command.insert(command.end(), address.begin(), address.end());
    command.resize(generation == Generation::V5 ? v5CommandLength : v4CommandLength, 0);
    return command;
}

Bytes radioDataBlock(std::uint8_t channel, std::string_view address)
{
    Bytes block{blockMark, channel};
    block.insert(block.end(), address.begin(), address.end());
    block.resize(blockLength, 0);
    return block;
}

Bytes readAnswer(Generation generation, Layout layout, std::uint8_t channel,
                 std::string_view address)
{
    Bytes answer = layout == Layout::Long ? readCommand(generation) : Bytes{};
    const Bytes block = radioDataBlock(channel, address);
    answer.insert(answer.end(), block.begin(), block.end());
    return answer;
}

std::vector<Bytes> splitIntoPieces(const Bytes& bytes, int pieces)
{
    const std::size_t wanted = static_cast<std::size_t>(std::max(pieces, 1));
    const std::size_t count = std::max<std::size_t>(1, std::min(wanted, bytes.size()));
    std::vector<Bytes> result;
    auto from = bytes.begin();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t size = bytes.size() / count + (i < bytes.size() % count ? 1 : 0);
        result.emplace_back(from, from + static_cast<std::ptrdiff_t>(size));
        from += static_cast<std::ptrdiff_t>(size);
    }
    return result;
}

std::vector<Command> takeCommands(Bytes& pending, Generation generation)
{
    std::vector<Command> commands;
    std::size_t start = 0;
    while (start < pending.size()) {
        const std::span<const std::uint8_t> rest(pending.data() + start, pending.size() - start);
        bool partial = false;
        std::optional<std::size_t> taken;
        for (const Form& form : formsOf(generation)) {
            const Match result = match(rest, form);
            if (result == Match::Partial)
                partial = true;
            if (result != Match::Complete)
                continue;
            if (form.meaning == Form::Meaning::Read)
                commands.push_back(Command{Command::Kind::Read, 0, {}});
            else if (form.meaning == Form::Meaning::Write)
                commands.push_back(writeFrom(rest, form.fixedPart.size() - 1));
            taken = form.length;
            break;
        }
        if (taken)
            start += *taken;
        else if (partial)
            break;
        else
            ++start;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(start));
    return commands;
}

} // namespace modulesim
