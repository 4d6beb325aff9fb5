#include "protocol.h"
#include "pty_pair.h"
#include "simulator.h"
#include "timing.h"
#include "unique_fd.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace modulesim;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

Bytes bytes(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

Bytes padded(std::string_view text, std::size_t size)
{
    Bytes result = bytes(text);
    result.resize(size, 0);
    return result;
}

Bytes joined(const std::vector<Bytes>& parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

int millisecondsUntil(Clock::time_point deadline)
{
    return static_cast<int>(std::max<long long>(
        0, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count()));
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 2s)
{
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The serial port as the program opens it.
class ProgramEnd
{
public:
    // AsFound: the program leaves the line settings as the module's end set them.
    enum class Settings
    {
        Raw,
        AsFound
    };

    explicit ProgramEnd(const std::string& path, Settings settingsWanted = Settings::Raw)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        EXPECT_TRUE(fd_.valid()) << path;
        if (settingsWanted == Settings::AsFound)
            return;
        termios settings{};
        tcgetattr(fd_.get(), &settings);
        cfmakeraw(&settings);
        tcsetattr(fd_.get(), TCSANOW, &settings);
    }

    void send(const Bytes& data) const
    {
        ASSERT_EQ(::write(fd_.get(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }

    // Each read's bytes and when they came, until `count` bytes or the timeout.
    std::vector<std::pair<Clock::time_point, Bytes>>
    receiveReads(std::size_t count, std::chrono::milliseconds timeout = 2s) const
    {
        std::vector<std::pair<Clock::time_point, Bytes>> reads;
        std::size_t total = 0;
        const auto deadline = Clock::now() + timeout;
        while (total < count && Clock::now() < deadline) {
            pollfd entry{fd_.get(), POLLIN, 0};
            if (poll(&entry, 1, millisecondsUntil(deadline)) <= 0)
                continue;
            std::array<std::uint8_t, 64> chunk{};
            const ssize_t n =
                ::read(fd_.get(), chunk.data(), std::min(chunk.size(), count - total));
            if (n <= 0)
                break;
            reads.emplace_back(Clock::now(), Bytes(chunk.begin(), chunk.begin() + n));
            total += static_cast<std::size_t>(n);
        }
        return reads;
    }

    Bytes receive(std::size_t count, std::chrono::milliseconds timeout = 2s) const
    {
        Bytes all;
        for (const auto& [when, data] : receiveReads(count, timeout))
            all.insert(all.end(), data.begin(), data.end());
        return all;
    }

    bool hasInput() const
    {
        pollfd entry{fd_.get(), POLLIN, 0};
        return poll(&entry, 1, 0) > 0;
    }

    bool hungUp(std::chrono::milliseconds timeout = 2s) const
    {
        pollfd entry{fd_.get(), POLLIN, 0};
        return poll(&entry, 1, static_cast<int>(timeout.count())) > 0 &&
               (entry.revents & POLLHUP) != 0;
    }

    int fd() const { return fd_.get(); }

private:
    UniqueFd fd_;
};

// A fresh directory, removed with everything in it.
class TempDir
{
public:
    TempDir()
    {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "modulesim-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

TEST(Protocol, CommandsArePickedFromAStreamHoweverItIsCut)
{
    const Bytes v5Read = readCommand(Generation::V5);
    const Bytes v5Write = writeCommand(Generation::V5, 9, "QABC");
    const Bytes v4Read = readCommand(Generation::V4);
    struct Case
    {
        Generation generation;
        Bytes stream;
        std::vector<std::pair<int, std::string>> commands; // channel, address; -1 for a read
        Bytes left;
    };
    const std::vector<Case> cases{
        {Generation::V5,
         joined({bytes("xy"), v5Read, bytes({"\x00\xfe", 2}), v5Write}),
         {{-1, ""}, {9, "QABC"}},
         {}},
        {Generation::V5, joined({bytes("KQZRT"), v5Read}), {{-1, ""}}, {}},
        {Generation::V5, joined({v4Read, bytes("KQZRTMN")}), {}, bytes("KQZRTMN")},
        {Generation::V4, joined({v5Read, v5Write, v4Read}), {{-1, ""}}, {}},
        {Generation::V4,
         joined({bytes("z"), writeCommand(Generation::V4, 7, "ABCD")}),
         {{7, "ABCD"}},
         {}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        for (const std::size_t cut : {c.stream.size(), std::size_t{1}, std::size_t{4}}) {
            Bytes pending;
            std::vector<std::pair<int, std::string>> found;
            for (std::size_t at = 0; at < c.stream.size(); at += cut) {
                const auto end = c.stream.begin() + std::min(c.stream.size(), at + cut);
                pending.insert(pending.end(), c.stream.begin() + at, end);
                for (const Command& command : takeCommands(pending, c.generation))
                    found.emplace_back(command.kind == Command::Kind::Read ? -1 : command.channel,
                                       command.address);
            }
            EXPECT_EQ(found, c.commands) << "case " << i << ", cut " << cut;
            EXPECT_EQ(pending, c.left) << "case " << i << ", cut " << cut;
        }
    }
}

TEST(Simulator, AnswersAReadInEachGenerationAndLayout)
{
    const std::string v5Read = "KQZRTMNVPA12345";
    const std::string v4Read = "A1234567";
    struct Case
    {
        Options options;
        std::string command;
        Bytes answer;
    };
    const std::vector<Case> cases{
        {{.generation = Generation::V5}, v5Read, padded("a\x05WXYZ", 16)},
        {{.generation = Generation::V5, .layout = Layout::Long},
         v5Read,
         joined({bytes(v5Read), padded("a\x05WXYZ", 16)})},
        {{.generation = Generation::V4, .channel = 83, .address = "QABC"},
         v4Read,
         padded("aSQABC", 16)},
        {{.generation = Generation::V4, .layout = Layout::Long},
         v4Read,
         joined({bytes(v4Read), padded("a\x05WXYZ", 16)})},
    };
    for (const Case& c : cases) {
        Simulator simulator(c.options);
        ProgramEnd port(simulator.devicePath());
        port.send(bytes(c.command));
        EXPECT_EQ(port.receive(c.answer.size() + 1, 300ms), c.answer) << c.command;
        EXPECT_EQ(simulator.readRequests(), 1);
    }
}

TEST(Simulator, WriteSetsWhatTheNextReadReturnsHoweverItArrives)
{
    for (const Generation generation : {Generation::V5, Generation::V4}) {
        Simulator simulator({.generation = generation});
        ProgramEnd port(simulator.devicePath());
        // Any bytes make an address, a zero byte too.
        const std::string address{'Q', '\0', '\xff', 'B'};
        // Cut up and amid garbage, as a line may deliver it.
        for (const std::uint8_t byte : joined({bytes("zz"), writeCommand(generation, 42, address),
                                               bytes("\x01"), readCommand(generation)}))
            port.send({byte});
        EXPECT_EQ(port.receive(16), padded("a*" + address, 16));
        EXPECT_EQ(simulator.writeRequests(), 1);
        EXPECT_EQ(simulator.channel(), 42);
        EXPECT_EQ(simulator.address(), address);
    }
}

// Carriage return, line feed, delete and line kill would all be edited or
// translated on a terminal in its usual settings.
TEST(Simulator, BytesPassUntranslatedWhateverTheProgramSets)
{
    const std::string address{'\r', '\n', '\x7f', '\x15'};
    Simulator simulator({.channel = '\r', .address = address});
    ProgramEnd port(simulator.devicePath(), ProgramEnd::Settings::AsFound);
    port.send(joined({writeCommand(Generation::V5, '\n', address), readCommand(Generation::V5)}));
    EXPECT_EQ(port.receive(17, 300ms), padded("a\n" + address, 16));
}

TEST(Simulator, AnswerComesInPiecesWithPausesBetween)
{
    constexpr auto pause = 80ms;
    Simulator simulator({.pieces = 4, .piecePause = pause});
    ProgramEnd port(simulator.devicePath());
    port.send(readCommand(Generation::V5));
    const auto reads = port.receiveReads(16);
    Bytes all;
    for (const auto& [when, data] : reads)
        all.insert(all.end(), data.begin(), data.end());
    EXPECT_EQ(all, radioDataBlock(5, "WXYZ"));
    ASSERT_GE(reads.size(), 2u);
    // Load may delay the read of the first piece, never the pauses after it.
    EXPECT_GE(reads.back().first - reads.front().first, 3 * pause - pause / 2);
}

TEST(Simulator, StopsPromptlyInTheMiddleOfALongPause)
{
    auto simulator = std::make_unique<Simulator>(Options{.pieces = 2, .piecePause = 10s});
    ProgramEnd port(simulator->devicePath());
    port.send(readCommand(Generation::V5));
    ASSERT_EQ(port.receive(8).size(), 8u);
    const auto start = Clock::now();
    simulator.reset();
    EXPECT_LT(Clock::now() - start, timing::scaled(std::chrono::milliseconds(500)));
}

TEST(Simulator, StrayByteGoesBeforeEveryAnswer)
{
    Simulator simulator({.strayByte = true});
    ProgramEnd port(simulator.devicePath());
    const Bytes expected = joined({Bytes{0xFF}, radioDataBlock(5, "WXYZ")});
    for (int request = 0; request < 2; ++request) {
        port.send(readCommand(Generation::V5));
        EXPECT_EQ(port.receive(17), expected);
    }
}

// A write after every read tells whether that read was answered: the channel
// in the first answer that comes names the read it belongs to.
TEST(Simulator, ReadsBeforeTheKthGoUnanswered)
{
    Simulator simulator({.answerFrom = 3});
    ProgramEnd port(simulator.devicePath());
    for (std::uint8_t channel = 1; channel <= 4; ++channel) {
        port.send(readCommand(Generation::V5));
        port.send(writeCommand(Generation::V5, channel, "WXYZ"));
    }
    EXPECT_EQ(port.receive(32), joined({radioDataBlock(2, "WXYZ"), radioDataBlock(3, "WXYZ")}));
    EXPECT_EQ(simulator.readRequests(), 4);
}

TEST(Simulator, SilentModuleCountsAndTimesRequests)
{
    Simulator simulator({.silent = true});
    ProgramEnd port(simulator.devicePath());
    const auto before = Clock::now();
    for (int request = 0; request < 3; ++request)
        port.send(readCommand(Generation::V5));
    // Handled in order, so once the write counts the reads are done with.
    port.send(writeCommand(Generation::V5, 7, "WXYZ"));
    ASSERT_TRUE(eventually([&] { return simulator.writeRequests() == 1; }));
    const auto after = Clock::now();
    EXPECT_FALSE(port.hasInput());
    const auto times = simulator.readRequestTimes();
    ASSERT_EQ(simulator.readRequests(), 3);
    ASSERT_EQ(times.size(), 3u);
    EXPECT_GE(times.front(), before);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_LE(times.back(), after);
}

TEST(Simulator, VanishingHangsUpTheProgramsEnd)
{
    struct Case
    {
        const char* name;
        Options options;
        bool vanishCalled;
        // The first piece of an answer comes before vanishing cuts it short.
        bool readFirst;
    };
    const std::vector<Case> cases{
        {"vanish()", {}, true, false},
        {"after a time", {.vanishAfter = 50ms}, false, false},
        {"in a pause", {.pieces = 2, .piecePause = 10s, .vanishAfter = 100ms}, false, true},
    };
    for (const Case& c : cases) {
        Simulator simulator(c.options);
        PortMap map;
        const std::filesystem::path link = simulator.linkInto(map.path(), 3);
        ProgramEnd port(simulator.devicePath());
        if (c.readFirst) {
            port.send(readCommand(Generation::V5));
            EXPECT_EQ(port.receive(8).size(), 8u) << c.name;
        }
        if (c.vanishCalled) {
            simulator.vanish();
            EXPECT_TRUE(simulator.vanished());
        }
        EXPECT_TRUE(port.hungUp()) << c.name;
        EXPECT_TRUE(simulator.vanished()) << c.name;
        // Its device node goes with it, so that the terminal number, once
        // given to another pseudo-terminal, is not found through the map.
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link))) << c.name;
        // As a pulled adapter: reads find the end, writes fail.
        std::uint8_t byte = 0;
        EXPECT_EQ(::read(port.fd(), &byte, 1), 0) << c.name;
        EXPECT_EQ(::write(port.fd(), &byte, 1), -1) << c.name;
        EXPECT_EQ(errno, EIO) << c.name;
        simulator.vanish();
    }
}

// The module keeps its end while the program has the port closed, so the
// program finds it again on the next open.
TEST(Simulator, PortMayBeClosedAndOpenedAgain)
{
    Simulator simulator;
    for (int opening = 0; opening < 2; ++opening) {
        {
            ProgramEnd port(simulator.devicePath());
            port.send(readCommand(Generation::V5));
            EXPECT_EQ(port.receive(16), radioDataBlock(5, "WXYZ")) << opening;
        }
        // A hang-up on the module's end would show within microseconds.
        EXPECT_FALSE(eventually([&] { return simulator.vanished(); }, 100ms)) << opening;
    }
}

TEST(Simulator, LinkLeadsToTheDeviceUntilTheSimulatorGoes)
{
    TempDir temp;
    const std::filesystem::path map = temp.path() / "ports";
    std::filesystem::create_directories(map);
    std::filesystem::create_symlink("/nonexistent", map / "com4");
    std::string link;
    {
        Simulator simulator;
        link = simulator.linkInto(map.string(), 4);
        EXPECT_EQ(link, (map / "com4").string());
        EXPECT_EQ(std::filesystem::read_symlink(link), simulator.devicePath());
        const std::string fresh = simulator.linkInto((temp.path() / "new").string(), 12);
        EXPECT_EQ(std::filesystem::read_symlink(fresh), simulator.devicePath());
        ProgramEnd port(link);
        port.send(readCommand(Generation::V5));
        EXPECT_EQ(port.receive(16), radioDataBlock(5, "WXYZ"));
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    EXPECT_FALSE(
        std::filesystem::exists(std::filesystem::symlink_status(temp.path() / "new/com12")));
}

// The modulesim program with its standard output and error in a pipe.
class Program
{
public:
    explicit Program(const std::vector<std::string>& arguments)
    {
        std::array<int, 2> pipeEnds{};
        if (pipe2(pipeEnds.data(), O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2");
        output_ = UniqueFd(pipeEnds[0]);
        const UniqueFd writeEnd(pipeEnds[1]);
        std::vector<std::string> all{MODULESIM_PATH};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : all)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
        const int error =
            posix_spawn(&pid_, MODULESIM_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0)
            throw std::runtime_error("posix_spawn");
    }
    ~Program()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    void signal(int number) const { kill(pid_, number); }

    // The exit status once the output ends, -1 if the program does not end
    // in time; all output lands in `output`.
    int exitStatus(std::string& output, std::chrono::milliseconds timeout = 5s)
    {
        output = readOutput(false, timeout);
        int status = 0;
        if (!ended_ || waitpid(pid_, &status, 0) != pid_)
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Output up to the first newline (lineOnly) or the end.
    std::string readOutput(bool lineOnly, std::chrono::milliseconds timeout = 5s)
    {
        std::string text;
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline && !(lineOnly && text.ends_with('\n'))) {
            pollfd entry{output_.get(), POLLIN, 0};
            if (poll(&entry, 1, millisecondsUntil(deadline)) <= 0)
                continue;
            char c = 0;
            const ssize_t n = ::read(output_.get(), &c, 1);
            if (n == 0) {
                ended_ = true;
                break;
            }
            if (n > 0)
                text += c;
        }
        return text;
    }

private:
    pid_t pid_ = -1;
    UniqueFd output_;
    bool ended_ = false;
};

TEST(Program, AnswersThroughItsLinkAndRemovesItOnSigterm)
{
    TempDir temp;
    const std::string map = (temp.path() / "ports").string();
    Program program({"--port-dir", map, "--com", "3", "--generation", "v4", "--layout=long",
                     "--channel", "9", "--address", "QABC"});
    const std::string line = program.readOutput(true);
    const std::string link = map + "/com3";
    const std::string prefix = "COM3: " + link + " -> ";
    ASSERT_TRUE(line.starts_with(prefix) && line.ends_with('\n')) << line;
    EXPECT_EQ(std::filesystem::read_symlink(link),
              line.substr(prefix.size(), line.size() - prefix.size() - 1));
    {
        ProgramEnd port(link);
        port.send(readCommand(Generation::V4));
        EXPECT_EQ(port.receive(24), joined({readCommand(Generation::V4), padded("a\x09QABC", 16)}));
    }
    program.signal(SIGTERM);
    std::string rest;
    EXPECT_EQ(program.exitStatus(rest), 0) << rest;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(Program, StopsOnEachTerminationSignalRemovingWhatItMade)
{
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        TempDir temp;
        const std::filesystem::path map = temp.path() / "ports";
        Program program({"--port-dir", map.string(), "--com", "3"});
        const std::string line = program.readOutput(true);
        ASSERT_TRUE(line.starts_with("COM3: ")) << line;
        program.signal(signalNumber);
        std::string rest;
        EXPECT_EQ(program.exitStatus(rest), 0) << signalNumber << rest;
        // The port map directory it had to create goes with the link.
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(map))) << signalNumber;
    }
}

// A second simulator on the same COM number must not cut the first one off
// the program; a link that leads nowhere, as a killed one leaves, is taken.
TEST(Program, RefusesTheLinkOfARunningSimulator)
{
    TempDir temp;
    const std::string map = temp.path().string();
    Program first({"--port-dir", map, "--com", "3"});
    const std::string line = first.readOutput(true);
    ASSERT_TRUE(line.starts_with("COM3: ")) << line;
    const std::filesystem::path link = temp.path() / "com3";
    const std::filesystem::path device = std::filesystem::read_symlink(link);

    Program second({"--port-dir", map, "--com", "3"});
    std::string output;
    EXPECT_EQ(second.exitStatus(output), 1);
    EXPECT_NE(output.find(device.string()), std::string::npos) << output;
    EXPECT_EQ(std::filesystem::read_symlink(link), device);

    std::filesystem::create_symlink("/nonexistent", temp.path() / "com4");
    Program third({"--port-dir", map, "--com", "4"});
    EXPECT_TRUE(third.readOutput(true).starts_with("COM4: "));
    EXPECT_NE(std::filesystem::read_symlink(temp.path() / "com4"), "/nonexistent");
}

TEST(Program, WarnsOfAComNumberTheProgrammerNeverTries)
{
    TempDir temp;
    for (const auto& [com, warned] : {std::pair{"21", false}, std::pair{"22", true}}) {
        Program program({"--port-dir", temp.path().string(), "--com", com});
        const std::string first = program.readOutput(true);
        EXPECT_EQ(first.find("modulesim: warning: ") == 0, warned) << first;
        if (warned) {
            EXPECT_NE(first.find("COM22"), std::string::npos) << first;
            EXPECT_TRUE(program.readOutput(true).starts_with("COM22: "));
        }
        program.signal(SIGTERM);
        std::string rest;
        EXPECT_EQ(program.exitStatus(rest), 0) << rest;
    }
}

TEST(Program, HelpSucceedsAndBadCommandLinesExitWithTwo)
{
    const auto withPort = [](std::vector<std::string> more) {
        more.insert(more.begin(), {"--port-dir", "/tmp/unused", "--com", "3"});
        return more;
    };
    struct Case
    {
        std::vector<std::string> arguments;
        int status;
        std::string says;
    };
    const std::vector<Case> cases{
        {{"--help"}, 0, "--vanish-after"},
        {{}, 2, "are required"},
        {{"--port-dir", "/tmp/unused"}, 2, "are required"},
        {{"--port-dir", "/tmp/unused", "--com"}, 2, "--com needs a value"},
        {{"--port-dir", "/tmp/unused", "--com", "3x"}, 2, "--com takes"},
        {withPort({"--bogus"}), 2, "unknown option '--bogus'"},
        // Misspelt, last on the line: still unknown, not short of a value.
        {withPort({"--silnet"}), 2, "unknown option '--silnet'"},
        {withPort({"--silnet=yes"}), 2, "unknown option '--silnet'"},
        {withPort({"--address", "ABC"}), 2, "modulesim: "},
        {withPort({"--generation", "v6"}), 2, "--generation takes"},
        {withPort({"--pieces", "0"}), 2, "--pieces takes"},
        {withPort({"--channel", "256"}), 2, "--channel takes"},
        {withPort({"--silent=yes"}), 2, "--silent takes no value"},
        {withPort({"--socket", "/tmp/unused.sock"}), 2, "--socket takes no --port-dir"},
        {withPort({"--drop-chance", "0.5"}), 2, "needs a seed"},
        {withPort({"--drop-chance", "1.5", "--seed", "1"}), 2, "--drop-chance takes"},
        {withPort({"--stray-value", "256"}), 2, "--stray-value takes"},
        {withPort({"--stray-byte", "--stray-first"}), 2, "not both"},
        {{"--socket", "/nonexistent/uart.sock"}, 1, "cannot connect to /nonexistent/uart.sock"},
    };
    for (const Case& c : cases) {
        Program program(c.arguments);
        std::string output;
        const std::string shown = c.arguments.empty() ? "" : c.arguments.back();
        EXPECT_EQ(program.exitStatus(output), c.status) << shown;
        EXPECT_NE(output.find(c.says), std::string::npos) << shown << ": " << output;
    }
}

// Each fault of the line hits the answer it names and no other, whether the
// answers it counts were sent or lost, and a seed loses the same answers on
// every run. A write after each read gives every answer a channel of its
// own, so the stream shows which answer each byte belongs to.
TEST(Program, LineFaultsHitTheAnswersTheyName)
{
    const auto answer = [](std::uint8_t channel) { return radioDataBlock(channel, "WXYZ"); };
    const auto cut = [](Bytes bytes, std::size_t size) {
        bytes.resize(size);
        return bytes;
    };
    const Bytes echo = readCommand(Generation::V5);
    const Bytes first = answer(5);
    const Bytes second = answer(11);
    const Bytes third = answer(12);
    struct Case
    {
        std::vector<std::string> arguments;
        Bytes stream;
    };
    const std::vector<Case> cases{
        {{"--stray-first", "--stray-value", "97"}, joined({bytes("a"), first, second, third})},
        {{"--stray-byte", "--stray-value=0"},
         joined({Bytes{0}, first, Bytes{0}, second, Bytes{0}, third})},
        {{"--cut-to", "3"}, joined({cut(first, 3), second, third})},
        {{"--cut-to", "0", "--cut-answer", "2"}, joined({first, third})},
        {{"--layout", "long", "--cut-to", "15"}, joined({echo, echo, second, echo, third})},
        {{"--double-answer", "2"}, joined({first, second, second, third})},
        // The first answer sent is the second one asked for.
        {{"--drop-read", "1", "--cut-to", "4"}, joined({cut(second, 4), third})},
        {{"--drop-chance", "0.5", "--seed", "7"}, joined({first, second})},
        {{"--drop-chance", "0.5", "--seed", "3"}, joined({first, third})},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& word : c.arguments)
            shown += word + ' ';
        TempDir temp;
        std::vector<std::string> arguments{"--port-dir", temp.path().string(), "--com", "3"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        Program program(arguments);
        ASSERT_TRUE(program.readOutput(true).starts_with("COM3: ")) << shown;
        ProgramEnd port((temp.path() / "com3").string());
        for (std::uint8_t channel = 11; channel <= 13; ++channel) {
            port.send(readCommand(Generation::V5));
            port.send(writeCommand(Generation::V5, channel, "WXYZ"));
        }
        EXPECT_EQ(port.receive(c.stream.size()), c.stream) << shown;
        EXPECT_TRUE(port.receive(1, 100ms).empty()) << shown;
    }
}

// A listening Unix socket, as a virtual machine's serial device offers its
// far end; accept() hands over the simulator's connection.
class ListeningSocket
{
public:
    explicit ListeningSocket(const std::filesystem::path& path)
        : socket_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.string().copy(address.sun_path, sizeof address.sun_path - 1);
        if (bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            listen(socket_.get(), 1) != 0)
            throw std::runtime_error("cannot listen on " + path.string());
    }
    UniqueFd accept() const
    {
        return UniqueFd(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    UniqueFd socket_;
};

void sendAll(int fd, const Bytes& data)
{
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
}

Bytes receive(int fd, std::size_t count)
{
    Bytes data;
    const auto deadline = Clock::now() + 2s;
    while (data.size() < count && Clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, millisecondsUntil(deadline)) <= 0)
            continue;
        std::array<std::uint8_t, 64> chunk{};
        const ssize_t n = ::read(fd, chunk.data(), std::min(chunk.size(), count - data.size()));
        if (n <= 0)
            break;
        data.insert(data.end(), chunk.begin(), chunk.begin() + n);
    }
    return data;
}

TEST(Program, ServesASocketNotesEachRequestAndEndsWhenTheSocketCloses)
{
    TempDir temp;
    const std::filesystem::path path = temp.path() / "uart.sock";
    const ListeningSocket listening(path);
    Program program(
        {"--socket", path.string(), "--log-requests", "--channel", "9", "--address", "WABC"});
    UniqueFd line = listening.accept();
    ASSERT_TRUE(line.valid());
    EXPECT_EQ(program.readOutput(true), "serving " + path.string() + "\n");
    sendAll(line.get(), readCommand(Generation::V5));
    const Bytes answer = readAnswer(Generation::V5, Layout::Short, 9, "WABC");
    EXPECT_EQ(receive(line.get(), answer.size()), answer);
    EXPECT_EQ(program.readOutput(true), "read request 1\n");
    sendAll(line.get(), writeCommand(Generation::V5, 30, "WXYZ"));
    EXPECT_EQ(program.readOutput(true), "write request 1: channel 30\n");
    // No link was made for a socket.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp.path()), {}), 1);
    // The far end closes, as QEMU does when it ends: so does the simulator.
    line.reset();
    std::string rest;
    EXPECT_EQ(program.exitStatus(rest), 0) << rest;
}

// A mistyped directory must not leave a tree of folders behind.
TEST(Program, CreatesNoMissingParentsOfThePortDirectory)
{
    TempDir temp;
    Program program({"--port-dir", (temp.path() / "missing/ports").string(), "--com", "3"});
    std::string output;
    EXPECT_EQ(program.exitStatus(output), 1) << output;
    EXPECT_FALSE(std::filesystem::exists(temp.path() / "missing"));
}

} // namespace
