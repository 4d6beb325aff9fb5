// TRadioCom: one serial port, named by a small port index and set up by a
// small speed index, opened exclusively, with locked transfers, modem-line
// access and a watcher thread that reports serial events as OnReceive.
//
// The component reports only through results and Connected: it never throws
// and never shows anything. -1 means the port is closed or the call refused.
// All operations are for the thread that owns the component (the user
// interface thread); only the watcher runs elsewhere.
#pragma once

#include "PortOpening.h"
#include "UiHandOff.h"

#include <QObject>
#include <QThread>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class TComReader;

// A count of bytes, shared between threads.
using ByteCounter = std::atomic<std::uint64_t>;

class TRadioCom : public QObject
{
    Q_OBJECT

public:
    enum ports : std::uint8_t
    {
        COM1,
        COM2,
        COM3,
        COM4,
        COM5,
        COM6,
        COM7,
        COM8,
        COM9,
        COM10,
        COM11,
        COM12,
        COM13,
        COM14,
        COM15,
        COM16,
        COM17,
        COM18,
        COM19,
        COM20,
        COM21,
        COM22,
        COM23,
        COM24,
        COM25,
        COM26,
        COM27,
        COM28,
        COM29,
        COM30,
        COM31
    };
    Q_ENUM(ports)

    // Each speed means no parity, 8 data bits and 1 stop bit.
    enum bauds : std::uint8_t
    {
        br110,
        br150,
        br300,
        br600,
        br1200,
        br2400,
        br4800,
        br9600,
        br19200,
        br38400,
        br57600,
        br115200,
        br230400,
        br460800,
        br921600,
        br1843200,
        br2764800,
        br3686400,
        br4608000,
        br5529600
    };
    Q_ENUM(bauds)

    enum TCtsFlowControl : std::uint8_t
    {
        CTSOff,
        CTSOn
    };
    Q_ENUM(TCtsFlowControl)
    enum TDtrFlowControl : std::uint8_t
    {
        DTROff,
        DTROn,
        DTRHandshake
    };
    Q_ENUM(TDtrFlowControl)
    enum TRtsFlowControl : std::uint8_t
    {
        RTSOff,
        RTSOn,
        RTSHandshake,
        RTSToggle
    };
    Q_ENUM(TRtsFlowControl)
    enum TDsrSensitivity : std::uint8_t
    {
        DSRDetect,
        DSRIgnore
    };
    Q_ENUM(TDsrSensitivity)
    enum TDsrFlowControl : std::uint8_t
    {
        DSROn,
        DSROff
    };
    Q_ENUM(TDsrFlowControl)

    // Raised on the owning thread for every serial event of an open port with
    // the number of bytes waiting in the input queue, which may be 0. An empty
    // function is "not assigned": events are then consumed and nothing runs.
    using TReceiveEvent = std::function<void(std::int32_t Count)>;

    // Flow-control properties take effect at the next open. The read and write
    // time-outs too: an open port keeps those it was opened with.
    Q_PROPERTY(ports ComPort READ GetComPort WRITE SetComPort)
    Q_PROPERTY(bauds BaudRate READ GetBaudRate WRITE SetBaudRate)
    Q_PROPERTY(bool Connected READ Connected WRITE SetComStatus)
    Q_PROPERTY(TCtsFlowControl CtsFlowControl READ CtsFlowControl WRITE SetCtsFlowControl)
    Q_PROPERTY(TDtrFlowControl DtrFlowControl READ DtrFlowControl WRITE SetDtrFlowControl)
    Q_PROPERTY(TRtsFlowControl RtsFlowControl READ RtsFlowControl WRITE SetRtsFlowControl)
    Q_PROPERTY(TDsrSensitivity DsrSensitivity READ DsrSensitivity WRITE SetDsrSensitivity)
    Q_PROPERTY(TDsrFlowControl DsrFlowControl READ DsrFlowControl WRITE SetDsrFlowControl)
    Q_PROPERTY(int ReadTimeout READ ReadTimeout WRITE SetReadTimeout)
    Q_PROPERTY(int WriteTimeout READ WriteTimeout WRITE SetWriteTimeout)

    explicit TRadioCom(QObject* AOwner = nullptr);
    ~TRadioCom() override;

