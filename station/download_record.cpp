// The record's JSON line and its time stamps; the platform files write the
// line and hash the image.
#include "station/download_record.h"

#include <atomic>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

std::string BytesAsCodePoints(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text += static_cast<char>(byte);
        } else {
            text += static_cast<char>(0xC0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

namespace {

// Set once by RecordWaitsAbandon (possibly in a signal handler), read by the
// writers as they wait; never cleared.
std::atomic<bool> g_bWaitsAbandoned{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

}  // namespace

void RecordWaitsAbandon() {
    g_bWaitsAbandoned.store(true, std::memory_order_release);
}

bool RecordWaitsAbandoned() {
    return g_bWaitsAbandoned.load(std::memory_order_acquire);
}

namespace {

double Milliseconds(double seconds) {
    return std::round(seconds * 1000.0) / 1000.0;
}

}  // namespace

std::string RecordJsonLine(const DownloadRecord& record) {
    // Keys in the order a reader expects them, not sorted.
    nlohmann::ordered_json line;
    line["port"] = record.port;
    if (!record.device.empty()) {
        line["device"] = record.device;
    }
    if (!record.kind.empty()) {
        line["kind"] = record.kind;
    }
    if (record.vid) {
        line["vid"] = *record.vid;
    }
    if (record.pid) {
        line["pid"] = *record.pid;
    }
    if (!record.serial.empty()) {
        line["serial"] = record.serial;
    }
    if (record.slot != 0) {
        line["slot"] = record.slot;
        line["run"] = record.run;
        line["station"] = record.station;
    }
    if (!record.unit.empty()) {
        line["unit"] = record.unit;
    }
    if (record.repeatOf != 0) {
        line["repeat_of"] = record.repeatOf;
    }
    line["end"] = record.end;
    line["ok"] = record.ok;
    if (!record.boot.empty()) {
        line["boot"] = record.boot;
        line["boot_text"] = BytesAsCodePoints(record.bootText);
    }
    line["message"] = record.message;
    line["blocks"] = record.blocks;
    line["image"] = record.image;
    line["image_bytes"] = record.imageBytes;
    line["image_sha256"] = record.imageSha256;
    line["started"] = IsoUtc(record.started);
    line["ended"] = IsoUtc(record.ended);

    nlohmann::ordered_json seconds = nlohmann::ordered_json::object();
    const std::pair<const char*, const std::optional<double>&> stages[] = {
        {"sync", record.seconds.sync},
        {"start", record.seconds.start},
        {"transfer", record.seconds.transfer},
        {"verdict", record.seconds.verdict},
    };
    for (const auto& [name, value] : stages) {
        if (value) {
            seconds[name] = Milliseconds(*value);
        }
    }
    line["seconds"] = std::move(seconds);

    const std::string& console = record.console;
    std::size_t keep = console.size() < kRecordConsoleLimit ? console.size() : kRecordConsoleLimit;
    line["console"] = BytesAsCodePoints(console.substr(console.size() - keep));

    // Port, image and message texts come from the operator and the system and
    // need not be UTF-8; a stray byte becomes U+FFFD rather than losing the
    // record. Control characters are escaped, so the object stays on one line.
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string IsoUtc(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    // floor, not a cast: a time before 1970 still lands in the right day and
    // millisecond.
    auto ms = floor<milliseconds>(t);
    auto day = floor<days>(ms);
    year_month_day date{day};
    hh_mm_ss<milliseconds> time{ms - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}
