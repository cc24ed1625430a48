// Windows backend of the serial link: CreateFileA on a COM device, overlapped
// I/O so that the reader's outstanding event wait and a write share the one
// handle, and SerialThread moving every received byte into RxRing.
#include <process.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "serial/port_info.h"
#include "serial/port_state.h"
#include "serial/serial_port.h"
#include "serial/system_text.h"

namespace {

// The two events the reader waits for: a byte arrived, the output drained.
constexpr DWORD kEventMask = EV_RXCHAR | EV_TXEMPTY;
// One read takes at most this many bytes; a full read means more may wait.
constexpr DWORD kReadChunk = 1024;
// How long one turn of the reader waits for a port event.
constexpr DWORD kEventWaitMs = 500;
// A write that has not completed is looked at this often, so that it can give
// up once the port is being closed or the line is gone.
constexpr DWORD kWriteSliceMs = 100;
// Pause per turn of a reader whose line is gone: it only waits to be stopped.
constexpr DWORD kLostLinePauseMs = 10;
// Consecutive failed status checks after which the line counts as gone.
constexpr int kLineErrorLimit = 50;

static_assert(sizeof(DCB) == 28, "DCBlength must be 28");

// Diagnostic lines show the low 32 bits of a handle (FFFFFFFF when invalid).
unsigned HandleBits(HANDLE h) {
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(h));
}

// A kernel event owned by its creator and closed when it goes.
class EventHandle {
public:
    // Unnamed, manual reset, not signalled: what overlapped I/O wants.
    EventHandle() : m_h(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~EventHandle() {
        if (m_h != nullptr) {
            CloseHandle(m_h);
        }
    }
    EventHandle(const EventHandle&) = delete;
    EventHandle& operator=(const EventHandle&) = delete;
    explicit operator bool() const { return m_h != nullptr; }
    HANDLE Get() const { return m_h; }

private:
    HANDLE m_h;
};

// 115200 baud, 8N1, binary, no flow control, DTR on, RTS off, built from zero
// so that nothing of the port's earlier state survives. With NOPARITY the
// parity check that fParity switches on checks nothing.
DCB LineSettings() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_115200;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.EofChar = 0x1A;
    return dcb;
}

// Reads return at once with what has arrived; writes have no time-out.
COMMTIMEOUTS LineTimeouts() {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    return timeouts;
}

