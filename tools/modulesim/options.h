// How a simulated module behaves: its generation, what it answers with, and
// the faults of real modules and adapters it reproduces.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace modulesim {

// The two module generations differ in the commands they understand.
enum class Generation
{
    V4,
    V5
};

// Short: a read is answered with the radio data block alone. Long: the read
// command is echoed before the block, as some modules do.
enum class Layout
{
    Short,
    Long
};

struct Options
{
    Generation generation = Generation::V5;
    Layout layout = Layout::Short;
    std::uint8_t channel = 5;
    // Four raw bytes; need not look like a valid address.
    std::string address = "WXYZ";
    // The answer is written in this many pieces, with piecePause between them.
    int pieces = 1;
    std::chrono::milliseconds piecePause{0};
    // A stray byte of strayValue goes out before every answer.
    bool strayByte = false;
    // The first read request (counted from 1) that gets an answer.
    int answerFrom = 1;
    // Read requests are counted but never answered.
    bool silent = false;
    // Write requests are counted but change nothing: a module whose memory
    // does not take the new channel.
    bool ignoreWrites = false;
    // After this long the module disappears, as an adapter pulled out does.
    std::optional<std::chrono::milliseconds> vanishAfter{};
    // Answers every read with these bytes instead of the radio data block:
    // a module answering garbage.
    std::optional<std::string> answer{};
    // Faults of the line, which the module itself knows nothing of. Answers
    // are counted from 1 as they go out, read requests as they arrive.
    //
    // A stray byte of strayValue goes out before the first answer only.
    bool strayFirst = false;
    std::uint8_t strayValue = 0xFF;
    // Answer number cutAnswer stops after cutTo bytes; the rest of it is
    // never sent, and later answers go whole.
    std::optional<int> cutTo{};
    int cutAnswer = 1;
    // Answer number doubledAnswer goes out twice, back to back; 0 for none.
    int doubledAnswer = 0;
    // The answer to read request number droppedRead is lost; 0 for none.
    int droppedRead = 0;
    // Besides, every answer is lost with this probability, drawn from a
    // sequence that seed starts, so that a run can be replayed. Without a
    // seed nothing is left to chance.
    double dropChance = 0;
    std::optional<std::uint64_t> seed{};
    // Where to note each request as it arrives, one line each (flushed), so
    // that whoever watches can act at that moment; none when null.
    std::ostream* requestLog = nullptr;
};

// Throws std::invalid_argument naming the first option out of its range.
void checkOptions(const Options& options);

} // namespace modulesim
