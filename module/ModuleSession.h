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

#include "RadioReading.h"
#include "Radiocom.h"

#include <QList>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

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
} // namespace ModuleTiming

// Lets this thread's events run until `done` holds after one of them, or
// until `ms` have passed; then runs those already pending. Whether `done`
// holds at the end.
bool AwaitEvents(unsigned long ms, const std::function<bool()>& done);

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
    // The window waits the full reply wait after every read command. The
    // command line sets this: a wait then ends as soon as a reply has been
    // decoded and its data block has come whole, the reply wait being its
    // upper bound. The bytes decoded are all those received since the wait
    // began, as the window reads them at its end, so what is accepted is
    // what the window would accept.
    bool EndWaitOnReply = false;

    void HandleReceived(std::int32_t count);
    std::int32_t FindMarker(const std::uint8_t* bytes, std::int32_t length) const;
    void DecodeRadioData(const std::uint8_t* bytes, std::int32_t length, std::int32_t position);

    // Tries COM1 to COM21 and reports where the module answered.
    bool DetectModule();
    bool ScanPorts();
    // Up to three read commands on the open port; true once one was answered.
    bool ProbeModule();
    // One read command of the generation, for a caller that awaits the reply
    // itself and then calls EndReplyWait.
    void SendReadCommand(int generation);
    // With EndWaitOnReply: a reply has been decoded and its whole data block
    // has come, so a wait for it can end.
    bool ReplyEnded() const;
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
        Unanswered
    };
    // Sends the view's channel with the view's address, once the module's
    // answers have confirmed that address (ConfirmAddress). The window looks
    // at no result; the command line tells whether the module may have
    // changed.
    WriteOutcome SendWriteCommand();
    // The write command, the pause, and the read-back; SendWriteCommand's
    // outcome.
    WriteOutcome WriteAndReadBack();
    // Reads the module without showing what it answers until two
    // consecutive readings agree, the last reading shown counting as the
    // first when it carries `address`; at most three readings. True when
    // they confirm `address`; the readings stay in Confirmation().
    bool ConfirmAddress(const QString& address);
    const ReadingConfirmation& Confirmation() const { return confirmation_; }
    // Builds the write command of the view's generation from an address
    // already confirmed, sends it and logs it; true when all of it went out.
    bool TransmitWriteCommand(const QString& address, int channel);

    // Selects the port of this index at the scan's speed and read time-out
    // and opens it, as the scan does for each port; true when it opened.
    bool OpenPort(int portIndex);

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
    // With EndWaitOnReply: the bytes received since the wait began.
    std::vector<std::uint8_t> received_;
    // With EndWaitOnReply: a reply was taken, and what follows it until the
    // next read command is the rest of it.
    bool replyTaken_ = false;
    bool replyEnded_ = false;
    // While set, an accepted reply goes to LastReading only.
    bool quiet_ = false;
    ReadingConfirmation confirmation_;
};
