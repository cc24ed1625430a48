#include "cli/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <tuple>

#include "serial/serial_port.h"
#include "station/command.h"
#include "station/unit_pattern.h"

const char kUsage[] =
    "Usage: kelvora-upgrader [--port NAME]... [--all-ports [--skip-busy]] [--yes]\n"
    "                        [--trace] [--verbose] [--quiet] [--repeat N]\n"
    "                        [--record FILE] [--db FILE|URL|none]\n"
    "                        [--web [ADDR:]PORT [--web-token TOKEN]]\n"
    "                        [--boot-expect REGEX [--boot-fail REGEX] [--boot-within S]]\n"
    "                        [--power LINE | --power-command CMD [--off-time S] [--gone-after S]]\n"
    "                        [--on-end CMD]\n"
    "                        IMAGE\n"
    "       kelvora-upgrader --station [--port NAME]... | --all-ports [--record FILE]\n"
    "                        [--target N] [--station-name NAME] [--unit-pattern REGEX [--reflash]]\n"
    "                        [--start-on key|auto|cts|dsr|dcd|ri] (and the options above)\n"
    "                        [--web [ADDR:]PORT [--web-token TOKEN]] IMAGE\n"
    "       kelvora-upgrader --list-ports [--long | --json] | --help | --version\n"
    "       kelvora-upgrader history [--db D] [--unit U] [--image FILE|SHA256]\n"
    "                        [--station S] [--since DATE] [--end END] [--units]\n"
    "                        [--json | --csv]   (history --help says more)\n"
    "       kelvora-upgrader import-records FILE [--db D]\n"
    "\n"
    "Writes IMAGE (a regular file of at most 16 MiB) into a set-top box over its\n"
    "service serial port: catches the boot loader, sends the image as XMODEM-1K\n"
    "and waits for the loader's verdict.\n"
    "With several ports, one download runs on each, all at the same time, with the\n"
    "same image; the prompts come once for all.\n"
    "\n"
    "  --port NAME    the serial port: a device path on Linux (/dev/ttyUSB0), a COM\n"
    "                 name on Windows (COM3); default: the first of --list-ports;\n"
    "                 may be repeated: one box on each port\n"
    "  --all-ports    every port that --list-ports shows (not with --port); busy\n"
    "                 ports are named on stderr, and a busy USB port stops the\n"
    "                 batch before anything is sent (exit status 2)\n"
    "  --skip-busy    with --all-ports: leave busy USB ports out instead\n"
    "  --yes          do not wait for Enter at the power-off and restart prompts\n"
    "  --trace        print every byte received, in hex, and what --verbose prints\n"
    "  --verbose      print the serial link's own lines (port opened, reader started\n"
    "                 and ended)\n"
    "  --quiet        no status or progress lines (messages are always shown)\n"
    "  --repeat N     N downloads in a row on the same port (default 1); prints the\n"
    "                 process's descriptors and memory at the start and the end;\n"
    "                 with several ports: N rounds, stopping after the first round\n"
    "                 in which a box did not complete\n"
    "  --record FILE  append one JSON line per download to FILE\n"
    "  --db FILE|URL|none  the unit store: every download as a row (an SQLite\n"
    "                 FILE, or postgresql://... for a line's stations to share);\n"
    "                 a unit that completed with this image before, at any\n"
    "                 station using the store, is not flashed again (--reflash);\n"
    "                 --station keeps one in the user's state folder unless none;\n"
    "                 a port or a batch only with --db\n"
    "  --station      a slot per port, each flashing box after box on its own:\n"
    "                 on a terminal a slot's key starts it, Enter starts every\n"
    "                 ready slot, s and a key stops one, q quits; otherwise lines\n"
    "                 on stdin: start N, start all, stop N, quit\n"
    "  --target N     with --station: completed boxes wanted; the header counts down\n"
    "  --station-name NAME  with --station: the name in records (default: host name)\n"
    "  --unit-pattern REGEX  the first match (its first group, or all of it) in\n"
    "                 a line a box sends names the box in rows and records; a\n"
    "                 box already completed this session is not flashed again\n"
    "  --reflash      with --unit-pattern: flash a box again all the same\n"
    "  --boot-expect REGEX  after the loader's completion, keep reading the box: a\n"
    "                 line matching REGEX (the new firmware's boot text) verifies\n"
    "                 the download; without it in time the box counts as failed\n"
    "  --boot-fail REGEX  with --boot-expect: a line matching REGEX (a panic, a\n"
    "                 rollback) fails the boot check at once\n"
    "  --boot-within S  with --boot-expect: seconds the boot check waits (default 120)\n"
    "  --power LINE   the box's supply is switched by the port's DTR or RTS (dtr,\n"
    "                 rts; !dtr, !rts: asserted means off): no prompts, the slot\n"
    "                 powers the box off, waits, powers it on as the catch begins,\n"
    "                 and off again once the box is done\n"
    "  --power-command CMD  the same through a program, run without a shell, with\n"
    "                 {port}, {slot} and {state} (on, off) filled in; it must exit\n"
    "                 0 within 10 s\n"
    "  --off-time S   with power control: seconds off before power on (default 2)\n"
    "  --gone-after S  with power control and no boot check: a completed box is\n"
    "                 done once silent this long (default 5; at most --boot-within)\n"
    "  --on-end CMD   with --record: run CMD (as --power-command, with {port},\n"
    "                 {slot}, {run}, {end}) once per record, the record's JSON line\n"
    "                 on its stdin; a failure is reported, nothing else changes\n"
    "  --start-on LINE  with --station: a ready slot starts when the port's cts, dsr,\n"
    "                 dcd or ri rises (a fixture's lid), again only after it dropped;\n"
    "                 a drop stops the run; keys and lines still start slots too;\n"
    "                 auto (with --unit-pattern, without power control): a slot is\n"
    "                 armed and starts on the first bytes of a box switched on in\n"
    "                 it, and arms again once the port was silent --gone-after S\n"
    "  --web [ADDR:]PORT  with --station or a batch: serve the page, its JSON API\n"
    "                 and its metrics on ADDR (an IP address, default 127.0.0.1)\n"
    "                 and PORT (0: any free port); the URL is printed at the start\n"
    "  --web-token TOKEN  starts and stops through the web need it (Authorization:\n"
    "                 Bearer TOKEN); required for an address other than loopback;\n"
    "                 default: the environment variable KELVORA_WEB_TOKEN\n"
    "  --list-ports   print the ports that can be opened now, one per line\n"
    "  --long         with --list-ports: more about each port\n"
    "  --json         with --list-ports: the list as JSON (not with --long)\n"
    "  --help         print this help\n"
    "  --version      print the version\n"
    "\n"
    "Exit status: 0 every box completed (its loader writes the image into flash,\n"
    "and with --boot-expect its new firmware booted);\n"
    "1 any box did not (any other end of a download), or a record was not written;\n"
    "2 usage error, a port or IMAGE cannot be opened (nothing is sent then);\n"
    "130 Ctrl-C, 143 SIGTERM, 129 SIGHUP.\n";

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