HANDLE OpenPortHandle(const char* pName) {
    return CreateFileA(PortOpenPath(pName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// Errors after which the device is gone rather than briefly unhappy.
bool IsLineGoneError(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_REMOVED ||
           error == ERROR_INVALID_HANDLE || error == ERROR_DEV_NOT_EXIST || error == ERROR_GEN_FAILURE ||
           error == ERROR_NOT_READY;
}

// Closes a half-configured port on every failure path of SerialOpen.
class PortCloser {
public:
    explicit PortCloser(HANDLE hPort) : m_h(hPort) {}
    ~PortCloser() {
        if (m_h != INVALID_HANDLE_VALUE) {
            CloseHandle(m_h);
        }
    }
    PortCloser(const PortCloser&) = delete;
    PortCloser& operator=(const PortCloser&) = delete;
    void Release() { m_h = INVALID_HANDLE_VALUE; }

private:
    HANDLE m_h;
};

void ReportReaderStart(LinkCore& core, LinkCore::ReaderStart state) {
    std::lock_guard<std::mutex> lock(core.startMutex);
    core.readerStart = state;
    core.startChanged.notify_all();
}

// One run of SerialThread: the reader's state, kept on its own stack.
class Reader {
public:
    explicit Reader(OpenRecord& open) : m_open(open), m_core(*open.pCore), m_pSlot(&open.hPort) {}

    void Run() {
        SerialDiag("Start SerialThread() handle %08x.\n", HandleBits(*m_pSlot));
        if (!m_waitEvent || !m_readEvent) {
            SerialDiag("[%08X]Error CreateEvent().\n", HandleBits(*m_pSlot));
            ReportReaderStart(m_core, LinkCore::ReaderStart::kFailed);
            return;
        }
        m_waitOv.hEvent = m_waitEvent.Get();
        m_readOv.hEvent = m_readEvent.Get();
        ReportReaderStart(m_core, LinkCore::ReaderStart::kRunning);
        for (;;) {
            ReaderHoldPoint();
            Turn();
            if (ReaderStopRequested(m_open)) {
                break;
            }
        }
        SettlePendingWait();
        SerialDiag("Exit Thrd[%08X].....\n", HandleBits(*m_pSlot));
    }

private:
    void Turn() {
        Sleep(1);
        WaitTurn();
        // An event wait may report only part of what happened: Wine, with a
        // writer busy on the same handle, reports EV_TXEMPTY and drops the
        // EV_RXCHAR beside it, and bytes that come while no wait is
        // outstanding raise no event at all. So whatever the wait gave,
        // bytes waiting in the input queue are read now.
        if (m_core.lineLost.load() == 0) {
            DWORD errors = 0;
            COMSTAT stat{};
            if (ClearCommError(*m_pSlot, &errors, &stat) && stat.cbInQue > 0) {
                ReadArrived();
            }
        }
    }

    void WaitTurn() {
        if (m_core.lineLost.load() != 0) {
            // Nothing more will come; only the stop flag or a close ends us.
            SettlePendingWait();
            Sleep(kLostLinePauseMs);
            return;
        }
        if (!m_bWaitPending) {
            ResetEvent(m_waitEvent.Get());
            if (WaitCommEvent(*m_pSlot, &m_mask, &m_waitOv)) {
                HandleEvent();
                return;
            }
            DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                CheckLine(error);
                return;
            }
            m_bWaitPending = true;
        }
        if (WaitForSingleObject(m_waitEvent.Get(), kEventWaitMs) != WAIT_OBJECT_0) {
            return;  // the wait stays outstanding for the next turn
        }
        DWORD unused = 0;
        if (!GetOverlappedResult(*m_pSlot, &m_waitOv, &unused, FALSE)) {
            DWORD error = GetLastError();
            if (error == ERROR_IO_INCOMPLETE) {
                return;
            }
            // The wait has ended, if with a failure: the next turn starts a
            // new one, or nothing would ever be received again.
            m_bWaitPending = false;
            CheckLine(error);
            return;
        }
        m_bWaitPending = false;
        HandleEvent();
    }

    void HandleEvent() {
        if ((m_mask & EV_RXCHAR) != 0) {
            ReadArrived();
        }
        if ((m_mask & EV_TXEMPTY) != 0) {
            DWORD errors = 0;
            COMSTAT stat{};
            if (ClearCommError(*m_pSlot, &errors, &stat)) {
                TraceLog(g_bTrace.load(), "[%08X]tx empty comm error %x\n", HandleBits(*m_pSlot),
                         static_cast<unsigned>(errors));
            }
        }
        TraceLog(g_bTrace.load(), "[%08X]dwCommEvent %x\n", HandleBits(*m_pSlot), static_cast<unsigned>(m_mask));
    }

    // Reads until a read returns less than a full chunk, so bytes beyond the
    // first 1024 do not wait for the next arrival.
    void ReadArrived() {
        for (bool bFirst = true;; bFirst = false) {
            DWORD count = 0;
            ResetEvent(m_readEvent.Get());
            if (!ReadFile(*m_pSlot, m_buffer, kReadChunk, &count, &m_readOv)) {
                DWORD error = GetLastError();
                if (error != ERROR_IO_PENDING) {
                    CheckLine(error);
                    return;
                }
                DWORD errors = 0;
                COMSTAT stat{};
                if (ClearCommError(*m_pSlot, &errors, &stat)) {
                    TraceLog(g_bTrace.load(), "[%08X]comm error %x\n", HandleBits(*m_pSlot),
                             static_cast<unsigned>(errors));
                }
                // The read must not outlive this turn: its record and buffer
                // are reused. Cancel it and keep what it had already taken.
                CancelIoEx(*m_pSlot, &m_readOv);
                count = 0;
                if (!GetOverlappedResult(*m_pSlot, &m_readOv, &count, TRUE)) {
                    return;
                }
                Put(count);
                return;
            }
            Put(count);
            if (count == 0 && bFirst) {
                // EV_RXCHAR with nothing to read can be a device whose far
                // end went away.
                CheckLine(ERROR_SUCCESS);
                return;
            }
            if (count != 0) {
                m_lineErrors = 0;
            }
            if (count < kReadChunk) {
                return;
            }
        }
    }

    // Captured before the ring gets them: a run that ends on the last of
    // these bytes then finds them in its record.
    void Put(DWORD count) {
        m_core.capture.Append(m_buffer, count);
        for (DWORD i = 0; i < count; ++i) {
            TraceLog(g_bTrace.load(), "%02X ", m_buffer[i]);
        }
        m_core.ring.PutBytes(m_buffer, count);
    }

    // A failed wait or read is common and harmless (Wine on a pseudo-terminal
    // aborts idle waits every few milliseconds), so the device is asked for
    // its status: a device that still answers is there. One whose status
    // fails with a gone error, or keeps failing, has disappeared (USB adapter
    // unplugged, far end of a pseudo-terminal closed) and the line is lost.
    void CheckLine(DWORD error) {
        if (!IsLineGoneError(error)) {
            DWORD errors = 0;
            COMSTAT stat{};
            if (ClearCommError(*m_pSlot, &errors, &stat)) {
                m_lineErrors = 0;
                return;
            }
            error = GetLastError();
        }
        if (IsLineGoneError(error) || ++m_lineErrors >= kLineErrorLimit) {
            m_core.lineLost.store(1);
            m_core.ring.WakeConsumer();
        }
    }

    // An event wait left outstanding must end before its record goes away.
    void SettlePendingWait() {
        if (!m_bWaitPending) {
            return;
        }
        CancelIoEx(*m_pSlot, &m_waitOv);
        DWORD unused = 0;
        GetOverlappedResult(*m_pSlot, &m_waitOv, &unused, TRUE);
        m_bWaitPending = false;
    }

    OpenRecord& m_open;
    LinkCore& m_core;
    HANDLE* m_pSlot;
    EventHandle m_waitEvent;
    EventHandle m_readEvent;
    // The event wait and the reads have records of their own, so a read can
    // never share a record with an outstanding wait.
    OVERLAPPED m_waitOv{};
    OVERLAPPED m_readOv{};
    DWORD m_mask = 0;
    bool m_bWaitPending = false;
    int m_lineErrors = 0;
    unsigned char m_buffer[kReadChunk] = {};
};

// Writes one run and waits for it in slices; gives up once the port is being
// closed or the line is gone, so a line that never drains cannot hold Close.
int WriteRun(LinkCore& core, HANDLE hPort, const void* pBytes, DWORD count) {
    EventHandle event;
    if (!event) {
        return 0;
    }
    OVERLAPPED ov{};
    ov.hEvent = event.Get();
    DWORD written = 0;
    if (WriteFile(hPort, pBytes, count, &written, &ov)) {
        return 1;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return 0;
    }
    for (;;) {
        DWORD waited = WaitForSingleObject(event.Get(), kWriteSliceMs);
        if (waited == WAIT_OBJECT_0) {
            return GetOverlappedResult(hPort, &ov, &written, FALSE) ? 1 : 0;
        }
        if (waited != WAIT_TIMEOUT || core.state.Closing() || core.lineLost.load() != 0) {
            // The record lives on this stack: the write must be over before
            // we return.
            CancelIoEx(hPort, &ov);
            GetOverlappedResult(hPort, &ov, &written, TRUE);
            return 0;
        }
    }
}

// Starts the open's reader and waits until it runs or has given up.
bool StartReader(LinkCore& core, const std::shared_ptr<OpenRecord>& pOpen) {
    {
        std::lock_guard<std::mutex> lock(core.startMutex);
        core.readerStart = LinkCore::ReaderStart::kPending;
    }
    core.state.ReaderStarted();
    auto pShare = std::make_unique<std::shared_ptr<OpenRecord>>(pOpen);
    if (_beginthread(SerialThread, 0, pShare.get()) == static_cast<std::uintptr_t>(-1)) {
        core.state.ReaderEnded();
        return false;
    }
    pShare.release();  // the reader owns it now
    std::unique_lock<std::mutex> lock(core.startMutex);
    core.startChanged.wait(lock, [&core] { return core.readerStart != LinkCore::ReaderStart::kPending; });
    return core.readerStart == LinkCore::ReaderStart::kRunning;
}

}  // namespace

std::string SystemErrorText(unsigned long error) {
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                  text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.')) {
        text[--length] = '\0';
    }
    if (length == 0) {
        std::snprintf(text, sizeof text, "system error %lu", error);
    }
    return text;
}

