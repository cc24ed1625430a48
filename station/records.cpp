#include "station/records.h"

#include <cerrno>
#include <span>
#include <system_error>

#include "download/download.h"
#include "station/download_record.h"

bool ImageRead(const std::string& path, std::shared_ptr<const LoadedImage>& pImage, std::string& reason) {
    switch (ImageLoadShared(path.c_str(), pImage)) {
    case SharedLoadResult::Loaded:
        return true;
    case SharedLoadResult::NotOpened:
        reason = std::generic_category().message(errno);
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

bool RecordRun(const std::string& file, UnitStore* pStore, const RunFacts& facts, const RunPort& port,
               const ImageFacts& image, std::string console, const RecordPlace& place, std::string& lost,
               std::string* pLine) {
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
    record.slot = place.slot;
    record.run = place.run;
    record.station = place.station;
    record.unit = place.unit;
    record.repeatOf = place.repeatOf;
    std::string line = RecordJsonLine(record);
    if (pLine != nullptr) {
        *pLine = line;
    }
    // The store first: a record in the file always has its row, even when
    // the process is killed between the two.
    std::string reason;
    std::string failed;
    if (pStore != nullptr && !pStore->Add(line, reason)) {
        failed = "cannot add the record of " + port.name + " to the unit store: " + reason;
    }
    if (!file.empty() && !RecordAppend(file, line, reason)) {
        failed += failed.empty() ? "cannot write the record of " + port.name + " to '" + file + "': " + reason
                                 : "; nor to '" + file + "': " + reason;
    }
    if (failed.empty()) {
        return true;
    }
    line.pop_back();  // its line end
    lost = "kelvora-upgrader: " + failed + "\n" + line;
    return false;
}

std::string RecordsLostLine(unsigned count) {
    return std::to_string(count) + " records not written";
}
