// POSIX side of the download record: an O_APPEND write and fsync for the
// line under an fcntl lock, libcrypto's EVP digest for the image's SHA-256.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <openssl/evp.h>

#include "station/download_record.h"

namespace {

constexpr std::size_t kHashChunk = 64 * 1024;
// How often a waiting writer looks again at the lock and at RecordWaitsAbandon.
constexpr auto kLockRetryInterval = std::chrono::milliseconds(10);

using Deadline = std::chrono::steady_clock::time_point;
constexpr char kStayedLocked[] = "the file stayed locked by another writer";

// A turn that a waiter gives up at its own deadline: a flag under a plain
// mutex and a condition variable (the thread sanitizer does not follow
// std::timed_mutex's clock-based waits, and would report every release).
class Turn {
public:
    void lock() {
        std::unique_lock<std::mutex> guard(m_mutex);
        m_free.wait(guard, [this] { return !m_bTaken; });
        m_bTaken = true;
    }
    bool try_lock_until(std::chrono::steady_clock::time_point until) {
        std::unique_lock<std::mutex> guard(m_mutex);
        if (!m_free.wait_until(guard, until, [this] { return !m_bTaken; })) {
            return false;
        }
        m_bTaken = true;
        return true;
    }
    void unlock() {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_bTaken = false;
        }
        m_free.notify_one();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_free;
    bool m_bTaken = false;
};

// The threads of this process take turns here: fcntl locks belong to the
// whole process, so they keep out other processes only, and closing any
// descriptor of the file would drop the lock another thread holds. A record
// waiting behind others still ends its wait on its own deadline.
Turn g_appendTurn;

// Takes this process's turn by the deadline. Once waits are abandoned, the
// turn is still awaited (its holder either writes at once or gives up at
// once), but never past the deadline. False with the reason.
bool TurnTake(std::unique_lock<Turn>& turn, Deadline giveUp, std::string& reason) {
    while (!turn.try_lock_until(std::min(giveUp, std::chrono::steady_clock::now() + kLockRetryInterval))) {
        if (std::chrono::steady_clock::now() >= giveUp) {
            reason = kStayedLocked;
            return false;
        }
    }
    return true;
}

std::string ErrnoText(int error) {
    return std::system_category().message(error);
}

// Closes the descriptor when the scope ends; Close() reports the result.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int Get() const { return m_fd; }
    bool Close() {
        int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// Opens the record file for appending, creating it when missing; bCreated
// tells whether this call made it. Anything but a regular file is refused
// by its type before it is opened (opening a serial port raises its modem
// lines), and the open does not block (a FIFO without a reader would wait
// for one); the type is checked again on the open descriptor, in case the
// name was replaced in between. -1 with the reason.
int RecordFileOpen(const std::string& path, bool& bCreated, std::string& reason) {
    bCreated = false;
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        reason = kRecordNotRegular;
        return -1;
    }
    // Read as well, to see whether the file ends inside a line; a file this
    // user may only write is written without that look.
    int flags = O_RDWR | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags);
    if (fd < 0 && errno == EACCES) {
        flags = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        fd = ::open(path.c_str(), flags);
    }
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
        bCreated = fd >= 0;
        if (fd < 0 && errno == EEXIST) {
            // Another station made it meanwhile.
            fd = ::open(path.c_str(), flags);
        }
    }
    if (fd < 0) {
        reason = ErrnoText(errno);
        return -1;
    }
    if (::fstat(fd, &status) != 0) {
        reason = ErrnoText(errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        reason = kRecordNotRegular;
        ::close(fd);
        return -1;
    }
    return fd;
}

// A new file's name is an entry in its folder: flushing the file alone does
// not make the name outlive a crash.
bool FolderFlush(const std::string& path, std::string& reason) {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // EINVAL: a file system that has nothing to flush for a folder.
    if (dir.Get() < 0 || (::fsync(dir.Get()) != 0 && errno != EINVAL)) {
        reason = ErrnoText(errno);
        return false;
    }
    return true;
}

// Takes the write lock on the whole file (fcntl locks also work over NFS,
// where O_APPEND alone is no atomic append), waiting while another writer
// holds it, until the deadline or until waits are abandoned. The lock goes
// with the descriptor's close.
bool LockTake(int fd, Deadline giveUp, std::string& reason) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;  // from offset 0, length 0: the whole file, however long
    while (::fcntl(fd, F_SETLK, &whole) != 0) {
        if (errno != EACCES && errno != EAGAIN && errno != EINTR) {
            reason = ErrnoText(errno);
            return false;
        }
        if (RecordWaitsAbandoned()) {
            reason = kRecordWaitCutShort;
            return false;
        }
        if (std::chrono::steady_clock::now() >= giveUp) {
            reason = kStayedLocked;
            return false;
        }
        std::this_thread::sleep_for(kLockRetryInterval);
    }
    return true;
}

