#include "ModuleSession.h"

#include "ModuleProtocol.h"
#include "ModuleView.h"
#include "NameTables.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QScopedValueRollback>
#include <QThread>
#include <QTimer>

#include <vector>

using namespace ModuleTiming;

namespace {

void LetPendingEventsRun()
{
    QCoreApplication::processEvents();
}

} // namespace

bool AwaitEvents(unsigned long ms, const std::function<bool()>& done)
{
    const QDeadlineTimer deadline(static_cast<qint64>(ms), Qt::PreciseTimer);
    // Wakes the wait below at the deadline when no event comes.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(static_cast<int>(ms));
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (!done())
        LetPendingEventsRun();
    return done();
}

TModuleSession::TModuleSession(TRadioCom& serialConnector, TModuleView& view)
    : serialConnector_(serialConnector), view_(view)
{}

void TModuleSession::HandleReceived(std::int32_t count)
{
    if (EndWaitOnReply) {
        CollectReply(count);
        return;
    }
    // Fewer bytes stay queued and are counted again with what follows them.
    if (count == 0 || count < MinReplyLength)
        return;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count));
    const int read = serialConnector_.ReceiveBuffer(buffer.data(), count);
    if (read <= 0)
        return;
    // Only the bytes actually read are interpreted.
    DecodeReply(buffer.data(), read);
}

std::optional<std::int32_t> TModuleSession::DecodeReply(const std::uint8_t* bytes,
                                                        std::int32_t length)
{
    const auto position = ModuleProtocol::DataPosition(bytes, length, view_.Generation());
    if (position)
        DecodeRadioData(bytes, length, *position);
    return position;
}

void TModuleSession::CollectReply(std::int32_t count)
{
    if (count <= 0)
        return;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count));
    const int read = serialConnector_.ReceiveBuffer(buffer.data(), count);
    if (read <= 0 || replyTaken_)
        return;
    received_.insert(received_.end(), buffer.begin(), buffer.begin() + read);
    // As the window, which would read fewer bytes only together with more.
    if (static_cast<std::int32_t>(received_.size()) < MinReplyLength)
        return;
    // Every layout that a module sends decodes from its first bytes to the
    // same radio data as from the whole reply. The wait ends once the data
    // block is whole, so that the rest of this reply is not taken for the
    // start of the next.
    const auto length = static_cast<std::int32_t>(received_.size());
    const auto position = DecodeReply(received_.data(), length);
    if (ReplyDecoded && length >= *position - 1 + ModuleProtocol::DataBlockLength)
        TakeReply();
}

void TModuleSession::TakeReply()
{
    replyEnded_ = true;
    received_.clear();
    replyTaken_ = true;
}

bool TModuleSession::ReplyEnded() const
{
    return ReplyDecoded && replyEnded_;
}

void TModuleSession::AwaitReply()
{
    if (!EndWaitOnReply) {
        QThread::msleep(ReplyWaitMs);
        LetPendingEventsRun();
        return;
    }
    AwaitEvents(ReplyWaitMs, [this] { return ReplyEnded(); });
    EndReplyWait();
}

void TModuleSession::EndReplyWait()
{
    // The window reads what has come by the end of its wait and decodes it
    // once; fewer bytes stay for the next wait.
    if (ReplyDecoded)
        TakeReply();
    else if (static_cast<std::int32_t>(received_.size()) >= MinReplyLength)
        received_.clear();
}

void TModuleSession::SendReadCommand(int generation)
{
    replyTaken_ = false;
    replyEnded_ = false;
    const auto command = ModuleProtocol::ReadCommand(generation);
    serialConnector_.SendBuffer(command.data(), static_cast<std::int32_t>(command.size()));
}

std::int32_t TModuleSession::FindMarker(const std::uint8_t* bytes, std::int32_t length) const
{
    return ModuleProtocol::FindMarker(bytes, length, view_.Generation());
}

void TModuleSession::DecodeRadioData(const std::uint8_t* bytes, std::int32_t length,
                                     std::int32_t position)
{
    // Never read past the bytes read, whatever position a caller passes.
    if (position < 0 || position + 4 >= length)
        return;
    const auto data = ModuleProtocol::ExtractRadioData(bytes, position);
    // Each address byte is one character, so every byte value but 0 comes
    // back unchanged in a write command.
    const QString address =
        QString::fromLatin1(data.address.data(), static_cast<qsizetype>(data.address.size()));
    if (!ModuleProtocol::AddressAccepted(data.address)) {
        ReplyDecoded = false;
        LastReading.reset();
        if (!quiet_)
            view_.ReplyRefused(address, data.channel);
        return;
    }
    ReplyDecoded = true;
    LastReading = RadioReading{address, data.channel};
    if (quiet_)
        return;
    view_.ShowRadioData(address, data.channel);
    view_.AppendLog(QStringLiteral("Received -> Channel: %1 Addr: %2")
                        .arg(static_cast<int>(data.channel))
                        .arg(address));
}

