// Parts of the serial link that do not depend on the platform: the shared
// flags, the trace, the link object and the default link's plain functions.
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "serial/port_state.h"
#include "serial/serial_port.h"

std::atomic<int> g_bStopThread{0};
std::atomic<int> g_bTrace{0};
char g_szTraceLine[1024];

namespace {

// Written by tests only; read by every reader at the top of its turn.
std::atomic<bool> g_bHoldReaders{false};

// Set once by a front end before any port is opened; read by every thread
// that prints a diagnostic line.
std::atomic<SerialDiagSink> g_diagSink{nullptr};
thread_local const char* t_pDiagPort = "";

}  // namespace

void TraceLog(int bSwitch, const char* pFormat, ...) {
    if (bSwitch == 0) {
        return;
    }
    va_list args;
    va_start(args, pFormat);
    std::vsnprintf(g_szTraceLine, sizeof g_szTraceLine, pFormat, args);
    va_end(args);
    std::printf("%s", g_szTraceLine);
    std::fflush(stdout);
}

void SerialDiag(const char* pFormat, ...) {
    va_list args;
    va_start(args, pFormat);
    const SerialDiagSink sink = g_diagSink.load(std::memory_order_acquire);
    if (sink == nullptr) {
        std::vprintf(pFormat, args);
        std::fflush(stdout);
    } else {
        char line[512];
        std::vsnprintf(line, sizeof line, pFormat, args);
        sink(t_pDiagPort, line);
    }
    va_end(args);
}

void SerialSetDiagSink(SerialDiagSink sink) {
    g_diagSink.store(sink, std::memory_order_release);
}

DiagPortScope::DiagPortScope(const char* pPort) : m_pPrevious(t_pDiagPort) {
    t_pDiagPort = pPort;
}

DiagPortScope::~DiagPortScope() {
    t_pDiagPort = m_pPrevious;
}

// ---------------------------------------------------------------------------
// PortState

void PortState::Publish(PortHandle hPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bOpen = true;
    m_bClosing = false;
    m_hPort = hPort;
    ++m_generation;
}

bool PortState::BeginWrite(PortHandle hPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bOpen || m_bClosing || m_hPort != hPort || m_lineLost.load() != 0) {
        return false;
    }
    ++m_writers;
    return true;
}

void PortState::EndWrite() {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_writers;
    m_changed.notify_all();
}

bool PortState::Closing() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bClosing;
}

bool PortState::BeginClose(PortHandle hPort) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_bOpen || m_bClosing || m_hPort != hPort) {
        return false;
    }
    m_bClosing = true;
    m_changed.wait(lock, [this] { return m_writers == 0; });
    return true;
}

void PortState::EndClose() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bOpen = false;
    m_bClosing = false;
    m_changed.notify_all();
}

bool PortState::Usable(PortHandle hPort, std::uint32_t generation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bOpen && !m_bClosing && m_hPort == hPort && m_generation == generation && m_lineLost.load() == 0;
}

std::uint32_t PortState::Generation() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_generation;
}

bool PortState::Open() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bOpen;
}

PortHandle PortState::Handle() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bOpen ? m_hPort : kInvalidPort;
}

void PortState::ReaderStarted() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_readers;
}

void PortState::ReaderEnded() {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_readers;
    m_changed.notify_all();
}

bool PortState::WaitReaderEnded(unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_readers == 0; });
}

// ---------------------------------------------------------------------------
// ConsoleCapture

void ConsoleCapture::Enable(std::size_t limit) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_limit.store(limit, std::memory_order_release);
    m_bPaused.store(false, std::memory_order_release);
    m_bytes.clear();
}

void ConsoleCapture::Pause(bool bPaused) {
    m_bPaused.store(bPaused, std::memory_order_release);
}

void ConsoleCapture::EnableTail(std::size_t limit) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tailLimit.store(limit, std::memory_order_release);
}

void ConsoleCapture::Append(const unsigned char* pBytes, std::size_t count) {
    const std::size_t limit = m_bPaused.load(std::memory_order_acquire) ? 0 : m_limit.load(std::memory_order_acquire);
    const std::size_t tailLimit = m_tailLimit.load(std::memory_order_acquire);
    if ((limit == 0 && tailLimit == 0) || count == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    // Trimmed in steps, not per byte: a store never holds more than twice
    // its limit, and Take and Tail give the newest limit bytes.
    if (limit != 0) {
        m_bytes.append(reinterpret_cast<const char*>(pBytes), count);
        if (m_bytes.size() > 2 * limit) {
            m_bytes.erase(0, m_bytes.size() - limit);
        }
    }
    if (tailLimit != 0) {
        m_tail.append(reinterpret_cast<const char*>(pBytes), count);
        if (m_tail.size() > 2 * tailLimit) {
            m_tail.erase(0, m_tail.size() - tailLimit);
        }
        m_received += count;
        m_lastByte = std::chrono::steady_clock::now();
    }
}

ConsoleTail ConsoleCapture::Tail() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ConsoleTail tail;
    const std::size_t limit = m_tailLimit.load(std::memory_order_acquire);
    tail.bytes = m_tail.size() > limit ? m_tail.substr(m_tail.size() - limit) : m_tail;
    tail.received = m_received;
    tail.lastByte = m_lastByte;
    return tail;
}

std::string ConsoleCapture::Take() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string taken;
    taken.swap(m_bytes);
    const std::size_t limit = m_limit.load(std::memory_order_acquire);
    if (taken.size() > limit) {
        taken.erase(0, taken.size() - limit);
    }
    return taken;
}

