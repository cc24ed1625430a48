// Windows side of the download record: an append-only handle, WriteFile and
// FlushFileBuffers for the line under a byte-range lock, the system's CNG
// provider for the image's SHA-256.
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "station/download_record.h"
#include "serial/system_text.h"

namespace {

constexpr DWORD kHashChunk = 64 * 1024;
// The byte appenders lock while they write: the last one a 63-bit offset can
// name, so it lies beyond any data and blocks no reader.
constexpr DWORD kAppendTurnOffsetLow = 0xFFFFFFFE;
constexpr DWORD kAppendTurnOffsetHigh = 0x7FFFFFFF;
// How often a waiting writer looks again at the lock and at RecordWaitsAbandon.
constexpr DWORD kLockRetryIntervalMs = 10;

std::string StatusText(const char* pCall, NTSTATUS status) {
    char text[96];
    std::snprintf(text, sizeof text, "%s failed (status 0x%08lx)", pCall, static_cast<unsigned long>(status));
    return text;
}

struct HandleClose {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using FileHandle = std::unique_ptr<void, HandleClose>;

FileHandle FileOpen(const std::string& path, DWORD access, DWORD disposition) {
    HANDLE handle = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    return FileHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

struct AlgorithmClose {
    void operator()(BCRYPT_ALG_HANDLE algorithm) const { BCryptCloseAlgorithmProvider(algorithm, 0); }
};
struct HashDestroy {
    void operator()(BCRYPT_HASH_HANDLE hash) const { BCryptDestroyHash(hash); }
};

// Opens the record file for appending, creating it when missing; bCreated
// tells whether this call made it. Append data, no write-data right: every
// write goes to the end of the file, whoever else has it open. The read
// right is there for the lock. A folder, a name in the device namespace
// (\\.\COM3, \\.\pipe\...) or anything else that is no file on a disk
// (COM1, NUL) is refused.
FileHandle RecordFileOpen(const std::string& path, bool& bCreated, std::string& reason) {
    bCreated = false;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (path.rfind("\\\\.\\", 0) == 0 ||
        (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
        reason = kRecordNotRegular;
        return nullptr;
    }
    FileHandle file = FileOpen(path, FILE_APPEND_DATA | FILE_READ_DATA, OPEN_ALWAYS);
    if (!file) {
        reason = SystemErrorText(GetLastError());
        return nullptr;
    }
    bCreated = GetLastError() != ERROR_ALREADY_EXISTS;
    if (GetFileType(file.get()) != FILE_TYPE_DISK) {
        reason = kRecordNotRegular;
        return nullptr;
    }
    return file;
}

// Writes all bytes, going on after a partial write; gives how many went in
// and the error when not all did.
DWORD WriteAll(HANDLE file, const char* pData, DWORD size, DWORD& error) {
    DWORD done = 0;
    while (done < size) {
        DWORD written = 0;
        if (!WriteFile(file, pData + done, size - done, &written, nullptr) || written == 0) {
            error = GetLastError();
            done += written;
            break;
        }
        done += written;
    }
    return done;
}

// The file ends in a line's first bytes, from offset `from` to `to`: ends
// them with a line end, so the next record starts a line of its own. On a
// full disk that byte does not fit; then the fragment's last byte gives way
// to it, and when even that fails the fragment comes off whole. The append
// handle cannot cut the file, so a second handle with the write-data right
// does; under the lock nobody else has written since. False when the file
// still ends inside the line.
bool FragmentEnd(HANDLE append, const std::string& path, ULONGLONG from, ULONGLONG to) {
    DWORD error = 0;
    if (WriteAll(append, "\n", 1, error) == 1) {
        return true;
    }
    FileHandle cut = FileOpen(path, GENERIC_WRITE, OPEN_EXISTING);
    LARGE_INTEGER size{};
    if (!cut || !GetFileSizeEx(cut.get(), &size) || static_cast<ULONGLONG>(size.QuadPart) != to) {
        return false;
    }
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(to - 1);
    if (SetFilePointerEx(cut.get(), at, nullptr, FILE_BEGIN) && SetEndOfFile(cut.get()) &&
        WriteAll(cut.get(), "\n", 1, error) == 1) {
        return true;
    }
    at.QuadPart = static_cast<LONGLONG>(from);
    return SetFilePointerEx(cut.get(), at, nullptr, FILE_BEGIN) && SetEndOfFile(cut.get());
}

// Takes the appenders' turn on the file's lock byte, waiting while another
// writer (another process, or another thread of this one through its own
// handle) holds it, until the deadline or until waits are abandoned. False
// with the reason.
bool TurnTake(HANDLE file, OVERLAPPED& turn, std::chrono::steady_clock::time_point giveUp, std::string& reason) {
    while (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &turn)) {
        const DWORD error = GetLastError();
        if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
            reason = SystemErrorText(error);
            return false;
        }
        if (RecordWaitsAbandoned()) {
            reason = kRecordWaitCutShort;
            return false;
        }
        if (std::chrono::steady_clock::now() >= giveUp) {
            reason = "the file stayed locked by another writer";
            return false;
        }
        Sleep(kLockRetryIntervalMs);
    }
    return true;
}

// A writer killed in the middle of its line leaves the file ending inside
// it: the next record starts on a new line instead of being glued to the
// fragment. Under the lock; `size` is the file's size now. Gives the file's
// size afterwards; false with the reason when the line end cannot be written.
bool LineStart(HANDLE file, ULONGLONG& size, std::string& reason) {
    if (size == 0) {
        return true;
    }
    char last = '\n';
    DWORD got = 0;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>((size - 1) & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>((size - 1) >> 32);
    if (!ReadFile(file, &last, 1, &got, &at) || got != 1 || last == '\n') {
        return true;
    }
    DWORD error = 0;
    if (WriteAll(file, "\n", 1, error) != 1) {
        reason = SystemErrorText(error);
        return false;
    }
    ++size;
    return true;
}

}  // namespace

bool RecordFilePrepare(const std::string& path, std::string& reason) {
    bool bCreated = false;
    FileHandle file = RecordFileOpen(path, bCreated, reason);
    if (!file) {
        return false;
    }
    // NTFS journals a new name with the file's own metadata: flushing the
    // new file makes its name outlive a crash too.
    if (bCreated && !FlushFileBuffers(file.get())) {
        reason = SystemErrorText(GetLastError());
        return false;
    }
    return true;
}

bool RecordAppend(const std::string& path, const std::string& line, std::string& reason) {
    const auto giveUp = std::chrono::steady_clock::now() + kRecordLockWaitLimit;
    bool bCreated = false;
    FileHandle file = RecordFileOpen(path, bCreated, reason);
    if (!file) {
        return false;
    }
    // Not every file system finds the end and writes there as one step (Wine
    // does not, network shares need not), so appenders also take turns on a
    // one-byte lock far past any real end of file, held over the write and
    // the flush; the system drops it if the process dies holding it.
    OVERLAPPED turn{};
    turn.Offset = kAppendTurnOffsetLow;
    turn.OffsetHigh = kAppendTurnOffsetHigh;
    if (!TurnTake(file.get(), turn, giveUp, reason)) {
        return false;
    }
    bool bAppended = false;
    LARGE_INTEGER before{};
    ULONGLONG from = 0;
    if (!GetFileSizeEx(file.get(), &before)) {
        reason = SystemErrorText(GetLastError());
    } else if (from = static_cast<ULONGLONG>(before.QuadPart); LineStart(file.get(), from, reason)) {
        DWORD error = 0;
        const DWORD size = static_cast<DWORD>(line.size());
        const DWORD written = WriteAll(file.get(), line.data(), size, error);
        if (written != size) {
            reason = SystemErrorText(error);
            if (written > 0) {
                reason += " (only " + std::to_string(written) + " of " + std::to_string(size) + " bytes written";
                reason += FragmentEnd(file.get(), path, from, from + written) ? ")" : "; the file ends inside them)";
            }
        } else if (!FlushFileBuffers(file.get())) {
            reason = SystemErrorText(GetLastError());
        } else {
            bAppended = true;
        }
    }
    UnlockFileEx(file.get(), 0, 1, 0, &turn);
    if (!bAppended) {
        return false;
    }
    HANDLE handle = file.release();
    if (!CloseHandle(handle)) {
        reason = SystemErrorText(GetLastError());
        return false;
    }
    return true;
}

namespace {

// One SHA-256 through the system's CNG provider, fed in pieces.
class Sha256 {
public:
    // False with the reason when the provider cannot give one.
    bool Begin(std::string& reason) {
        BCRYPT_ALG_HANDLE algorithmHandle = nullptr;
        NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithmHandle, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        if (!BCRYPT_SUCCESS(status)) {
            reason = StatusText("BCryptOpenAlgorithmProvider", status);
            return false;
        }
        m_algorithm.reset(algorithmHandle);

        // Windows 7 wants the hash object's storage from the caller.
        DWORD objectLength = 0;
        ULONG got = 0;
        status = BCryptGetProperty(m_algorithm.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                                   sizeof objectLength, &got, 0);
        if (BCRYPT_SUCCESS(status)) {
            status = BCryptGetProperty(m_algorithm.get(), BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&m_digestLength),
                                       sizeof m_digestLength, &got, 0);
        }
        if (!BCRYPT_SUCCESS(status)) {
            reason = StatusText("BCryptGetProperty", status);
            return false;
        }
        m_object.resize(objectLength);
        BCRYPT_HASH_HANDLE hashHandle = nullptr;
        status = BCryptCreateHash(m_algorithm.get(), &hashHandle, m_object.data(), objectLength, nullptr, 0, 0);
        if (!BCRYPT_SUCCESS(status)) {
            reason = StatusText("BCryptCreateHash", status);
            return false;
        }
        m_hash.reset(hashHandle);
        return true;
    }

