// melvix-module driven as a process, against simulated modules on
// pseudo-terminals through a port map directory.
#include "ProductionLog.h"
#include "pty_pair.h"
#include "simulator.h"
#include "timing.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <memory>
#include <random>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using modulesim::Options;
using modulesim::Simulator;

// How a spawned program ended.
struct Ended
{
    int exitCode = -1;
    int signal = 0;
};

Ended waitFor(pid_t pid)
{
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    if (WIFSIGNALED(status))
        return {-1, WTERMSIG(status)};
    return {WEXITSTATUS(status), 0};
}

QString readAll(int fd)
{
    QByteArray bytes;
    char buffer[4096];
    for (ssize_t n = 0; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, n);
    return QString::fromLocal8Bit(bytes);
}

struct Outcome
{
    int exitCode = -1;
    QString out;
    QString err;
};

// Const, so that indexing it gives values rather than references.
const QJsonObject jsonOf(const QString& line)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
    return document.object();
}

class CliTest : public testing::Test
{
protected:
    CliTest()
    {
        // Reachable for the unprivileged user of the permission test.
        chmod(portDir().c_str(), 0755);
    }

    std::string portDir() const { return dir_.path().toStdString(); }

    Simulator& addModule(int com, Options options = {})
    {
        modules_.push_back(std::make_unique<Simulator>(options));
        modules_.back()->linkInto(portDir(), com);
        return *modules_.back();
    }

    void link(const std::string& target, int com) const
    {
        const std::string entry = portDir() + "/com" + std::to_string(com);
        ASSERT_EQ(symlink(target.c_str(), entry.c_str()), 0);
    }

    Outcome run(const QStringList& arguments, const QStringList& prefix = {}) const
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MELVIX_PORT_DIR"), dir_.path());
        process.setProcessEnvironment(environment);
        const QStringList program = prefix + QStringList{QStringLiteral(MELVIX_MODULE_PATH)};
        process.start(program.front(), program.mid(1) + arguments);
        EXPECT_TRUE(process.waitForFinished(60000));
        return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()),
                QString::fromLocal8Bit(process.readAllStandardError())};
    }

    // Started without QProcess, for what it cannot give: a standard output
    // of the test's choosing, and the signal that ended the program.
    pid_t spawn(const QStringList& arguments, int outFd, int errFd) const
    {
        std::vector<std::string> words{MELVIX_MODULE_PATH};
        for (const QString& argument : arguments)
            words.push_back(argument.toStdString());
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (!std::string_view(*entry).starts_with("MELVIX_PORT_DIR="))
                environment.emplace_back(*entry);
        }
        environment.push_back("MELVIX_PORT_DIR=" + portDir());
        const auto pointers = [](std::vector<std::string>& strings) {
            std::vector<char*> result;
            for (std::string& string : strings)
                result.push_back(string.data());
            result.push_back(nullptr);
            return result;
        };
        // Whatever the test runner ignores, the program starts with the
        // signals' default actions.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults{};
        sigemptyset(&defaults);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            sigaddset(&defaults, signal);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
        pid_t pid = -1;
        const int error = posix_spawn(&pid, words.front().c_str(), &actions, &attributes,
                                      pointers(words).data(), pointers(environment).data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        EXPECT_EQ(error, 0);
        return pid;
    }

    // Holds `busy` locked as another program would, and closes `refused` to
    // the user that `user` runs the program as: an unprivileged one when the
    // test runs as root, who may still open `busy` and each of `usable`.
    static void holdAndRefuse(const Simulator& busy, const Simulator& refused,
                              const std::vector<const Simulator*>& usable, int& held,
                              QStringList& user)
    {
        held = open(busy.devicePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(held, 0);
        ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        if (geteuid() != 0)
            return;
        ASSERT_EQ(chmod(busy.devicePath().c_str(), 0666), 0);
        ASSERT_EQ(chmod(refused.devicePath().c_str(), 0600), 0);
        for (const Simulator* module : usable)
            ASSERT_EQ(chmod(module->devicePath().c_str(), 0666), 0);
        user = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }

    int requestsSeen() const
    {
        int requests = 0;
        for (const auto& module : modules_)
            requests += module->readRequests() + module->writeRequests();
        return requests;
    }

private:
    QTemporaryDir dir_;
    std::vector<std::unique_ptr<Simulator>> modules_;
};

TEST_F(CliTest, BadInputIsAUsageErrorAndSendsNothing)
{
    addModule(1);
    const QList<QStringList> cases = {
        {"write", "--channel", "0"},
        {"write", "--channel", "84"},
        {"write", "--channel", "abc"},
        {"write", "--channel", ""},
        {"write", "--channel=-5"},
        {"write"},
        {"read", "--port", "COM0"},
        {"read", "--port", "COM32"},
        {"read", "--port", "LPT1"},
        {"read", "--port", "COM1x"},
        {"read", "--port"},
        {"detect", "--frobnicate"},
        {"ports", "--port", "COM1"},
        {"read", "--generation", "v6"},
        {"read", "--all", "--port", "COM1"},
        {"write", "--channel", "3", "--each", "--all"},
        {"write", "--channel", "3", "--each", "--wait"},
        {"read", "--each"},
        {"ports", "--wait"},
        {"ports", "--log", "line.jsonl"},
        {"write", "--channel", "3", "--log"},
        {"detect", "--wait=soon"},
        {"detect", "--wait=1.x"},
        {"detect", "--wait", "-1"},
        {"detect", "--all=yes"},
        {"detect", "--ports", "COM12-COM5"},
        {"detect", "--ports", "COM0-COM3"},
        {"detect", "--ports", "COM5,"},
        {"detect", "--ports", "COM30-COM32"},
        {"detect", "--ports", "5-12"},
        {"read", "--ports", "COM1", "--port", "COM1"},
        {"--json"},
        {"erase"},
        {},
    };
    for (const QStringList& arguments : cases) {
        const Outcome outcome = run(arguments);
        EXPECT_EQ(outcome.exitCode, 64) << arguments.join(' ').toStdString();
        EXPECT_EQ(outcome.err.count('\n'), 1) << outcome.err.toStdString();
        EXPECT_TRUE(outcome.out.isEmpty()) << outcome.out.toStdString();
    }
    EXPECT_EQ(requestsSeen(), 0);
}

// Taken as they stood, these would run something other than what was asked
// (the last of two channels, a detection where a port was named) or fail on a
// symptom ("unexpected argument '1e3'"): each is refused, saying why.
TEST_F(CliTest, ArgumentsThatWouldBeMisreadAreRefusedSayingWhy)
{
    addModule(1);
    const struct
    {
        QStringList arguments;
        QString says;
    } cases[] = {
        {{"detect", "--wait", "1e3"}, "--wait takes a number of seconds from 0 to 1000000"},
        {{"read", "--wait", "1000001", "--port", "COM1"}, "not '1000001'"},
        {{"detect", "--wait", ".5s"}, "--wait takes a number of seconds"},
        {{"read", "--parallel", "--port", "COM1"}, "--parallel probes every port"},
        {{"write", "--channel", "3", "--each", "--parallel"}, "it takes no --parallel"},
        {{"write", "--channel", "5", "--channel", "7"}, "--channel is given twice"},
        {{"read", "--port=COM1", "--port", "COM2"}, "--port is given twice"},
        {{"detect", "--json", "--wait", "--json"}, "--json is given twice"},
        {{"map", "--by-id"}, "map needs a directory"},
        {{"map", "line1", "line2"}, "unexpected argument 'line2'"},
        {{"map", "line1", "--by-id", "--by-path"}, "--by-path and --by-id exclude each other"},
        {{"map", "line1", "--wait"}, "unknown option '--wait' for map"},
        {{"write", "--channel", "3", "--again"}, "it needs --log"},
    };
    for (const auto& each : cases) {
        const Outcome outcome = run(each.arguments);
        EXPECT_EQ(outcome.exitCode, 64) << each.arguments.join(' ').toStdString();
        EXPECT_TRUE(outcome.err.contains(each.says)) << outcome.err.toStdString();
        EXPECT_TRUE(outcome.out.isEmpty()) << outcome.out.toStdString();
    }
    EXPECT_EQ(requestsSeen(), 0);
}

TEST_F(CliTest, HelpAndVersion)
{
    EXPECT_EQ(run({"--help"}).exitCode, 0);
    EXPECT_TRUE(run({"--help"}).out.contains("write --channel N"));
    EXPECT_TRUE(run({"--version"}).out.startsWith("melvix-module 1.45"));
}

