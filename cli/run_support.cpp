#include "cli/run_support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "cli/terminal.h"

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

bool ImageReadable(const std::string& path, std::string& reason) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        reason = "Is a directory";
        return false;
    }
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        reason = LastErrorText();
        return false;
    }
    unsigned char first = 0;
    if (std::fread(&first, 1, 1, file.get()) == 0 && std::ferror(file.get()) != 0) {
        reason = LastErrorText();
        return false;
    }
    return true;
}

bool ImageFactsRead(const std::string& path, ImageFacts& facts, std::string& reason) {
    facts.path = path;
    std::error_code error;
    facts.bytes = std::filesystem::file_size(path, error);
    if (error) {
        reason = error.message();
        return false;
    }
    return FileSha256(path, facts.sha256, reason);
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
