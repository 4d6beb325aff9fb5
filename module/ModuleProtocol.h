// The radio module's commands and the layouts of its replies, as pure
// functions over bytes: what the main window sends, and where in the bytes
// read in one event the channel and the address stand.
//
// The module generation is the item index of the window's "Module Version"
// group: 0 is V4, any other index V5.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ModuleProtocol {

using Bytes = std::vector<std::uint8_t>;

constexpr int V4 = 0;
constexpr int V5 = 1;

// Every V5 command starts with this preamble.
inline constexpr char Preamble[] = "KQZRTMNVP";

// The radio data block of a reply starts with this byte; the channel byte
// and the four address bytes follow it.
constexpr std::uint8_t DataMarker = 'a';
// The radio data block: the marker, the channel byte, the four address
// bytes and ten more.
constexpr std::int32_t DataBlockLength = 16;
// An address is accepted only when it starts with this character.
constexpr char AddressInitial = 'W';

Bytes ReadCommand(int generation);
// The address is taken as its first four bytes; a shorter one is padded with
// zero bytes. V4 sends zero in its last two bytes.
Bytes WriteCommand(int generation, std::uint8_t channel, const std::string& address);

// The position of the generation's marker byte in the bytes read, or 0 when
// there is none: a marker at byte 0 counts as none.
std::int32_t FindMarker(const std::uint8_t* bytes, std::int32_t length, int generation);

// The position of the channel byte in a reply of `length` bytes, when the
// bytes match one of the generation's layouts and the channel byte and the
// four address bytes all lie within them. Only V4 (0) and V5 (1) replies
// are decoded.
std::optional<std::int32_t> DataPosition(const std::uint8_t* bytes, std::int32_t length,
                                         int generation);

struct RadioData
{
    // The channel byte read as a signed 8-bit number.
    std::int8_t channel;
    // Up to four bytes, ending early at the first zero byte.
    std::string address;
};

// The radio data at `position`; the caller has made sure that the channel
// byte and the four address bytes lie within the bytes read.
RadioData ExtractRadioData(const std::uint8_t* bytes, std::int32_t position);

bool AddressAccepted(const std::string& address);

} // namespace ModuleProtocol
