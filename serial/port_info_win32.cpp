// Windows side of the port list: the SERIALCOMM device map names every COM
// port the system has (Wine fills it too, for the ports it maps); SetupAPI
// tells what each one is, by the PortName its driver registered.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>

#include "serial/port_info.h"
#include "serial/serial_port.h"

namespace {

// The Ports setup class and the COM port device interface (the latter is
// declared in ntddser.h, which user-mode code cannot include).
constexpr GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
// Without the device map, COM1 up to this number are tried by name.
constexpr int kProbedComLimit = 256;
// How far up the device tree the USB device that carries the serial number
// is looked for (a USB function's port, or an FTDI bus port, sits below it).
constexpr int kUsbParentDepth = 3;

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// n for a name COMn, else INT_MAX: ports sort in number order, any other
// name after them.
int ComNumber(const std::string& name) {
    if (name.size() < 4 || Upper(name.substr(0, 3)) != "COM" ||
        name.find_first_not_of("0123456789", 3) != std::string::npos) {
        return INT_MAX;
    }
    return std::atoi(name.c_str() + 3);
}

bool ComesBefore(const std::string& a, const std::string& b) {
    const int na = ComNumber(a);
    const int nb = ComNumber(b);
    return na != nb ? na < nb : a < b;
}

// A name as --port takes it: without the device namespace prefix.
std::string PlainName(std::string name) {
    if (name.rfind("\\\\.\\", 0) == 0) {
        name.erase(0, 4);
    }
    return name;
}

// The port names in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (value data, one per
// serial device driver instance); empty when the map is missing.
std::vector<std::string> DeviceMapNames() {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return names;
    }
    for (DWORD i = 0;; ++i) {
        char value[256];
        char data[256];
        DWORD valueLength = sizeof value;
        DWORD dataLength = sizeof data - 1;
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, i, value, &valueLength, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &dataLength);
        if (result == ERROR_MORE_DATA) {
            continue;  // no port name is that long
        }
        if (result != ERROR_SUCCESS) {
            break;
        }
        if (type == REG_SZ && dataLength > 0) {
            data[dataLength] = '\0';
            if (data[0] != '\0') {
                names.push_back(PlainName(data));
            }
        }
    }
    RegCloseKey(key);
    return names;
}

// Without a device map: every COMn that the system knows, found by trying to
// open it. A port that refuses for any reason but its absence exists.
std::vector<std::string> ProbedNames() {
    std::vector<std::string> names;
    for (int n = 1; n <= kProbedComLimit; ++n) {
        const std::string name = "COM" + std::to_string(n);
        HANDLE handle = CreateFileA(PortOpenPath(name.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            names.push_back(name);
        } else if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) {
            names.push_back(name);
        }
    }
    return names;
}

std::string RegistryText(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    char text[1024] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type, reinterpret_cast<BYTE*>(text),
                                           sizeof text - 1, nullptr) ||
        (type != REG_SZ && type != REG_MULTI_SZ)) {
        return {};
    }
    return text;  // of a list (hardware ids), the first: the most specific
}

std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA& device) {
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return {};
    }
    char text[256] = {};
    DWORD length = sizeof text - 1;
    DWORD type = 0;
    const LONG result = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(text), &length);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_SZ ? PlainName(text) : std::string();
}

// The four hex digits after a marker ("VID_", "PID_"), as USB and FTDI bus
// ids write them.
std::optional<int> HexAfter(const std::string& id, const char* pMarker) {
    const std::size_t at = id.find(pMarker);
    if (at == std::string::npos || id.size() < at + std::strlen(pMarker) + 4) {
        return std::nullopt;
    }
    const std::string digits = id.substr(at + std::strlen(pMarker), 4);
    if (digits.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
        return std::nullopt;
    }
    return static_cast<int>(std::strtol(digits.c_str(), nullptr, 16));
}

// The serial number of the USB device at or above a port: the last part of
// the first instance id of the form USB\VID_xxxx&PID_yyyy\SERIAL. A device
// without a serial number gets an id the system makes up, with '&' in it;
// an interface of a composite device (&MI_) is not the device itself.
std::string UsbSerial(DEVINST instance) {
    for (int depth = 0; depth <= kUsbParentDepth; ++depth) {
        char id[MAX_DEVICE_ID_LEN + 1] = {};
        if (CM_Get_Device_IDA(instance, id, sizeof id, 0) != CR_SUCCESS) {
            return {};
        }
        const std::string text = Upper(id);
        const std::size_t last = text.rfind('\\');
        if (text.rfind("USB\\VID_", 0) == 0 && last != std::string::npos && text.find("&MI_") == std::string::npos) {
            const std::string serial = std::string(id).substr(last + 1);
            return serial.find('&') == std::string::npos ? serial : std::string();
        }
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, instance, 0) != CR_SUCCESS) {
            return {};
        }
        instance = parent;
    }
    return {};
}