TEST_F(CliTest, DetectFindsAModuleThatAnswersOnlyItsThirdProbe)
{
    addModule(1, {.silent = true});
    addModule(3, {.channel = 9, .address = "WQRS", .answerFrom = 3});
    for (const QString& mode : {QString(), QStringLiteral("--parallel")}) {
        const QStringList extra = mode.isEmpty() ? QStringList{} : QStringList{mode};
        const Outcome text = run(QStringList{"detect"} + extra);
        EXPECT_EQ(text.exitCode, 0) << text.err.toStdString();
        EXPECT_EQ(text.out, "COM3: channel 9, address WQRS\n") << mode.toStdString();
        const Outcome json = run(QStringList{"detect", "--json"} + extra);
        EXPECT_EQ(json.out, R"({"address":"WQRS","channel":9,"channelValid":true,"exit":0,)"
                            R"("found":true,"port":"COM3","skipped":[]})"
                            "\n")
            << mode.toStdString();
    }
}

TEST_F(CliTest, ParallelDetectionPrefersTheLowerPortThatAnswersLater)
{
    addModule(2, {.channel = 2, .answerFrom = 3});
    addModule(6, {.channel = 6});
    const Outcome outcome = run({"detect", "--parallel"});
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.out, "COM2: channel 2, address WXYZ\n");
}

TEST_F(CliTest, NothingFoundEndsWithTheDiagnosisOfUnopenedPorts)
{
    addModule(1, {.silent = true});
    link("/nonexistent/device", 4);
    for (const QString& mode : {QStringLiteral("--json"), QStringLiteral("--parallel")}) {
        const Outcome outcome = run({"detect", mode});
        EXPECT_EQ(outcome.exitCode, 1);
        EXPECT_TRUE(outcome.err.contains("COM4 (/nonexistent/device): dangling link"))
            << outcome.err.toStdString();
        // COM1 opened, so it is not among them.
        EXPECT_TRUE(outcome.err.contains("\nCOM2, COM3, COM5")) << outcome.err.toStdString();
    }
    const QJsonArray diagnosis = jsonOf(run({"detect", "--json"}).out)["diagnosis"].toArray();
    ASSERT_EQ(diagnosis.size(), 21);
    EXPECT_EQ(diagnosis[3]["state"], "dangling-link");
}

TEST_F(CliTest, ReadWithAndWithoutPort)
{
    addModule(2, {.layout = modulesim::Layout::Long, .channel = 33, .address = "WABC"});
    EXPECT_EQ(run({"read"}).out, "COM2: channel 33, address WABC\n");
    EXPECT_EQ(run({"read", "--port", "com2", "--json"}).out,
              R"({"address":"WABC","channel":33,"channelValid":true,"exit":0,"found":true,)"
              R"("port":"COM2","skipped":[]})"
              "\n");
    const Outcome elsewhere = run({"read", "--port", "COM3"});
    EXPECT_EQ(elsewhere.exitCode, 1);
    EXPECT_TRUE(elsewhere.err.contains("COM3: no device"));
}

TEST_F(CliTest, ReadOfTheOtherGeneration)
{
    addModule(1, {.generation = modulesim::Generation::V4, .channel = 4});
    EXPECT_EQ(run({"read", "--port", "COM1", "--generation", "v4"}).out,
              "COM1: channel 4, address WXYZ\n");
}

TEST_F(CliTest, WriteChangesTheChannelAndReadsItBack)
{
    Simulator& module = addModule(5, {.channel = 3, .address = "WABC"});
    const Outcome outcome = run({"write", "--channel", "42", "--json"});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
    EXPECT_EQ(outcome.out, R"({"address":"WABC","channel":42,"channelValid":true,"exit":0,)"
                           R"("found":true,"port":"COM5","skipped":[],"written":true})"
                           "\n");
    EXPECT_EQ(module.channel(), 42);
    EXPECT_EQ(run({"write", "--port", "COM5", "--channel=7"}).out,
              "COM5: channel 7, address WABC\n");
    EXPECT_EQ(module.channel(), 7);
}

TEST_F(CliTest, WriteWhoseReadBackDiffersExitsWithTwo)
{
    Simulator& module = addModule(1, {.channel = 3, .ignoreWrites = true});
    const Outcome outcome = run({"write", "--channel", "42"});
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_TRUE(outcome.err.contains("channel 3, not 42")) << outcome.err.toStdString();
    EXPECT_EQ(module.writeRequests(), 1);
}

TEST_F(CliTest, ModuleVanishingBetweenWriteAndReadBackExitsWithOne)
{
    Simulator& module = addModule(1);
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MELVIX_PORT_DIR"), QString::fromStdString(portDir()));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(MELVIX_MODULE_PATH), {"write", "--channel", "20"});
    // The read-back follows the write command after 500 ms.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (module.writeRequests() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    module.vanish();
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitCode(), 1);
    // The module may have taken the write: the user must not be told that it
    // merely does not answer.
    EXPECT_TRUE(process.readAllStandardError().contains(
        "the device behind COM1 went away after the write command was sent"));
}

TEST_F(CliTest, PortsReportsLinksThatLeadNowhereUseful)
{
    addModule(1);
    link("/nonexistent/ttyUSB7", 2);
    const std::string file = portDir() + "/plain";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0644));
    link(file, 3);
    link("/tmp", 25);
    const Outcome outcome = run({"ports"});
    EXPECT_EQ(outcome.exitCode, 0);
    const QStringList lines = outcome.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 22) << outcome.out.toStdString();
    EXPECT_TRUE(lines[0].endsWith("serial device, can be opened"));
    EXPECT_EQ(lines[1], "COM2 (/nonexistent/ttyUSB7): dangling link: what it points to does not "
                        "exist");
    EXPECT_TRUE(lines[2].endsWith("not a serial device (a regular file)"));
    EXPECT_EQ(lines[3], "COM4: no device");
    EXPECT_EQ(lines[21], "COM25 (/tmp): not a serial device (a directory)");
    EXPECT_TRUE(run({"ports", "--json"}).out.contains(R"("port":"COM2","state":"dangling-link")"));
    EXPECT_EQ(requestsSeen(), 0);
}

