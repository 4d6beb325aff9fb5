// melvix-module driven as a process, against simulated modules on
// pseudo-terminals through a port map directory.
#include "simulator.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using modulesim::Options;
using modulesim::Simulator;

struct Outcome
{
    int exitCode = -1;
    QString out;
    QString err;
};

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
        EXPECT_EQ(json.out, R"({"address":"WQRS","channel":9,"found":true,"port":"COM3"})"
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
    EXPECT_TRUE(run({"detect", "--json"}).out.startsWith(R"({"diagnosis":["COM4)"));
}

TEST_F(CliTest, ReadWithAndWithoutPort)
{
    addModule(2, {.layout = modulesim::Layout::Long, .channel = 33, .address = "WABC"});
    EXPECT_EQ(run({"read"}).out, "COM2: channel 33, address WABC\n");
    EXPECT_EQ(run({"read", "--port", "com2", "--json"}).out,
              R"({"address":"WABC","channel":33,"found":true,"port":"COM2"})"
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
    EXPECT_EQ(outcome.out,
              R"({"address":"WABC","channel":42,"found":true,"port":"COM5","written":true})"
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
    EXPECT_TRUE(process.readAllStandardError().contains("does not answer the read-back"));
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

} // namespace