// usb, native, bluetooth or virtual, from the bus that enumerated the port
// and its hardware id.
std::string KindOf(const std::string& instanceId, const std::string& hardwareId, bool bUsbIds) {
    const std::string enumerator = Upper(instanceId.substr(0, instanceId.find('\\')));
    if (enumerator == "BTHENUM") {
        return "bluetooth";
    }
    if (enumerator == "USB" || enumerator == "FTDIBUS" || bUsbIds) {
        return "usb";
    }
    if (enumerator == "ACPI" || Upper(hardwareId).find("PNP0501") != std::string::npos) {
        return "native";
    }
    return "virtual";
}

// What SetupAPI tells about the ports it has devices for, by upper-case name.
std::map<std::string, PortInfo> DeviceDetails() {
    std::map<std::string, PortInfo> details;
    const struct {
        const GUID* pGuid;
        DWORD flags;
    } kSets[] = {{&kPortsClass, DIGCF_PRESENT}, {&kComPortInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE}};
    for (const auto& which : kSets) {
        HDEVINFO set = SetupDiGetClassDevsA(which.pGuid, nullptr, nullptr, which.flags);
        if (set == INVALID_HANDLE_VALUE) {
            continue;
        }
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
            PortInfo info;
            info.name = PortNameOf(set, device);
            if (info.name.empty() || details.count(Upper(info.name)) != 0) {
                continue;
            }
            char instanceId[MAX_DEVICE_ID_LEN + 1] = {};
            SetupDiGetDeviceInstanceIdA(set, &device, instanceId, sizeof instanceId, nullptr);
            const std::string hardwareId = RegistryText(set, device, SPDRP_HARDWAREID);
            const std::string ids = Upper(hardwareId.empty() ? std::string(instanceId) : hardwareId);
            info.vid = HexAfter(ids, "VID_");
            info.pid = HexAfter(ids, "PID_");
            info.kind = KindOf(instanceId, hardwareId, info.vid.has_value() && info.pid.has_value());
            if (info.kind == "usb") {
                info.serial = UsbSerial(device.DevInst);
            }
            info.manufacturer = RegistryText(set, device, SPDRP_MFG);
            info.product = RegistryText(set, device, SPDRP_DEVICEDESC);
            info.description = RegistryText(set, device, SPDRP_FRIENDLYNAME);
            details.emplace(Upper(info.name), std::move(info));
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    return details;
}

// A port that only the device map knows (no SetupAPI device, as under Wine)
// is taken for a virtual one.
PortInfo Described(const std::string& name, const std::map<std::string, PortInfo>& details) {
    const auto found = details.find(Upper(name));
    if (found != details.end()) {
        PortInfo info = found->second;
        info.name = name;
        return info;
    }
    PortInfo info;
    info.name = name;
    info.kind = "virtual";
    return info;
}

std::vector<std::string> SortedUnique(std::vector<std::string> names) {
    std::sort(names.begin(), names.end(), ComesBefore);
    names.erase(std::unique(names.begin(), names.end(),
                            [](const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }),
                names.end());
    return names;
}

}  // namespace

std::vector<PortInfo> PortInfoList() {
    std::vector<std::string> names = DeviceMapNames();
    if (names.empty()) {
        names = ProbedNames();
    }
    const std::map<std::string, PortInfo> details = DeviceDetails();
    std::vector<PortInfo> ports;
    for (const std::string& name : SortedUnique(std::move(names))) {
        PortInfo info = Described(name, details);
        info.busy = PortProbe(name.c_str()) != 0;
        ports.push_back(std::move(info));
    }
    return ports;
}

std::string PortDevice(const std::string& name) {
    return name;
}

bool PortSameDevice(const std::string& a, const std::string& b) {
    return Upper(PlainName(a)) == Upper(PlainName(b));
}

// Looks the port up without opening any port: one in use by a download of
// this process must not be touched. busy is left false, as it is not known.
std::optional<PortInfo> PortInfoFor(const std::string& device) {
    const std::string name = PlainName(device);
    const std::map<std::string, PortInfo> details = DeviceDetails();
    const std::vector<std::string> mapped = DeviceMapNames();
    const bool bMapped = std::any_of(mapped.begin(), mapped.end(),
                                     [&name](const std::string& each) { return Upper(each) == Upper(name); });
    if (!bMapped && details.count(Upper(name)) == 0) {
        return std::nullopt;
    }
    return Described(name, details);
}