// CLI11 reads "--record=" as "--record" and takes the next argument as its
// value, and "--yes=true" as "--yes". Up to the "--" that ends the options,
// an empty inline value becomes an argument of its own and a flag with an
// inline value is refused.
bool InlineValuesSplit(const CLI::App& app, const std::vector<std::string>& args, std::vector<std::string>& given,
                       std::string& error) {
    for (auto it = args.begin(); it != args.end(); ++it) {
        if (*it == "--") {
            given.insert(given.end(), it, args.end());
            break;
        }
        // Searched as a view: GCC 12 warns of a bound of its own making in
        // std::string's search here.
        const std::size_t equals = std::string_view(*it).find('=');
        const CLI::Option* pOption = it->rfind("--", 0) == 0 && equals != std::string::npos
                                         ? app.get_option_no_throw(it->substr(0, equals))
                                         : nullptr;
        if (pOption == nullptr) {
            given.push_back(*it);
        } else if (pOption->get_items_expected_max() == 0) {
            error = pOption->get_name() + " takes no value";
            return false;
        } else if (equals + 1 == it->size()) {
            given.push_back(it->substr(0, equals));
            given.emplace_back();
        } else {
            given.push_back(*it);
        }
    }
    return true;
}

// CLI11's exceptions, said as the command line's own reasons. A value option
// at the end of the line is the one CLI11 can meet here; its message begins
// with the option's name ("--port: 1 required NAME missing").
std::string ParseErrorReason(const CLI::App& app, const CLI::ParseError& failure) {
    const std::string message = failure.what();
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&failure) != nullptr) {
        if (const CLI::Option* pOption = app.get_option_no_throw(message.substr(0, message.find(':')))) {
            return pOption->get_name() + " needs a value";
        }
    }
    return message;
}

