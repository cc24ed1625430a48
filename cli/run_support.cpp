#include "cli/run_support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <span>
#include <thread>

#include "cli/download_record.h"
#include "cli/terminal.h"
#include "download/download.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* pFile) const { std::fclose(pFile); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

constexpr auto kWorkerPollInterval = std::chrono::milliseconds(20);
// Written once by the main thread before any reader starts, read by the
// readers' diagnostic lines.
std::atomic<bool> g_bDiagLinesShown{false};

// A worker notices Ctrl-C within a poll of its wait.
constexpr auto kCancelGrace = std::chrono::seconds(3);

}  // namespace

void Complain(const std::string& text) {
    std::fprintf(stderr, "kelvora-upgrader: %s\n", text.c_str());
}

void DiagLinesShow(bool bShow) {
    g_bDiagLinesShown.store(bShow, std::memory_order_release);
}

bool DiagLinesShown() {
    return g_bDiagLinesShown.load(std::memory_order_acquire);
}

void AwaitWorkers(const std::function<bool()>& allDone, const std::function<void()>& closeUnder) {
    std::chrono::steady_clock::time_point interruptedAt{};
    bool bClosedUnder = false;
    while (!allDone()) {
        std::this_thread::sleep_for(kWorkerPollInterval);
        if (!InterruptRequested() || bClosedUnder) {
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (interruptedAt == std::chrono::steady_clock::time_point{}) {
            interruptedAt = now;
        }
        if (InterruptRepeated() || now - interruptedAt > kCancelGrace) {
            closeUnder();
            bClosedUnder = true;
        }
    }
}

bool ImageRead(const std::string& path, std::shared_ptr<const LoadedImage>& pImage, std::string& reason) {
    switch (ImageLoadShared(path.c_str(), pImage)) {
    case SharedLoadResult::Loaded:
        return true;
    case SharedLoadResult::NotOpened:
        reason = LastErrorText();
        break;
    case SharedLoadResult::NotRegular:
        reason = "not a regular file";
        break;
    case SharedLoadResult::TooLarge:
        reason = "larger than 16 MiB, the most the loader receives";
        break;
    case SharedLoadResult::NoBuffer:
        reason = "not enough memory to hold it";
        break;
    }
    return false;
}

bool ImageFactsOf(const std::string& path, const LoadedImage& image, ImageFacts& facts, std::string& reason) {
    facts.path = path;
    facts.bytes = image.fileSize;
    return BytesSha256(std::span(image.bytes).first(static_cast<std::size_t>(image.fileSize)), facts.sha256,
                       reason);
}

bool RecordFileWritable(const std::string& path, std::string& reason) {
    return RecordFilePrepare(path, reason);
}

std::string RunPort::Shown() const {
    return device == name ? name : name + " (" + device + ")";
}

RunPort RunPortOf(const std::string& name) {
    RunPort port;
    port.name = name;
    port.device = PortDevice(name);
    port.info = PortInfoFor(port.device);
    return port;
}

bool RecordRun(const std::string& file, const RunFacts& facts, const RunPort& port, const ImageFacts& image,
               std::string console, std::string& lost) {
    DownloadRecord record = facts.Record();
    record.port = port.name;
    if (port.device != port.name) {
        record.device = port.device;
    }
    if (port.info) {
        record.kind = port.info->kind;
        record.vid = port.info->vid;
        record.pid = port.info->pid;
        record.serial = port.info->serial;
    }
    record.image = image.path;
    record.imageBytes = image.bytes;
    record.imageSha256 = image.sha256;
    record.console = std::move(console);
    std::string line = RecordJsonLine(record);
    std::string reason;
    if (!RecordAppend(file, line, reason)) {
        line.pop_back();  // its line end
        lost = "kelvora-upgrader: cannot write the record of " + port.name + " to '" + file + "': " + reason + "\n" +
               line;
        return false;
    }
    return true;
}

std::string RecordsLostLine(unsigned count) {
    return std::to_string(count) + " records not written";
}