std::string PortOpenPath(const char* pName) {
    const std::string name = pName;
    bool bPlainCom = name.size() > 3 && _strnicmp(pName, "COM", 3) == 0;
    for (std::size_t i = 3; bPlainCom && i < name.size(); ++i) {
        bPlainCom = name[i] >= '0' && name[i] <= '9';
    }
    return bPlainCom ? "\\\\.\\" + name : name;
}

void BackendInit(LinkCore&) {}
void BackendFree(LinkCore&) {}

void BackendReleaseHandle(PortHandle hPort) {
    CloseHandle(hPort);
}

void SerialThread(void* pOpen) {
    // The reader owns its share of the open record from here on.
    std::unique_ptr<std::shared_ptr<OpenRecord>> pShare(static_cast<std::shared_ptr<OpenRecord>*>(pOpen));
    OpenRecord& open = **pShare;
    DiagPortScope diagPort(open.name.c_str());
    {
        Reader reader(open);
        reader.Run();
    }
    // Last acts: the events are closed and nothing touches the port any more.
    ReaderFinished(open);
    open.pCore->state.ReaderEnded();
}

int BackendOpen(LinkCore& core, const char* pName, PortHandle* pSlot) {
    std::lock_guard<std::mutex> lock(core.openMutex);
    DiagPortScope diagPort(pName);
    core.openError.clear();
    if (!EarlierReaderGone(core, pName)) {
        // The earlier open's handle, not shared, still holds the port.
        return OpenRefused(core, SystemErrorText(ERROR_ACCESS_DENIED));
    }
    SerialDiag("Serial open %s %s %s.\n", __DATE__, __TIME__, pName);
    HANDLE hPort = OpenPortHandle(pName);
    // Taken at once: the diagnostic line may change the thread's last error.
    DWORD error = GetLastError();
    SerialDiag("handle 0x%X\n", HandleBits(hPort));
    if (hPort == INVALID_HANDLE_VALUE) {
        if (error == ERROR_FILE_NOT_FOUND) {
            SerialDiag("Serial port %s does not exist.\n", pName);
        } else {
            SerialDiag("Serial port %s used.\n", pName);
        }
        return OpenRefused(core, SystemErrorText(error));
    }
    *pSlot = hPort;

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(hPort, &dcb)) {
        error = GetLastError();
        SerialDiag("Error get Serial port %s state.\n", pName);
        CloseHandle(hPort);
        *pSlot = INVALID_HANDLE_VALUE;
        return OpenRefused(core, SystemErrorText(error));
    }
    // Every failure from here on closes the handle before returning.
    PortCloser closer(hPort);
    dcb = LineSettings();
    // A fixture's power line is set to its level by the same call that sets
    // the line up, so that it never takes the default level on the way.
    switch (core.heldLine.load(std::memory_order_acquire)) {
    case kLineDtr:
        dcb.fDtrControl = core.bHeldAsserted.load() ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        break;
    case kLineRts:
        dcb.fRtsControl = core.bHeldAsserted.load() ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        break;
    default:
        break;
    }
    if (!SetCommState(hPort, &dcb)) {
        SerialDiag("Error setting to Serial port %s.\n", pName);
        return OpenRefused(core, kOpenNotConfigured);
    }
    DWORD mask = 0;
    if (!GetCommMask(hPort, &mask)) {
        SerialDiag("Error GetCommMask().\n");
        return OpenRefused(core, kOpenNotConfigured);
    }
    SerialDiag("Mask Status %x.\n", static_cast<unsigned>(mask));
    if (!SetCommMask(hPort, kEventMask)) {
        SerialDiag("Error SetCommMask().\n");
        return OpenRefused(core, kOpenNotConfigured);
    }
    if (!GetCommMask(hPort, &mask)) {
        SerialDiag("Error GetCommMask().\n");
        return OpenRefused(core, kOpenNotConfigured);
    }
    SerialDiag("Mask Status %x.\n", static_cast<unsigned>(mask));
    COMMTIMEOUTS timeouts = LineTimeouts();
    if (!SetCommTimeouts(hPort, &timeouts)) {
        SerialDiag("Error SetCommTimeouts().\n");
        return OpenRefused(core, kOpenNotConfigured);
    }

    // No producer runs yet, so the ring can be emptied from this side.
    core.ring.Reset();
    core.lineLost.store(0);
    auto pOpen = std::make_shared<OpenRecord>();
    pOpen->pCore = core.shared_from_this();
    pOpen->name = pName;
    pOpen->hPort = hPort;
    if (!StartReader(core, pOpen)) {
        SerialDiag("Error start SerialThread() for Serial port %s.\n", pName);
        return OpenRefused(core, kOpenNotConfigured);
    }
    closer.Release();
    core.state.Publish(hPort);
    core.pOpen = std::move(pOpen);
    return 0;
}