    TRadioCom(const TRadioCom&) = delete;
    TRadioCom& operator=(const TRadioCom&) = delete;

    // Selecting another port or speed while open reopens the port at once;
    // Connected then tells whether that worked. Indices outside the tables are
    // stored as given, select COM2 / 9600 baud and read back as such.
    ports GetComPort() const;
    void SetComPort(ports Value);
    bauds GetBaudRate() const;
    void SetBaudRate(bauds Value);

    bool Connected() const { return connected_; }
    void SetComStatus(bool Value);

    TCtsFlowControl CtsFlowControl() const { return ctsFlowControl_; }
    void SetCtsFlowControl(TCtsFlowControl Value) { ctsFlowControl_ = Value; }
    TDtrFlowControl DtrFlowControl() const { return dtrFlowControl_; }
    void SetDtrFlowControl(TDtrFlowControl Value) { dtrFlowControl_ = Value; }
    TRtsFlowControl RtsFlowControl() const { return rtsFlowControl_; }
    void SetRtsFlowControl(TRtsFlowControl Value) { rtsFlowControl_ = Value; }
    TDsrSensitivity DsrSensitivity() const { return dsrSensitivity_; }
    void SetDsrSensitivity(TDsrSensitivity Value) { dsrSensitivity_ = Value; }
    TDsrFlowControl DsrFlowControl() const { return dsrFlowControl_; }
    void SetDsrFlowControl(TDsrFlowControl Value) { dsrFlowControl_ = Value; }

    // Milliseconds, kept within 1..30000.
    int ReadTimeout() const { return readTimeout_; }
    void SetReadTimeout(int Value);
    // Milliseconds per byte, kept within 0..30000; 0 lets writes take as long
    // as they need.
    int WriteTimeout() const { return writeTimeout_; }
    void SetWriteTimeout(int Value);

    const TReceiveEvent& OnReceive() const { return onReceive_; }
    void SetOnReceive(TReceiveEvent Handler) { onReceive_ = std::move(Handler); }

    // Raises OnReceive with Count when it is assigned. The handler may replace
    // or clear OnReceive, or destroy the component, while it runs.
    void OnComReceive(std::int32_t Count);

    void OpenPort();
    void ClosePort();
    // 0 when the device opened as a character device, else -1.
    int CreateHandle();
    void DestroyHandle();

    // The component's lock, held across every device call of a transfer. It
    // is not re-entrant.
    void Lock();
    void Unlock();

    // Transfers: the bytes moved, 0 for a failed transfer, -1 when the port
    // is closed or the count is negative.
    int SendPlainBuffer(const std::uint8_t* Buffer, std::int32_t Count);
    int SendBuffer(const std::uint8_t* Buffer, std::int32_t Count);
    int SendByte(std::uint8_t Value);
    // Sends once CTS is seen on; -1 under hardware CTS flow control, on a
    // closed port, or when CTS stays off for the whole countdown.
    int SendCTSByte(std::uint8_t Value);
    // The bytes sent before the first that failed, or Count.
    int SendCTSBuffer(const std::uint8_t* Buffer, std::int32_t Count);
    int SendStepBuffer(const std::uint8_t* Buffer, std::int32_t Count);
    int ReceiveBuffer(std::uint8_t* Buffer, std::int32_t Count);

    // Line 1 CTS, 2 DSR, 3 ring, 4 carrier; false for any other line and on a
    // closed port.
    bool GetModemState(int Line) const;
    bool GetCTSState() const;
    bool GetDSRState() const;
    // 0 done, -1 on a closed port, under DTR or RTS handshake, or on failure.
    int SetDTRState(bool State);
    int SetRTSState(bool State);
    int EscapeComm(int Function);

    // For diagnostics: the device and the lock behind the component.
    HANDLE GetPortHandle() const { return PortHandle; }
    HANDLE GetPortLock() const { return PortLock; }
    const char* GetDeviceName() const { return DeviceName; }
    const char* GetModeString() const { return ModeString; }
    // What the last open met, granted or refused, and the device it reached.
    const PortOpening& LastOpening() const { return lastOpening_; }

private:
    class PortLockGuard;
    friend class TComReader;