// "[ADDR:]PORT": the address before the last colon (an IPv6 address may be
// in brackets); whether it is an IP address is found when it is bound.
bool WebPlaceParse(const std::string& text, std::string& address, unsigned& port) {
    const std::size_t colon = text.rfind(':');
    const std::string portText = colon == std::string::npos ? text : text.substr(colon + 1);
    if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(portText) > 65535) {
        return false;
    }
    port = static_cast<unsigned>(std::stoul(portText));
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
            address = address.substr(1, address.size() - 2);
        }
        if (address.empty()) {
            return false;
        }
    }
    return true;
}

// --power, --power-command, --off-time, --gone-after and --start-on, in
// that order, each given or not.
bool PowerOptionsParse(Options& options, const std::array<const CLI::Option*, 5>& given,
                       const std::array<std::string, 5>& texts, std::string& error) {
    const auto isGiven = [&given](int index) { return given[index]->count() > 0; };
    if (isGiven(0)) {
        std::string line = texts[0];
        options.bPowerInverted = !line.empty() && line.front() == '!';
        if (options.bPowerInverted) {
            line.erase(0, 1);
        }
        options.powerLine = line == "dtr" ? unsigned{kLineDtr} : line == "rts" ? unsigned{kLineRts} : 0u;
        if (options.powerLine == 0) {
            error = "--power needs dtr, rts, !dtr or !rts, not '" + texts[0] + "'";
            return false;
        }
    }
    if (isGiven(1)) {
        std::string reason;
        if (!CommandSplit(texts[1], options.powerCommand, reason)) {
            error = "--power-command '" + texts[1] + "': " + reason;
            return false;
        }
    }
    if (isGiven(0) && isGiven(1)) {
        error = "--power and --power-command cannot be combined";
        return false;
    }
    const bool bPower = isGiven(0) || isGiven(1);
    const std::pair<int, unsigned*> seconds[] = {{2, &options.offSeconds}, {3, &options.goneAfter}};
    for (const auto& [index, pValue] : seconds) {
        const char* pName = index == 2 ? "--off-time" : "--gone-after";
        if (!isGiven(index)) {
            continue;
        }
        if (!bPower && !(index == 3 && isGiven(4) && texts[4] == "auto")) {
            error = std::string(pName) + (index == 2 ? " needs --power or --power-command"
                                                     : " needs --power, --power-command or --start-on auto");
            return false;
        }
        if (!ParseCount(texts[index], *pValue) || *pValue > 3600) {
            error = std::string(pName) + " needs seconds from 1 to 3600, not '" + texts[index] + "'";
            return false;
        }
    }
    if (isGiven(4) && texts[4] == "auto") {
        // Silence cannot tell a removed box from one that sits quietly, and
        // a powered slot cannot tell a new box from the one it switched off.
        if (!options.bStation) {
            error = "--start-on is only for --station";
        } else if (bPower) {
            error = "--start-on auto does not go with --power or --power-command: give the slot a lid line";
        } else if (options.unitPattern.empty()) {
            error = "--start-on auto needs --unit-pattern, so that a box is never flashed twice";
        }
        options.bAutoStart = error.empty();
        return options.bAutoStart;
    }
    if (isGiven(4)) {
        const std::pair<const char*, unsigned> lines[] = {
            {"key", 0}, {"cts", kLineCts}, {"dsr", kLineDsr}, {"dcd", kLineDcd}, {"ri", kLineRi}};
        const auto found = std::find_if(std::begin(lines), std::end(lines),
                                        [&texts](const auto& line) { return texts[4] == line.first; });
        if (found == std::end(lines)) {
            error = "--start-on needs key, auto, cts, dsr, dcd or ri, not '" + texts[4] + "'";
            return false;
        }
        options.startLine = found->second;
        if (options.startLine != 0 && !options.bStation) {
            error = "--start-on is only for --station";
            return false;
        }
    }
    return true;
}

}  // namespace

