// A serial port's facts as JSON, the one shape --list-ports --json lists and
// the web page's tiles show.
#pragma once

#include <nlohmann/json.hpp>

#include "serial/port_info.h"

// {"name", "kind", "vid", "pid", "serial", "manufacturer", "product",
// "description", "by_id", "by_path", "busy"}: what is unknown is null, the
// ids are integers. Strings are the system's bytes: dump with the replace
// error handler.
nlohmann::ordered_json PortInfoJson(const PortInfo& port);