bool TModuleSession::DetectModule()
{
    if (!ScanPorts())
        return false;
    view_.SetStatus(QStringLiteral("Status: Present"),
                    QStringLiteral("Serial Port: ") + PortNames().at(PortIndex),
                    QStringLiteral("Baud Rate: ") + SpeedNames().at(ScanSpeed));
    return true;
}

bool TModuleSession::OpenPort(int portIndex)
{
    serialConnector_.SetComPort(static_cast<TRadioCom::ports>(portIndex));
    serialConnector_.SetBaudRate(ScanSpeed);
    serialConnector_.SetReadTimeout(ScanReadTimeoutMs);
    serialConnector_.SetComStatus(true);
    return serialConnector_.Connected();
}

bool TModuleSession::ScanPorts()
{
    QList<int> unopened;
    for (int index = FirstPortTried; index <= LastPortTried; ++index) {
        view_.TryingPort(index);
        OpenPort(index);
        QThread::msleep(PauseAfterOpenMs);
        if (!serialConnector_.Connected()) {
            unopened.append(index);
            view_.PortNotOpened(index);
        } else if (ProbeModule()) {
            PortIndex = index;
            return true;
        }
    }
    view_.NothingFound(unopened);
    return false;
}

void TModuleSession::SendReadCommands(int generation)
{
    for (int send = 0; send < ReadCommandSends; ++send) {
        SendReadCommand(generation);
        AwaitReply();
        if (ReplyDecoded)
            return;
    }
}

bool TModuleSession::ProbeModule()
{
    // Nested in a quiet read by a click, a probe shows what it finds.
    const QScopedValueRollback shown(quiet_, false);
    ReplyDecoded = false;
    LastReading.reset();
    SendReadCommands(ModuleProtocol::V5);
    return ReplyDecoded;
}

void TModuleSession::ReadRadioData()
{
    const QScopedValueRollback shown(quiet_, false);
    if (!serialConnector_.Connected() && !DetectModule())
        return;
    ReplyDecoded = false;
    LastReading.reset();
    const int generation = view_.Generation();
    if (generation != ModuleProtocol::V4) {
        view_.AppendLog(QStringLiteral("Sent: Read Data"));
        view_.ShowRadioData(QString(), 0);
    }
    SendReadCommands(generation);
    if (!ReplyDecoded) {
        view_.SetStatus(QStringLiteral("Status: Not Detected"), QStringLiteral("Serial Port: "),
                        QStringLiteral("Baud Rate:"));
        serialConnector_.SetComStatus(false);
    }
}

bool TModuleSession::ReadQuietly()
{
    ReplyDecoded = false;
    LastReading.reset();
    const QScopedValueRollback hidden(quiet_, true);
    SendReadCommands(view_.Generation());
    return ReplyDecoded;
}

bool TModuleSession::ConfirmAddress(const QString& address)
{
    // A sequence clicked while these reads let events run confirms its own.
    ReadingConfirmation confirmation;
    if (LastReading && LastReading->address == address)
        confirmation.add(*LastReading);
    bool answered = true;
    while (answered && confirmation.wantsMore()) {
        answered = ReadQuietly();
        if (answered)
            confirmation.add(*LastReading);
    }
    confirmation_ = confirmation;
    return confirmation.confirmed() && confirmation.last().address == address;
}

TModuleSession::WriteOutcome TModuleSession::SendWriteCommand()
{
    const QScopedValueRollback shown(quiet_, false);
    const QString address = view_.Address();
    if (address.length() != 4) {
        view_.ShowError(QStringLiteral("Set ADDRESS!"));
        return WriteOutcome::Refused;
    }
    const int channel = view_.Channel();
    if (channel == 0) {
        view_.ShowError(QStringLiteral("Set Channel!"));
        return WriteOutcome::Refused;
    }
    if (!ConfirmAddress(address)) {
        if (confirmation_.readings().isEmpty() || confirmation_.wantsMore())
            return WriteOutcome::Unanswered;
        view_.AnswersDisagree(confirmation_.readings());
        return WriteOutcome::Unconfirmed;
    }
    return TransmitWriteCommand(address, channel) ? WriteOutcome::Sent : WriteOutcome::NotSent;
}

bool TModuleSession::TransmitWriteCommand(const QString& address, int channel)
{
    const auto command = ModuleProtocol::WriteCommand(
        view_.Generation(), static_cast<std::uint8_t>(channel), address.toLatin1().toStdString());
    const auto length = static_cast<std::int32_t>(command.size());
    const bool sent = serialConnector_.SendBuffer(command.data(), length) == length;
    view_.AppendLog(
        QStringLiteral("Sent: Write Channel: %1 Address: %2").arg(channel).arg(address));
    return sent;
}

TModuleSession::WriteOutcome TModuleSession::WriteAndReadBack()
{
    const WriteOutcome outcome = SendWriteCommand();
    QThread::msleep(WriteToReadBackPauseMs);
    LetPendingEventsRun();
    ReadRadioData();
    LetPendingEventsRun();
    return outcome;
}