bool OptionsParse(const std::vector<std::string>& args, Options& options, std::string& error) {
    options = Options{};
    bool bListPorts = false;
    bool bHelp = false;
    bool bVersion = false;
    std::string repeatText;
    std::vector<std::string> operands;

    // Help is our own kUsage, printed by main: CLI11 adds no --help of its own
    // and never prints. Unknown options are collected, not thrown, so that
    // the reason can name the first one.
    CLI::App app;
    app.set_help_flag();
    app.allow_extras();

    // One name per --port; the next argument is the IMAGE, not a second name.
    app.add_option("--port,-p", options.ports)
        ->type_name("NAME")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("--all-ports", options.bAllPorts);
    app.add_flag("--skip-busy", options.bSkipBusy);
    app.add_flag("--yes,-y", options.bYes);
    app.add_flag("--trace", options.bTrace);
    app.add_flag("--verbose,-v", options.bVerbose);
    app.add_flag("--quiet,-q", options.bQuiet);
    CLI::Option* pRepeat =
        app.add_option("--repeat", repeatText)->type_name("N")->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option* pRecord = app.add_option("--record", options.record)
                               ->type_name("FILE")
                               ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option* pDb =
        app.add_option("--db", options.db)->type_name("FILE|URL|none")->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("--station", options.bStation);
    app.add_flag("--reflash", options.bReflash);
    std::string targetText;
    CLI::Option* pTarget =
        app.add_option("--target", targetText)->type_name("N")->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option* pStationName = app.add_option("--station-name", options.stationName)
                                    ->type_name("NAME")
                                    ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option* pUnitPattern = app.add_option("--unit-pattern", options.unitPattern)
                                    ->type_name("REGEX")
                                    ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option* pBootExpect = app.add_option("--boot-expect", options.bootExpect)
                                   ->type_name("REGEX")
                                   ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option* pBootFail = app.add_option("--boot-fail", options.bootFail)
                                 ->type_name("REGEX")
                                 ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    std::string bootWithinText;
    CLI::Option* pBootWithin = app.add_option("--boot-within", bootWithinText)
                                   ->type_name("S")
                                   ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    std::string powerText, powerCommandText, offText, goneText, startOnText;
    CLI::Option* pPower =
        app.add_option("--power", powerText)->type_name("LINE")->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option* pPowerCommand = app.add_option("--power-command", powerCommandText)
                                     ->type_name("CMD")
                                     ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option* pOffTime =
        app.add_option("--off-time", offText)->type_name("S")->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option* pGoneAfter =
        app.add_option("--gone-after", goneText)->type_name("S")->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option* pStartOn = app.add_option("--start-on", startOnText)
                                ->type_name("LINE")
                                ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    std::string onEndText;
    CLI::Option* pOnEnd =
        app.add_option("--on-end", onEndText)->type_name("CMD")->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    std::string webText;
    CLI::Option* pWeb = app.add_option("--web", webText)
                            ->type_name("[ADDR:]PORT")
                            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option* pWebToken = app.add_option("--web-token", options.webToken)
                                 ->type_name("TOKEN")
                                 ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("--list-ports", bListPorts);
    app.add_flag("--long", options.bLong);
    app.add_flag("--json", options.bJson);
    app.add_flag("--help,-h", bHelp);
    app.add_flag("--version", bVersion);
    app.add_option("IMAGE", operands)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);

    std::vector<std::string> given;
    if (!InlineValuesSplit(app, args, given, error)) {
        return false;
    }

    try {
        // CLI11 takes the arguments last first.
        std::vector<std::string> reversed(given.rbegin(), given.rend());
        app.parse(reversed);
    } catch (const CLI::ParseError& failure) {
        error = ParseErrorReason(app, failure);
        return false;
    }

    // What CLI11 leaves over are unknown options and the "--" that ends them.
    for (const std::string& unknown : app.remaining()) {
        if (unknown != "--") {
            error = "unknown option '" + unknown + "'";
            return false;
        }
    }
    for (auto it = options.ports.begin(); it != options.ports.end(); ++it) {
        if (it->empty()) {
            error = "--port needs a port name";
            return false;
        }
        if (std::find(options.ports.begin(), it, *it) != it) {
            error = "port " + *it + " is named twice";
            return false;
        }
    }
    if (options.bAllPorts && !options.ports.empty()) {
        error = "--all-ports and --port cannot be combined";
        return false;
    }
    if (options.bSkipBusy && !options.bAllPorts) {
        error = "--skip-busy is only for --all-ports";
        return false;
    }
    if (pRepeat->count() > 0 && !ParseCount(repeatText, options.repeat)) {
        error = "--repeat needs a count from 1 to 1000000, not '" + repeatText + "'";
        return false;
    }
    if (pTarget->count() > 0 && !ParseCount(targetText, options.target)) {
        error = "--target needs a count from 1 to 1000000, not '" + targetText + "'";
        return false;
    }
    if (!options.bStation && (pTarget->count() > 0 || pStationName->count() > 0)) {
        error = std::string(pTarget->count() > 0 ? "--target" : "--station-name") + " is only for --station";
        return false;
    }
    if (options.bStation && (options.repeat != 1 || options.bTrace)) {
        error = std::string(options.bTrace ? "--trace" : "--repeat") + " does not go with --station";
        return false;
    }
    if (pUnitPattern->count() > 0) {
        std::string reason;
        if (!UnitPattern::Compile(options.unitPattern, reason)) {
            error = "--unit-pattern '" + options.unitPattern + "' is not a valid pattern: " + reason;
            return false;
        }
    }
    const std::tuple<CLI::Option*, const char*, const std::string*> bootPatterns[] = {
        {pBootExpect, "--boot-expect", &options.bootExpect}, {pBootFail, "--boot-fail", &options.bootFail}};
    for (const auto& [pOption, pName, pText] : bootPatterns) {
        std::string reason;
        if (pOption->count() > 0 && !UnitPattern::Compile(*pText, reason)) {
            error = std::string(pName) + " '" + *pText + "' is not a valid pattern: " + reason;
            return false;
        }
    }
    if (pBootWithin->count() > 0 && !ParseCount(bootWithinText, options.bootWithin)) {
        error = "--boot-within needs seconds from 1 to 1000000, not '" + bootWithinText + "'";
        return false;
    }
    if ((pBootFail->count() > 0 || pBootWithin->count() > 0) && pBootExpect->count() == 0) {
        error = std::string(pBootFail->count() > 0 ? "--boot-fail" : "--boot-within") + " needs --boot-expect";
        return false;
    }
    if (!PowerOptionsParse(options, {pPower, pPowerCommand, pOffTime, pGoneAfter, pStartOn},
                           {powerText, powerCommandText, offText, goneText, startOnText}, error)) {
        return false;
    }
    if (pOnEnd->count() > 0) {
        std::string reason;
        if (!CommandSplit(onEndText, options.onEnd, reason)) {
            error = "--on-end '" + onEndText + "': " + reason;
            return false;
        }
        if (pRecord->count() == 0) {
            error = "--on-end needs --record";
            return false;
        }
    }
    if (options.bReflash && pUnitPattern->count() == 0) {
        error = "--reflash needs --unit-pattern";
        return false;
    }
    if (pWeb->count() > 0) {
        if (!WebPlaceParse(webText, options.webAddress, options.webPort)) {
            error = "--web needs [ADDR:]PORT (PORT from 0 to 65535), not '" + webText + "'";
            return false;
        }
        options.bWeb = true;
    }
    if (pWebToken->count() > 0 && (!options.bWeb || options.webToken.empty())) {
        error = options.bWeb ? "--web-token needs a token" : "--web-token is only for --web";
        return false;
    }
    if (pRecord->count() > 0 && options.record.empty()) {
        error = "--record needs a file name";
        return false;
    }
    if (pDb->count() > 0 && options.db.empty()) {
        error = "--db needs a file, a postgresql:// address or none";
        return false;
    }
    if (static_cast<int>(bListPorts) + static_cast<int>(bHelp) + static_cast<int>(bVersion) > 1) {
        error = "--list-ports, --help and --version cannot be combined";
        return false;
    }
    if ((options.bLong || options.bJson) && !bListPorts) {
        error = std::string(options.bLong ? "--long" : "--json") + " is only for --list-ports";
        return false;
    }
    if (options.bLong && options.bJson) {
        error = "--long and --json cannot be combined";
        return false;
    }
    options.action = bListPorts ? Action::ListPorts : bHelp ? Action::Help : bVersion ? Action::Version : Action::Download;

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
