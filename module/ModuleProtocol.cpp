#include "ModuleProtocol.h"

#include <algorithm>
#include <cstring>

namespace ModuleProtocol {
namespace {

constexpr std::int32_t AddressLength = 4;
// Replies shorter than this are never decoded.
constexpr std::int32_t ShortestReply = 16;
// A marker search over this many bytes or fewer finds nothing.
constexpr std::int32_t LongestUnsearchedReply = 6;

constexpr char V5ReadText[] = "KQZRTMNVPA12345";
constexpr char V4ReadText[] = "A1234567";
constexpr std::int32_t V5ReadLength = sizeof V5ReadText - 1;
constexpr std::int32_t V4ReadLength = sizeof V4ReadText - 1;

// The longer layouts echo the read command first, so the marker stands right
// after the echo and the channel byte right after the marker.
constexpr std::int32_t V5EchoedMarker = V5ReadLength;
constexpr std::int32_t V5EchoedData = V5EchoedMarker + 1;
constexpr std::int32_t V4EchoedMarker = V4ReadLength;
constexpr std::int32_t V4EchoedData = V4EchoedMarker + 1;
// A V4 reply with the echo whose marker is elsewhere is read one byte further
// on, wherever the marker was found.
constexpr std::int32_t V4DisplacedData = V4EchoedData + 1;
// An echoed reply holds the echo and a whole short reply; a V4 reply longer
// than a short one counts as echoed.
constexpr std::int32_t V5EchoedReply = V5ReadLength + ShortestReply;
constexpr std::int32_t V4EchoedReply = ShortestReply + 1;
// Longer V5 replies that are still too short for the echo match no layout.
constexpr std::int32_t V5LongestShortReply = 27;
// A short reply starts with the marker and the channel byte follows it.
constexpr std::int32_t ShortData = 1;
// In a short reply found by a search the data is taken to start one byte
// before the byte found (for V5 that byte is the address initial).
constexpr std::int32_t FoundToData = 1;

Bytes text(const char* characters)
{
    return Bytes(characters, characters + std::strlen(characters));
}

bool holdsRadioData(std::int32_t position, std::int32_t length)
{
    return position >= 0 && position + AddressLength < length;
}

// Where the data of a short reply stands when the search found the first "W"
// at p. That W is taken as the address initial, with the channel byte before
// it. But a module may hold channel 87, which is "W" itself: the W found is
// then its channel byte, the marker stands right before it and the address
// initial right after it. Read as usual, such a reply would give channel 97
// (the marker) and an address shifted by one, which a later write would store
// in the module. So a W between the marker and another W is read as the
// channel; and when the byte before that marker is a marker too, both
// readings fit and the reply is not decoded at all, as a guess at an address
// must never be written back. No channel in 1..83 is "W" or "a", so replies
// of modules on those channels decode as they always did.
std::optional<std::int32_t> v5SearchedShortPosition(const std::uint8_t* bytes, std::int32_t length,
                                                    std::int32_t p)
{
    const bool channelMayBeW =
        bytes[p - 1] == DataMarker && p + 1 < length && bytes[p + 1] == AddressInitial;
    if (!channelMayBeW)
        return p - FoundToData;
    if (p >= 2 && bytes[p - 2] == DataMarker)
        return std::nullopt;
    return p;
}

// Where the data of a short reply that starts with the marker stands. A
// stray marker before the reply of a module on channel 87 ("W") makes it
// read as a module on channel 97 (the marker) whose address starts with
// "WW", shifted by one; when the line sends that stray byte before every
// answer, every reading agrees on the wrong address. Both readings fit such
// bytes, so they are not decoded at all.
std::optional<std::int32_t> v5MarkedShortPosition(const std::uint8_t* bytes)
{
    if (bytes[ShortData] == DataMarker && bytes[ShortData + 1] == AddressInitial &&
        bytes[ShortData + 2] == AddressInitial)
        return std::nullopt;
    return ShortData;
}

std::optional<std::int32_t> v5Position(const std::uint8_t* bytes, std::int32_t length)
{
    if (length >= V5EchoedReply) {
        if (bytes[V5EchoedMarker] == DataMarker)
            return V5EchoedData;
        if (const std::int32_t p = FindMarker(bytes, length, V5); p != 0)
            return p + V5EchoedData;
        return std::nullopt;
    }
    if (length >= ShortestReply && length <= V5LongestShortReply) {
        if (bytes[0] == DataMarker)
            return v5MarkedShortPosition(bytes);
        if (const std::int32_t p = FindMarker(bytes, length, V5); p != 0)
            return v5SearchedShortPosition(bytes, length, p);
    }
    return std::nullopt;
}

std::optional<std::int32_t> v4Position(const std::uint8_t* bytes, std::int32_t length)
{
    if (length >= V4EchoedReply) {
        if (bytes[V4EchoedMarker] == DataMarker)
            return V4EchoedData;
        if (FindMarker(bytes, length, V4) != 0)
            return V4DisplacedData;
        return std::nullopt;
    }
    if (length == ShortestReply) {
        if (bytes[0] == DataMarker)
            return ShortData;
        if (const std::int32_t p = FindMarker(bytes, length, V4); p != 0)
            return p - FoundToData;
    }
    return std::nullopt;
}

} // namespace

Bytes ReadCommand(int generation)
{
    return generation == V4 ? text(V4ReadText) : text(V5ReadText);
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
    if (length <= LongestUnsearchedReply)
        return 0;
    // V4 looks for the data marker in an echoed reply and for the upper-case
    // marker of its short reply otherwise.
    const std::uint8_t marker = generation != V4         ? AddressInitial
                                : length > ShortestReply ? DataMarker
                                                         : 'A';
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
