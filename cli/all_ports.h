// Which ports --all-ports takes: every port that can be opened now. A port
// the system has that is busy at that moment is left out and named; a busy
// USB adapter is likely a box's line that another program holds for a
// moment (a modem manager probing a new device, a terminal), so the batch
// does not start without it unless the operator asked to skip busy ports.
#pragma once

#include <string>
#include <vector>

#include "serial/port_info.h"

struct AllPorts {
    std::vector<std::string> ports;     // to flash, in the order given
    std::vector<std::string> skipped;   // busy, left out: each is named on stderr
    std::vector<std::string> stopping;  // busy USB adapters: the batch does not start
};

// known: PortInfoList(); free: PortList(), looked at after it. A port that
// was busy in the first look and is free in the second is taken.
AllPorts AllPortsChoose(const std::vector<PortInfo>& known, const std::vector<std::string>& free, bool bSkipBusy);
