// Why a port cannot be used, as `melvix-module ports` tells it: a busy
// port's holder, a refused open's remedy, links that lead nowhere useful and
// a port map directory that cannot serve. The ports are pseudo-terminals held
// and refused by real processes, and the user is made unprivileged with
// setpriv where root would be let through.
#include "pty_pair.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <ostream>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// Failures show the texts, not their code units.
void PrintTo(const QString& text, std::ostream* stream)
{
    *stream << '"' << text.toStdString() << '"';
}

namespace {

constexpr uid_t NobodyId = 65534;
constexpr int WaitMs = 30000;

// setpriv runs the command as nobody, in no group beyond `groups`.
QStringList AsNobody(const QString& groups = {})
{
    const QString id = QString::number(NobodyId);
    return {
        QStringLiteral("setpriv"), QStringLiteral("--reuid=") + id, QStringLiteral("--regid=") + id,
        groups.isEmpty() ? QStringLiteral("--clear-groups") : QStringLiteral("--groups=") + groups};
}

struct Outcome
{
    int exitCode = -1;
    QString out;
    QString err;
};

class PortDiagnosisTest : public testing::Test
{
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make processes of another user";
        // Reachable for the unprivileged user.
        ASSERT_EQ(chmod(mapDir().c_str(), 0755), 0);
    }

    std::string mapDir() const { return dir_.path().toStdString(); }

    void link(int com, const std::string& target) const
    {
        const std::string entry = mapDir() + "/com" + std::to_string(com);
        ASSERT_EQ(symlink(target.c_str(), entry.c_str()), 0) << entry;
    }

    // A directory in the map directory that only root may enter.
    std::string closedDirectory() const
    {
        const std::string path = mapDir() + "/closed";
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
        return path;
    }

    // melvix-module with MELVIX_PORT_DIR set to `map`, run through `prefix`.
    static Outcome run(const QStringList& arguments, const QString& map,
                       const QStringList& prefix = {})
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MELVIX_PORT_DIR"), map);
        process.setProcessEnvironment(environment);
        const QStringList program = prefix + QStringList{QStringLiteral(MELVIX_MODULE_PATH)};
        process.start(program.front(), program.mid(1) + arguments);
        EXPECT_TRUE(process.waitForFinished(WaitMs));
        return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()),
                QString::fromLocal8Bit(process.readAllStandardError())};
    }

    // The lines of `ports` for this map directory.
    QStringList ports(const QStringList& prefix = {}) const
    {
        const Outcome outcome = run({QStringLiteral("ports")}, dir_.path(), prefix);
        EXPECT_EQ(outcome.exitCode, 0) << outcome.err.toStdString();
        return outcome.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // Starts `program`, whose first line of output says that it is ready,
    // and waits for that line. The process runs until its input is closed.
    static void startHolder(QProcess& holder, const QStringList& program)
    {
        holder.start(program.front(), program.mid(1));
        ASSERT_TRUE(holder.waitForStarted(WaitMs));
        while (!holder.canReadLine())
            ASSERT_TRUE(holder.waitForReadyRead(WaitMs)) << holder.readAllStandardError().data();
    }

    static void endHolder(QProcess& holder)
    {
        holder.closeWriteChannel();
        EXPECT_TRUE(holder.waitForFinished(WaitMs));
    }

    const PtyPair pty_;

private:
    QTemporaryDir dir_;
};

const QStringList ReadyThenWait = {QStringLiteral("sh"), QStringLiteral("-c"),
                                   QStringLiteral("echo ready; read line")};

// The lock refuses the open, not the opens before it: this test process and
// the shell under flock have the port open too, and neither holds it.
TEST_F(PortDiagnosisTest, BusyNamesTheProcessWhoseLockHoldsThePort)
{
    link(1, pty_.slavePath());
    QProcess flock;
    ASSERT_NO_FATAL_FAILURE(startHolder(
        flock, QStringList{"flock", QString::fromStdString(pty_.slavePath())} + ReadyThenWait));
    const QString port = QStringLiteral("COM1 (%1): ").arg(pty_.slavePath().c_str());
    EXPECT_EQ(ports().value(0),
              port + QStringLiteral("busy, held by process %1 (flock)").arg(flock.processId()));
    const QString json = run({"ports", "--json"}, QString::fromStdString(mapDir())).out;
    EXPECT_TRUE(json.contains(QStringLiteral(R"("holds":"lock","pid":%1,)").arg(flock.processId())))
        << json.toStdString();
    EXPECT_TRUE(json.contains(R"("process":"flock")"));
    endHolder(flock);
}

