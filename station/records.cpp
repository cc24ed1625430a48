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

bool RecordRun(const std::string& file, const RunFacts& facts, const RunPort& port, const ImageFacts& image,
               std::string console, const RecordPlace& place, std::string& lost, std::string* pLine) {
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