    void ApplyFlowControl(DCB& State) const;
    // Deletes the late watchers whose threads have ended.
    void ReleaseLateReaders();

    bool connected_ = false;
    int readTimeout_ = 1;
    int writeTimeout_ = 10;
    int comPort_ = COM2;
    int baudRate_ = br9600;
    const char* DeviceName;
    const char* ModeString;
    TReceiveEvent onReceive_;
    PortOpening lastOpening_;
    TCtsFlowControl ctsFlowControl_ = CTSOff;
    TDtrFlowControl dtrFlowControl_ = DTROff;
    TRtsFlowControl rtsFlowControl_ = RTSHandshake;
    TDsrSensitivity dsrSensitivity_ = DSRIgnore;
    TDsrFlowControl dsrFlowControl_ = DSROff;
    HANDLE PortHandle = INVALID_HANDLE_VALUE;
    HANDLE PortLock;
    // The watcher of the current open period.
    std::unique_ptr<TComReader> Reader;
    // Watchers that End could not join, kept until their threads end.
    std::vector<std::unique_ptr<TComReader>> lateReaders_;
    COMMTIMEOUTS PortTimeouts{};
    COMMTIMEOUTS SavedTimeouts{};
    OVERLAPPED WriteOverlap{};
    OVERLAPPED ReadOverlap{};
    // The bytes ReceiveBuffer has taken from the input queue over the
    // component's life. Shared with its watchers, which may outlive it: they
    // tell input that came after an OnReceive from the input it was told of.
    const std::shared_ptr<ByteCounter> inputTaken_ = std::make_shared<ByteCounter>(0);
};

// Watches the serial events of its connector's open port on a thread of its
// own and hands each one to the connector's thread, where it becomes
// OnReceive. It never takes the connector's lock, so the OnReceive handler may
// transfer bytes while the watcher waits for it.
//
// The thread itself touches only the port handle, the device name and the
// count of bytes read that it was given at the start, never the connector, so
// that a watcher left running by End cannot reach a component that is gone.
class TComReader final : public QThread
{
    Q_OBJECT

public:
    // Starts watching at once.
    explicit TComReader(TRadioCom* AConnector);
    // Only once Finished() holds, or through DeleteWhenFinished.
    ~TComReader() override = default;

    // Ends the watcher, from the connector's thread: whether it waits for an
    // event, has a hand-off queued or its routine is running further up this
    // thread's stack. No OnReceive of this watcher runs after End returns.
    // True when the thread has been joined; false, with a warning on stderr,
    // when it did not end within a few seconds, so that a watcher that cannot
    // be woken does not hang the user interface.
    bool End();
    // Whether the thread has ended; once true, everything it did happens
    // before what the caller does next, deleting this object included.
    bool Finished();
    // For a watcher still running when its component goes: it deletes
    // itself once its thread has ended.
    void DeleteWhenFinished();

    TRadioCom* const Connector;

protected:
    void run() override;

private:
    void WatchEvents();
    // Runs on the connector's thread.
    void DeliverReceive();
    // Tells on stderr how this watcher's OnReceive came: from the device's
    // serial events, or from looks at its input queue where the device gives
    // none; how often a wait failed, each time followed by such a look; and
    // whether the device went away.
    void TraceDeliveries() const;

    const HANDLE port_;
    // Points into the component's constant port table.
    const char* const deviceName_;
    // MELVIX_TRACE_RECEIVE is set: the watcher traces its deliveries when it
    // ends. Only its thread counts them.
    const bool traced_;
    unsigned long onEvent_ = 0;
    unsigned long onQueueLook_ = 0;
    unsigned long failedWaits_ = 0;
    bool deviceGone_ = false;
    // The connector's count of bytes taken from the input queue.
    const std::shared_ptr<const ByteCounter> inputTaken_;
    // All the input ever queued up to what the last OnReceive was told of:
    // the bytes taken then and the Count it was given. Set on the connector's
    // thread within a hand-off, read by the watcher's thread after it.
    std::uint64_t toldUpTo_;
    std::atomic<bool> ended_{false};
    // The thread's last write. Qt joins a thread on a futex that thread
    // checkers cannot see; reading this after the join orders the thread's
    // work before the reader's.
    std::atomic<bool> runReturned_{false};
    UiHandOff handOff_;
};
