#include "ModuleProtocol.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

namespace {

using namespace ModuleProtocol;

// `length` filler bytes ('.') with `text` written from `at`.
Bytes reply(std::size_t length, std::size_t at = 0, const std::string& text = {})
{
    Bytes bytes(length, '.');
    for (std::size_t i = 0; i < text.size() && at + i < length; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(text[i]);
    return bytes;
}

std::string asText(const Bytes& bytes)
{
    return {bytes.begin(), bytes.end()};
}

TEST(ModuleCommands, HaveTheModulesBytes)
{
    EXPECT_EQ(asText(ReadCommand(V5)), "KQZRTMNVPA12345");
    EXPECT_EQ(asText(ReadCommand(V4)), "A1234567");
    EXPECT_EQ(asText(ReadCommand(7)), "KQZRTMNVPA12345") << "any index but 0 is V5";
    EXPECT_EQ(asText(WriteCommand(V5, 12, "WABC")), std::string("KQZRTMNVPC\x0C") + "WABC");
    EXPECT_EQ(WriteCommand(V4, 12, "WABC"), (Bytes{'C', 12, 'W', 'A', 'B', 'C', 0, 0}));
    // Address bytes go out as they are, high ones included.
    EXPECT_EQ(WriteCommand(V4, 83, "W\xE9\xFF!"), (Bytes{'C', 83, 'W', 0xE9, 0xFF, '!', 0, 0}));
    EXPECT_EQ(WriteCommand(V5, 1, "W").size(), 15u);
}

// A reply, a generation, and what a decoding function should find in the
// reply for that generation.
template <typename Found> struct ReplyCase
{
    const char* what;
    Bytes bytes;
    int generation;
    Found expected;
};

// Checks `decode` (FindMarker, DataPosition) on each case.
template <typename Found, std::size_t Count, typename Decode>
void expectEach(const ReplyCase<Found> (&cases)[Count], Decode decode)
{
    for (const auto& c : cases)
        EXPECT_EQ(decode(c.bytes.data(), static_cast<std::int32_t>(c.bytes.size()), c.generation),
                  c.expected)
            << c.what;
}

TEST(ModuleReplies, FindMarkerLooksForTheGenerationsMarkerAfterByteZero)
{
    const ReplyCase<std::int32_t> cases[] = {
        {"six bytes are too few", reply(6, 3, "W"), V5, 0},
        {"V5 looks for W", reply(20, 5, "aW"), V5, 6},
        {"the first W counts", reply(20, 3, "WW"), V5, 3},
        {"W at byte 0 counts as none", reply(20, 0, "W"), V5, 0},
        {"V4 up to 16 bytes looks for A", reply(16, 4, "aA"), V4, 5},
        {"V4 beyond 16 bytes looks for a", reply(17, 4, "Aa"), V4, 5},
        {"none", reply(20), V5, 0},
    };
    expectEach(cases, FindMarker);
}

TEST(ModuleReplies, DataPositionFollowsEveryLayoutRow)
{
    const ReplyCase<std::optional<std::int32_t>> cases[] = {
        // V5, echoed layout: 31 bytes or more.
        {"V5 31: marker at 15", reply(31, 15, "a*WXYZ"), V5, 16},
        {"V5 40: marker at 15", reply(40, 15, "a*WXYZ"), V5, 16},
        {"V5 31: else p + 16", reply(31, 2, "W"), V5, 18},
        {"V5 31: p + 16 runs past the end", reply(31, 12, "W"), V5, std::nullopt},
        {"V5 31: only W at byte 0", reply(31, 0, "W"), V5, std::nullopt},
        {"V5 31: nothing", reply(31), V5, std::nullopt},
        // V5, 28 to 30 bytes: no layout.
        {"V5 28", reply(28, 0, "a*WXYZ"), V5, std::nullopt},
        {"V5 30", reply(30, 15, "a*WXYZ"), V5, std::nullopt},
        // V5, short layout: 16 to 27 bytes.
        {"V5 16: marker first", reply(16, 0, "a*WXYZ"), V5, 1},
        {"V5 27: marker first", reply(27, 0, "a*WXYZ"), V5, 1},
        {"V5 20: stray byte first", reply(20, 1, "a*WXYZ"), V5, 2},
        {"V5 16: W at byte 1 gives 0", reply(16, 1, "W"), V5, 0},
        {"V5 16: p - 1 runs past the end", reply(16, 13, "W"), V5, std::nullopt},
        {"V5 16: nothing", reply(16), V5, std::nullopt},
        // Channel 87 is "W": the first W found may be the channel byte.
        {"V5 17: stray byte, channel W", reply(17, 1, "aWWXYZ"), V5, 2},
        {"V5 17: stray byte, channel 97", reply(17, 1, "aaWXYZ"), V5, 2},
        {"V5 17: stray byte, channel 97 before an address WW", reply(17, 1, "aaWWYZ"), V5,
         std::nullopt},
        {"V5 18: two stray bytes, channel W", reply(18, 2, "aWWXYZ"), V5, 3},
        {"V5 17: stray a, channel W", reply(17, 0, "aaWWXYZ"), V5, std::nullopt},
        {"V5 17: a W after the marker, then no W", reply(17, 3, "aWXYZ"), V5, 3},
        {"V5 15: too short", reply(15, 0, "a*WXYZ"), V5, std::nullopt},
        // V4, echoed layout: 17 bytes or more.
        {"V4 24: marker at 8", reply(24, 8, "a*WXYZ"), V4, 9},
        {"V4 17: marker at 8", reply(17, 8, "a*WXYZ"), V4, 9},
        {"V4 24: else 10, whatever p is", reply(24, 3, "a"), V4, 10},
        {"V4 17: else 10", reply(17, 3, "a"), V4, 10},
        {"V4 24: nothing", reply(24), V4, std::nullopt},
        // V4, 16 bytes.
        {"V4 16: marker first", reply(16, 0, "a*WXYZ"), V4, 1},
        {"V4 16: else A at p gives p - 1", reply(16, 5, "A"), V4, 4},
        {"V4 16: A too near the end", reply(16, 13, "A"), V4, std::nullopt},
        {"V4 16: nothing", reply(16), V4, std::nullopt},
        {"V4 15: too short", reply(15, 0, "a*WXYZ"), V4, std::nullopt},
        // Any other generation decodes nothing.
        {"generation 2", reply(16, 0, "a*WXYZ"), 2, std::nullopt},
        {"generation -1", reply(31, 15, "a*WXYZ"), -1, std::nullopt},
    };
    expectEach(cases, DataPosition);
}

TEST(ModuleReplies, RadioDataIsTheSignedChannelAndTheAddressUpToAZeroByte)
{
    struct Case
    {
        Bytes bytes;
        std::int8_t channel;
        std::string address;
        bool accepted;
    } cases[] = {
        {{'a', 5, 'W', 'X', 'Y', 'Z'}, 5, "WXYZ", true},
        {{'a', 0x2A, 'W', 'A', 'B', 'C'}, 42, "WABC", true},
        {{'a', 0x90, 'W', 'A', 'B', 'C'}, -112, "WABC", true},
        {{'a', 0, 'W', 0, 'B', 'C'}, 0, "W", true},
        {{'a', 7, 'Q', 'A', 'B', 'C'}, 7, "QABC", false},
        {{'a', 7, 'w', 'A', 'B', 'C'}, 7, "wABC", false},
        {{'a', 7, 0, 'W', 'B', 'C'}, 7, "", false},
        {{'a', 7, 'W', 0xE9, 0xFF, 0x80}, 7, "W\xE9\xFF\x80", true},
    };
    for (const auto& c : cases) {
        const RadioData data = ExtractRadioData(c.bytes.data(), 1);
        EXPECT_EQ(data.channel, c.channel);
        EXPECT_EQ(data.address, c.address);
        EXPECT_EQ(AddressAccepted(data.address), c.accepted) << c.address;
    }
}

// Random replies of every length up to 64 bytes: a position found always
// leaves the channel and the address inside the bytes, and reading them then
// stays inside (AddressSanitizer watches the heap copy of exactly that size).
TEST(ModuleReplies, RandomBytesNeverLeadOutsideTheReply)
{
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> lengthOf(0, 64);
    std::uniform_int_distribution<int> byteOf(0, 255);
    // Bias towards the bytes the layouts look for, so that they are hit.
    const std::uint8_t interesting[] = {'a', 'A', 'W', 0};
    int decoded = 0;
    for (int round = 0; round < 100000; ++round) {
        Bytes bytes(static_cast<std::size_t>(lengthOf(random)));
        for (auto& byte : bytes) {
            const int pick = byteOf(random);
            byte = pick < 64 ? interesting[pick % 4] : static_cast<std::uint8_t>(byteOf(random));
        }
        const auto length = static_cast<std::int32_t>(bytes.size());
        for (const int generation : {V4, V5}) {
            const auto position = DataPosition(bytes.data(), length, generation);
            if (!position)
                continue;
            ASSERT_GE(*position, 0);
            ASSERT_LT(*position + 4, length);
            decoded += AddressAccepted(ExtractRadioData(bytes.data(), *position).address);
        }
    }
    EXPECT_GT(decoded, 0);
}

} // namespace
