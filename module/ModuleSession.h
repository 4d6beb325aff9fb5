// The module's detection, Read and Write sequences over one serial component,
// free of any user interface: they report through a TModuleView. The main
// window and the command line run the same sequences with the same order,
// pauses, probes and decoding.
//
// Everything here runs on the thread that owns the serial component. Replies
// reach HandleReceived through the component's OnReceive, which runs only
// where a sequence lets pending events run; ReplyDecoded carries the result
// back.
#pragma once

#include "Failure.h"
#include "RadioReading.h"
#include "Radiocom.h"

#include <QElapsedTimer>
#include <QList>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class TModuleSession;
class TModuleView;

namespace ModuleTiming {
constexpr int FirstPortTried = 0;
constexpr int LastPortTried = 20;
constexpr auto ScanSpeed = TRadioCom::br115200;
constexpr int ScanReadTimeoutMs = 50;
constexpr unsigned long PauseAfterOpenMs = 2;
constexpr int ReadCommandSends = 3;
constexpr unsigned long ReplyWaitMs = 50;
constexpr unsigned long WriteToReadBackPauseMs = 500;
// When collecting replies: a line that has brought no byte for this long is
// quiet. A module sends its reply in one go, and even a slow adapter's
// pieces come closer together than this.
constexpr qint64 QuietLineMs = 25;
// The longest a wait goes on past the reply wait while a reply is still
// arriving, or before a read command while stray bytes are still arriving.
constexpr qint64 LongestSettleMs = 2 * ReplyWaitMs;
} // namespace ModuleTiming

// The port indices detection tries when the user names none: COM1 to COM21.
QList<int> DetectedPortIndices();

// Lets this thread's events run until `done` holds after one of them, or
// until `ms` have passed; then runs those already pending. Whether `done`
// holds at the end.
bool AwaitEvents(unsigned long ms, const std::function<bool()>& done);

// Lets the replies to the read commands just sent from `sessions`, which
// collect their replies, come in: with `endWaitOnReply` until `done` holds,
// otherwise for the full reply wait, as the window waits; then on while a
// reply is still arriving. Each session then ends its wait.
void AwaitReplies(const std::vector<TModuleSession*>& sessions, bool endWaitOnReply,
                  const std::function<bool()>& done);

class TModuleSession
{
public:
    // Neither is owned; both outlive the session. The caller binds the
    // component's OnReceive to HandleReceived.
    TModuleSession(TRadioCom& serialConnector, TModuleView& view);

    TModuleSession(const TModuleSession&) = delete;
    TModuleSession& operator=(const TModuleSession&) = delete;

    // Fewer waiting bytes than this are left for a later event.
    std::int32_t MinReplyLength = 16;
    // Set when a reply was accepted, cleared when one was rejected.
    bool ReplyDecoded = false;
    // The port index at which the module was last found.
    std::int32_t PortIndex = 0;
    // What the last accepted reply of the running probe or read decoded;
    // none once a reply was refused or a new probe or read began.
    std::optional<RadioReading> LastReading;
    // The window waits the full reply wait after every read command and
    // decodes what has come by its end. The command line sets this: the
    // bytes are collected as they come and decoded as if read at the first
    // moment they held an accepted reply with its whole data block, so the
    // rest of a reply, or a copy of it, is never taken for the start of the
    // next. A wait then ends as soon as the reply is whole (unless
    // FullReplyWaits), the reply wait being its upper bound; it goes on while
    // a reply is still arriving, so that no read command goes out in the
    // middle of one. Bytes left of a reply cut short are dropped before the
    // next read command, where the window would read them with its answer.
    bool CollectReplies = false;
    // With CollectReplies: every wait lasts the full reply wait at least, as
    // the window's do.
    bool FullReplyWaits = false;
    // The port indices a detection tries, rising: COM1 to COM21, as the
    // window's, unless the user named others.
    QList<int> ScannedPorts = DetectedPortIndices();
    // Asked just before a write command goes out, its address confirmed;
    // false keeps it from going out. A record that must hold every write
    // before it happens is written here.
    std::function<bool()> WriteCommandDue;