// The lock belongs to the open file, not to the process that took it: here
// flock(1) locks the shell's descriptor and exits, so /proc/locks names a
// process that is gone. The shell is named; a user who may not see the
// shell's descriptors learns that the holder is unknown, with no pid in JSON.
TEST_F(PortDiagnosisTest, ALockWhoseTakerEndedNamesTheLivingHolderOrNone)
{
    link(1, pty_.slavePath());
    ASSERT_EQ(chmod(pty_.slavePath().c_str(), 0666), 0);
    const QString device = QString::fromStdString(pty_.slavePath());
    QProcess holder;
    ASSERT_NO_FATAL_FAILURE(startHolder(
        holder, {"sh", "-c", R"(exec 3<>"$0" && flock -n 3 && echo ready && read line)", device}));
    const QString port = QStringLiteral("COM1 (%1): ").arg(device);
    EXPECT_EQ(ports().value(0),
              port + QStringLiteral("busy, held by process %1 (sh)").arg(holder.processId()));
    EXPECT_EQ(ports(AsNobody()).value(0),
              port + "busy, held by another program, whose process cannot be found");
    const QString json = run({"ports", "--json"}, QString::fromStdString(mapDir()), AsNobody()).out;
    EXPECT_TRUE(json.contains(R"("port":"COM1","state":"busy")")) << json.toStdString();
    EXPECT_FALSE(json.contains(R"("pid")")) << json.toStdString();
    EXPECT_FALSE(json.contains(R"("process")"));
    endHolder(holder);
}

// Without a lock (the terminal's exclusive mode refuses an unprivileged
// user), a process that has the port open is named as no more than that.
TEST_F(PortDiagnosisTest, BusyWithoutALockNamesAProcessThatHasThePortOpenAsSuch)
{
    link(1, pty_.slavePath());
    ASSERT_EQ(chmod(pty_.slavePath().c_str(), 0666), 0);
    const std::string device = pty_.slavePath();
    QProcess holder;
    holder.setChildProcessModifier([&device] {
        const int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || ioctl(fd, TIOCEXCL) != 0)
            _exit(127);
    });
    ASSERT_NO_FATAL_FAILURE(startHolder(holder, AsNobody() + ReadyThenWait));
    EXPECT_EQ(ports(AsNobody()).value(0),
              QStringLiteral("COM1 (%1): busy, held by another program; process %2 (sh) has it "
                             "open")
                  .arg(device.c_str())
                  .arg(holder.processId()));
    endHolder(holder);
}

// Joining the device's group helps only where the group may read and write
// it, is not root's, and the user neither has it nor owns the device.
TEST_F(PortDiagnosisTest, PermissionDeniedOffersTheGroupOnlyWhereJoiningItHelps)
{
    const group* dialout = getgrnam("dialout");
    const passwd* nobody = getpwuid(NobodyId);
    if (!dialout || !nobody)
        GTEST_SKIP() << "no dialout group or nobody user";
    const gid_t dialoutId = dialout->gr_gid;
    const QString nobodyName = QString::fromLocal8Bit(nobody->pw_name);
    struct Case
    {
        uid_t owner;
        gid_t group;
        mode_t mode;
        QString userGroups;
        QString says;
    };
    const QString join = QStringLiteral("permission denied — join the dialout group: sudo adduser "
                                        "$USER dialout, then log in again");
    const QList<Case> cases = {
        {0, dialoutId, 0660, {}, join},
        {0, 0, 0600, {}, QStringLiteral("permission denied — owner root, group root, mode 0600")},
        {0, 0, 0660, {}, QStringLiteral("permission denied — owner root, group root, mode 0660")},
        {0, dialoutId, 0600, {}, "permission denied — owner root, group dialout, mode 0600"},
        {0, dialoutId, 0640, {}, "permission denied — owner root, group dialout, mode 0640"},
        {0, dialoutId, 0640, "dialout", "permission denied — owner root, group dialout, mode 0640"},
        {NobodyId,
         dialoutId,
         0060,
         {},
         QStringLiteral("permission denied — owner %1, group dialout, mode 0060").arg(nobodyName)},
    };
    link(1, pty_.slavePath());
    const QString port = QStringLiteral("COM1 (%1): ").arg(pty_.slavePath().c_str());
    for (const Case& test : cases) {
        ASSERT_EQ(chown(pty_.slavePath().c_str(), test.owner, test.group), 0);
        ASSERT_EQ(chmod(pty_.slavePath().c_str(), test.mode), 0);
        EXPECT_EQ(ports(AsNobody(test.userGroups)).value(0), port + test.says)
            << "mode " << std::oct << test.mode << " groups " << test.userGroups.toStdString();
    }
    EXPECT_TRUE(
        run({"ports", "--json"}, QString::fromStdString(mapDir()), AsNobody())
            .out.contains(
                QStringLiteral(R"("group":"dialout","mode":"0060","owner":"%1")").arg(nobodyName)));
}

