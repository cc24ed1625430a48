// Which ports --all-ports takes and which busy ones stop it. The ports
// themselves cannot be faked here (the list shows only real adapters), so
// this checks the choice made from what the system reported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/all_ports.h"

namespace {

using Names = std::vector<std::string>;

PortInfo Port(const std::string& name, const std::string& kind, bool bBusy) {
    PortInfo info;
    info.name = name;
    info.kind = kind;
    info.busy = bBusy;
    return info;
}

struct ChoiceCase {
    const char* what;
    std::vector<PortInfo> known;
    Names free;
    bool bSkipBusy;
    Names ports, skipped, stopping;
};

TEST(AllPorts, BusyPortsAreNamedAndABusyUsbPortStopsUnlessSkipped) {
    const PortInfo usb0 = Port("/dev/ttyUSB0", "usb", false);
    const PortInfo usb1Busy = Port("/dev/ttyUSB1", "usb", true);
    const PortInfo acm0Busy = Port("/dev/ttyACM0", "usb", true);
    const PortInfo uartBusy = Port("/dev/ttyS0", "native", true);
    const PortInfo rfcommBusy = Port("/dev/rfcomm0", "bluetooth", true);
    const ChoiceCase cases[] = {
        {"none busy", {usb0}, {"/dev/ttyUSB0"}, false, {"/dev/ttyUSB0"}, {}, {}},
        {"busy UART: named, left out", {usb0, uartBusy}, {"/dev/ttyUSB0"}, false, {"/dev/ttyUSB0"}, {"/dev/ttyS0"}, {}},
        {"busy Bluetooth port: named, left out", {usb0, rfcommBusy}, {"/dev/ttyUSB0"}, false, {"/dev/ttyUSB0"},
         {"/dev/rfcomm0"}, {}},
        {"busy USB ports stop the batch", {usb0, usb1Busy, acm0Busy, uartBusy}, {"/dev/ttyUSB0"}, false,
         {"/dev/ttyUSB0"}, {"/dev/ttyS0"}, {"/dev/ttyUSB1", "/dev/ttyACM0"}},
        {"--skip-busy: busy USB ports only named", {usb0, usb1Busy, uartBusy}, {"/dev/ttyUSB0"}, true,
         {"/dev/ttyUSB0"}, {"/dev/ttyUSB1", "/dev/ttyS0"}, {}},
        {"busy at first, free since: taken", {usb0, usb1Busy}, {"/dev/ttyUSB0", "/dev/ttyUSB1"}, false,
         {"/dev/ttyUSB0", "/dev/ttyUSB1"}, {}, {}},
        {"every port busy", {usb1Busy}, {}, true, {}, {"/dev/ttyUSB1"}, {}},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.what);
        const AllPorts all = AllPortsChoose(c.known, c.free, c.bSkipBusy);
        EXPECT_EQ(all.ports, c.ports);
        EXPECT_EQ(all.skipped, c.skipped);
        EXPECT_EQ(all.stopping, c.stopping);
    }
}

}  // namespace
