// POSIX side of the download record: an O_APPEND write and fsync for the
// line, libcrypto's EVP digest for the image's SHA-256.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>

#include <openssl/evp.h>

#include "cli/download_record.h"

namespace {

constexpr std::size_t kHashChunk = 64 * 1024;

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

}  // namespace

bool RecordAppend(const std::string& path, const std::string& line, std::string& reason) {
    FileDescriptor file(::open(path.c_str(), O_APPEND | O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    if (file.Get() < 0) {
        reason = ErrnoText(errno);
        return false;
    }
    // One write of the whole line: with O_APPEND the kernel places it at the
    // end as one piece, so lines from other processes never land inside it.
    ssize_t written;
    do {
        written = ::write(file.Get(), line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        reason = ErrnoText(errno);
        return false;
    }
    if (static_cast<std::size_t>(written) != line.size()) {
        // The file system took only part of it (full disk, quota); the rest
        // is not retried, as a second write could land after another line.
        reason = "only " + std::to_string(written) + " of " + std::to_string(line.size()) + " bytes written";
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
