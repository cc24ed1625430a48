#include "station/port_json.h"

namespace {

nlohmann::ordered_json TextOrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

nlohmann::ordered_json NumberOrNull(const std::optional<int>& number) {
    return number ? nlohmann::ordered_json(*number) : nlohmann::ordered_json(nullptr);
}

}  // namespace

nlohmann::ordered_json PortInfoJson(const PortInfo& port) {
    return {
        {"name", port.name},
        {"kind", TextOrNull(port.kind)},
        {"vid", NumberOrNull(port.vid)},
        {"pid", NumberOrNull(port.pid)},
        {"serial", TextOrNull(port.serial)},
        {"manufacturer", TextOrNull(port.manufacturer)},
        {"product", TextOrNull(port.product)},
        {"description", TextOrNull(port.description)},
        {"by_id", TextOrNull(port.byId)},
        {"by_path", TextOrNull(port.byPath)},
        {"busy", port.busy},
    };
}
