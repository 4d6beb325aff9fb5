// The module's byte formats: the commands the program sends, the radio data
// block the module answers with, and picking commands out of a byte stream.
#pragma once

#include "options.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace modulesim {

using Bytes = std::vector<std::uint8_t>;

struct Command
{
    enum class Kind
    {
        Read,
        Write
    };
    Kind kind = Kind::Read;
    // What a write sets; unused for a read.
    std::uint8_t channel = 0;
    std::string address;
};

Bytes readCommand(Generation generation);
Bytes writeCommand(Generation generation, std::uint8_t channel, std::string_view address);
// `address` holds 4 bytes.
Bytes radioDataBlock(std::uint8_t channel, std::string_view address);
// Everything a module sends for one read request, in the given layout.
Bytes readAnswer(Generation generation, Layout layout, std::uint8_t channel,
                 std::string_view address);

// Cuts `bytes` into `pieces` runs in order, as even in size as possible. No run
// is empty, so fewer come back when there are fewer bytes than pieces.
std::vector<Bytes> splitIntoPieces(const Bytes& bytes, int pieces);

// Takes the commands of `generation` off the front of `pending`, in order, and
// drops the bytes that cannot start one. What is left is the start of a
// command still arriving.
std::vector<Command> takeCommands(Bytes& pending, Generation generation);

} // namespace modulesim
