// --list-ports --long and --list-ports --json: what the system tells about
// each serial port, as a table for a person and as JSON for a script.
#pragma once

#include <string>
#include <vector>

#include "serial/port_info.h"

// Aligned columns under a heading line: port, state (busy when another
// program holds it), kind, vid:pid in hex, serial number, manufacturer and
// product (or the system's description), the by-id and by-path links. An
// unknown value is "-".
std::string PortReportLong(const std::vector<PortInfo>& ports);

// One JSON array, an object per port with the keys name, kind, vid, pid
// (integers or null), serial, manufacturer, product, description, by_id,
// by_path (strings or null) and busy (true or false); ends with "\n".
std::string PortReportJson(const std::vector<PortInfo>& ports);
