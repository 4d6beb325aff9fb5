// The command line's reply waits, which end as soon as a reply has been
// decoded: the same radio data as the window's fixed waits for every layout
// and pace of reply, found within the same upper bound.
#include "ModuleProtocol.h"
#include "ModuleSession.h"
#include "Radiocom.h"
#include "RecordingView.h"
#include "simulator.h"
#include "timing.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace {

using namespace std::chrono_literals;
using modulesim::Options;

struct Read
{
    bool decoded = false;
    QString address;
    int channel = 0;
    std::chrono::steady_clock::duration took{};
};

Read ReadOnce(const std::string& portDir, int generation, bool endWaitOnReply)
{
    qputenv("MELVIX_PORT_DIR", QByteArray::fromStdString(portDir));
    TRadioCom com;
    RecordingView view(generation);
    TModuleSession session(com, view);
    session.CollectReplies = endWaitOnReply;
    com.SetOnReceive([&](std::int32_t count) { session.HandleReceived(count); });
    EXPECT_TRUE(session.OpenPort(ComPort{1}));
    auto start = std::chrono::steady_clock::now();
    session.ReadRadioData();
    Read first{session.ReplyDecoded, view.address, view.channel,
               std::chrono::steady_clock::now() - start};
    // The rest of a reply decoded before its end must neither spoil nor
    // slow down the next read.
    start = std::chrono::steady_clock::now();
    session.ReadRadioData();
    first.took = std::max(first.took, std::chrono::steady_clock::now() - start);
    EXPECT_EQ(session.ReplyDecoded, first.decoded);
    EXPECT_EQ(view.address, first.address);
    EXPECT_EQ(view.channel, first.channel);
    return first;
}

TEST(ReplyWait, EndsOnTheReplyWithTheWindowsDecodingForEveryLayoutAndPace)
{
    using modulesim::Generation;
    using modulesim::Layout;
    struct Case
    {
        const char* name;
        Options options;
        // How many read commands the module leaves unanswered first.
        int unanswered = 0;
    };
    const Case cases[] = {
        {"short", {.channel = 12, .address = "WABC"}},
        {"long", {.layout = Layout::Long, .channel = 83}},
        {"long in pieces", {.layout = Layout::Long, .pieces = 4, .piecePause = 8ms}},
        {"short in pieces", {.channel = 1, .pieces = 3, .piecePause = 10ms}},
        {"after a stray byte", {.channel = 40, .strayByte = true}},
        {"on its second request", {.channel = 7, .answerFrom = 2}, 1},
        {"V4 short", {.generation = Generation::V4, .channel = 9}},
        {"V4 long", {.generation = Generation::V4, .layout = Layout::Long, .channel = 60}},
        {"invalid address", {.address = "QABC"}, 3},
        {"silent", {.silent = true}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        modulesim::Simulator module(c.options);
        module.linkInto(dir.path().toStdString(), 1);
        const int generation =
            c.options.generation == Generation::V4 ? ModuleProtocol::V4 : ModuleProtocol::V5;
        const Read fixed = ReadOnce(dir.path().toStdString(), generation, false);
        // The fastest of a few, so that other load on the machine does not
        // count; each must decode as the window does.
        Read early;
        early.took = std::chrono::steady_clock::duration::max();
        for (int attempt = 0; attempt < 3; ++attempt) {
            const Read read = ReadOnce(dir.path().toStdString(), generation, true);
            EXPECT_EQ(read.decoded, fixed.decoded);
            EXPECT_EQ(read.address, fixed.address);
            EXPECT_EQ(read.channel, fixed.channel);
            early.took = std::min(early.took, read.took);
        }
        // Never longer than the window's waits; shorter by at least the
        // waits that no reply needed.
        const auto bound = timing::scaled(
            (c.unanswered + 1) * std::chrono::milliseconds(ModuleTiming::ReplyWaitMs) + 30ms);
        EXPECT_LT(early.took, bound);
        if (fixed.decoded) {
            const auto pieces = c.options.pieces * c.options.piecePause;
            EXPECT_LT(early.took,
                      c.unanswered * std::chrono::milliseconds(ModuleTiming::ReplyWaitMs) + pieces +
                          timing::scaled(25ms));
        }
    }
}

} // namespace
