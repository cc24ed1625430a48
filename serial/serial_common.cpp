// Parts of the serial link that do not depend on the platform: the shared
// flags, the trace, and the open port's bookkeeping.
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "serial/port_state.h"
#include "serial/serial_port.h"

std::atomic<int> g_bStopThread{0};
std::atomic<int> g_bLineLost{0};
std::atomic<int> g_bTrace{0};
char g_szTraceLine[1024];

PortState g_portState;

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
    std::vprintf(pFormat, args);
    va_end(args);
    std::fflush(stdout);
}

void PortState::Publish(PortHandle hPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bOpen = true;
    m_bClosing = false;
    m_hPort = hPort;
    ++m_generation;
}

bool PortState::BeginWrite(PortHandle hPort) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bOpen || m_bClosing || m_hPort != hPort || g_bLineLost.load() != 0) {
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
    return m_bOpen && !m_bClosing && m_hPort == hPort && m_generation == generation && g_bLineLost.load() == 0;
}

std::uint32_t PortState::Generation() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_generation;
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

int SerialPortUsable(PortHandle hPort, std::uint32_t generation) {
    return g_portState.Usable(hPort, generation) ? 1 : 0;
}

std::uint32_t SerialOpenGeneration() {
    return g_portState.Generation();
}
