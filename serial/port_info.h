// What the system can tell about its serial ports, for a person choosing one
// and for the records of which adapter flashed which box. The platform file
// gathers it (port_info_posix.cpp: libserialport and /dev/serial;
// port_info_win32.cpp: the SERIALCOMM device map and SetupAPI).
#pragma once

#include <optional>
#include <string>
#include <vector>

struct PortInfo {
    std::string name;  // as --port takes it: /dev/ttyUSB0, COM12
    std::string kind;  // usb, native, bluetooth, virtual
    std::optional<int> vid;
    std::optional<int> pid;
    std::string serial;        // empty when unknown
    std::string manufacturer;  // empty when unknown
    std::string product;       // empty when unknown
    std::string description;   // the system's description; empty when unknown
    std::string byId;          // Linux: the link in /dev/serial/by-id to it; empty: none
    std::string byPath;        // Linux: the link in /dev/serial/by-path to it; empty: none
    bool busy = false;         // it exists but cannot be opened now
};

// Every serial port the system has, busy ones too, in the platform's order
// (the order PortList keeps for the ports it shows).
std::vector<PortInfo> PortInfoList();

// The device a port name stands for: a stable link (/dev/serial/by-id/...)
// resolved to its target; the name itself otherwise.
std::string PortDevice(const std::string& name);

// Do two port names stand for one device? On Linux: a link and its target,
// or two device nodes of the same device; on Windows: one COM port however
// written (COM3, com3, \\.\COM3). On Linux, false when either leads nowhere.
bool PortSameDevice(const std::string& a, const std::string& b);

// What the system tells about one device, if it knows it. busy is not looked
// at (that would open the port, which may be about to be, or already be,
// opened by the caller).
std::optional<PortInfo> PortInfoFor(const std::string& device);