TEST_F(CliTest, PortsNamesTheProcessThatHoldsABusyPort)
{
    Simulator& module = addModule(1);
    const int held = open(module.devicePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const Outcome outcome = run({"ports", "--json"});
    close(held);
    EXPECT_TRUE(outcome.out.contains(QStringLiteral(R"("pid":%1)").arg(getpid())))
        << outcome.out.toStdString();
    EXPECT_TRUE(outcome.out.contains(R"("state":"busy")"));
}

TEST_F(CliTest, PortsTellsAnUnprivilegedUserHowToGetPermission)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand a port to another user";
    const group* dialout = getgrnam("dialout");
    if (!dialout)
        GTEST_SKIP() << "no dialout group";
    Simulator& module = addModule(1);
    ASSERT_EQ(chown(module.devicePath().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(module.devicePath().c_str(), 0660), 0);
    const Outcome outcome =
        run({"ports"}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
    EXPECT_TRUE(outcome.out.startsWith(QString::fromStdString(
        "COM1 (" + module.devicePath() +
        "): permission denied — join the dialout group: sudo adduser $USER dialout, then log "
        "in again\n")))
        << outcome.out.toStdString();
}

TEST_F(CliTest, ChannelsAboveOneHundredTwentySevenShowAsTheBytesValue)
{
    const struct
    {
        std::uint8_t channel;
        QString text;
        bool valid;
    } cases[] = {
        {200, "channel 200 (outside 1 to 83)", false},
        {128, "channel 128 (outside 1 to 83)", false},
        {255, "channel 255 (outside 1 to 83)", false},
        {84, "channel 84 (outside 1 to 83)", false},
        {83, "channel 83", true},
    };
    Simulator& module = addModule(1);
    for (const auto& each : cases) {
        module.answerWith(std::string("a") + static_cast<char>(each.channel) + "WXYZ" +
                          std::string(10, '\0'));
        EXPECT_EQ(run({"read", "--port", "COM1"}).out, "COM1: " + each.text + ", address WXYZ\n");
        const QJsonObject json = jsonOf(run({"read", "--port", "COM1", "--json"}).out);
        EXPECT_EQ(json["channel"].toInt(), each.channel);
        EXPECT_EQ(json["channelValid"].toBool(), each.valid) << each.channel;
    }
}

TEST_F(CliTest, NotFoundReportNamesThePortsThatGaveNoUsableAnswer)
{
    const Simulator& silent = addModule(1, {.silent = true});
    const Simulator& invalid = addModule(2, {.channel = 7, .address = "QABC"});
    const Simulator& older = addModule(3, {.generation = modulesim::Generation::V4});
    const Simulator& high = addModule(25);
    const auto line = [](const Simulator& module, int com, const QString& text) {
        return QStringLiteral("COM%1 (%2): ")
                   .arg(com)
                   .arg(QString::fromStdString(module.devicePath())) +
               text;
    };
    const QStringList expected = {
        line(silent, 1, "opened, but no answer to the read command"),
        line(invalid, 2,
             "answered with channel 7, address QABC, which is not valid: an address starts "
             "with W"),
        line(older, 3,
             "answered like a V4 module (channel 5, address WXYZ): try --generation v4 --port "
             "COM3"),
        line(high, 25, "not tried, detection tries COM1 to COM21: use --port COM25"),
    };
    for (const QStringList& mode : {QStringList{}, QStringList{"--parallel"}}) {
        const Outcome outcome = run(QStringList{"detect"} + mode);
        EXPECT_EQ(outcome.exitCode, 1);
        const QStringList lines = outcome.err.split('\n', Qt::SkipEmptyParts);
        for (const QString& wanted : expected)
            EXPECT_TRUE(lines.contains(wanted)) << mode.join(' ').toStdString() << "\n"
                                                << outcome.err.toStdString();
        const QJsonArray diagnosis =
            jsonOf(run(QStringList{"detect", "--json"} + mode).out)["diagnosis"].toArray();
        ASSERT_EQ(diagnosis.size(), 22);
        EXPECT_EQ(diagnosis[0]["scan"], "no-answer");
        EXPECT_EQ(diagnosis[1]["scan"], "invalid-address");
        EXPECT_EQ(diagnosis[1]["address"], "QABC");
        EXPECT_EQ(diagnosis[2]["scan"], "v4-answer");
        EXPECT_EQ(diagnosis[21]["scan"], "not-tried");
        EXPECT_EQ(diagnosis[21]["port"], "COM25");
    }
    const Outcome read = run({"read", "--port", "COM2"});
    EXPECT_EQ(read.exitCode, 1);
    EXPECT_FALSE(read.err.contains("does not answer")) << read.err.toStdString();
    EXPECT_TRUE(read.err.contains("answered the read command with channel 7, address QABC"))
        << read.err.toStdString();
}

// Two map entries that lead to one device: the scan holds the device through
// the first, so the second cannot be opened while it runs.
TEST_F(CliTest, ParallelScanDiagnosesWhatItMetNotWhatIsThereLater)
{
    const Simulator& module = addModule(2, {.silent = true});
    link(module.devicePath(), 7);
    const Outcome outcome = run({"detect", "--parallel"});
    EXPECT_EQ(outcome.exitCode, 1);
    const QStringList lines = outcome.err.split('\n', Qt::SkipEmptyParts);
    const QString com7 = "COM7 (" + QString::fromStdString(module.devicePath()) + "): ";
    const auto found = std::find_if(lines.begin(), lines.end(),
                                    [&](const QString& line) { return line.startsWith(com7); });
    ASSERT_NE(found, lines.end()) << outcome.err.toStdString();
    EXPECT_FALSE(found->contains("can be opened")) << found->toStdString();
    EXPECT_TRUE(found->contains("busy")) << found->toStdString();
}

// Another program could take the port if the scan let go of it before the
// read: the device must be opened once, and closed only at the end.
TEST_F(CliTest, ParallelScanHandsOverTheWinningPortStillOpen)
{
    const Simulator& module = addModule(4);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    // Closes too, since inotify merges an event with an equal one before it.
    ASSERT_GE(inotify_add_watch(watch, module.devicePath().c_str(), IN_OPEN | IN_CLOSE), 0);
    for (const QString& command : {QStringLiteral("detect"), QStringLiteral("read")}) {
        const Outcome outcome = run({command, "--parallel"});
        EXPECT_EQ(outcome.out, "COM4: channel 5, address WXYZ\n");
        int opens = 0;
        alignas(inotify_event) char events[4096];
        for (ssize_t n = 0; (n = ::read(watch, events, sizeof events)) > 0;) {
            for (char* at = events; at < events + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                opens += (event->mask & IN_OPEN) != 0 ? 1 : 0;
                at += sizeof(inotify_event) + event->len;
            }
        }
        EXPECT_EQ(opens, 1) << command.toStdString();
    }
    close(watch);
}

TEST_F(CliTest, EveryPortSkippedAsBusyOrRefusedIsNoted)
{
    const Simulator& busy = addModule(1);
    const Simulator& refused = addModule(2);
    const Simulator& wanted = addModule(3);
    int held = -1;
    QStringList prefix;
    ASSERT_NO_FATAL_FAILURE(holdAndRefuse(busy, refused, {&wanted}, held, prefix));
    for (const QStringList& mode : {QStringList{}, QStringList{"--parallel"}}) {
        const Outcome text = run(QStringList{"write", "--channel", "9"} + mode, prefix);
        EXPECT_EQ(text.exitCode, 0) << text.err.toStdString();
        EXPECT_EQ(text.out, "COM3: channel 9, address WXYZ\n");
        EXPECT_TRUE(text.err.contains("melvix-module: note: skipped COM1 (" +
                                      QString::fromStdString(busy.devicePath()) + "): busy"))
            << text.err.toStdString();
        const QJsonObject json = jsonOf(run(QStringList{"detect", "--json"} + mode, prefix).out);
        const QJsonArray skipped = json["skipped"].toArray();
        ASSERT_GE(skipped.size(), 1);
        EXPECT_EQ(skipped[0]["port"], "COM1");
        EXPECT_EQ(skipped[0]["state"], "busy");
        if (!prefix.isEmpty()) {
            EXPECT_TRUE(text.err.contains("melvix-module: note: skipped COM2"))
                << text.err.toStdString();
            ASSERT_EQ(skipped.size(), 2);
            EXPECT_EQ(skipped[1]["state"], "permission-denied");
        }
    }
    close(held);
}

// A port that refuses is opened once per attempt, and what is said of it is
// what that open met: a second open to find out why could meet something
// else, such as a port that its holder has just let go of.
TEST_F(CliTest, ARefusedPortIsOpenedOnceAndExplainedByThatOpen)
{
    const Simulator& busy = addModule(1);
    const Simulator& refused = addModule(2);
    link("/dev/melvix-no-such-device", 3);
    int held = -1;
    QStringList user;
    ASSERT_NO_FATAL_FAILURE(holdAndRefuse(busy, refused, {}, held, user));
    const QString trace = QDir(QString::fromStdString(portDir())).filePath("trace");
    const struct
    {
        int com;
        QString said;
    } ports[] = {{1, QStringLiteral(": busy")},
                 {2, QStringLiteral("permission denied")},
                 {3, QStringLiteral("dangling link")}};
    for (const auto& port : ports) {
        const QString entry = QStringLiteral("com%1").arg(port.com);
        const Outcome outcome =
            run({"read", "--port", QStringLiteral("COM%1").arg(port.com)},
                QStringList{"strace", "-f", "-qq", "-e", "trace=open,openat", "-o", trace} + user);
        EXPECT_EQ(outcome.exitCode, 1);
        EXPECT_TRUE(outcome.err.contains(port.said)) << outcome.err.toStdString();
        QFile traced(trace);
        ASSERT_TRUE(traced.open(QIODevice::ReadOnly));
        const QString calls = QString::fromLocal8Bit(traced.readAll());
        EXPECT_EQ(calls.count(QLatin1Char('/') + entry + QLatin1Char('"')), 1)
            << entry.toStdString() << calls.toStdString();
    }
    close(held);
}

TEST_F(CliTest, LostOutputIsAnErrorWithAMessage)
{
    addModule(1);
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    std::array<int, 2> closedPipe{};
    ASSERT_EQ(pipe(closedPipe.data()), 0);
    close(closedPipe[0]);
    const struct
    {
        int fd;
        QStringList arguments;
        const char* reason;
    } cases[] = {
        {full, {"detect", "--json"}, "No space left on device"},
        {full, {"ports"}, "No space left on device"},
        {full, {"--help"}, "No space left on device"},
        {closedPipe[1], {"read", "--port", "COM1"}, "Broken pipe"},
        {full, {"read", "--all", "--json"}, "No space left on device"},
        // The line stops at its first module instead of running on unheard.
        {closedPipe[1], {"write", "--channel", "9", "--each"}, "Broken pipe"},
    };
    for (const auto& each : cases) {
        std::array<int, 2> err{};
        ASSERT_EQ(pipe(err.data()), 0);
        const pid_t pid = spawn(each.arguments, each.fd, err[1]);
        close(err[1]);
        const QString message = readAll(err[0]);
        close(err[0]);
        const Ended ended = waitFor(pid);
        EXPECT_EQ(ended.signal, 0) << each.arguments.join(' ').toStdString();
        EXPECT_EQ(ended.exitCode, 74) << each.arguments.join(' ').toStdString();
        EXPECT_TRUE(message.contains(QStringLiteral("melvix-module: write error on standard "
                                                    "output: ") +
                                     each.reason))
            << message.toStdString();
    }
    close(full);
    close(closedPipe[1]);
}

TEST_F(CliTest, ControlBytesFromTheModuleAreShownEscaped)
{
    Simulator& module = addModule(1, {.address = std::string("W\x1b\n\x9b", 4)});
    const Outcome text = run({"read", "--port", "COM1"});
    EXPECT_EQ(text.out, "COM1: channel 5, address W\\x1b\\x0a\\x9b\n");
    const QJsonObject json = jsonOf(run({"read", "--port", "COM1", "--json"}).out);
    EXPECT_EQ(json["address"].toString(), QString::fromLatin1("W\x1b\n\x9b", 4));
    // A refused address reaches stderr, escaped as well; a backslash of the
    // module's is doubled, so that it cannot pass for an escape.
    module.answerWith(std::string("a\x05Q\\\x07Z") + std::string(10, '\0'));
    const Outcome refused = run({"read", "--port", "COM1"});
    EXPECT_TRUE(refused.err.contains("address Q\\\\\\x07Z,")) << refused.err.toStdString();
    EXPECT_FALSE(refused.err.contains('\x07'));
    // An address whose first byte is zero has no characters: text shows "",
    // not a gap; JSON keeps the empty string.
    module.answerWith(std::string("a\x05") + std::string(14, '\0'));
    EXPECT_TRUE(
        run({"read", "--port", "COM1"})
            .err.contains(R"(answered the read command with channel 5, address "", which)"));
    const QJsonValue seen = jsonOf(run({"detect", "--json"}).out)["diagnosis"][0];
    EXPECT_EQ(seen["scan"], "invalid-address");
    EXPECT_EQ(seen["address"], "");
}

// The map resolves "comn" alone; an entry spelt otherwise reaches no port,
// and `ports` names it with the name that would serve.
TEST_F(CliTest, PortsNamesMapEntriesSpeltOtherwiseThanTheMapResolves)
{
    const std::string device = addModule(1).devicePath();
    for (const char* name : {"com03", "COM5", "com0", "Com007", "com3.bak"})
        ASSERT_EQ(symlink(device.c_str(), (portDir() + "/" + name).c_str()), 0) << name;
    const QString unused = QStringLiteral(": not a port name the program uses: ");
    const QStringList misnamed = {
        "COM5" + unused + "the port map's names are in lower case; rename it com5",
        "Com007" + unused +
            "a COM number has no leading zero, and the port map's names are in lower case; "
            "rename it com7",
        "com0" + unused + "there is no COM0, COM numbers start at 1",
        "com03" + unused + "a COM number has no leading zero; rename it com3",
    };
    const QStringList lines = run({"ports"}).out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 25) << lines.join('\n').toStdString();
    EXPECT_EQ(lines[2], "COM3: no device");
    EXPECT_EQ(lines.mid(21), misnamed);
    const QJsonObject json = jsonOf(run({"ports", "--json"}).out);
    EXPECT_EQ(json["ports"].toArray().size(), 21);
    const QJsonArray entries = json["misnamed"].toArray();
    ASSERT_EQ(entries.size(), 4);
    EXPECT_EQ(entries[3]["entry"], "com03");
    EXPECT_EQ(entries[3]["device"], QString::fromStdString(device));
    EXPECT_EQ(entries[3]["state"], "unusable");
    EXPECT_EQ(entries[3]["description"], misnamed[3]);
}

TEST_F(CliTest, EveryJsonObjectCarriesFoundAndExit)
{
    addModule(2, {.channel = 3, .ignoreWrites = true});
    link("/nonexistent/device", 5);
    const QList<QStringList> cases = {
        {"ports"},
        {"detect"},
        {"detect", "--parallel"},
        {"read", "--port", "COM2"},
        {"read", "--port", "COM3"},
        {"read", "--port", "COM5"},
        {"write", "--channel", "9"},
    };
    const QJsonArray ports = jsonOf(run({"ports", "--json"}).out)["ports"].toArray();
    for (const QStringList& arguments : cases) {
        const Outcome outcome = run(arguments + QStringList{"--json"});
        const QJsonObject json = jsonOf(outcome.out);
        const std::string name = arguments.join(' ').toStdString();
        EXPECT_TRUE(json["found"].isBool()) << name;
        EXPECT_EQ(json["exit"].toInt(-1), outcome.exitCode) << name;
        EXPECT_EQ(json.contains("error"), outcome.exitCode != 0) << name;
        for (const QJsonValue port : json["diagnosis"].toArray()) {
            const QString number = port["port"].toString();
            const auto listed = std::find_if(ports.begin(), ports.end(), [&](const QJsonValue& p) {
                return p["port"] == number;
            });
            ASSERT_NE(listed, ports.end()) << name;
            // The same object as `ports --json`, with what the scan saw.
            for (const QString& key : QJsonValue(*listed).toObject().keys())
                EXPECT_TRUE(port.toObject().contains(key)) << name << " " << key.toStdString();
            EXPECT_EQ(port["device"], QJsonValue(*listed)["device"]) << name;
        }
    }
    EXPECT_EQ(jsonOf(run({"detect", "--json"}).out)["found"], true);
    const QJsonArray unopened =
        jsonOf(run({"read", "--port", "COM5", "--json"}).out)["diagnosis"].toArray();
    ASSERT_EQ(unopened.size(), 1);
    EXPECT_EQ(unopened[0]["state"], "dangling-link");
    EXPECT_EQ(jsonOf(run({"write", "--channel", "9", "--json"}).out)["exit"], 2);
}

TEST_F(CliTest, PortNumbersFollowOneRule)
{
    const Simulator& module = addModule(32);
    const Outcome ports = run({"ports"});
    EXPECT_TRUE(ports.out.contains("COM32 (" + QString::fromStdString(module.devicePath()) +
                                   "): cannot be opened: above COM31, the highest port this "
                                   "program opens"))
        << ports.out.toStdString();
    const Outcome refused = run({"read", "--port", "COM32"});
    EXPECT_EQ(refused.exitCode, 64);
    EXPECT_TRUE(refused.err.contains("COM1 to COM31"));
    const QString help = run({"--help"}).out.simplified();
    EXPECT_TRUE(help.contains("detection tries COM1 to COM21")) << help.toStdString();
    EXPECT_TRUE(help.contains("--all and --each try COM1 to COM31, and --port takes any of them"));
    EXPECT_TRUE(help.contains("a port above COM31 cannot be used"));
    QFile manual(QStringLiteral(MELVIX_SOURCE_DIR "/packaging/melvix-module.1"));
    ASSERT_TRUE(manual.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(manual.readAll()).simplified();
    EXPECT_TRUE(page.contains("Detection tries COM1 to COM21")) << "manual page";
    EXPECT_TRUE(page.contains("try COM1 to COM31, and")) << "manual page";
    EXPECT_TRUE(page.contains("A port above COM31 cannot be used")) << "manual page";
}

TEST_F(CliTest, AnAddressWithAZeroByteIsRefusedInTheCommandsOwnWords)
{
    Simulator& module = addModule(1, {.address = std::string("W\0AB", 4)});
    const Outcome outcome = run({"write", "--channel", "9"});
    EXPECT_EQ(outcome.exitCode, 3);
    EXPECT_FALSE(outcome.err.contains("Set ADDRESS!")) << outcome.err.toStdString();
    EXPECT_TRUE(outcome.err.contains("the module's address holds a zero byte after 'W'"))
        << outcome.err.toStdString();
    EXPECT_EQ(module.writeRequests(), 0);
    EXPECT_EQ(module.address(), std::string("W\0AB", 4));
}

// The module has changed once the write command is out: the user learns what
// it holds before the signal ends the program.
TEST_F(CliTest, ASignalDuringWriteWaitsForTheReadBack)
{
    Simulator& module = addModule(1, {.channel = 3});
    int channel = 20;
    for (const int signal : {SIGTERM, SIGINT}) {
        std::array<int, 2> out{};
        ASSERT_EQ(pipe(out.data()), 0);
        const int writes = module.writeRequests();
        const pid_t pid = spawn({"write", "--channel", QString::number(channel)}, out[1], 2);
        close(out[1]);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (module.writeRequests() == writes && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(kill(pid, signal), 0);
        const auto signalled = std::chrono::steady_clock::now();
        const QString printed = readAll(out[0]);
        close(out[0]);
        const Ended ended = waitFor(pid);
        const auto took = std::chrono::steady_clock::now() - signalled;
        EXPECT_EQ(ended.signal, signal);
        EXPECT_EQ(printed, QStringLiteral("COM1: channel %1, address WXYZ\n").arg(channel));
        // The pause of 500 ms and one read; not a second detection.
        EXPECT_LT(took, std::chrono::milliseconds(1500 * MELVIX_TEST_SLOWDOWN));
        EXPECT_EQ(module.channel(), channel);
        ++channel;
    }
}

TEST_F(CliTest, AReadAfterDetectionAsksTheModuleOnce)
{
    Simulator& module = addModule(2);
    for (const QStringList& mode : {QStringList{}, QStringList{"--parallel"}}) {
        const int before = module.readRequests();
        EXPECT_TRUE(run(QStringList{"read"} + mode).out.startsWith("COM2: channel "));
        EXPECT_EQ(module.readRequests() - before, 1) << mode.join(' ').toStdString();
        const int beforeWrite = module.readRequests();
        EXPECT_EQ(run(QStringList{"write", "--channel", "6"} + mode).exitCode, 0);
        // The detection's answer, the read that confirms the address, and the
        // read-back.
        EXPECT_EQ(module.readRequests() - beforeWrite, 3) << mode.join(' ').toStdString();
    }
}

} // namespace

namespace {

// The window says nothing more than "Status: Not Detected"; a user who
// started it from a terminal learns there why ports could not be opened.
TEST_F(CliTest, TheWindowExplainsUnopenedPortsOnStandardError)
{
    addModule(1, {.silent = true});
    link("/nonexistent/ttyUSB0", 5);
    QProcess window;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MELVIX_PORT_DIR"), QString::fromStdString(portDir()));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    window.setProcessEnvironment(environment);
    window.start(QStringLiteral(STARTUP_PROBE_PATH), {"--stay", "0"});
    ASSERT_TRUE(window.waitForFinished(60000));
    const QStringList lines =
        QString::fromLocal8Bit(window.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    EXPECT_TRUE(lines.contains("COM5 (/nonexistent/ttyUSB0): dangling link: what it points to "
                               "does not exist"))
        << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.contains("COM2, COM3, COM4, COM6, COM7, COM8, COM9, COM10, COM11, COM12, "
                               "COM13, COM14, COM15, COM16, COM17, COM18, COM19, COM20, COM21: "
                               "no device"));
}

// Channel 87 is the byte "W". After a stray byte, the marker search could take
// it for the address initial and shift the address by one; a write would then
// store that shifted address in the module.
TEST_F(CliTest, WriteKeepsTheAddressOfAModuleOnChannelW)
{
    Simulator& module = addModule(3, {.channel = 87, .strayByte = true});
    const Outcome outcome = run({"write", "--port", "COM3", "--channel", "30"});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
    EXPECT_EQ(module.address(), "WXYZ");
    EXPECT_EQ(module.channel(), 30);
}

} // namespace

namespace {

using namespace std::chrono_literals;

// melvix-module started and left running while the test changes the ports.
class Running
{
public:
    Running(const std::string& portDir, const QStringList& arguments,
            const QStringList& prefix = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MELVIX_PORT_DIR"), QString::fromStdString(portDir));
        process_.setProcessEnvironment(environment);
        const QStringList program = prefix + QStringList{QStringLiteral(MELVIX_MODULE_PATH)};
        process_.start(program.front(), program.mid(1) + arguments);
        EXPECT_TRUE(process_.waitForStarted());
    }
    ~Running()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished();
        }
    }

    // CPU seconds its threads have used so far.
    double cpuSeconds() const
    {
        const QString tasks = QStringLiteral("/proc/%1/task").arg(process_.processId());
        double seconds = 0;
        for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile schedstat(tasks + '/' + task + QStringLiteral("/schedstat"));
            if (schedstat.open(QIODevice::ReadOnly))
                seconds += schedstat.readAll().split(' ').front().toDouble() / 1e9;
        }
        return seconds;
    }

    void signal(int number) const { kill(static_cast<pid_t>(process_.processId()), number); }

    Outcome finish()
    {
        // lines() may have seen it end already.
        if (process_.state() != QProcess::NotRunning) {
            EXPECT_TRUE(process_.waitForFinished(30000));
        }
        output_ += QString::fromLocal8Bit(process_.readAllStandardOutput());
        return {process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1, output_,
                QString::fromLocal8Bit(process_.readAllStandardError())};
    }

    // The lines written to stdout so far, the complete ones.
    QStringList lines()
    {
        // Without an event loop, QProcess takes what has come only here.
        process_.waitForReadyRead(10);
        output_ += QString::fromLocal8Bit(process_.readAllStandardOutput());
        return output_.left(output_.lastIndexOf('\n') + 1).split('\n', Qt::SkipEmptyParts);
    }

private:
    QProcess process_;
    QString output_;
};

