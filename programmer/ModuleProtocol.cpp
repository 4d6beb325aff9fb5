#include "ModuleProtocol.h"

#include <algorithm>
#include <cstring>

namespace ModuleProtocol {
namespace {

constexpr std::int32_t AddressLength = 4;
// Replies shorter than this are never decoded.
constexpr std::int32_t ShortestReply = 16;

// The longer layouts echo the read command first: the marker follows as many
// bytes as that command has.
constexpr std::int32_t V5EchoedReply = 31;
constexpr std::int32_t V5LongestShortReply = 27;
constexpr std::int32_t V4EchoedReply = 17;

Bytes text(const char* characters)
{
    return Bytes(characters, characters + std::strlen(characters));
}

bool holdsRadioData(std::int32_t position, std::int32_t length)
{
    return position >= 0 && position + AddressLength < length;
}

std::optional<std::int32_t> v5Position(const std::uint8_t* bytes, std::int32_t length)
{
    if (length >= V5EchoedReply) {
        if (bytes[15] == DataMarker)
            return 16;
        if (const std::int32_t p = FindMarker(bytes, length, V5); p != 0)
            return p + 16;
        return std::nullopt;
    }
    if (length >= ShortestReply && length <= V5LongestShortReply) {
        if (bytes[0] == DataMarker)
            return 1;
        if (const std::int32_t p = FindMarker(bytes, length, V5); p != 0)
            return p - 1;
    }
    return std::nullopt;
}

std::optional<std::int32_t> v4Position(const std::uint8_t* bytes, std::int32_t length)
{
    if (length >= V4EchoedReply) {
        if (bytes[8] == DataMarker)
            return 9;
        if (FindMarker(bytes, length, V4) != 0)
            return 10;
        return std::nullopt;
    }
    if (length == ShortestReply) {
        if (bytes[0] == DataMarker)
            return 1;
        if (const std::int32_t p = FindMarker(bytes, length, V4); p != 0)
            return p - 1;
    }
    return std::nullopt;
}

} // namespace

Bytes ReadCommand(int generation)
{
    return generation == V4 ? text("A1234567") : text("KQZRTMNVPA12345");
}

Bytes WriteCommand(int generation, std::uint8_t channel, const std::string& address)
{
    Bytes command = generation == V4 ? Bytes{} : text(Preamble);
    command.push_back('C');
    command.push_back(channel);
    for (std::int32_t i = 0; i < AddressLength; ++i)
        command.push_back(i < static_cast<std::int32_t>(address.size())
                              ? static_cast<std::uint8_t>(address[i])
                              : 0);
    if (generation == V4)
        command.insert(command.end(), {0, 0});
    return command;
}

std::int32_t FindMarker(const std::uint8_t* bytes, std::int32_t length, int generation)
{
    if (length <= 6)
        return 0;
    const std::uint8_t marker = generation != V4 ? 'W' : length > 16 ? 'a' : 'A';
    const std::uint8_t* found = std::find(bytes, bytes + length, marker);
    return found == bytes + length ? 0 : static_cast<std::int32_t>(found - bytes);
}

std::optional<std::int32_t> DataPosition(const std::uint8_t* bytes, std::int32_t length,
                                         int generation)
{
    std::optional<std::int32_t> position;
    if (generation == V4)
        position = v4Position(bytes, length);
    else if (generation == V5)
        position = v5Position(bytes, length);
    if (!position || !holdsRadioData(*position, length))
        return std::nullopt;
    return position;
}

RadioData ExtractRadioData(const std::uint8_t* bytes, std::int32_t position)
{
    RadioData data{static_cast<std::int8_t>(bytes[position]), {}};
    for (std::int32_t i = 1; i <= AddressLength && bytes[position + i] != 0; ++i)
        data.address.push_back(static_cast<char>(bytes[position + i]));
    return data;
}

bool AddressAccepted(const std::string& address)
{
    return !address.empty() && address.front() == AddressInitial;
}

} // namespace ModuleProtocol
