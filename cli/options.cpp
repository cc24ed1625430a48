#include "cli/options.h"

#include <cerrno>
#include <cstdlib>

const char kUsage[] =
    "Usage: kelvora-upgrader [--port NAME] [--yes] [--trace] [--quiet] [--repeat N] IMAGE\n"
    "       kelvora-upgrader --list-ports | --help | --version\n"
    "\n"
    "Writes IMAGE into a set-top box over its service serial port: catches the\n"
    "boot loader, sends the image as XMODEM-1K and waits for the loader's verdict.\n"
    "\n"
    "  --port NAME   the serial port: a device path on Linux (/dev/ttyUSB0), a COM\n"
    "                name on Windows (COM3); default: the first of --list-ports\n"
    "  --yes         do not wait for Enter at the power-off and restart prompts\n"
    "  --trace       print every byte received, in hex\n"
    "  --quiet       no status or progress lines (messages are always shown)\n"
    "  --repeat N    N downloads in a row on the same port (default 1); prints the\n"
    "                process's descriptors and memory at the start and the end\n"
    "  --list-ports  print the ports that can be opened now, one per line\n"
    "  --help        print this help\n"
    "  --version     print the version\n"
    "\n"
    "Exit status: 0 the loader writes the image into flash; 1 any other end of a\n"
    "download; 2 usage error, port or IMAGE cannot be opened; 130 Ctrl-C.\n";

namespace {

bool ParseCount(const std::string& text, unsigned& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    unsigned long parsed = std::strtoul(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed == 0 || parsed > 1000000) {
        return false;
    }
    value = static_cast<unsigned>(parsed);
    return true;
}

}  // namespace

bool OptionsParse(const std::vector<std::string>& args, Options& options, std::string& error) {
    options = Options{};
    std::vector<std::string> operands;
    bool bOnlyOperands = false;
    bool bActionGiven = false;
    auto setAction = [&](Action action) {
        if (bActionGiven && options.action != action) {
            error = "--list-ports, --help and --version cannot be combined";
            return false;
        }
        bActionGiven = true;
        options.action = action;
        return true;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (bOnlyOperands || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            bOnlyOperands = true;
            continue;
        }
        // "--port=NAME" and "--port NAME" both work.
        std::string name = arg;
        std::string value;
        bool bInlineValue = false;
        if (std::size_t eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            bInlineValue = true;
        }
        auto takeValue = [&]() {
            if (bInlineValue) {
                return true;
            }
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        auto noValue = [&]() {
            if (bInlineValue) {
                error = name + " takes no value";
                return false;
            }
            return true;
        };

        if (name == "--port" || name == "-p") {
            if (!takeValue()) {
                return false;
            }
            if (value.empty()) {
                error = "--port needs a port name";
                return false;
            }
            options.port = value;
        } else if (name == "--repeat") {
            if (!takeValue()) {
                return false;
            }
            if (!ParseCount(value, options.repeat)) {
                error = "--repeat needs a count from 1 to 1000000, not '" + value + "'";
                return false;
            }
        } else if (name == "--yes" || name == "-y") {
            if (!noValue()) {
                return false;
            }
            options.bYes = true;
        } else if (name == "--trace") {
            if (!noValue()) {
                return false;
            }
            options.bTrace = true;
        } else if (name == "--quiet" || name == "-q") {
            if (!noValue()) {
                return false;
            }
            options.bQuiet = true;
        } else if (name == "--list-ports") {
            if (!noValue() || !setAction(Action::ListPorts)) {
                return false;
            }
        } else if (name == "--help" || name == "-h") {
            if (!noValue() || !setAction(Action::Help)) {
                return false;
            }
        } else if (name == "--version") {
            if (!noValue() || !setAction(Action::Version)) {
                return false;
            }
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }

    if (options.action != Action::Download) {
        if (!operands.empty()) {
            error = "unexpected argument '" + operands.front() + "'";
            return false;
        }
        return true;
    }
    if (operands.empty()) {
        error = "no IMAGE given";
        return false;
    }
    if (operands.size() > 1) {
        error = "only one IMAGE may be given, not also '" + operands[1] + "'";
        return false;
    }
    options.image = operands.front();
    return true;
}
