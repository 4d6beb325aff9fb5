#include "Radiocom.h"

#include <QDeadlineTimer>
#include <QScopeGuard>

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <limits>

namespace {

// Ports from COM10 up need the device namespace prefix on Windows.
constexpr std::array<const char*, 31> PortTable = {
    "COM1",         "COM2",         "COM3",         "COM4",         "COM5",         "COM6",
    "COM7",         "COM8",         "COM9",         R"(\\.\COM10)", R"(\\.\COM11)", R"(\\.\COM12)",
    R"(\\.\COM13)", R"(\\.\COM14)", R"(\\.\COM15)", R"(\\.\COM16)", R"(\\.\COM17)", R"(\\.\COM18)",
    R"(\\.\COM19)", R"(\\.\COM20)", R"(\\.\COM21)", R"(\\.\COM22)", R"(\\.\COM23)", R"(\\.\COM24)",
    R"(\\.\COM25)", R"(\\.\COM26)", R"(\\.\COM27)", R"(\\.\COM28)", R"(\\.\COM29)", R"(\\.\COM30)",
    R"(\\.\COM31)"};

constexpr std::array<const char*, 20> SpeedTable = {
    "110,N,8,1",     "150,N,8,1",     "300,N,8,1",     "600,N,8,1",     "1200,N,8,1",
    "2400,N,8,1",    "4800,N,8,1",    "9600,N,8,1",    "19200,N,8,1",   "38400,N,8,1",
    "57600,N,8,1",   "115200,N,8,1",  "230400,N,8,1",  "460800,N,8,1",  "921600,N,8,1",
    "1843200,N,8,1", "2764800,N,8,1", "3686400,N,8,1", "4608000,N,8,1", "5529600,N,8,1"};

constexpr int DefaultPort = TRadioCom::COM2;
constexpr int DefaultSpeed = TRadioCom::br9600;

template <std::size_t N> bool inTable(const std::array<const char*, N>&, int index)
{
    return index >= 0 && index < static_cast<int>(N);
}

// The lock is a counting semaphore that starts free. While every Lock is
// matched by one Unlock its count never passes 1; the maximum is the one the
// component has always been created with.
constexpr LONG LockInitialCount = 1;
constexpr LONG LockMaximumCount = 10;
// One release gives back the one acquisition of a Lock.
constexpr LONG LockRelease = 1;

constexpr int TimeoutLimit = 30000;
constexpr DWORD AllEvents =
    EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;
constexpr DWORD CtsPollCountdown = 100000;
// A watcher ends within milliseconds of being woken; one still running after
// this long cannot be woken and is left to end on its own.
constexpr int WatcherEndLimitMs = 5000;
// A wake that falls between two waits is lost, so it is repeated this often.
constexpr int WatcherWakeRepeatMs = 2;
// How often the input queue is looked at while the device gives no serial
// events.
constexpr DWORD QueuePollMs = 2;

} // namespace

// Holds the component's lock for a scope, so that every path out of an
// operation releases it exactly once.
class TRadioCom::PortLockGuard
{
public:
    explicit PortLockGuard(TRadioCom& Owner) : owner_(Owner) { owner_.Lock(); }
    ~PortLockGuard() { owner_.Unlock(); }
    PortLockGuard(const PortLockGuard&) = delete;
    PortLockGuard& operator=(const PortLockGuard&) = delete;

private:
    TRadioCom& owner_;
};

TRadioCom::TRadioCom(QObject* AOwner)
    : QObject(AOwner), DeviceName(PortTable[DefaultPort]), ModeString(SpeedTable[DefaultSpeed]),
      PortLock(CreateSemaphoreA(nullptr, LockInitialCount, LockMaximumCount, nullptr))
{
    WriteOverlap.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ReadOverlap.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
}

TRadioCom::~TRadioCom()
{
    ClosePort();
    ReleaseLateReaders();
    for (auto& late : lateReaders_)
        late.release()->DeleteWhenFinished();
    CloseHandle(PortLock);
    CloseHandle(WriteOverlap.hEvent);
    CloseHandle(ReadOverlap.hEvent);
}

