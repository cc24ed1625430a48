// Windows side of port_info.h, minimal: the ports PortList finds (those that
// can be opened now), with nothing more known about them. The SERIALCOMM
// device map and SetupAPI details replace this file.
#include "serial/port_info.h"

#include "serial/serial_port.h"

std::vector<PortInfo> PortInfoList() {
    std::vector<PortInfo> ports;
    for (const std::string& name : PortList()) {
        PortInfo info;
        info.name = name;
        ports.push_back(std::move(info));
    }
    return ports;
}

// Windows has no links among its port names.
std::string PortDevice(const std::string& name) {
    return name;
}

std::optional<PortInfo> PortInfoFor(const std::string&) {
    return std::nullopt;
}