// ---------------------------------------------------------------------------
// Readers

bool ReaderStopRequested(const OpenRecord& open) {
    return open.bStop.load(std::memory_order_acquire) ||
           (open.pCore->bDefault && g_bStopThread.load(std::memory_order_acquire) != 0);
}

void ReaderFinished(OpenRecord& open) {
    std::lock_guard<std::mutex> lock(open.mutex);
    open.bEnded = true;
    if (open.bCloseOnEnd) {
        BackendReleaseHandle(open.hPort);
    }
}

void ReleaseAfterReader(OpenRecord& open, bool bReaderEnded) {
    std::lock_guard<std::mutex> lock(open.mutex);
    if (bReaderEnded || open.bEnded) {
        BackendReleaseHandle(open.hPort);
    } else {
        open.bCloseOnEnd = true;
    }
}

bool EarlierReaderGone(LinkCore& core, const char* pName) {
    if (!core.state.WaitReaderEnded(kReaderEndWaitMs)) {
        SerialDiag("Error reader of Serial port %s still running.\n", pName);
        return false;
    }
    return true;
}

int OpenRefused(LinkCore& core, std::string reason) {
    core.openError = std::move(reason);
    return 1;
}

void ReaderHoldPoint() {
    while (g_bHoldReaders.load(std::memory_order_acquire)) {
        SerialSleep(5);
    }
}

void SerialHoldReadersForTest(bool bHold) {
    g_bHoldReaders.store(bHold, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// SerialLink

LinkCore::LinkCore(bool bDefaultLink) : bDefault(bDefaultLink) {
    BackendInit(*this);
}

LinkCore::~LinkCore() {
    BackendFree(*this);
}

SerialLink::SerialLink() : SerialLink(false) {}

SerialLink::SerialLink(bool bDefault) : m_pCore(std::make_shared<LinkCore>(bDefault)) {}

SerialLink::~SerialLink() {
    Close();
    // The open record points back at the core; once the port is closed the
    // link lets go of it, and a reader still running keeps what it needs.
    std::lock_guard<std::mutex> lock(m_pCore->openMutex);
    m_pCore->pOpen.reset();
}

int SerialLink::Open(const char* pName, PortHandle* pSlot) {
    PortHandle unused = kInvalidPort;
    return BackendOpen(*m_pCore, pName, pSlot != nullptr ? pSlot : &unused);
}

std::string SerialLink::LastOpenError() const {
    std::lock_guard<std::mutex> lock(m_pCore->openMutex);
    return m_pCore->openError;
}

int SerialLink::Write(PortHandle hPort, const void* pBytes, std::uint32_t count) {
    return BackendWrite(*m_pCore, hPort, pBytes, count);
}

int SerialLink::Close(PortHandle hPort) {
    return BackendClose(*m_pCore, hPort);
}

int SerialLink::Close() {
    if (!m_pCore->state.Open()) {
        return 0;
    }
    return Close(m_pCore->state.Handle());
}

int SerialLink::Usable(PortHandle hPort, std::uint32_t generation) const {
    return m_pCore->state.Usable(hPort, generation) ? 1 : 0;
}

std::uint32_t SerialLink::Generation() const { return m_pCore->state.Generation(); }
bool SerialLink::IsOpen() const { return m_pCore->state.Open(); }
PortHandle SerialLink::Handle() const { return m_pCore->state.Handle(); }
bool SerialLink::LineLost() const { return m_pCore->lineLost.load(std::memory_order_acquire) != 0; }
RxRingStore& SerialLink::Ring() { return m_pCore->ring; }
bool SerialLink::WaitReaderEnded(unsigned timeoutMs) const { return m_pCore->state.WaitReaderEnded(timeoutMs); }
void SerialLink::CaptureConsole(std::size_t limit) { m_pCore->capture.Enable(limit); }
void SerialLink::PauseConsoleCapture(bool bPaused) { m_pCore->capture.Pause(bPaused); }
std::string SerialLink::TakeConsole() { return m_pCore->capture.Take(); }
void SerialLink::KeepConsoleTail(std::size_t limit) { m_pCore->capture.EnableTail(limit); }
ConsoleTail SerialLink::ConsoleTailNow() const { return m_pCore->capture.Tail(); }

void SerialLink::HoldLine(unsigned line, bool bAssertedAtOpen) {
    m_pCore->bHeldAsserted.store(bAssertedAtOpen, std::memory_order_relaxed);
    m_pCore->heldLine.store(line, std::memory_order_release);
}

void SerialLink::AllowModemWait() {
    std::lock_guard<std::mutex> lock(m_pCore->modemWaitMutex);
    m_pCore->bModemWaitStopped = false;
}

SerialLink& SerialDefaultLink() {
    static SerialLink link(true);
    return link;
}

RxRingStore& RxRing = SerialDefaultLink().Ring();

// ---------------------------------------------------------------------------
// The default link's plain functions.

int SerialOpen(PortHandle* pSlot, const char* pName) { return SerialDefaultLink().Open(pName, pSlot); }

int SerialWrite(PortHandle hPort, const void* pBytes, std::uint32_t count) {
    return SerialDefaultLink().Write(hPort, pBytes, count);
}

int SerialClose(PortHandle hPort) { return SerialDefaultLink().Close(hPort); }

int SerialPortUsable(PortHandle hPort, std::uint32_t generation) {
    return SerialDefaultLink().Usable(hPort, generation);
}

std::uint32_t SerialOpenGeneration() { return SerialDefaultLink().Generation(); }