    void HandleReceived(std::int32_t count);
    std::int32_t FindMarker(const std::uint8_t* bytes, std::int32_t length) const;
    void DecodeRadioData(const std::uint8_t* bytes, std::int32_t length, std::int32_t position);

    // Tries the ports of ScannedPorts and reports where the module answered.
    bool DetectModule();
    bool ScanPorts();
    // Up to three read commands on the open port; true once one was answered.
    bool ProbeModule();
    // One read command of the generation, for a caller that awaits the reply
    // itself and then calls EndReplyWait.
    void SendReadCommand(int generation);
    // How many read commands this session has sent.
    int ReadCommandsSent() const { return readCommandsSent_; }
    // With CollectReplies: a reply has been decoded and its whole data block
    // has come, so a wait for it can end.
    bool ReplyEnded() const;
    // With CollectReplies: part of a reply has come and more is coming.
    bool ReplyArriving() const;
    void EndReplyWait();
    void ReadRadioData();
    enum class WriteOutcome
    {
        // The whole write command went out.
        Sent,
        // It went out in part or not at all: the module may have changed.
        NotSent,
        // The address or the channel to write is not set; the view was told.
        Refused,
        // The module's answers did not confirm the address to send back; the
        // view was told, nothing went out.
        Unconfirmed,
        // The module did not answer the reads that confirm the address;
        // nothing went out.
        Unanswered,
        // WriteCommandDue kept it from going out.
        Withheld
    };
    // Sends the view's channel with the view's address, once the module's
    // answers have confirmed that address (ConfirmAddress). The window looks
    // at no result; the command line tells whether the module may have
    // changed.
    WriteOutcome SendWriteCommand();
    // The write command, the pause, and the read-back; SendWriteCommand's
    // outcome.
    WriteOutcome WriteAndReadBack();
    // The module's radio data once two consecutive readings agree: the
    // last reading shown counts as the first, and the module is read without
    // showing what it answers for the others, three readings at most. The
    // readings stay in Confirmation() until the next probe or read, and a
    // reading confirmed so is not read again. None when the readings
    // disagree or the module stops answering.
    std::optional<RadioReading> ConfirmReading();
    // Whether ConfirmReading confirms this address.
    bool ConfirmAddress(const QString& address);
    const ReadingConfirmation& Confirmation() const { return confirmation_; }
    // Builds the write command of the view's generation from an address
    // already confirmed, sends it and logs it; true when all of it went out.
    bool TransmitWriteCommand(const QString& address, int channel);

    // Selects the port at the scan's speed and read time-out and opens it,
    // as the scan does for each port. What the open met in full is the
    // component's LastOpening.
    Result<void> OpenPort(ComPort port);

private:
    void SendReadCommands(int generation);
    // One read of the view's generation whose reply is not shown or
    // logged; true when one was accepted, in LastReading.
    bool ReadQuietly();
    void AwaitReply();
    void CollectReply(std::int32_t count);
    // The data position found, whether or not the reply was accepted.
    std::optional<std::int32_t> DecodeReply(const std::uint8_t* bytes, std::int32_t length);
    // Ends the reply: what follows until the next read command belongs to it.
    void TakeReply();

    TRadioCom& serialConnector_;
    TModuleView& view_;
    // With CollectReplies: the bytes received since the wait began.
    std::vector<std::uint8_t> received_;
    // With CollectReplies: a reply was taken, and what follows it until the
    // next read command is the rest of it.
    bool replyTaken_ = false;
    bool replyEnded_ = false;
    // With CollectReplies: how far received_ has been searched for a reply.
    std::int32_t scanned_ = 0;
    // With CollectReplies: since bytes last came, and since bytes that
    // belong to no wait last came.
    QElapsedTimer lastBytes_;
    QElapsedTimer lastDropped_;
    int readCommandsSent_ = 0;
    // While set, an accepted reply goes to LastReading only.
    bool quiet_ = false;
    ReadingConfirmation confirmation_;
};