TEST_F(PortDiagnosisTest, LinksSayWhetherTheyDangleLoopOrCannotBeFollowed)
{
    const std::string closed = closedDirectory();
    link(2, "/nonexistent/ttyUSB7");
    link(3, closed + "/ttyUSB0");
    link(4, "closed/ttyUSB1");
    link(7, "com7");
    link(8, "com9");
    link(9, "com8");
    link(10, pty_.slavePath());
    ASSERT_EQ(chmod(pty_.slavePath().c_str(), 0666), 0);
    const QStringList lines = ports(AsNobody());
    ASSERT_EQ(lines.size(), 21);
    const QString unreachable =
        QStringLiteral("unreachable target: this user may not enter %1").arg(closed.c_str());
    const QString loop =
        QStringLiteral("link loop: its links lead round in a circle, never to a file");
    EXPECT_EQ(lines[1], "COM2 (/nonexistent/ttyUSB7): dangling link: what it points to does not "
                        "exist");
    EXPECT_EQ(lines[2], QStringLiteral("COM3 (%1/ttyUSB0): ").arg(closed.c_str()) + unreachable);
    EXPECT_EQ(lines[3], "COM4 (closed/ttyUSB1): " + unreachable);
    EXPECT_EQ(lines[6], "COM7 (com7): " + loop);
    EXPECT_EQ(lines[7], "COM8 (com9): " + loop);
    EXPECT_EQ(lines[8], "COM9 (com8): " + loop);
    EXPECT_EQ(
        lines[9],
        QStringLiteral("COM10 (%1): serial device, can be opened").arg(pty_.slavePath().c_str()));
    const QString json = run({"ports", "--json"}, QString::fromStdString(mapDir()), AsNobody()).out;
    EXPECT_TRUE(json.contains(R"("port":"COM3","state":"unreachable-target")"))
        << json.toStdString();
    EXPECT_TRUE(json.contains(R"("port":"COM8","state":"link-loop")"));
}

// A map directory that cannot serve leaves every port without a device;
// `ports`, `read --port` and the not-found report all say why.
TEST_F(PortDiagnosisTest, AnUnusableMapDirectoryIsNamedWithWhyItCannotServe)
{
    const std::string closed = closedDirectory();
    ASSERT_EQ(mkdir((closed + "/map").c_str(), 0755), 0);
    const std::string file = mapDir() + "/plain";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0644));
    struct Case
    {
        std::string map;
        QStringList prefix;
        QString why;
    };
    const QList<Case> cases = {
        {mapDir() + "/missing", {}, QStringLiteral("it does not exist")},
        {file, {}, QStringLiteral("it is a regular file, not a directory")},
        {"", {}, QStringLiteral("it names no directory")},
        {closed, AsNobody(), QStringLiteral("this user may not enter it")},
        {closed + "/map", AsNobody(), QStringLiteral("Permission denied")},
    };
    for (const Case& test : cases) {
        const QString map = QString::fromStdString(test.map);
        const QString noDevice =
            QStringLiteral("no device — the port map directory MELVIX_PORT_DIR=\"%1\" is "
                           "unusable: %2")
                .arg(map, test.why);
        const Outcome listed = run({"ports"}, map, test.prefix);
        const QStringList lines = listed.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 21) << listed.out.toStdString();
        EXPECT_EQ(lines[0], "COM1: " + noDevice);
        EXPECT_EQ(lines[20], "COM21: " + noDevice);
        EXPECT_EQ(run({"read", "--port", "COM3"}, map, test.prefix).err,
                  "melvix-module: COM3: " + noDevice + "\n");
        const Outcome detect = run({"detect"}, map, test.prefix);
        EXPECT_EQ(detect.exitCode, 1);
        EXPECT_TRUE(detect.err.endsWith("COM20, COM21: " + noDevice + "\n"))
            << detect.err.toStdString();
    }
    // A usable map without the entry has just no device.
    EXPECT_EQ(run({"read", "--port", "COM3"}, QString::fromStdString(mapDir())).err,
              "melvix-module: COM3: no device\n");
}

} // namespace
