#include "ModuleSession.h"

#include "ModuleProtocol.h"
#include "ModuleView.h"
#include "NameTables.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QScopedValueRollback>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace ModuleTiming;

namespace {

// How often a wait for events looks at its deadline when no event comes.
constexpr unsigned long WaitWakeRepeatMs = 2;

void LetPendingEventsRun()
{
    QCoreApplication::processEvents();
}

} // namespace

bool AwaitEvents(unsigned long ms, const std::function<bool()>& done)
{
    const QDeadlineTimer deadline(static_cast<qint64>(ms), Qt::PreciseTimer);
    // Wakes the wait below again and again, so that it ends by the deadline
    // when no event comes. One wake at the deadline is not enough on Windows:
    // there a precise timer counts whole milliseconds of a clock of its own
    // and may fire before the deadline measured here, and under Wine a wake
    // is now and then not seen at all; on a silent line no other event
    // would ever end the wait.
    QTimer wake;
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(static_cast<int>(std::min(ms, WaitWakeRepeatMs)));
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (!done())
        LetPendingEventsRun();
    return done();
}

void AwaitReplies(const std::vector<TModuleSession*>& sessions, bool endWaitOnReply,
                  const std::function<bool()>& done)
{
    AwaitEvents(ReplyWaitMs, [&] { return endWaitOnReply && done(); });
    const auto arriving = [&] {
        return std::any_of(sessions.begin(), sessions.end(),
                           [](const TModuleSession* session) { return session->ReplyArriving(); });
    };
    const QDeadlineTimer settled(LongestSettleMs);
    while (arriving() && !settled.hasExpired())
        AwaitEvents(QuietLineMs, [&] { return !arriving(); });
    for (TModuleSession* session : sessions)
        session->EndReplyWait();
}

TModuleSession::TModuleSession(TRadioCom& serialConnector, TModuleView& view)
    : serialConnector_(serialConnector), view_(view)
{}

void TModuleSession::HandleReceived(std::int32_t count)
{
    if (CollectReplies) {
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
    if (read <= 0)
        return;
    lastBytes_.start();
    if (replyTaken_) {
        lastDropped_.start();
        return;
    }
    received_.insert(received_.end(), buffer.begin(), buffer.begin() + read);
    const auto length = static_cast<std::int32_t>(received_.size());
    // As the window, which would read fewer bytes only together with more.
    if (length < MinReplyLength)
        return;
    // The bytes are decoded as if read at the first moment they held an
    // accepted reply with its whole data block: what came after that in the
    // same piece is the next reply, or the same one sent twice, and read
    // together with it would match the wrong layout.
    const int generation = view_.Generation();
    for (std::int32_t end = std::max(MinReplyLength, scanned_ + 1); end <= length; ++end) {
        const auto position = ModuleProtocol::DataPosition(received_.data(), end, generation);
        if (position && end >= *position - 1 + ModuleProtocol::DataBlockLength &&
            ModuleProtocol::AddressAccepted(
                ModuleProtocol::ExtractRadioData(received_.data(), *position).address)) {
            DecodeRadioData(received_.data(), end, *position);
            TakeReply();
            return;
        }
    }
    scanned_ = length;
    // A reply refused, or one whose data block is not whole yet, is seen as
    // the window would see it, and the wait goes on.
    DecodeReply(received_.data(), length);
}

void TModuleSession::TakeReply()
{
    replyEnded_ = true;
    received_.clear();
    scanned_ = 0;
    replyTaken_ = true;
}

bool TModuleSession::ReplyEnded() const
{
    return ReplyDecoded && replyEnded_;
}

bool TModuleSession::ReplyArriving() const
{
    return !replyTaken_ && !received_.empty() && lastBytes_.isValid() &&
           !lastBytes_.hasExpired(QuietLineMs);
}

void TModuleSession::AwaitReply()
{
    if (!CollectReplies) {
        QThread::msleep(ReplyWaitMs);
        LetPendingEventsRun();
        return;
    }
    AwaitReplies({this}, !FullReplyWaits, [this] { return ReplyEnded(); });
}

void TModuleSession::EndReplyWait()
{
    if (ReplyDecoded)
        TakeReply();
}

void TModuleSession::SendReadCommand(int generation)
{
    if (CollectReplies) {
        // Bytes that come after a reply was taken belong to an earlier one,
        // and so do those of a reply cut short: the answer to this command
        // must not be read together with them. Once they have stopped
        // coming, they are dropped.
        const bool taken = replyTaken_;
        replyTaken_ = true;
        const QDeadlineTimer settled(LongestSettleMs);
        const auto quiet = [this, taken] {
            const QElapsedTimer& last = taken ? lastDropped_ : lastBytes_;
            return !last.isValid() || last.hasExpired(QuietLineMs);
        };
        while (!quiet() && !settled.hasExpired())
            AwaitEvents(QuietLineMs, quiet);
        received_.clear();
        scanned_ = 0;
    }
    replyTaken_ = false;
    replyEnded_ = false;
    ++readCommandsSent_;
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

Result<void> TModuleSession::OpenPort(ComPort port)
{
    serialConnector_.SetComPort(static_cast<TRadioCom::ports>(port.index()));
    serialConnector_.SetBaudRate(ScanSpeed);
    serialConnector_.SetReadTimeout(ScanReadTimeoutMs);
    serialConnector_.SetComStatus(true);
    if (serialConnector_.Connected())
        return {};
    const PortOpening& opening = serialConnector_.LastOpening();
    QString text = port.name() + QStringLiteral(" could not be opened");
    if (opening.systemError != 0)
        text += QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(opening.systemError));
    else if (opening.error != ERROR_SUCCESS)
        text += QStringLiteral(" (error %1)").arg(opening.error);
    return Failure{QStringLiteral("open ") + port.name(), opening.systemError, text};
}

QList<int> DetectedPortIndices()
{
    QList<int> ports;
    for (int index = FirstPortTried; index <= LastPortTried; ++index)
        ports.append(index);
    return ports;
}

bool TModuleSession::ScanPorts()
{
    QList<PortOpening> unopened;
    for (const int index : ScannedPorts) {
        view_.TryingPort(index);
        OpenPort(ComPort::fromIndex(index));
        view_.PortTried(serialConnector_.LastOpening());
        QThread::msleep(PauseAfterOpenMs);
        if (!serialConnector_.Connected()) {
            unopened.append(serialConnector_.LastOpening());
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
    confirmation_ = {};
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
    confirmation_ = {};
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

std::optional<RadioReading> TModuleSession::ConfirmReading()
{
    if (LastReading && confirmation_.confirmed() && confirmation_.last() == *LastReading)
        return LastReading;
    // A sequence clicked while these reads let events run confirms its own.
    ReadingConfirmation confirmation;
    if (LastReading)
        confirmation.add(*LastReading);
    bool answered = true;
    while (answered && confirmation.wantsMore()) {
        answered = ReadQuietly();
        if (answered)
            confirmation.add(*LastReading);
    }
    confirmation_ = confirmation;
    if (!confirmation.confirmed())
        return std::nullopt;
    return confirmation.last();
}

bool TModuleSession::ConfirmAddress(const QString& address)
{
    const auto reading = ConfirmReading();
    return reading && reading->address == address;
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
        view_.AnswersDisagree();
        return WriteOutcome::Unconfirmed;
    }
    if (WriteCommandDue && !WriteCommandDue())
        return WriteOutcome::Withheld;
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
