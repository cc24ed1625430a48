// The Linux side of port_info.h that its tests reach: the stable names udev
// makes for a serial device, looked up under any folder laid out as
// /dev/serial is (by-id/ and by-path/ holding symbolic links).
#pragma once

#include <string>

struct PortLinks {
    std::string byId;    // root/by-id/NAME, empty when no link there leads to the device
    std::string byPath;  // root/by-path/NAME, likewise
};

// The first link (in name order) in root/by-id and in root/by-path whose
// target resolves to the same file as device.
PortLinks PortLinksIn(const std::string& root, const std::string& device);