// Writes all bytes, going on after a partial write; gives how many went in
// and leaves errno set when not all did.
std::size_t WriteAll(int fd, const char* pData, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t written = ::write(fd, pData + done, size - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    return done;
}

// The file ends in a line's first bytes, from offset `from` to `to`: ends
// them with a line end, so the next record starts a line of its own. At a
// size limit or on a full disk that byte does not fit; then the fragment's
// last byte gives way to it, and when even that fails the fragment comes off
// whole. Under the lock nobody else has written since. False when the file
// still ends inside the line.
bool FragmentEnd(int fd, off_t from, off_t to) {
    if (WriteAll(fd, "\n", 1) == 1) {
        return true;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || status.st_size != to) {
        return false;
    }
    if (::ftruncate(fd, to - 1) == 0 && WriteAll(fd, "\n", 1) == 1) {
        return true;
    }
    return ::ftruncate(fd, from) == 0;
}

// A writer killed in the middle of its line leaves the file ending inside
// it: the next record starts on a new line instead of being glued to the
// fragment. Under the lock; `size` is the file's size now. A file opened for
// writing only cannot be looked at and is taken as ending a line. Gives the
// file's size afterwards, or -1 with the reason.
off_t LineStart(int fd, off_t size, std::string& reason) {
    char last = '\n';
    if (size == 0 || ::pread(fd, &last, 1, size - 1) != 1 || last == '\n') {
        return size;
    }
    if (WriteAll(fd, "\n", 1) != 1) {
        reason = ErrnoText(errno);
        return -1;
    }
    return size + 1;
}

}  // namespace

bool RecordFilePrepare(const std::string& path, std::string& reason) {
    std::lock_guard<Turn> turn(g_appendTurn);
    bool bCreated = false;
    FileDescriptor file(RecordFileOpen(path, bCreated, reason));
    if (file.Get() < 0) {
        return false;
    }
    if (bCreated && !FolderFlush(path, reason)) {
        return false;
    }
    // A file system without working locks (an NFS mount whose lock service
    // does not answer) is found now, not after the first download. Held by
    // another station at this moment is fine.
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(file.Get(), F_SETLK, &whole) != 0 && errno != EACCES && errno != EAGAIN) {
        reason = ErrnoText(errno);
        return false;
    }
    return true;
}

bool RecordAppend(const std::string& path, const std::string& line, std::string& reason) {
    const Deadline giveUp = std::chrono::steady_clock::now() + kRecordLockWaitLimit;
    std::unique_lock<Turn> turn(g_appendTurn, std::defer_lock);
    if (!TurnTake(turn, giveUp, reason)) {
        return false;
    }
    bool bCreated = false;
    FileDescriptor file(RecordFileOpen(path, bCreated, reason));
    if (file.Get() < 0) {
        return false;
    }
    if ((bCreated && !FolderFlush(path, reason)) || !LockTake(file.Get(), giveUp, reason)) {
        return false;
    }
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) {
        reason = ErrnoText(errno);
        return false;
    }
    const off_t from = LineStart(file.Get(), status.st_size, reason);
    if (from < 0) {
        return false;
    }
    // With O_APPEND and the lock, the line goes to the end as one piece
    // whatever other writers do; a partial write is continued.
    const std::size_t written = WriteAll(file.Get(), line.data(), line.size());
    if (written != line.size()) {
        reason = ErrnoText(errno);
        if (written > 0) {
            reason += " (only " + std::to_string(written) + " of " + std::to_string(line.size()) + " bytes written";
            const bool bEnded = FragmentEnd(file.Get(), from, from + static_cast<off_t>(written));
            reason += bEnded ? ")" : "; the file ends inside them)";
        }
        return false;
    }
    if (::fsync(file.Get()) != 0) {
        reason = ErrnoText(errno);
        return false;
    }
    if (!file.Close()) {
        reason = ErrnoText(errno);
        return false;
    }
    return true;
}

namespace {

std::string DigestHex(const unsigned char* pDigest, unsigned int length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[pDigest[i] >> 4];
        hex += kDigits[pDigest[i] & 0x0F];
    }
    return hex;
}

}  // namespace

bool FileSha256(const std::string& path, std::string& hex, std::string& reason) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) {
        reason = ErrnoText(errno);
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        reason = "SHA-256 is not available";
        return false;
    }
    auto chunk = std::make_unique<unsigned char[]>(kHashChunk);
    for (;;) {
        ssize_t got = ::read(file.Get(), chunk.get(), kHashChunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            reason = ErrnoText(errno);
            return false;
        }
        if (got == 0) {
            break;
        }
        if (EVP_DigestUpdate(context.get(), chunk.get(), static_cast<std::size_t>(got)) != 1) {
            reason = "SHA-256 failed";
            return false;
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        reason = "SHA-256 failed";
        return false;
    }
    hex = DigestHex(digest, length);
    return true;
}

bool BytesSha256(std::span<const unsigned char> bytes, std::string& hex, std::string& reason) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        reason = "SHA-256 failed";
        return false;
    }
    hex = DigestHex(digest, length);
    return true;
}