TRadioCom::ports TRadioCom::GetComPort() const
{
    return static_cast<ports>(inTable(PortTable, comPort_) ? comPort_ : DefaultPort);
}

void TRadioCom::SetComPort(ports Value)
{
    if (static_cast<int>(Value) == comPort_)
        return;
    comPort_ = Value;
    DeviceName = PortTable[inTable(PortTable, comPort_) ? comPort_ : DefaultPort];
    if (connected_) {
        ClosePort();
        OpenPort();
    }
}

TRadioCom::bauds TRadioCom::GetBaudRate() const
{
    return static_cast<bauds>(inTable(SpeedTable, baudRate_) ? baudRate_ : DefaultSpeed);
}

void TRadioCom::SetBaudRate(bauds Value)
{
    if (static_cast<int>(Value) == baudRate_)
        return;
    baudRate_ = Value;
    ModeString = SpeedTable[inTable(SpeedTable, baudRate_) ? baudRate_ : DefaultSpeed];
    if (connected_) {
        ClosePort();
        OpenPort();
    }
}

void TRadioCom::SetReadTimeout(int Value)
{
    readTimeout_ = std::clamp(Value, 1, TimeoutLimit);
}

void TRadioCom::SetWriteTimeout(int Value)
{
    writeTimeout_ = std::clamp(Value, 0, TimeoutLimit);
}

void TRadioCom::SetComStatus(bool Value)
{
    if (Value == connected_)
        return;
    if (Value)
        OpenPort();
    else
        ClosePort();
}

