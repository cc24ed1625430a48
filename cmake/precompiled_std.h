// The standard library headers that most of the programs' files include,
// directly or through the station's and the web server's headers (<regex>
// through the unit pattern, <filesystem> through the records). Parsing them
// is most of the cost of a small file; cmake/precompiled.cmake compiles them
// once per build instead. nlohmann-json stays out: loading it from a
// precompiled header costs the files that do not use it more than it saves
// the ones that do.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>