template <class Condition> bool eventually(Condition condition, std::chrono::seconds limit = 20s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST_F(CliTest, AllFindsWritesAndVerifiesEveryModuleAndSaysWhyOneFailed)
{
    constexpr int silentPort = 4;
    constexpr int deafPort = 7;
    constexpr int vanishingPort = 11;
    std::vector<Simulator*> modules(17);
    for (int com = 1; com <= 16; ++com) {
        // Each with its own address, as a line's modules have.
        modules[com] = &addModule(com, {.channel = static_cast<std::uint8_t>(com),
                                        .address = "WXZ" + std::string(1, 'A' + com - 1),
                                        .silent = com == silentPort,
                                        .ignoreWrites = com == deafPort});
    }
    const Outcome detected = run({"detect", "--all"});
    EXPECT_EQ(detected.exitCode, 0);
    const QStringList found = detected.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(found.size(), 15) << detected.out.toStdString();
    EXPECT_EQ(found[0], "COM1: channel 1, address WXZA");
    EXPECT_EQ(found[14], "COM16: channel 16, address WXZP");
    EXPECT_TRUE(detected.err.contains("15 modules found; no answer on COM4"))
        << detected.err.toStdString();

    const Outcome read = run({"read", "--all", "--json"});
    const QJsonArray objects = QJsonDocument::fromJson(read.out.toUtf8()).array();
    ASSERT_EQ(objects.size(), 15) << read.out.toStdString();
    for (const QJsonValue& object : objects) {
        EXPECT_TRUE(object["found"].toBool());
        EXPECT_EQ(object["exit"].toInt(), 0);
    }

    Running write(portDir(), {"write", "--all", "--channel", "30"});
    ASSERT_TRUE(eventually([&] { return modules[vanishingPort]->writeRequests() == 1; }));
    modules[vanishingPort]->vanish();
    const Outcome written = write.finish();
    EXPECT_EQ(written.exitCode, 1) << written.err.toStdString();
    const QStringList lines = written.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 15) << written.out.toStdString();
    EXPECT_TRUE(lines.contains("COM1: channel 30, address WXZA"));
    EXPECT_TRUE(lines.contains("COM7: address WXZG, the read-back shows channel 7, not 30"))
        << written.out.toStdString();
    EXPECT_TRUE(lines.contains(
        "COM11: address WXZK, the device went away after the write command was sent"))
        << written.out.toStdString();
    EXPECT_TRUE(written.err.contains("13 of 15 modules written and verified"))
        << written.err.toStdString();
    for (int com = 1; com <= 16; ++com) {
        SCOPED_TRACE(com);
        EXPECT_EQ(modules[com]->writeRequests(), com == silentPort ? 0 : 1);
        if (com != silentPort && com != deafPort && com != vanishingPort) {
            EXPECT_EQ(modules[com]->channel(), 30);
        }
    }
}

