#include "LiveTable.h"

#include "BatchReport.h"
#include "PortReport.h"
#include "RadioText.h"
#include "Terminal.h"

#include <algorithm>
#include <cstdio>

namespace cli {

namespace {

constexpr qint64 MsPerHour = 3600 * 1000;
// The width of the port and state columns: "COM31" and "programmed" with a
// space to spare.
constexpr int PortColumn = 7;
constexpr int StateColumn = 11;

// Why a module failed, in the few words a row has room for; the line printed
// for it says it whole.
QString shortReason(const BatchModule& module)
{
    using Result = BatchModule::Result;
    switch (module.result) {
    case Result::Found:
    case Result::Verified:
        break;
    case Result::ReadBackDiffers:
        return QStringLiteral("read-back shows channel %1").arg(ChannelValue(module.view.channel));
    case Result::AddressChanged:
        return QStringLiteral("address changed");
    case Result::ReadBackUnclear:
        return QStringLiteral("read-back unclear");
    case Result::NotWritten:
        return QStringLiteral("zero byte in the address, not written");
    case Result::Unconfirmed:
        return QStringLiteral("answers disagree, not written");
    case Result::StoppedAnswering:
        return QStringLiteral("stopped answering, not written");
    case Result::NoReadBack:
        return QStringLiteral("no read-back");
    case Result::NotSent:
        return QStringLiteral("device gone, not written");
    case Result::Gone:
        return QStringLiteral("device gone after the write");
    case Result::SameAddress:
        return QStringLiteral("not written");
    case Result::AlreadyProgrammed:
        return QStringLiteral("already programmed, not written again");
    case Result::NotLogged:
        return QStringLiteral("no record kept, not written");
    }
    return {};
}

QString stateName(int state)
{
    static const char* const names[] = {"waiting",    "found",  "reading",  "writing",
                                        "programmed", "failed", "no module"};
    return QString::fromLatin1(names[state]);
}

} // namespace

LiveTable::LiveTable(const Settings& settings) : settings_(settings)
{
    running_.start();
    if (settings.onlyPorts) {
        for (const int index : *settings.onlyPorts)
            rows_.emplace_back(index);
    }
    SetScreenFooter(this);
    draw();
}

LiveTable::~LiveTable()
{
    end();
}

LiveTable::Row& LiveTable::row(int portIndex)
{
    const auto found = std::find_if(rows_.begin(), rows_.end(),
                                    [&](const Row& row) { return row.portIndex == portIndex; });
    if (found != rows_.end())
        return *found;
    const auto place = std::find_if(rows_.begin(), rows_.end(),
                                    [&](const Row& row) { return row.portIndex > portIndex; });
    return *rows_.insert(place, Row{portIndex});
}

LiveTable::Row& LiveTable::row(const BatchModule& module)
{
    Row& found = row(module.port.index());
    found.address = module.foundAddress;
    found.channel = ChannelValue(module.foundChannel);
    found.sameAddress = sameAddressText(module);
    return found;
}

void LiveTable::found(const BatchModule& module)
{
    Row& found = row(module);
    found.state = settings_.command == Command::Write ? State::Reading : State::Found;
    found.reason.clear();
    redraw();
}

bool LiveTable::mayWrite(BatchModule& module)
{
    Row& writing = row(module);
    writing.state = State::Writing;
    writing.storingMs = 0;
    redraw();
    return true;
}

void LiveTable::storing(const std::vector<BatchModule*>& modules, qint64 remainingMs)
{
    for (const BatchModule* module : modules)
        row(module->port.index()).storingMs = remainingMs;
    redraw();
}

void LiveTable::finished(const BatchModule& module)
{
    Row& done = row(module);
    const bool programmed = module.result == BatchModule::Result::Verified;
    // Left alone because the record calls it done: neither newly programmed
    // nor failed.
    const bool programmedBefore = module.result == BatchModule::Result::AlreadyProgrammed;
    if (programmed)
        ++programmed_;
    else if (!programmedBefore)
        ++failed_;
    done.state = programmed || programmedBefore ? State::Programmed : State::Failed;
    done.channel = ChannelValue(module.view.channel);
    done.reason = shortReason(module);
    redraw();
}

void LiveTable::looking(const QList<int>& portIndices)
{
    for (Row& each : rows_) {
        if (portIndices.contains(each.portIndex))
            each = Row{each.portIndex};
    }
    redraw();
}

void LiveTable::sameAddressFound(const BatchModule& held)
{
    row(held.port.index()).sameAddress = sameAddressText(held);
    redraw();
}

void LiveTable::end()
{
    if (ended_)
        return;
    for (Row& each : rows_) {
        if (each.state == State::Waiting && settings_.all)
            each.state = State::NoModule;
    }
    redraw();
    ended_ = true;
    linesDrawn_ = 0;
    SetScreenFooter(nullptr);
}

QString LiveTable::countsLine() const
{
    QString line = settings_.command == Command::Write
                       ? QStringLiteral("%1 programmed, %2 failed").arg(programmed_).arg(failed_)
                       : QStringLiteral("%1 found")
                             .arg(std::count_if(rows_.begin(), rows_.end(), [](const Row& row) {
                                 return row.state == State::Found;
                             }));
    const qint64 elapsedMs = std::max<qint64>(running_.elapsed(), 1);
    if (settings_.command == Command::Write)
        line += QStringLiteral(", %1 per hour").arg(programmed_ * MsPerHour / elapsedMs);
    return line;
}

QString LiveTable::rowLine(const Row& row) const
{
    QString line = PortName(row.portIndex).leftJustified(PortColumn) +
                   stateName(static_cast<int>(row.state)).leftJustified(StateColumn);
    if (row.state == State::Waiting || row.state == State::NoModule)
        return line;
    line += AddressText(row.address);
    switch (row.state) {
    case State::Found:
    case State::Programmed:
        line += QStringLiteral("  channel %1").arg(row.channel);
        if (!row.reason.isEmpty())
            line += QStringLiteral("  ") + row.reason;
        break;
    case State::Writing:
        if (row.storingMs > 0)
            line += QStringLiteral("  storing, %1 ms left").arg(row.storingMs);
        break;
    case State::Failed:
        line += QStringLiteral("  ") + row.reason;
        break;
    default:
        break;
    }
    if (!row.sameAddress.isEmpty())
        line += QStringLiteral("  ") + row.sameAddress;
    return line;
}

void LiveTable::erase()
{
    if (linesDrawn_ > 0)
        std::fprintf(stdout, "\033[%dA\r\033[J", linesDrawn_);
    linesDrawn_ = 0;
    std::fflush(stdout);
}

void LiveTable::draw()
{
    if (ended_)
        return;
    const TerminalSize size = StandardOutputSize();
    // A line as wide as the terminal would wrap, and the cursor movements
    // count lines; the row for the cursor stays free.
    const qsizetype width = std::max(size.columns - 1, 1);
    const qsizetype room = std::max(size.rows - 1, 2);
    QStringList lines{countsLine()};
    for (const Row& each : rows_)
        lines.append(rowLine(each));
    if (lines.size() > room) {
        const qsizetype left = lines.size() - (room - 1);
        lines.resize(room - 1);
        lines.append(QStringLiteral("... %1 more ports").arg(left));
    }
    QByteArray frame;
    for (const QString& line : lines)
        frame += "\r\033[K" + ControlsEscaped(line.left(width)).left(width).toLocal8Bit() + '\n';
    std::fputs(frame.constData(), stdout);
    std::fflush(stdout);
    linesDrawn_ = static_cast<int>(lines.size());
}

void LiveTable::redraw()
{
    if (ended_)
        return;
    erase();
    draw();
}

} // namespace cli