int BackendWrite(LinkCore& core, PortHandle hPort, const void* pBytes, std::uint32_t count) {
    if (!core.state.BeginWrite(hPort)) {
        return 0;
    }
    int result = WriteRun(core, hPort, pBytes, count);
    core.state.EndWrite();
    return result;
}

int BackendClose(LinkCore& core, PortHandle hPort) {
    std::lock_guard<std::mutex> lock(core.openMutex);
    if (!core.state.BeginClose(hPort)) {
        return 0;
    }
    core.pOpen->bStop.store(true);
    core.ring.WakeConsumer();
    // An empty mask ends the reader's outstanding event wait at once.
    SetCommMask(hPort, 0);
    const bool bEnded = core.state.WaitReaderEnded(kReaderEndWaitMs);
    // A reader that does not end in time closes the handle itself when it
    // does, so no handle is closed under a running reader.
    ReleaseAfterReader(*core.pOpen, bEnded);
    core.state.EndClose();
    return 1;
}

bool PortPresent(const char* pName) {
    // The device namespace knows every present port by its plain name.
    std::string name = pName;
    if (name.rfind("\\\\.\\", 0) == 0) {
        name.erase(0, 4);
    }
    char target[512];
    return QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
}

int PortProbe(const char* pName, std::string* pReason) {
    HANDLE hPort = OpenPortHandle(pName);
    if (hPort == INVALID_HANDLE_VALUE) {
        if (pReason != nullptr) {
            *pReason = SystemErrorText(GetLastError());
        }
        return 1;
    }
    CloseHandle(hPort);
    return 0;
}