TEST_F(CliTest, WaitEndsOnItsLimitWithExitOne)
{
    for (const QStringList& arguments :
         {QStringList{"detect", "--wait", "0.4"},
          QStringList{"read", "--port", "COM2", "--wait=0.4"},
          QStringList{"write", "--all", "--channel", "3", "--wait", "0.4"}}) {
        const auto start = std::chrono::steady_clock::now();
        const Outcome outcome = run(arguments);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(outcome.exitCode, 1) << arguments.join(' ').toStdString();
        EXPECT_GE(took, 400ms);
        EXPECT_LT(took, 10s);
    }
}

TEST_F(CliTest, WaitFindsTheModuleOncePluggedIn)
{
    Running detect(portDir(), {"detect", "--wait", "30"});
    std::this_thread::sleep_for(300ms);
    addModule(4, {.channel = 44});
    const Outcome outcome = detect.finish();
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
    EXPECT_EQ(outcome.out, "COM4: channel 44, address WXYZ\n");
}

TEST_F(CliTest, WaitOnAPortSeesItsModuleGoAndAnotherComeInItsPlace)
{
    // Opens, but never answers, and goes after a while as a pulled adapter.
    addModule(4, {.silent = true, .vanishAfter = 700ms});
    Running read(portDir(), {"read", "--port", "COM4", "--wait", "30"});
    ASSERT_TRUE(
        eventually([&] { return !QFile::exists(QString::fromStdString(portDir()) + "/com4"); }));
    std::this_thread::sleep_for(200ms);
    addModule(4, {.channel = 61, .address = "WNEW"});
    const Outcome outcome = read.finish();
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
    EXPECT_EQ(outcome.out, "COM4: channel 61, address WNEW\n");
}

TEST_F(CliTest, WaitFollowsAMapDirectoryThatIsMadeRemovedAndMadeAgain)
{
    // As the simulator makes its directory when missing and removes it when
    // it is left empty.
    const std::string map = portDir() + "/ports/";
    Running detect(map, {"detect", "--wait", "30"});
    std::this_thread::sleep_for(300ms);
    auto silent = std::make_unique<Simulator>(Options{.silent = true});
    silent->linkInto(map, 1);
    // Its three probes go unanswered before the directory goes.
    ASSERT_TRUE(eventually([&] { return silent->readRequests() == 3; }));
    silent.reset();
    ASSERT_FALSE(QFile::exists(QString::fromStdString(map)));
    Simulator module({.channel = 17});
    module.linkInto(map, 2);
    const Outcome outcome = detect.finish();
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
    EXPECT_EQ(outcome.out, "COM2: channel 17, address WXYZ\n");
}

