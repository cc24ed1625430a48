// The Windows system's own words for an error code (FormatMessage), without
// the closing period and line end; "system error N" when it has none. The
// Windows backend of the link gives its open failures in these words, and the
// layers above it (the records) use the same function for theirs. Defined in
// serial_win32.cpp; the POSIX build has no such codes.
#pragma once

#include <string>

std::string SystemErrorText(unsigned long error);
