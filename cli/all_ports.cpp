#include "cli/all_ports.h"

#include <algorithm>

AllPorts AllPortsChoose(const std::vector<PortInfo>& known, const std::vector<std::string>& free, bool bSkipBusy) {
    AllPorts all;
    all.ports = free;
    for (const PortInfo& info : known) {
        if (!info.busy || std::find(free.begin(), free.end(), info.name) != free.end()) {
            continue;
        }
        (info.kind == "usb" && !bSkipBusy ? all.stopping : all.skipped).push_back(info.name);
    }
    return all;
}