// The map directory may be yet to be made below parents that are missing
// too, or be a link pointed at another directory while the command waits.
TEST_F(CliTest, WaitFollowsAMapDirectoryBelowMissingParentsOrBehindALinkRepointed)
{
    const std::string root = portDir();
    ASSERT_EQ(mkdir((root + "/empty").c_str(), 0755), 0);
    ASSERT_EQ(symlink("empty", (root + "/linked").c_str()), 0);
    const struct
    {
        std::string map;
        std::function<void(Simulator&)> plugIn;
    } cases[] = {
        {root + "/a/b/ports",
         [&](Simulator& module) {
             ASSERT_EQ(mkdir((root + "/a").c_str(), 0755), 0);
             ASSERT_EQ(mkdir((root + "/a/b").c_str(), 0755), 0);
             module.linkInto(root + "/a/b/ports", 2);
         }},
        // As ln -sfn points it: a new link renamed over the old one.
        {root + "/linked",
         [&](Simulator& module) {
             module.linkInto(root + "/full", 2);
             ASSERT_EQ(symlink("full", (root + "/next").c_str()), 0);
             ASSERT_EQ(rename((root + "/next").c_str(), (root + "/linked").c_str()), 0);
         }},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.map);
        Running detect(each.map, {"detect", "--wait", "10"});
        std::this_thread::sleep_for(300ms);
        Simulator module({.channel = 17});
        each.plugIn(module);
        const Outcome outcome = detect.finish();
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
        EXPECT_EQ(outcome.out, "COM2: channel 17, address WXYZ\n");
    }
}

// Modules plugged in together appear a moment apart: --all --wait takes the
// one that follows the first, not the first alone.
TEST_F(CliTest, AllWaitTakesTheModulesPluggedInAMomentAfterTheFirst)
{
    Running write(portDir(), {"write", "--all", "--wait", "30", "--channel", "30"});
    std::this_thread::sleep_for(300ms);
    Simulator& first = addModule(3, {.channel = 3, .address = "WAAA"});
    std::this_thread::sleep_for(100ms);
    Simulator& second = addModule(8, {.channel = 8, .address = "WBBB"});
    const Outcome outcome = write.finish();
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
    EXPECT_EQ(outcome.out, "COM3: channel 30, address WAAA\nCOM8: channel 30, address WBBB\n");
    EXPECT_TRUE(outcome.err.contains("2 of 2 modules written and verified"))
        << outcome.err.toStdString();
    EXPECT_EQ(first.channel(), 30);
    EXPECT_EQ(second.channel(), 30);
}

TEST_F(CliTest, EachProgramsEveryModulePluggedInOnceAndReportsAFailureOnce)
{
    Running line(portDir(), {"write", "--channel", "33", "--each", "--json"});
    // Waiting for the first module costs nothing.
    std::this_thread::sleep_for(500ms);
    const double before = line.cpuSeconds();
    std::this_thread::sleep_for(2s);
    EXPECT_LE(line.cpuSeconds() - before,
              timing::scaled(std::chrono::duration<double>(0.01)).count());

    Simulator& first = addModule(2, {.channel = 1, .address = "WAAA"});
    ASSERT_TRUE(eventually([&] { return line.lines().size() == 1; }));
    Simulator& second = addModule(3, {.channel = 2, .address = "WBBB"});
    ASSERT_TRUE(eventually([&] { return line.lines().size() == 2; }));
    // Both stay plugged in past the checks that they are still there.
    std::this_thread::sleep_for(1500ms);
    first.vanish();
    Simulator& third = addModule(2, {.channel = 3, .address = "WCCC"});
    ASSERT_TRUE(eventually([&] { return line.lines().size() == 3; }));
    Simulator& deaf = addModule(5, {.channel = 4, .address = "WDDD", .ignoreWrites = true});
    ASSERT_TRUE(eventually([&] { return line.lines().size() == 4; }));
    std::this_thread::sleep_for(1500ms);
    line.signal(SIGTERM);
    const QStringList lines = line.lines();
    const Outcome outcome = line.finish();
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_TRUE(outcome.err.contains("3 programmed, 1 failed")) << outcome.err.toStdString();
    ASSERT_EQ(lines.size(), 4) << lines.join('\n').toStdString();
    const char* ports[] = {"COM2", "COM3", "COM2", "COM5"};
    const char* addresses[] = {"WAAA", "WBBB", "WCCC", "WDDD"};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const QJsonObject object = QJsonDocument::fromJson(lines[i].toUtf8()).object();
        EXPECT_EQ(object["number"].toInt(), i + 1);
        EXPECT_EQ(object["port"].toString(), ports[i]);
        EXPECT_EQ(object["address"].toString(), addresses[i]);
        EXPECT_EQ(object["oldChannel"].toInt(), i + 1);
        EXPECT_EQ(object["exit"].toInt(), i < 3 ? 0 : 2);
        EXPECT_TRUE(QDateTime::fromString(object["time"].toString(), Qt::ISODate).isValid());
    }
    for (Simulator* module : {&first, &second, &third, &deaf})
        EXPECT_EQ(module->writeRequests(), 1);
    EXPECT_EQ(second.channel(), 33);
    EXPECT_EQ(third.channel(), 33);
}

