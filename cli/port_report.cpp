#include "cli/port_report.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "station/port_json.h"

namespace {

constexpr const char* kUnknown = "-";
constexpr std::size_t kColumns = 8;
using Row = std::array<std::string, kColumns>;

std::string OrUnknown(const std::string& text) {
    return text.empty() ? kUnknown : text;
}

std::string VidPid(const PortInfo& port) {
    if (!port.vid || !port.pid) {
        return kUnknown;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", static_cast<unsigned>(*port.vid) & 0xFFFFu,
                  static_cast<unsigned>(*port.pid) & 0xFFFFu);
    return text;
}

// "FTDI FT232R USB UART" from the USB strings; the system's own words when
// the adapter gave none.
std::string Description(const PortInfo& port) {
    std::string text = port.manufacturer;
    if (!port.product.empty()) {
        text += (text.empty() ? "" : " ") + port.product;
    }
    return OrUnknown(text.empty() ? port.description : text);
}

}  // namespace

std::string PortReportLong(const std::vector<PortInfo>& ports) {
    std::vector<Row> rows{{"PORT", "STATE", "KIND", "VID:PID", "SERIAL", "DESCRIPTION", "BY-ID", "BY-PATH"}};
    for (const PortInfo& port : ports) {
        rows.push_back({port.name, port.busy ? "busy" : "free", OrUnknown(port.kind), VidPid(port),
                        OrUnknown(port.serial), Description(port), OrUnknown(port.byId), OrUnknown(port.byPath)});
    }
    std::array<std::size_t, kColumns> widths{};
    for (const Row& row : rows) {
        for (std::size_t i = 0; i < kColumns; ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    std::string text;
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < kColumns; ++i) {
            line += row[i];
            if (i + 1 < kColumns) {
                line.append(widths[i] - row[i].size() + 2, ' ');
            }
        }
        text += line + "\n";
    }
    return text;
}

std::string PortReportJson(const std::vector<PortInfo>& ports) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const PortInfo& port : ports) {
        list.push_back(PortInfoJson(port));
    }
    // USB strings are the adapter maker's bytes and need not be UTF-8; a
    // stray byte becomes U+FFFD rather than losing the list.
    return list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
