// The Windows system's own words for an error code (FormatMessage), without
// the trailing period and line end; "system error N" when it has none. Used
// by the record and the terminal code of the Windows build.
#pragma once

#include <string>

std::string SystemErrorText(unsigned long error);