TEST_F(CliTest, WaitTriesAgainADeviceThatIsGrantedJustAfterItAppeared)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand a port to another user";
    // As udev does: the node appears root's alone, then is given to a group.
    Simulator module({.channel = 21});
    ASSERT_EQ(chown(module.devicePath().c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(module.devicePath().c_str(), 0600), 0);
    Running detect(portDir(), {"detect", "--wait", "10"},
                   {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    std::this_thread::sleep_for(300ms);
    module.linkInto(portDir(), 6);
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(chmod(module.devicePath().c_str(), 0666), 0);
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = detect.finish();
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
    EXPECT_EQ(outcome.out, "COM6: channel 21, address WXYZ\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// Granted long after its link appeared, a refused device is tried again at
// once, and the report at the limit tells what the port is by then, not the
// mode that refused it.
TEST_F(CliTest, WaitTriesAgainADeviceGrantedLongAfterItAppeared)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand a port to another user";
    const Simulator& module = addModule(6, {.silent = true});
    ASSERT_EQ(chown(module.devicePath().c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(module.devicePath().c_str(), 0600), 0);
    // Past the second in which a new device is tried again in any case.
    std::this_thread::sleep_for(1200ms);
    Running detect(portDir(), {"detect", "--wait", "2"},
                   {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(chmod(module.devicePath().c_str(), 0666), 0);
    const Outcome outcome = detect.finish();
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_TRUE(outcome.err.contains(
        QStringLiteral("COM6 (%1): opened, but no answer").arg(module.devicePath().c_str())))
        << outcome.err.toStdString();
    EXPECT_FALSE(outcome.err.contains("mode 0600")) << outcome.err.toStdString();
}

} // namespace

namespace {

// One adapter per port stays plugged in while modules are put on and taken
// off behind it, and some ports cannot be used: each module is programmed
// once, whatever its line drops, and each port that cannot be used is said
// once, and tried again.
TEST_F(CliTest, EachOnAJigProgramsEveryModuleOnceAndSaysWhatItCannotUse)
{
    Simulator& jig = addModule(2, {.channel = 5, .address = "WAAA"});
    Simulator& flaky =
        addModule(3, {.channel = 6, .address = "WFFF", .dropChance = 0.5, .seed = 7});
    addModule(4, {.channel = 7, .address = "QXYZ"});
    addModule(5, {.generation = modulesim::Generation::V4, .channel = 8});
    Simulator& busy = addModule(6, {.channel = 9, .address = "WHHH"});
    const int lock = open(busy.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);

    Running line(portDir(), {"write", "--channel", "30", "--each", "--json"});
    const auto linesOn = [&](const char* port) {
        return static_cast<int>(
            line.lines().filter(QStringLiteral("\"port\":\"%1\"").arg(port)).size());
    };
    ASSERT_TRUE(eventually([&] { return linesOn("COM2") == 1 && linesOn("COM3") == 1; }));
    // Taken away for a while, and another module put in its place.
    jig.takeAway();
    std::this_thread::sleep_for(3s);
    jig.putOn(11, "WBBB");
    ASSERT_TRUE(eventually([&] { return linesOn("COM2") == 2; }));
    // A quicker swap to a module with the same address.
    jig.takeAway();
    std::this_thread::sleep_for(2s);
    jig.putOn(12, "WBBB");
    ASSERT_TRUE(eventually([&] { return linesOn("COM2") == 3; }));
    // A port that was busy at the start is used once it is free.
    close(lock);
    ASSERT_TRUE(eventually([&] { return linesOn("COM6") == 1; }));
    std::this_thread::sleep_for(1500ms);
    line.signal(SIGTERM);
    const Outcome outcome = line.finish();

    EXPECT_EQ(jig.writeRequests(), 3);
    EXPECT_EQ(jig.channel(), 30);
    EXPECT_EQ(busy.channel(), 30);
    // However many of its answers the line drops, it is one module.
    EXPECT_EQ(flaky.writeRequests(), 1);
    EXPECT_EQ(outcome.out.count("\"port\":\"COM3\""), 1) << outcome.out.toStdString();
    const QStringList notes = outcome.err.split('\n').filter("note:");
    ASSERT_EQ(notes.size(), 3) << outcome.err.toStdString();
    EXPECT_TRUE(notes.filter("COM4").filter("address QXYZ, which is not valid").size() == 1);
    EXPECT_TRUE(notes.filter("COM5").filter("answered like a V4 module").size() == 1);
    EXPECT_TRUE(notes.filter("skipped COM6").filter("busy, held by process").size() == 1);
}

// --all reaches every port the serial component opens and says what it
// could not use: ports above its reach, and ports that answered, but not as
// a module of the generation.
TEST_F(CliTest, AllSaysWhichPortsItCouldNotUseAndWhy)
{
    Simulator& first = addModule(1, {.channel = 5});
    EXPECT_TRUE(run({"detect", "--all"}).err.endsWith("melvix-module: 1 module found\n"));
    addModule(4, {.address = "QXYZ"});
    addModule(5, {.generation = modulesim::Generation::V4});
    addModule(6, {.answer = std::string(16, 'x')});
    Simulator& high = addModule(25, {.channel = 6, .address = "WHGH"});
    Simulator& beyond = addModule(40, {.channel = 7});
    const Outcome outcome = run({"write", "--all", "--channel", "30"});
    EXPECT_EQ(first.channel(), 30);
    EXPECT_EQ(high.channel(), 30);
    EXPECT_EQ(beyond.writeRequests(), 0);
    EXPECT_EQ(outcome.exitCode, 1) << "a module may sit beyond its reach";
    const QStringList err = outcome.err.split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(err.filter("note: COM4").size(), 1) << outcome.err.toStdString();
    EXPECT_EQ(err.filter("note: COM5").filter("V4").size(), 1);
    EXPECT_EQ(err.filter("note: COM6").filter("match no reply layout").size(), 1);
    EXPECT_EQ(err.filter("note: not tried: COM40").size(), 1);
    EXPECT_EQ(err.last(),
              "melvix-module: 2 of 2 modules written and verified; answers that are no module's "
              "of this generation on COM4, COM5, COM6; not tried, above COM31: COM40");
}

// A port that refused the scan's open is noted even when whatever held it
// has let go by the time the scan looks at why.
TEST_F(CliTest, APortHeldForAMomentIsNotedAsSkipped)
{
    Simulator& flickering = addModule(1);
    addModule(2);
    std::atomic<bool> stop{false};
    std::thread holder([&] {
        const int fd = open(flickering.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        while (!stop) {
            flock(fd, LOCK_EX);
            std::this_thread::sleep_for(4ms);
            flock(fd, LOCK_UN);
            std::this_thread::sleep_for(1ms);
        }
        close(fd);
    });
    for (int i = 0; i < 20; ++i) {
        for (const QStringList& command : {QStringList{"detect"}, QStringList{"read", "--all"}}) {
            const Outcome outcome = run(command);
            const bool used = outcome.out.startsWith("COM1:");
            EXPECT_TRUE(used || outcome.err.contains("note: skipped COM1"))
                << outcome.out.toStdString() << outcome.err.toStdString();
        }
    }
    stop = true;
    holder.join();
}

// Started with its standard descriptors closed, the program must not open
// the port as one of them and send its own output to the module.
TEST_F(CliTest, ClosedStandardDescriptorsNeverBecomeThePort)
{
    PtyPair pty;
    link(pty.slavePath(), 2);
    std::thread module([&] {
        if (pty.receive(15).size() == 15) {
            std::string block("a\x0fWXYZ", 6);
            block.resize(16, '\0');
            pty.send(block);
        }
    });
    const Outcome outcome =
        run({"read", "--port", "COM2"}, {"sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"});
    module.join();
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(pty.receive(1, 300ms).empty()) << "the result line went to the module";
}

// Read in the window's fixed waits, an answer that comes in pieces slower
// than a wait is read whole, not together with the start of the next.
TEST_F(CliTest, FixedWaitsReadAnAnswerInSlowPiecesWhole)
{
    Simulator& module =
        addModule(3, {.channel = 5, .address = "WAXW", .pieces = 12, .piecePause = 8ms});
    const Outcome outcome = run({"write", "--port", "COM3", "--channel", "60", "--fixed-waits"});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
    EXPECT_EQ(module.channel(), 60);
    EXPECT_EQ(module.address(), "WAXW");
}

// A line's console, a Bluetooth port or another instrument may sit beside
// the modules' ports: with --ports nothing else is opened, let alone sent
// to, by a detection, --all or --each.
TEST_F(CliTest, PortsListLeavesEveryOtherPortUntouched)
{
    PtyPair console;
    termios settings{};
    ASSERT_EQ(tcgetattr(console.programEnd(), &settings), 0);
    cfsetspeed(&settings, B9600);
    ASSERT_EQ(tcsetattr(console.programEnd(), TCSANOW, &settings), 0);
    link(console.slavePath(), 3);
    Simulator& outside = addModule(7, {.channel = 7, .address = "WOUT"});
    std::vector<Simulator*> inside;
    for (const int com : {5, 6, 22})
        inside.push_back(
            &addModule(com, {.channel = 9, .address = "WIN" + std::to_string(com % 10)}));
    const QString list = "com5-COM6,COM22";

    for (const QStringList& detect : {QStringList{"detect"}, QStringList{"detect", "--parallel"}}) {
        const Outcome outcome = run(detect + QStringList{"--ports", list});
        EXPECT_EQ(outcome.out, "COM5: channel 9, address WIN5\n") << outcome.err.toStdString();
    }
    const Outcome read = run({"read", "--all", "--ports", list});
    EXPECT_EQ(read.out, "COM5: channel 9, address WIN5\nCOM6: channel 9, address WIN6\n"
                        "COM22: channel 9, address WIN2\n")
        << read.err.toStdString();
    EXPECT_EQ(run({"write", "--all", "--channel", "30", "--ports", list}).exitCode, 0);
    for (const Simulator* module : inside)
        EXPECT_EQ(module->channel(), 30);

    Running line(portDir(), {"write", "--each", "--channel", "40", "--ports", list});
    ASSERT_TRUE(eventually([&] { return line.lines().size() == 3; }));
    line.signal(SIGTERM);
    EXPECT_EQ(line.finish().exitCode, 0);
    for (const Simulator* module : inside)
        EXPECT_EQ(module->channel(), 40);

    EXPECT_EQ(outside.readRequests() + outside.writeRequests(), 0);
    EXPECT_TRUE(console.receive(1, 100ms).empty()) << "a byte went to the console";
    ASSERT_EQ(tcgetattr(console.programEnd(), &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), B9600) << "the console was opened and set up";
}

// Two modules with one address disturb each other wherever they are used
// together: held at the same time, both are named, and neither is written.
TEST_F(CliTest, ModulesSharingAnAddressAreBothFlaggedAndNotWritten)
{
    Simulator& first = addModule(2, {.channel = 5, .address = "WDUP"});
    Simulator& twin = addModule(4, {.channel = 6, .address = "WDUP"});
    Simulator& other = addModule(3, {.channel = 7, .address = "WONE"});
    EXPECT_EQ(run({"read", "--all"}).out,
              "COM2: channel 5, address WDUP; address WDUP is also on COM4\n"
              "COM3: channel 7, address WONE\n"
              "COM4: channel 6, address WDUP; address WDUP is also on COM2\n");
    const Outcome written = run({"write", "--all", "--channel", "30", "--json"});
    EXPECT_EQ(written.exitCode, 3);
    const QJsonArray objects = QJsonDocument::fromJson(written.out.toUtf8()).array();
    ASSERT_EQ(objects.size(), 3) << written.out.toStdString();
    EXPECT_EQ(objects[0]["sameAddressAs"].toArray(), QJsonArray{"COM4"});
    EXPECT_EQ(objects[0]["error"].toString(), "address WDUP is also on COM4: nothing was written");
    EXPECT_EQ(objects[2]["sameAddressAs"].toArray(), QJsonArray{"COM2"});
    EXPECT_TRUE(objects[1]["sameAddressAs"].isUndefined());
    EXPECT_EQ(first.writeRequests() + twin.writeRequests(), 0);
    EXPECT_EQ(other.channel(), 30);

    // On the line the first is programmed before its twin comes.
    twin.vanish();
    Running line(portDir(), {"write", "--each", "--channel", "40", "--json"});
    ASSERT_TRUE(eventually([&] { return line.lines().size() == 2; }));
    Simulator& late = addModule(5, {.channel = 6, .address = "WDUP"});
    ASSERT_TRUE(eventually([&] { return line.lines().size() == 3; }));
    line.signal(SIGTERM);
    const Outcome outcome = line.finish();
    const QJsonObject lateLine = jsonOf(outcome.out.split('\n', Qt::SkipEmptyParts).last());
    EXPECT_EQ(lateLine["port"].toString(), "COM5");
    EXPECT_EQ(lateLine["exit"].toInt(), 3);
    EXPECT_EQ(lateLine["sameAddressAs"].toArray(), QJsonArray{"COM2"});
    EXPECT_EQ(late.writeRequests(), 0);
    EXPECT_EQ(first.channel(), 40);
    EXPECT_TRUE(outcome.err.contains("note: COM2: address WDUP is also on COM5"))
        << outcome.err.toStdString();
}

// The lines of a production record, each without its line end.
QList<QByteArray> logLines(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = file.readAll().split('\n');
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.pop_back();
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

// Killed at any moment, also in the pause between a write command and its
// read-back, the line leaves a record in which every module written has its
// started line, every result follows its started line, and no line is torn.
TEST_F(CliTest, LogHoldsEveryWriteBeforeItGoesOutWhereverTheLineIsKilled)
{
    const QTemporaryDir logDir;
    const QString log = logDir.filePath(QStringLiteral("line.jsonl"));
    const unsigned seed = static_cast<unsigned>(testing::UnitTest::GetInstance()->random_seed());
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> killAfterMs(0, 2500);
    const int discard = open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::vector<std::string> written;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        const pid_t line =
            spawn({"write", "--each", "--channel", "42", "--log", log}, discard, discard);
        std::vector<std::unique_ptr<Simulator>> modules;
        const auto anyWritten = [&] {
            return std::any_of(modules.begin(), modules.end(),
                               [](const auto& module) { return module->writeRequests() > 0; });
        };
        // Every other round is killed as soon as a write command has come:
        // in the pause before the read-back.
        const bool inPause = round % 2 == 1;
        const auto killAt =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(killAfterMs(random));
        const auto due = [&] {
            return inPause ? anyWritten() : std::chrono::steady_clock::now() >= killAt;
        };
        // Plugged in one after another.
        for (int i = 0; i < 3 && !due(); ++i) {
            const std::string address{'W', static_cast<char>('A' + round),
                                      static_cast<char>('A' + i), 'Z'};
            modules.push_back(std::make_unique<Simulator>(Options{.address = address}));
            modules.back()->linkInto(portDir(), 2 + i);
            const auto next = std::chrono::steady_clock::now() + 300ms;
            while (std::chrono::steady_clock::now() < next && !due())
                std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(eventually(due, 10s));
        kill(line, SIGKILL);
        EXPECT_EQ(waitFor(line).signal, SIGKILL);
        for (const auto& module : modules) {
            if (module->writeRequests() > 0)
                written.push_back(module->address());
        }
    }
    close(discard);
    EXPECT_FALSE(written.empty());

    QList<QPair<QString, QString>> started;
    for (const QByteArray& line : logLines(log)) {
        const auto record = DecodeRecord(line, RecordFormat::JsonLines);
        ASSERT_TRUE(record) << "a torn line: " << line.toStdString();
        const QPair<QString, QString> module{record->port, record->address};
        if (record->kind == ProductionRecord::Kind::Started)
            started.append(module);
        if (record->kind == ProductionRecord::Kind::Result) {
            EXPECT_TRUE(started.contains(module)) << line.toStdString();
        }
    }
    for (const std::string& address : written) {
        EXPECT_TRUE(std::any_of(
            started.begin(), started.end(),
            [&](const auto& module) { return module.second == QString::fromStdString(address); }))
            << address << " was written without its started line";
    }
}

// A record that cannot be kept stops the command before it writes anything:
// one that cannot be opened before any port is touched, one that cannot be
// written before the write command goes out, also on the production line.
TEST_F(CliTest, ALogThatCannotBeKeptStopsBeforeAnyModuleIsWritten)
{
    Simulator& module = addModule(2);
    const QTemporaryDir directory;
    const struct
    {
        QStringList arguments;
        bool portTouched;
    } cases[] = {
        {{"write", "--port", "COM2", "--channel", "9", "--log", directory.path()}, false},
        {{"read", "--all", "--log", directory.path()}, false},
        {{"write", "--port", "COM2", "--channel", "9", "--log", "/dev/full"}, true},
        {{"write", "--all", "--channel", "9", "--log", "/dev/full"}, true},
        {{"write", "--each", "--channel", "9", "--log", "/dev/full"}, true},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.arguments.join(' ').toStdString());
        const int readsBefore = module.readRequests();
        const Outcome outcome = run(each.arguments);
        EXPECT_EQ(outcome.exitCode, 74);
        EXPECT_TRUE(outcome.err.contains("the production record cannot be kept"))
            << outcome.err.toStdString();
        EXPECT_EQ(module.readRequests() > readsBefore, each.portTouched);
    }
    EXPECT_EQ(module.writeRequests(), 0);
}

// A module whose address the record calls verified with the channel asked is
// read and left alone, which counts as done, until another channel is asked
// or --again is given; a half line that a killed station left is passed over.
TEST_F(CliTest, AModuleTheLogCallsProgrammedIsCheckedAndNotWrittenAgain)
{
    Simulator& module = addModule(2, {.address = "WAAA"});
    const QTemporaryDir logDir;
    const QString log = logDir.filePath(QStringLiteral("line.CSV"));
    ASSERT_EQ(run({"write", "--port", "COM2", "--channel", "42", "--log", log}).exitCode, 0);
    QString programmedAt;
    for (const QByteArray& line : logLines(log)) {
        if (const auto record = DecodeRecord(line, RecordFormat::Csv);
            record && record->result == "verified")
            programmedAt = record->time;
    }
    ASSERT_FALSE(programmedAt.isEmpty());
    {
        QFile file(log);
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write("result,2026-12-09T0");
    }
    const struct
    {
        QStringList arguments;
        int writes;
        QString says;
    } cases[] = {
        {{"write", "--port", "COM2", "--channel", "42"},
         1,
         "already programmed at " + programmedAt},
        {{"write", "--all", "--channel", "42"},
         1,
         "0 of 1 module written and verified, 1 already programmed"},
        {{"write", "--all", "--channel", "43"}, 2, "1 of 1 module written and verified"},
        {{"write", "--port", "COM2", "--channel", "43", "--again"}, 3, ""},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.arguments.join(' ').toStdString());
        const Outcome outcome = run(each.arguments + QStringList{"--log", log});
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
        EXPECT_EQ(module.writeRequests(), each.writes);
        EXPECT_TRUE(outcome.err.contains(each.says)) << outcome.err.toStdString();
    }
    const QList<QByteArray> lines = logLines(log);
    EXPECT_EQ(lines.front(), CsvHeader().trimmed());
    EXPECT_EQ(lines.count("result,2026-12-09T0"), 1);
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const QByteArray& line) { return line.contains("already-programmed"); }),
        2);
}

// Two stations appending to one record at once leave whole lines, each
// decoding as what was written, and one CSV header.
TEST(ProductionLogTest, TwoStationsAppendingAtOnceLeaveWholeRecords)
{
    constexpr int Records = 200;
    ProductionRecord record;
    record.kind = ProductionRecord::Kind::Result;
    record.address = QStringLiteral("W,\"Z");
    record.channelAsked = 42;
    record.error = QString(3000, QLatin1Char('x')) + QStringLiteral(", \"quoted\" ");
    for (const char* name : {"line.jsonl", "line.csv"}) {
        SCOPED_TRACE(name);
        const QTemporaryDir directory;
        const QString path = directory.filePath(QString::fromLatin1(name));
        std::vector<pid_t> stations;
        for (int station = 0; station < 2; ++station) {
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                Result<ProductionLog> log =
                    ProductionLog::open(path, QStringLiteral("test"), false);
                for (int i = 0; log && i < Records; ++i) {
                    if (!log.value().append(record))
                        _exit(1);
                }
                _exit(log ? 0 : 1);
            }
            stations.push_back(pid);
        }
        for (const pid_t pid : stations)
            EXPECT_EQ(waitFor(pid).exitCode, 0);
        QList<QByteArray> lines = logLines(path);
        if (RecordFormatOf(path) == RecordFormat::Csv) {
            EXPECT_EQ(lines.takeFirst(), CsvHeader().trimmed());
        }
        EXPECT_EQ(lines.size(), 2 * Records);
        for (const QByteArray& line : lines) {
            const auto decoded = DecodeRecord(line, RecordFormatOf(path));
            ASSERT_TRUE(decoded) << line.left(80).toStdString();
            EXPECT_EQ(decoded->address, record.address);
            EXPECT_EQ(decoded->error, record.error);
            EXPECT_EQ(decoded->channelAsked, 42);
        }
    }
}

} // namespace
