#include "web/web_metrics.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

#include "station/run_facts.h"
#include "web/web_api.h"

namespace {

// The length of the well-formed UTF-8 sequence at text[i]; 0 when none
// starts there (a stray continuation byte, an overlong form, a surrogate, a
// sequence cut short or beyond U+10FFFF).
std::size_t Utf8Length(const std::string& text, std::size_t i) {
    const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) {
            return 0;
        }
    }
    return length;
}

// A label value with backslash, double quote and line end escaped. Names
// and ports are the system's bytes and need not be UTF-8, which the format
// requires: a byte that is not UTF-8 becomes U+FFFD, so that one odd name
// does not make the whole scrape invalid.
std::string LabelValue(const std::string& text) {
    std::string value;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        const std::size_t length = Utf8Length(text, i);
        if (length == 0) {
            value += "\xef\xbf\xbd";
            ++i;
            continue;
        }
        if (c == '\\' || c == '"') {
            value += '\\';
            value += c;
        } else if (c == '\n') {
            value += "\\n";
        } else {
            value.append(text, i, length);
        }
        i += length;
    }
    return value;
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

void Family(std::string& text, const char* name, const char* type, const char* help) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

std::string MetricsText(const Station& station, const WebSettings& settings) {
    std::string text;
    Family(text, "kelvora_up", "gauge", "1 while the station serves");
    text += "kelvora_up 1\n";
    Family(text, "kelvora_info", "gauge", "the station, its version and its image");
    text += "kelvora_info{version=\"" + LabelValue(settings.version) + "\",station=\"" +
            LabelValue(settings.stationName) + "\",image_sha256=\"" + LabelValue(settings.image.sha256) + "\"} 1\n";

    if (station.Store() != nullptr) {
        Family(text, "kelvora_store_rows_waiting", "gauge", "rows of the unit store its server does not have yet");
        text += "kelvora_store_rows_waiting " + std::to_string(station.TotalsNow().storeWaiting) + "\n";
    }

    std::vector<SlotSnapshot> slots;
    for (unsigned number = 1; number <= station.SlotCount(); ++number) {
        slots.push_back(station.Snapshot(number));
    }
    Family(text, "kelvora_downloads_total", "counter", "downloads that ended, by port and end");
    for (const SlotSnapshot& slot : slots) {
        // Every port shows its completed count, also while it is 0; the
        // ends in the order of their names.
        std::map<std::string, std::uint64_t> ends{{RunEndName(RunEnd::Completed), 0}};
        for (const auto& [end, runs] : slot.counters.ends) {
            ends[RunEndName(end)] += runs;
        }
        const std::string port = LabelValue(slot.port.name);
        for (const auto& [end, runs] : ends) {
            text += "kelvora_downloads_total{port=\"" + port + "\",end=\"" + LabelValue(end) + "\"} " +
                    std::to_string(runs) + "\n";
        }
    }
    Family(text, "kelvora_boot_checks_total", "counter", "boot checks after a completion, by port and result");
    for (const SlotSnapshot& slot : slots) {
        for (BootResult result : {BootResult::Verified, BootResult::BootFailed}) {
            const auto counted = slot.counters.boots.find(result);
            text += "kelvora_boot_checks_total{port=\"" + LabelValue(slot.port.name) + "\",result=\"" +
                    BootResultName(result) + "\"} " +
                    std::to_string(counted == slot.counters.boots.end() ? 0 : counted->second) + "\n";
        }
    }
    Family(text, "kelvora_slot_running", "gauge", "1 while a download runs on the port");
    for (const SlotSnapshot& slot : slots) {
        text += "kelvora_slot_running{port=\"" + LabelValue(slot.port.name) + "\"} " +
                (slot.state == SlotState::Running ? "1" : "0") + "\n";
    }
    Family(text, "kelvora_bytes_sent_total", "counter", "image bytes handed to the port");
    for (const SlotSnapshot& slot : slots) {
        text += "kelvora_bytes_sent_total{port=\"" + LabelValue(slot.port.name) + "\"} " +
                std::to_string(slot.counters.bytesSent) + "\n";
    }
    Family(text, "kelvora_transfer_seconds", "histogram", "time of each download from the first sync byte");
    std::array<std::uint64_t, kRunSecondsBounds.size()> within{};
    std::uint64_t timed = 0;
    double seconds = 0;
    for (const SlotSnapshot& slot : slots) {
        for (std::size_t i = 0; i < within.size(); ++i) {
            within[i] += slot.counters.timedWithin[i];
        }
        timed += slot.counters.timed;
        seconds += slot.counters.secondsSum;
    }
    for (std::size_t i = 0; i < within.size(); ++i) {
        text += "kelvora_transfer_seconds_bucket{le=\"" + Number(kRunSecondsBounds[i]) + "\"} " +
                std::to_string(within[i]) + "\n";
    }
    text += "kelvora_transfer_seconds_bucket{le=\"+Inf\"} " + std::to_string(timed) + "\n";
    text += "kelvora_transfer_seconds_sum " + Number(seconds) + "\n";
    text += "kelvora_transfer_seconds_count " + std::to_string(timed) + "\n";
    return text;
}
