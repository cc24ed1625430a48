// Windows side of the download record: an append-only handle, one WriteFile
// and FlushFileBuffers for the line, the system's CNG provider for the
// image's SHA-256.
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "cli/download_record.h"
#include "cli/system_text.h"

namespace {

constexpr DWORD kHashChunk = 64 * 1024;
// The byte appenders lock while they write: the last one a 63-bit offset can
// name, so it lies beyond any data and blocks no reader.
constexpr DWORD kAppendTurnOffsetLow = 0xFFFFFFFE;
constexpr DWORD kAppendTurnOffsetHigh = 0x7FFFFFFF;

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

}  // namespace

bool RecordAppend(const std::string& path, const std::string& line, std::string& reason) {
    // Append data, no write-data right: every write goes to the end of the
    // file, whoever else has it open. The read right is there for the lock.
    FileHandle file = FileOpen(path, FILE_APPEND_DATA | FILE_READ_DATA, OPEN_ALWAYS);
    if (!file) {
        reason = SystemErrorText(GetLastError());
        return false;
    }
    // Not every file system finds the end and writes there as one step (Wine
    // does not, network shares need not), so appenders also take turns on a
    // one-byte lock far past any real end of file; the system drops it if
    // the process dies holding it.
    OVERLAPPED turn{};
    turn.Offset = kAppendTurnOffsetLow;
    turn.OffsetHigh = kAppendTurnOffsetHigh;
    if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn)) {
        reason = SystemErrorText(GetLastError());
        return false;
    }
    DWORD written = 0;
    BOOL bWritten = WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    DWORD writeError = GetLastError();
    UnlockFileEx(file.get(), 0, 1, 0, &turn);
    if (!bWritten) {
        reason = SystemErrorText(writeError);
        return false;
    }
    if (written != line.size()) {
        reason = "only " + std::to_string(written) + " of " + std::to_string(line.size()) + " bytes written";
        return false;
    }
    if (!FlushFileBuffers(file.get())) {
        reason = SystemErrorText(GetLastError());
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