// Every port the system has that can be opened now, in number order.
std::vector<std::string> PortList() {
    std::vector<std::string> ports;
    for (const PortInfo& info : PortInfoList()) {
        if (!info.busy) {
            ports.push_back(info.name);
        }
    }
    return ports;
}

void SerialSleep(unsigned ms) {
    Sleep(ms);
}

namespace {

// Runs call(handle) on the link's open port while no close can release it;
// false with the system's reason when the call fails.
template <typename Call>
bool WithOpenPort(LinkCore& core, std::string* pReason, Call call) {
    return WithOpenPort(core, pReason, call, [] { return SystemErrorText(GetLastError()); });
}

}  // namespace

// The system gives the far end's lines only; DTR and RTS are not read back.
bool SerialLink::ModemLines(unsigned& lines, std::string* pReason) {
    DWORD status = 0;
    if (!WithOpenPort(*m_pCore, pReason, [&status](HANDLE hPort) { return GetCommModemStatus(hPort, &status) != 0; })) {
        return false;
    }
    lines = ((status & MS_CTS_ON) != 0 ? kLineCts : 0u) | ((status & MS_DSR_ON) != 0 ? kLineDsr : 0u) |
            ((status & MS_RLSD_ON) != 0 ? kLineDcd : 0u) | ((status & MS_RING_ON) != 0 ? kLineRi : 0u);
    return true;
}

bool SerialLink::SetModemLine(unsigned line, bool bAsserted, std::string* pReason) {
    const DWORD function = line == kLineDtr ? (bAsserted ? SETDTR : CLRDTR) : (bAsserted ? SETRTS : CLRRTS);
    return WithOpenPort(*m_pCore, pReason,
                        [function](HANDLE hPort) { return EscapeCommFunction(hPort, function) != 0; });
}

// The reader's own WaitCommEvent is the port's one event wait: the lines are
// polled instead.
ModemWait SerialLink::WaitModemChange(unsigned) {
    std::lock_guard<std::mutex> lock(m_pCore->modemWaitMutex);
    return m_pCore->bModemWaitStopped ? ModemWait::Stopped : ModemWait::Refused;
}

void SerialLink::StopModemWait() {
    std::lock_guard<std::mutex> lock(m_pCore->modemWaitMutex);
    m_pCore->bModemWaitStopped = true;
}
