// Image buffer, CRC-16 and the XMODEM-1K block transfer.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>

#include "download/download.h"

namespace {

std::atomic<std::uint64_t> g_obtained{0};
std::atomic<std::uint64_t> g_released{0};
std::atomic<bool> g_failAllocations{false};

struct FileCloser {
    void operator()(std::FILE* pFile) const { std::fclose(pFile); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

constexpr unsigned kSettleBeforeFirstBlockMs = 100;

// Keeps a transfer's protocol bytes (one answer per block) out of the run's
// record while it lives: the record keeps what the box said before the
// first block and after the last. Ends before the end of transmission, or
// with the transfer on any other way out.
class ConsoleCapturePause {
public:
    explicit ConsoleCapturePause(SerialLink& link) : m_link(link) { m_link.PauseConsoleCapture(true); }
    ~ConsoleCapturePause() { m_link.PauseConsoleCapture(false); }
    ConsoleCapturePause(const ConsoleCapturePause&) = delete;
    ConsoleCapturePause& operator=(const ConsoleCapturePause&) = delete;

private:
    SerialLink& m_link;
};

}  // namespace

bool ImageBuffer::Obtain() {
    Release();
    if (g_failAllocations.load()) {
        return false;
    }
    m_pData.reset(new (std::nothrow) unsigned char[kImageCapacity]);
    if (!m_pData) {
        return false;
    }
    g_obtained.fetch_add(1);
    return true;
}

void ImageBuffer::Release() {
    if (Held()) {
        m_pData.reset();
        m_pShared.reset();
        g_released.fetch_add(1);
    }
}

std::uint64_t ImageBuffer::ObtainedCount() { return g_obtained.load(); }
std::uint64_t ImageBuffer::ReleasedCount() { return g_released.load(); }
void ImageBuffer::FailAllocationsForTest(bool bFail) { g_failAllocations.store(bFail); }

void ImageBuffer::Share(std::shared_ptr<const LoadedImage> pImage) {
    Release();
    m_pShared = std::move(pImage);
    g_obtained.fetch_add(1);
}

namespace {

// Reads at most capacity bytes of the file into pData; a longer file's rest
// is ignored. False on a read error (or a directory), which must not pass
// for a whole image.
bool ReadImage(std::FILE* pFile, unsigned char* pData, std::size_t capacity, std::size_t* pSize) {
    std::size_t size = 0;
    while (size < capacity) {
        std::size_t got = std::fread(pData + size, 1, capacity - size, pFile);
        size += got;
        if (got == 0) {
            break;
        }
    }
    *pSize = size;
    return std::ferror(pFile) == 0;
}

std::uint32_t TransferLength(std::size_t size) {
    return static_cast<std::uint32_t>((size + kBlockSize - 1) / kBlockSize * kBlockSize);
}

}  // namespace

LoadResult ImageLoad(const char* pPath, ImageBuffer& buffer, std::uint32_t* pLength, FrontEnd& front) {
    FilePtr file(std::fopen(pPath, "rb"));
    if (!file) {
        return LoadResult::NotOpened;
    }
    if (!buffer.Obtain()) {
        return LoadResult::NoBuffer;
    }
    front.SetStatus("start");

    std::size_t size = 0;
    if (!ReadImage(file.get(), buffer.Data(), kImageCapacity, &size)) {
        buffer.Release();
        return LoadResult::NotOpened;
    }
    file.reset();

    const std::uint32_t length = TransferLength(size);
    // The last block is filled with 0xFF after the file's data, so no stale
    // memory ever reaches the line.
    std::memset(buffer.Data() + size, 0xFF, length - size);
    *pLength = length;
    return LoadResult::Loaded;
}

SharedLoadResult ImageLoadShared(const char* pPath, std::shared_ptr<const LoadedImage>& pImage) {
    // A FIFO, a device or a folder is refused before it is opened: opening
    // a FIFO would wait for a writer, and reading one would take bytes that
    // nobody can read again.
    std::error_code statusError;
    const std::filesystem::file_status status = std::filesystem::status(pPath, statusError);
    if (!statusError && status.type() != std::filesystem::file_type::regular) {
        return SharedLoadResult::NotRegular;
    }
    FilePtr file(std::fopen(pPath, "rb"));
    if (!file) {
        return SharedLoadResult::NotOpened;
    }
    auto failed = [&file] {
        // errno tells why; closing must not change it.
        const int error = errno;
        file.reset();
        errno = error;
        return SharedLoadResult::NotOpened;
    };
    // What was opened decides: the path may have been replaced meanwhile.
    struct stat opened {};
    if (fstat(fileno(file.get()), &opened) != 0) {
        return failed();
    }
    if (!S_ISREG(opened.st_mode)) {
        return SharedLoadResult::NotRegular;
    }
    const std::uintmax_t fileSize = static_cast<std::uintmax_t>(opened.st_size);
    if (fileSize > kImageCapacity) {
        return SharedLoadResult::TooLarge;
    }

    // Only as much memory as the file needs: several hundred boxes may be
    // flashed from one image, but the image is held once. One byte more
    // shows whether the file grew since.
    auto pLoaded = std::make_shared<LoadedImage>();
    try {
        // Room for the 0xFF fill too, so that the image is never copied to
        // a buffer of its final size (two 16 MiB copies at once).
        pLoaded->bytes.reserve(std::max<std::size_t>(TransferLength(static_cast<std::size_t>(fileSize)),
                                                     static_cast<std::size_t>(fileSize) + 1));
        pLoaded->bytes.resize(static_cast<std::size_t>(fileSize) + 1);
    } catch (const std::bad_alloc&) {
        return SharedLoadResult::NoBuffer;
    }
    std::size_t size = 0;
    if (!ReadImage(file.get(), pLoaded->bytes.data(), pLoaded->bytes.size(), &size)) {
        return failed();
    }
    if (size == pLoaded->bytes.size()) {
        // Larger than it was a moment ago: read on, up to one byte past what
        // the loader receives.
        try {
            pLoaded->bytes.resize(std::size_t{kImageCapacity} + 1);
        } catch (const std::bad_alloc&) {
            return SharedLoadResult::NoBuffer;
        }
        std::size_t more = 0;
        if (size < pLoaded->bytes.size() &&
            !ReadImage(file.get(), pLoaded->bytes.data() + size, pLoaded->bytes.size() - size, &more)) {
            return failed();
        }
        size += more;
        if (size > kImageCapacity) {
            return SharedLoadResult::TooLarge;
        }
    }
    pLoaded->fileSize = size;
    // Only the file's bytes stay; the rest of the last block is 0xFF.
    pLoaded->bytes.resize(size);
    pLoaded->bytes.resize(TransferLength(size), 0xFF);
    pImage = std::move(pLoaded);
    return SharedLoadResult::Loaded;
}

std::uint16_t CalcCrc16(const unsigned char* pData, std::uint32_t length) {
    std::uint16_t count = static_cast<std::uint16_t>(length);
    std::uint16_t crc = 0;
    for (std::uint16_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (pData[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021) : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

void FrameData(unsigned char* pFrame, unsigned char n, const unsigned char* pBlock) {
    pFrame[0] = kStx;
    pFrame[1] = n;
    pFrame[2] = static_cast<unsigned char>(0xFF - n);
    std::memcpy(pFrame + 3, pBlock, kBlockSize);
    std::uint16_t crc = CalcCrc16(pBlock, kBlockSize);
    pFrame[3 + kBlockSize] = static_cast<unsigned char>(crc >> 8);
    pFrame[4 + kBlockSize] = static_cast<unsigned char>(crc & 0xFF);
}

void FrameShort(unsigned char* pFrame, unsigned char lead, unsigned char n) {
    pFrame[0] = lead;
    pFrame[1] = n;
    pFrame[2] = static_cast<unsigned char>(0xFF - n);
}

bool LinkContext::Usable() const {
    return link.Usable(hPort, generation) != 0;
}

bool LinkContext::Write(const void* pBytes, std::uint32_t count) const {
    if (!Usable()) {
        return false;
    }
    link.Write(hPort, pBytes, count);
    return true;
}

SendResult ImageSend(ImageBuffer& buffer, std::uint32_t length, const LinkContext& link) {
    FrontEnd& front = link.front;
    const int blockCount = static_cast<int>(length / kBlockSize);
    unsigned char frame[2048];
    unsigned char number = 1;

    front.SetProgressRange(0, blockCount);
    front.SetProgressPos(0);
    SerialSleep(kSettleBeforeFirstBlockMs);
    // "C"s and console text that came after the start marker are not answers.
    link.Ring().Reset();
    std::optional<ConsoleCapturePause> capturePause(std::in_place, link.link);

    // Ends a transfer that cannot go on: the buffer goes first, then the
    // cancel frame tells the receiver to stop waiting for the block.
    auto abandon = [&](SendResult result) {
        buffer.Release();
        if (result != SendResult::PortGone) {
            FrameShort(frame, kCan, number);
            link.Write(frame, 3);
        }
        return result;
    };

    for (std::uint32_t offset = 0; offset < length; offset += kBlockSize) {
        if (!link.Usable()) {
            return abandon(SendResult::PortGone);
        }
        FrameData(frame, number, buffer.Bytes() + offset);
        // Whatever waits on the line now is no answer to this block: console
        // text, or a second answer to the block before, which, taken for this
        // block's answer, would run every later block one answer ahead of the
        // box. A duplicate still on its way when the block goes out cannot be
        // told from the answer.
        link.Ring().Reset();
        link.link.Write(link.hPort, frame, kDataFrameSize);

        front.BytesSent(static_cast<unsigned>(offset + kBlockSize), static_cast<unsigned>(length));
        front.SetProgressPos(static_cast<int>(offset / kBlockSize));

        // One answer per block: ACK goes on, NAK refuses, anything else is
        // dropped. With neither among the first 5001 bytes when 5000 ms have
        // passed, the block is unanswered.
        ListenBudget budget(link.Ring(), kAnswerPollLimit);
        for (;;) {
            unsigned char answer = 0;
            const bool bTaken = budget.Take(&answer);
            if (bTaken && answer == kAck) {
                break;
            }
            if (bTaken && answer == kNak) {
                return abandon(SendResult::Refused);
            }
            if (front.CancelRequested()) {
                return abandon(SendResult::Cancelled);
            }
            if (!link.Usable()) {
                return abandon(SendResult::PortGone);
            }
            if (!bTaken) {
                if (budget.TimedOut()) {
                    return abandon(SendResult::NoAnswer);
                }
                // Wakes as soon as the answer arrives.
                budget.Idle();
            }
        }
        front.BlockAcknowledged(offset / kBlockSize + 1);
        ++number;
    }

    if (!link.Usable()) {
        return abandon(SendResult::PortGone);
    }
    // The box's verdict may come with the answer to the end of transmission,
    // even in one read: the record takes it from here on.
    capturePause.reset();
    FrameShort(frame, kEot, number);
    link.link.Write(link.hPort, frame, 3);
    return SendResult::Completed;
}

std::string ProgressText(unsigned sent, unsigned total) {
    return std::to_string(sent) + " / " + std::to_string(total);
}

void FrontEnd::BytesSent(unsigned sent, unsigned total) {
    SetStatus(ProgressText(sent, total).c_str());
}