    // BCryptHashData takes a 32-bit count: more comes in chunks.
    bool Update(const unsigned char* pBytes, std::size_t count, std::string& reason) {
        for (std::size_t offset = 0; offset < count; offset += kHashChunk) {
            const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(kHashChunk, count - offset));
            const NTSTATUS status = BCryptHashData(m_hash.get(), const_cast<PUCHAR>(pBytes + offset), chunk, 0);
            if (!BCRYPT_SUCCESS(status)) {
                reason = StatusText("BCryptHashData", status);
                return false;
            }
        }
        return true;
    }

    bool Finish(std::string& hex, std::string& reason) {
        std::vector<UCHAR> digest(m_digestLength);
        const NTSTATUS status = BCryptFinishHash(m_hash.get(), digest.data(), m_digestLength, 0);
        if (!BCRYPT_SUCCESS(status)) {
            reason = StatusText("BCryptFinishHash", status);
            return false;
        }
        static const char kDigits[] = "0123456789abcdef";
        hex.clear();
        for (UCHAR byte : digest) {
            hex += kDigits[byte >> 4];
            hex += kDigits[byte & 0x0F];
        }
        return true;
    }

private:
    // Destroyed in reverse: the hash first, then its storage, then the
    // provider it came from.
    std::unique_ptr<void, AlgorithmClose> m_algorithm;
    std::vector<UCHAR> m_object;
    std::unique_ptr<void, HashDestroy> m_hash;
    DWORD m_digestLength = 0;
};

}  // namespace

bool FileSha256(const std::string& path, std::string& hex, std::string& reason) {
    FileHandle file = FileOpen(path, GENERIC_READ, OPEN_EXISTING);
    if (!file) {
        reason = SystemErrorText(GetLastError());
        return false;
    }
    Sha256 sha;
    if (!sha.Begin(reason)) {
        return false;
    }
    std::vector<UCHAR> chunk(kHashChunk);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), chunk.data(), kHashChunk, &read, nullptr)) {
            reason = SystemErrorText(GetLastError());
            return false;
        }
        if (read == 0) {
            break;
        }
        if (!sha.Update(chunk.data(), read, reason)) {
            return false;
        }
    }
    return sha.Finish(hex, reason);
}

bool BytesSha256(std::span<const unsigned char> bytes, std::string& hex, std::string& reason) {
    Sha256 sha;
    return sha.Begin(reason) && sha.Update(bytes.data(), bytes.size(), reason) && sha.Finish(hex, reason);
}
