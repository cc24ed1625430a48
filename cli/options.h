// The command line's options and their parsing.
#pragma once

#include <string>
#include <vector>

enum class Action { Download, ListPorts, Help, Version };

struct Options {
    Action action = Action::Download;
    std::vector<std::string> ports;  // in the order given; empty: the first port PortList() finds
    bool bAllPorts = false;          // every port PortList() finds
    bool bSkipBusy = false;          // --all-ports: a busy USB port is left out, not a set-up error
    std::string image;
    std::string record;   // append one JSON line per download here; empty: none
    // --db: the unit store, a file or a postgresql:// address; "none": no
    // store; "": a station's default file, no store for a port or a batch.
    std::string db;
    bool bYes = false;    // no Enter waits at the prompts
    bool bTrace = false;  // print the bytes received (and the serial link's diagnostic lines)
    bool bVerbose = false;  // print the serial link's diagnostic lines
    bool bQuiet = false;  // no status or progress lines; messages still shown
    unsigned repeat = 1;  // downloads in a row on the same port; rounds with several ports
    bool bLong = false;   // --list-ports: more about each port
    bool bJson = false;   // --list-ports: the list as JSON
    bool bStation = false;        // every port a slot, box after box, started by keys or lines
    unsigned target = 0;          // --station: completed boxes wanted this session; 0: none
    std::string stationName;      // --station: the name in records; "": the host name
    std::string unitPattern;      // ECMAScript pattern finding a box's identity in its console
    bool bReflash = false;        // a box already completed this session is flashed again
    std::string bootExpect;       // the new firmware's boot text; "": no boot check
    std::string bootFail;         // with bootExpect: a failed boot's text; "": none
    unsigned bootWithin = 120;    // with bootExpect: seconds the boot check waits
    unsigned powerLine = 0;       // --power: kLineDtr or kLineRts; 0: none
    bool bPowerInverted = false;  // --power !LINE: the line asserted means off
    std::vector<std::string> powerCommand;  // --power-command's words; empty: none
    unsigned offSeconds = 2;      // with power control: off this long before power on
    unsigned goneAfter = 5;       // with power control or auto starts: a done box's silence, in seconds
    bool bAutoStart = false;      // --start-on auto: a slot armed, started by a box's first bytes
    unsigned startLine = 0;       // --start-on: kLineCts, kLineDsr, kLineDcd or kLineRi; 0: key
    std::vector<std::string> onEnd;  // --on-end's words: run once per record; empty: none
    bool bWeb = false;            // --station: serve the station's page, API and metrics
    std::string webAddress = "127.0.0.1";  // --web: the IP address to listen on
    unsigned webPort = 0;                   // --web: the TCP port; 0: any free one
    std::string webToken;         // --web-token: needed by changing requests; "": none given
};

// Parses argv[1..]; on a usage error gives false with the reason in error.
bool OptionsParse(const std::vector<std::string>& args, Options& options, std::string& error);

extern const char kUsage[];
