// A pseudo-terminal pair for tests: the serial link opens the device side
// by its path, the test plays the far end on the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

class PtyPair {
public:
    PtyPair() {
        int slave = -1;
        char name[256] = {};
        if (openpty(&m_master, &slave, name, nullptr, nullptr) == 0) {
            m_path = name;
            termios tio{};
            tcgetattr(m_master, &tio);
            cfmakeraw(&tio);
            tcsetattr(m_master, TCSANOW, &tio);
            // The slave stays open here too, so the device path's users can
            // come and go without the master seeing a hang-up.
            m_slave = slave;
        }
    }
    ~PtyPair() {
        CloseMaster();
        if (m_slave >= 0) {
            close(m_slave);
        }
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return m_master >= 0; }
    const std::string& Path() const { return m_path; }
    int Master() const { return m_master; }

    // Hangs the line up as an unplugged adapter would.
    void HangUp() {
        CloseMaster();
        if (m_slave >= 0) {
            close(m_slave);
            m_slave = -1;
        }
    }

    void Send(const void* pBytes, std::size_t count) const {
        const auto* p = static_cast<const unsigned char*>(pBytes);
        while (count > 0) {
            ssize_t put = write(m_master, p, count);
            if (put <= 0) {
                return;
            }
            p += put;
            count -= static_cast<std::size_t>(put);
        }
    }
    void Send(const std::string& text) const { Send(text.data(), text.size()); }

    // Reads what arrives until `count` bytes are in or `limit` passes.
    std::vector<unsigned char> Receive(std::size_t count, std::chrono::milliseconds limit) const {
        std::vector<unsigned char> got;
        auto until = std::chrono::steady_clock::now() + limit;
        while (got.size() < count && std::chrono::steady_clock::now() < until) {
            pollfd pfd{m_master, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0 || (pfd.revents & POLLIN) == 0) {
                continue;
            }
            unsigned char buffer[4096];
            ssize_t n = read(m_master, buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

private:
    void CloseMaster() {
        if (m_master >= 0) {
            close(m_master);
            m_master = -1;
        }
    }

    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

// Number of open descriptors of this process.
inline int OpenDescriptorCount() {
    int count = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) {
            ++count;
        }
    }
    return count;
}