int TRadioCom::CreateHandle()
{
    PortHandle = CreateFileA(DeviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    lastOpening_ =
        RecordedOpening(ComPort::fromIndex(GetComPort()), PortHandle != INVALID_HANDLE_VALUE);
    if (PortHandle == INVALID_HANDLE_VALUE)
        return -1;
    if (GetFileType(PortHandle) != FILE_TYPE_CHAR) {
        lastOpening_.terminal = false;
        DestroyHandle();
        return -1;
    }
    SetCommMask(PortHandle, AllEvents);
    return 0;
}

void TRadioCom::DestroyHandle()
{
    CloseHandle(PortHandle);
    PortHandle = INVALID_HANDLE_VALUE;
}

void TRadioCom::ApplyFlowControl(DCB& State) const
{
    State.fOutxCtsFlow = ctsFlowControl_ == CTSOn ? 1 : 0;
    switch (dtrFlowControl_) {
    case DTROn:
        State.fDtrControl = DTR_CONTROL_ENABLE;
        break;
    case DTRHandshake:
        State.fDtrControl = DTR_CONTROL_HANDSHAKE;
        break;
    default:
        State.fDtrControl = DTR_CONTROL_DISABLE;
    }
    switch (rtsFlowControl_) {
    case RTSOn:
        State.fRtsControl = RTS_CONTROL_ENABLE;
        break;
    case RTSHandshake:
        State.fRtsControl = RTS_CONTROL_HANDSHAKE;
        break;
    case RTSToggle:
        State.fRtsControl = RTS_CONTROL_TOGGLE;
        break;
    default:
        State.fRtsControl = RTS_CONTROL_DISABLE;
    }
    State.fOutxDsrFlow = dsrFlowControl_ == DSROn ? 1 : 0;
    State.fDsrSensitivity = dsrSensitivity_ == DSRDetect ? 1 : 0;
}

void TRadioCom::OpenPort()
{
    if (connected_)
        return;
    const PortLockGuard guard(*this);
    ReleaseLateReaders();
    if (CreateHandle() == -1)
        return;

    PortTimeouts.ReadIntervalTimeout = MAXDWORD;
    PortTimeouts.ReadTotalTimeoutMultiplier = 0;
    PortTimeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(readTimeout_);
    PortTimeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(writeTimeout_);
    PortTimeouts.WriteTotalTimeoutConstant = 0;

    DCB State{};
    State.DCBlength = sizeof(DCB);
    const bool configured = GetCommTimeouts(PortHandle, &SavedTimeouts) &&
                            SetCommTimeouts(PortHandle, &PortTimeouts) &&
                            GetCommState(PortHandle, &State) && BuildCommDCBA(ModeString, &State);
    if (configured)
        ApplyFlowControl(State);
    if (!configured || !SetCommState(PortHandle, &State)) {
        lastOpening_.settingsRefused = true;
        lastOpening_.error = GetLastError();
        DestroyHandle();
        return;
    }
    connected_ = true;
    Reader = std::make_unique<TComReader>(this);
}

void TRadioCom::ClosePort()
{
    if (!connected_)
        return;
    const PortLockGuard guard(*this);
    if (!Reader->End())
        lateReaders_.push_back(std::move(Reader));
    Reader.reset();
    ReleaseLateReaders();
    connected_ = false;
    SetCommTimeouts(PortHandle, &SavedTimeouts);
    DestroyHandle();
}

void TRadioCom::ReleaseLateReaders()
{
    std::erase_if(lateReaders_, [](const auto& late) { return late->Finished(); });
}

void TRadioCom::OnComReceive(std::int32_t Count)
{
    // A copy: the handler may assign OnReceive or destroy this component,
    // either of which would destroy the stored function while it runs.
    const TReceiveEvent handler = onReceive_;
    if (handler)
        handler(Count);
}

void TRadioCom::Lock()
{
    WaitForSingleObject(PortLock, INFINITE);
}

void TRadioCom::Unlock()
{
    ReleaseSemaphore(PortLock, LockRelease, nullptr);
}

int TRadioCom::SendPlainBuffer(const std::uint8_t* Buffer, std::int32_t Count)
{
    if (!connected_ || Count < 0)
        return -1;
    const PortLockGuard guard(*this);
    DWORD written = 0;
    try {
        if (WriteFile(PortHandle, Buffer, static_cast<DWORD>(Count), &written, &WriteOverlap))
            return static_cast<int>(written);
        if (GetLastError() == ERROR_IO_PENDING) {
            // Completion is polled back to back, without waiting.
            for (;;) {
                if (GetOverlappedResult(PortHandle, &WriteOverlap, &written, FALSE))
                    return static_cast<int>(written);
                if (GetLastError() != ERROR_IO_INCOMPLETE)
                    break;
            }
        }
        ClearCommError(PortHandle, nullptr, nullptr);
        return 0;
    } catch (...) {
        return static_cast<int>(written);
    }
}

int TRadioCom::SendBuffer(const std::uint8_t* Buffer, std::int32_t Count)
{
    return SendPlainBuffer(Buffer, Count);
}

int TRadioCom::SendByte(std::uint8_t Value)
{
    return SendPlainBuffer(&Value, 1);
}

int TRadioCom::SendCTSByte(std::uint8_t Value)
{
    if (ctsFlowControl_ == CTSOn || !connected_)
        return -1;
    DWORD countdown = CtsPollCountdown;
    while (!GetCTSState() && countdown != 0)
        --countdown;
    if (countdown == 0)
        return -1;
    return SendPlainBuffer(&Value, 1);
}

int TRadioCom::SendCTSBuffer(const std::uint8_t* Buffer, std::int32_t Count)
{
    for (std::int32_t i = 0; i < Count; ++i) {
        if (SendCTSByte(Buffer[i]) != 1)
            return i;
    }
    return Count;
}

int TRadioCom::SendStepBuffer(const std::uint8_t* Buffer, std::int32_t Count)
{
    for (std::int32_t i = 0; i < Count; ++i) {
        if (SendByte(Buffer[i]) != 1)
            return i;
    }
    return Count;
}

int TRadioCom::ReceiveBuffer(std::uint8_t* Buffer, std::int32_t Count)
{
    if (!connected_ || Count < 0)
        return -1;
    const PortLockGuard guard(*this);
    DWORD read = 0;
    // What left the queue counts on every path out, failures included.
    const auto countTaken =
        qScopeGuard([&] { inputTaken_->fetch_add(read, std::memory_order_release); });
    try {
        // A line error left from earlier must not block this read.
        ClearCommError(PortHandle, nullptr, nullptr);
        if (Count == 0) {
            ClearCommError(PortHandle, nullptr, nullptr);
            return 0;
        }
        if (ReadFile(PortHandle, Buffer, static_cast<DWORD>(Count), &read, &ReadOverlap))
            return static_cast<int>(read);
        if (GetLastError() != ERROR_IO_PENDING)
            return 0;
        for (;;) {
            if (GetOverlappedResult(PortHandle, &ReadOverlap, &read, TRUE))
                return static_cast<int>(read);
            if (GetLastError() != ERROR_IO_INCOMPLETE)
                break;
        }
        ClearCommError(PortHandle, nullptr, nullptr);
        return 0;
    } catch (...) {
        return static_cast<int>(read);
    }
}

bool TRadioCom::GetModemState(int Line) const
{
    static constexpr DWORD LineMasks[] = {MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON};
    const DWORD mask = Line >= 1 && Line <= 4 ? LineMasks[Line - 1] : 0;
    DWORD status = 0;
    if (!connected_ || !GetCommModemStatus(PortHandle, &status))
        return false;
    return (status & mask) != 0;
}

bool TRadioCom::GetCTSState() const
{
    return GetModemState(1);
}

bool TRadioCom::GetDSRState() const
{
    return GetModemState(2);
}

int TRadioCom::SetDTRState(bool State)
{
    static constexpr int Functions[] = {CLRDTR, SETDTR};
    return EscapeComm(Functions[State ? 1 : 0]);
}

int TRadioCom::SetRTSState(bool State)
{
    static constexpr int Functions[] = {CLRRTS, SETRTS};
    return EscapeComm(Functions[State ? 1 : 0]);
}

int TRadioCom::EscapeComm(int Function)
{
    if (!connected_)
        return -1;
    if (rtsFlowControl_ == RTSHandshake || dtrFlowControl_ == DTRHandshake)
        return -1;
    BOOL done = FALSE;
    {
        const PortLockGuard guard(*this);
        done = EscapeCommFunction(PortHandle, static_cast<DWORD>(Function));
    }
    return done ? 0 : -1;
}

namespace {

// Closes an event handle on every path out of a scope.
class EventHandle
{
public:
    EventHandle() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~EventHandle() { close(); }
    EventHandle(const EventHandle&) = delete;
    EventHandle& operator=(const EventHandle&) = delete;

    HANDLE get() const { return handle_; }
    void close()
    {
        if (handle_)
            CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_;
};

// Waits for the port's next serial event: true when one came or the mask was
// changed, false when the device gives none, the wait failing at once or once
// under way.
bool WaitForCommEvent(HANDLE port, OVERLAPPED& overlapped, DWORD& mask)
{
    if (WaitCommEvent(port, &mask, &overlapped))
        return true;
    if (GetLastError() != ERROR_IO_PENDING)
        return false;
    DWORD transferred = 0;
    return GetOverlappedResult(port, &overlapped, &transferred, TRUE) != FALSE;
}

} // namespace

TComReader::TComReader(TRadioCom* AConnector)
    : Connector(AConnector), port_(AConnector->GetPortHandle()),
      deviceName_(AConnector->GetDeviceName()),
      traced_(qEnvironmentVariableIsSet("MELVIX_TRACE_RECEIVE")),
      inputTaken_(AConnector->inputTaken_), toldUpTo_(inputTaken_->load()), handOff_(AConnector)
{
    start();
}

bool TComReader::End()
{
    ended_ = true;
    handOff_.cancel();
    // SetCommMask ends a wait in progress; one that falls between two waits
    // is not kept, so the wake is repeated until the thread is seen to end.
    DWORD mask = 0;
    GetCommMask(port_, &mask);
    const QDeadlineTimer limit(WatcherEndLimitMs);
    do {
        SetCommMask(port_, mask);
        if (wait(QDeadlineTimer(WatcherWakeRepeatMs)))
            return Finished();
    } while (!limit.hasExpired());
    std::fprintf(stderr,
                 "Serial port %s: the event watcher did not end within %d ms of being woken; "
                 "the port is closed without it.\n",
                 deviceName_, WatcherEndLimitMs);
    return false;
}

bool TComReader::Finished()
{
    return wait(QDeadlineTimer(0)) && runReturned_.load(std::memory_order_acquire);
}

void TComReader::DeleteWhenFinished()
{
    connect(this, &QThread::finished, this, &QObject::deleteLater);
    // The thread may have ended before the connection was made; deleteLater
    // may be asked twice.
    if (isFinished())
        deleteLater();
}

void TComReader::run()
{
    // The watcher ends here; on a desktop, stderr is the session's log, where
    // a port that went deaf can be traced to its cause.
    try {
        WatchEvents();
        TraceDeliveries();
    } catch (const std::exception& error) {
        std::fprintf(stderr,
                     "Serial port %s: the OnReceive handler failed: %s; no further OnReceive "
                     "until the port is opened again.\n",
                     deviceName_, error.what());
    } catch (...) {
        std::fprintf(stderr,
                     "Serial port %s: the OnReceive handler failed with an exception of unknown "
                     "type; no further OnReceive until the port is opened again.\n",
                     deviceName_);
    }
    runReturned_.store(true, std::memory_order_release);
}

void TComReader::WatchEvents()
{
    EventHandle event;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    DWORD mask = 0;
    // Some devices give no serial events: Wine fails every wait on a terminal
    // without modem lines, as a pseudo-terminal is. Input is then found by
    // looking at the queue: what the component has taken from it and what it
    // holds add up to all the input that ever came, and more than the last
    // OnReceive was told of is news, whether it came before the handler
    // returned or after, and however much the handler read.
    while (!isInterruptionRequested()) {
        if (ended_)
            return;
        const bool seen = WaitForCommEvent(port_, overlapped, mask);
        if (ended_)
            return;
        if (!seen) {
            ++failedWaits_;
            // Taken first: a read between the two can then make the input
            // seem less than it is, for one look, never more.
            const std::uint64_t taken = inputTaken_->load(std::memory_order_acquire);
            COMSTAT status{};
            if (!ClearCommError(port_, nullptr, &status)) {
                // Neither a wait nor a queue: the device went away, as an
                // adapter pulled out does. That is one last event with nothing
                // to read, as Linux reports it; the watcher then ends rather
                // than ask a device that is gone every few milliseconds.
                deviceGone_ = true;
                handOff_.run([this] { DeliverReceive(); });
                return;
            }
            if (taken + status.cbInQue <= toldUpTo_) {
                Sleep(QueuePollMs);
                continue;
            }
        }
        // Cancelled means ended. An exception from the handler is thrown
        // again here and ends the watcher, until the port is opened again.
        if (handOff_.run([this] { DeliverReceive(); }) != UiHandOff::Outcome::Ran)
            return;
        ++(seen ? onEvent_ : onQueueLook_);
        ResetEvent(overlapped.hEvent);
    }
    event.close();
    PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void TComReader::TraceDeliveries() const
{
    if (traced_)
        std::fprintf(stderr,
                     "Serial port %s: OnReceive %lu times on serial events, %lu times on input "
                     "found in the queue (%lu waits failed)%s\n",
                     deviceName_, onEvent_, onQueueLook_, failedWaits_,
                     deviceGone_ ? "; then the device went away" : "");
}

void TComReader::DeliverReceive()
{
    const std::uint64_t taken = inputTaken_->load(std::memory_order_acquire);
    COMSTAT status{};
    DWORD errors = 0;
    // A device that has gone away has no queue to count.
    std::int32_t Count = 0;
    if (ClearCommError(port_, &errors, &status))
        Count = static_cast<std::int32_t>(
            std::min<DWORD>(status.cbInQue, std::numeric_limits<std::int32_t>::max()));
    toldUpTo_ = taken + static_cast<std::uint64_t>(Count);
    // Last: the handler may close the port, and with it end this watcher.
    Connector->OnComReceive(Count);
}
