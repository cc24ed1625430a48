// Any file content through ImageLoad and FrameData: the transfer length is
// the content rounded up to whole blocks, and every block's frame carries STX,
// its number and complement, the file's bytes followed by 0xFF fill, and a
// CRC that an independent bit-serial CRC-16/XMODEM agrees with. CalcCrc16 is
// held to the same reference over the raw content, with only the low 16 bits
// of its length counting.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "download/download.h"
#include "tests/support/reference_crc.h"

namespace {

// Loading only reports its status; nothing here drives a run.
class SilentFrontEnd : public FrontEnd {
public:
    bool PortOpen() override { return false; }
    PortHandle PortHandleNow() override { return kInvalidPort; }
    void ShowMessage(const char*) override {}
    void SetStatus(const char*) override {}
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void EnableDownload(bool) override {}
    bool ChooseImage(std::string&) override { return false; }
};

// The image file lives in memory: an anonymous file reopened by its
// /proc/self/fd path, the way ImageLoad opens any path.
class MemoryFile {
public:
    MemoryFile() : m_fd(memfd_create("image", 0)) {
        if (m_fd < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        m_path = "/proc/self/fd/" + std::to_string(m_fd);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile() { close(m_fd); }

    const char* Fill(const std::uint8_t* pData, std::size_t size) {
        if (ftruncate(m_fd, 0) != 0) {
            std::perror("ftruncate");
            std::abort();
        }
        std::size_t done = 0;
        while (done < size) {
            const ssize_t wrote = pwrite(m_fd, pData + done, size - done, static_cast<off_t>(done));
            if (wrote <= 0) {
                std::perror("pwrite");
                std::abort();
            }
            done += static_cast<std::size_t>(wrote);
        }
        return m_path.c_str();
    }

private:
    int m_fd;
    std::string m_path;
};

[[noreturn]] void Fail(const char* what, std::size_t block, std::size_t offset) {
    std::fprintf(stderr, "image_framing_fuzz: %s (block %zu, byte %zu)\n", what, block, offset);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reference must itself be right: the published check value.
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    if (ReferenceCrc(digits, sizeof digits) != 0x31C3) {
        Fail("reference CRC misses the check value", 0, 0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t size) {
    static MemoryFile file;
    static SilentFrontEnd front;
    if (size > kImageCapacity) {
        return -1;
    }

    // CalcCrc16 on the raw content; only the low 16 bits of the length count.
    const std::uint16_t crcAll = ReferenceCrc(pData, size & 0xFFFFu);
    if (CalcCrc16(pData, static_cast<std::uint32_t>(size)) != crcAll) {
        Fail("CalcCrc16 differs from the reference", 0, size);
    }
    if (size <= 0xFFFFu && CalcCrc16(pData, static_cast<std::uint32_t>(size) + 0x10000u) != crcAll) {
        Fail("CalcCrc16 counts more than the low 16 bits of its length", 0, size);
    }

    ImageBuffer buffer;
    std::uint32_t length = 0xA5A5A5A5u;
    if (ImageLoad(file.Fill(pData, size), buffer, &length, front) != LoadResult::Loaded || !buffer.Held()) {
        Fail("a readable file did not load", 0, size);
    }
    const std::size_t blocks = (size + kBlockSize - 1) / kBlockSize;
    if (length != blocks * kBlockSize) {
        Fail("transfer length is not the content rounded up to whole blocks", blocks, length);
    }

    // The frame store is larger than a frame; nothing past 1029 bytes may change.
    constexpr std::uint8_t kUntouched = 0x5A;
    std::array<unsigned char, 2048> frame;
    frame.fill(kUntouched);
    for (std::size_t k = 0; k < blocks; ++k) {
        const auto n = static_cast<unsigned char>((k + 1) & 0xFFu);
        FrameData(frame.data(), n, buffer.Data() + k * kBlockSize);
        if (frame[0] != kStx || frame[1] != n || static_cast<unsigned char>(frame[1] + frame[2]) != 0xFF) {
            Fail("frame header is not STX, n, 0xFF - n", k, 0);
        }
        for (std::size_t i = 0; i < kBlockSize; ++i) {
            const std::size_t at = k * kBlockSize + i;
            const unsigned char want = at < size ? pData[at] : 0xFF;
            if (frame[3 + i] != want) {
                Fail(at < size ? "payload differs from the file" : "fill byte is not 0xFF", k, i);
            }
        }
        const std::uint16_t crc = ReferenceCrc(frame.data() + 3, kBlockSize);
        if (frame[3 + kBlockSize] != (crc >> 8) || frame[4 + kBlockSize] != (crc & 0xFFu)) {
            Fail("frame CRC differs from the reference", k, 3 + kBlockSize);
        }
        for (std::size_t i = kDataFrameSize; i < frame.size(); ++i) {
            if (frame[i] != kUntouched) {
                Fail("FrameData wrote past the frame", k, i);
            }
        }
    }

    // The end frame carries the number the next block would have had.
    const auto next = static_cast<unsigned char>((blocks + 1) & 0xFFu);
    frame.fill(kUntouched);
    FrameShort(frame.data(), kEot, next);
    if (frame[0] != kEot || frame[1] != next || frame[2] != static_cast<unsigned char>(0xFF - next) ||
        frame[3] != kUntouched) {
        Fail("end frame is not EOT, n, 0xFF - n", blocks, 0);
    }
    return 0;
}
