// The command line's options and their parsing.
#pragma once

#include <string>
#include <vector>

enum class Action { Download, ListPorts, Help, Version };

struct Options {
    Action action = Action::Download;
    std::string port;  // empty: the first port PortList() finds
    std::string image;
    bool bYes = false;    // no Enter waits at the prompts
    bool bTrace = false;  // print the bytes received
    bool bQuiet = false;  // no status or progress lines; messages still shown
    unsigned repeat = 1;  // downloads in a row on the same port
};

// Parses argv[1..]; on a usage error gives false with the reason in error.
bool OptionsParse(const std::vector<std::string>& args, Options& options, std::string& error);

extern const char kUsage[];
