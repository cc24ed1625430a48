// The station's page (web/page/), built into the executable: nothing is
// loaded from elsewhere, as a station often has no internet.
#pragma once

#include <string_view>

struct WebPageFile {
    std::string_view path;  // "/" for the page itself
    std::string_view contentType;
    std::string_view body;
};

// The file served at path; nullptr when none is.
const WebPageFile* WebPageFileOf(std::string_view path);
