// What Linux tells about its serial ports: libserialport enumerates them and
// reads their USB descriptors; udev's links under /dev/serial give the names
// that stay the same whatever order the adapters were plugged in.
#include "serial/port_info.h"

#include <libserialport.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include "serial/port_info_posix.h"
#include "serial/serial_port.h"

namespace {

constexpr const char* kStableLinksRoot = "/dev/serial";

// Unix 98 pseudo-terminal slaves (/dev/pts/N) have majors 136 to 143.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

struct PortListFree {
    void operator()(sp_port** pList) const { sp_free_port_list(pList); }
};
struct PortFree {
    void operator()(sp_port* pPort) const { sp_free_port(pPort); }
};

std::string Text(const char* pText) {
    return pText != nullptr ? std::string(pText) : std::string();
}

bool IsPseudoTerminal(const std::string& device) {
    struct stat info {};
    if (stat(device.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return false;
    }
    const unsigned major = ::major(info.st_rdev);
    return major >= kPtySlaveMajorFirst && major <= kPtySlaveMajorLast;
}

const char* KindOf(const sp_port* pPort) {
    switch (sp_get_port_transport(pPort)) {
    case SP_TRANSPORT_USB:
        return "usb";
    case SP_TRANSPORT_BLUETOOTH:
        return "bluetooth";
    case SP_TRANSPORT_NATIVE:
        break;
    }
    return "native";
}

PortInfo InfoOf(const sp_port* pPort) {
    PortInfo info;
    info.name = Text(sp_get_port_name(pPort));
    info.kind = KindOf(pPort);
    info.description = Text(sp_get_port_description(pPort));
    if (sp_get_port_transport(pPort) == SP_TRANSPORT_USB) {
        int vid = 0;
        int pid = 0;
        if (sp_get_port_usb_vid_pid(pPort, &vid, &pid) == SP_OK) {
            info.vid = vid;
            info.pid = pid;
        }
        info.serial = Text(sp_get_port_usb_serial(pPort));
        info.manufacturer = Text(sp_get_port_usb_manufacturer(pPort));
        info.product = Text(sp_get_port_usb_product(pPort));
    }
    const PortLinks links = PortLinksIn(kStableLinksRoot, info.name);
    info.byId = links.byId;
    info.byPath = links.byPath;
    return info;
}

// The order PortList shows ports in: USB adapters, ACM modems, UARTs, each
// in natural order (ttyUSB2 before ttyUSB10); anything else after them.
int FamilyRank(const std::string& name) {
    int rank = 0;
    for (const char* pPrefix : {"/dev/ttyUSB", "/dev/ttyACM", "/dev/ttyS"}) {
        if (name.starts_with(pPrefix)) {
            return rank;
        }
        ++rank;
    }
    return rank;
}

bool ListedBefore(const PortInfo& a, const PortInfo& b) {
    const int rankA = FamilyRank(a.name);
    const int rankB = FamilyRank(b.name);
    if (rankA != rankB) {
        return rankA < rankB;
    }
    return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
}

// The same file: a link's target and the device share device and inode.
bool SameFile(const std::string& a, const struct stat& b) {
    struct stat info {};
    return stat(a.c_str(), &info) == 0 && info.st_dev == b.st_dev && info.st_ino == b.st_ino;
}

std::string LinkIn(const std::filesystem::path& folder, const std::string& device) {
    struct stat target {};
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    if (error || stat(device.c_str(), &target) != 0) {
        return std::string();
    }
    std::vector<std::string> names;
    for (const auto& entry : entries) {
        std::error_code ignored;
        if (entry.is_symlink(ignored) && SameFile(entry.path().string(), target)) {
            names.push_back(entry.path().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names.empty() ? std::string() : names.front();
}

}  // namespace

PortLinks PortLinksIn(const std::string& root, const std::string& device) {
    const std::filesystem::path base(root);
    return PortLinks{LinkIn(base / "by-id", device), LinkIn(base / "by-path", device)};
}

std::vector<PortInfo> PortInfoList() {
    std::vector<PortInfo> ports;
    sp_port** pRaw = nullptr;
    if (sp_list_ports(&pRaw) == SP_OK) {
        std::unique_ptr<sp_port*, PortListFree> list(pRaw);
        for (sp_port** pEach = list.get(); *pEach != nullptr; ++pEach) {
            if (IsPseudoTerminal(Text(sp_get_port_name(*pEach)))) {
                continue;  // an emulator's or a terminal window's line, never an adapter
            }
            PortInfo info = InfoOf(*pEach);
            info.busy = PortProbe(info.name.c_str()) != 0;
            ports.push_back(std::move(info));
        }
    }
    // PortList finds its ports in /dev; one that libserialport did not
    // report (no sysfs entry, as in some containers) is still shown.
    for (const std::string& name : PortList()) {
        auto same = [&name](const PortInfo& info) { return info.name == name; };
        if (std::find_if(ports.begin(), ports.end(), same) == ports.end()) {
            PortInfo info;
            info.name = name;
            info.kind = name.starts_with("/dev/ttyS") ? "native" : "usb";
            const PortLinks links = PortLinksIn(kStableLinksRoot, name);
            info.byId = links.byId;
            info.byPath = links.byPath;
            ports.push_back(std::move(info));
        }
    }
    std::stable_sort(ports.begin(), ports.end(), ListedBefore);
    return ports;
}

std::string PortDevice(const std::string& name) {
    std::error_code error;
    if (!std::filesystem::is_symlink(name, error)) {
        return name;
    }
    const std::filesystem::path target = std::filesystem::canonical(name, error);
    return error ? name : target.string();
}

bool PortSameDevice(const std::string& a, const std::string& b) {
    struct stat infoA {};
    struct stat infoB {};
    if (stat(a.c_str(), &infoA) != 0 || stat(b.c_str(), &infoB) != 0) {
        return false;
    }
    // Two nodes for one character device (a copy made with mknod, a second
    // udev name) share only the device number.
    if (S_ISCHR(infoA.st_mode) && S_ISCHR(infoB.st_mode)) {
        return infoA.st_rdev == infoB.st_rdev;
    }
    return infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino;
}

std::optional<PortInfo> PortInfoFor(const std::string& device) {
    // libserialport knows only devices with a sysfs entry; a pseudo-terminal
    // has none but is still a port one can name.
    if (IsPseudoTerminal(device)) {
        PortInfo info;
        info.name = device;
        info.kind = "virtual";
        return info;
    }
    sp_port* pRaw = nullptr;
    if (sp_get_port_by_name(device.c_str(), &pRaw) != SP_OK) {
        return std::nullopt;
    }
    std::unique_ptr<sp_port, PortFree> port(pRaw);
    return InfoOf(port.get());
}
