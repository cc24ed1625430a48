// `history` and `import-records`: each parses its own arguments, opens the
// unit store, and prints what it found. Store texts came from records, and a
// unit's name from a box's console: the table shows them made printable,
// JSON escapes them, and CSV keeps a spreadsheet from running them.
#include "cli/history.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string_view>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/run_support.h"
#include "station/download_record.h"
#include "station/record_csv.h"
#include "store/unit_store.h"

namespace {

using Json = nlohmann::ordered_json;

// How long import-records waits for a server to take the rows it read.
constexpr std::chrono::seconds kImportFlushWait{10};

const char kHistoryUsage[] =
    "Usage: kelvora-upgrader history [--db D] [--unit U] [--image FILE|SHA256]\n"
    "                                [--station S] [--since DATE] [--end END]\n"
    "                                [--units] [--json | --csv]\n"
    "\n"
    "Prints the download attempts in the unit store, newest first, or with\n"
    "--units one line per unit with its latest attempt.\n"
    "\n"
    "  --db D         the store (default: $XDG_STATE_HOME/kelvora/units.db)\n"
    "  --unit U       the attempts of one unit\n"
    "  --image X      the attempts with one image: a file (hashed) or its SHA-256\n"
    "  --station S    the attempts of one station\n"
    "  --since DATE   started at or after DATE (YYYY-MM-DD[THH:MM[:SS]], UTC)\n"
    "  --end END      with one end: completed, image-refused, error-1, ...\n"
    "  --units        one line per unit that has an attempt the filters select\n"
    "  --json         one JSON object per line\n"
    "  --csv          CSV with a header line\n"
    "\n"
    "Exit status: 0 rows printed, 1 none, 2 usage or store error.\n";

const char kImportUsage[] =
    "Usage: kelvora-upgrader import-records FILE [--db D]\n"
    "\n"
    "Adds the download records of FILE (written by --record) to the unit store;\n"
    "records already there are not added again. Lines that are no record are\n"
    "named on stderr and skipped.\n"
    "\n"
    "  --db D         the store (default: $XDG_STATE_HOME/kelvora/units.db),\n"
    "                 created when missing\n"
    "\n"
    "Exit status: 0 the file was read, 2 usage, file or store error.\n";

// The parse both subcommands share: unknown options named, a value option at
// the end of the line said plainly. The app was made by AppMake.
bool ArgumentsParse(CLI::App& app, const std::vector<std::string>& args, std::string& error) {
    try {
        // CLI11 takes the arguments last first.
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::ParseError& failure) {
        const std::string message = failure.what();
        const CLI::Option* pOption = dynamic_cast<const CLI::ArgumentMismatch*>(&failure) != nullptr
                                         ? app.get_option_no_throw(message.substr(0, message.find(':')))
                                         : nullptr;
        error = pOption != nullptr ? pOption->get_name() + " needs a value" : message;
        return false;
    }
    for (const std::string& unknown : app.remaining()) {
        if (unknown != "--") {
            error = (unknown.rfind("-", 0) == 0 ? "unknown option '" : "unexpected argument '") + unknown + "'";
            return false;
        }
    }
    return true;
}

// Help is the subcommand's own text, printed by it: CLI11 adds no --help of
// its own and never prints. Unknown options are collected, not thrown, so
// that the reason can name the first one.
void AppMake(CLI::App& app) {
    app.set_help_flag();
    app.allow_extras();
}

int UsageError(const std::string& error, const char* pCommand) {
    Complain(error);
    std::fprintf(stderr, "Try 'kelvora-upgrader %s --help'.\n", pCommand);
    return kExitUsage;
}

// The store's place: --db, else the default one.
bool StorePlace(const CLI::Option* pDb, std::string& db) {
    if (pDb->count() == 0) {
        db = UnitStoreDefaultPath();
        if (db.empty()) {
            Complain("no --db given, and neither XDG_STATE_HOME nor HOME says where the unit store is");
            return false;
        }
    } else if (db.empty()) {
        Complain("--db needs a file name");
        return false;
    }
    return true;
}

// Each character below a space or DEL as '?': a unit's name came from a box.
std::string Printable(const std::string& text) {
    std::string shown = text;
    std::replace_if(
        shown.begin(), shown.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, '?');
    return shown;
}

// "2026-12-07T09:30:00.123Z" as "2026-12-07 09:30:00".
std::string TimeShown(const std::string& iso) {
    std::string shown = iso.substr(0, 19);
    if (shown.size() > 10 && shown[10] == 'T') {
        shown[10] = ' ';
    }
    return Printable(shown);
}

std::string ImageName(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return Printable(slash == std::string::npos ? path : path.substr(slash + 1));
}

std::string ShortSha(const std::string& sha256) {
    return Printable(sha256.substr(0, 12));
}

// Columns padded to their widest cell, two spaces apart, the last unpadded.
void TablePrint(const std::vector<std::vector<std::string>>& table) {
    std::vector<std::size_t> widths;
    for (const auto& row : table) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    for (const auto& row : table) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line += std::string(widths[i] - row[i].size() + 2, ' ');
            }
        }
        line.erase(line.find_last_not_of(' ') + 1);
        std::printf("%s\n", line.c_str());
    }
}

void CsvPrint(const std::vector<std::vector<std::string>>& table) {
    for (const auto& row : table) {
        std::fputs(CsvLine(row).c_str(), stdout);
    }
}

std::string JsonLine(const Json& object) {
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string CountText(unsigned value) {
    return value == 0 ? std::string() : std::to_string(value);
}

enum class Format { Table, Json, Csv };

void AttemptsPrint(const std::vector<AttemptRow>& rows, Format format) {
    if (format == Format::Json) {
        for (const AttemptRow& row : rows) {
            Json object;
            object["attempt"] = row.attempt;
            const Json record = Json::parse(row.line, nullptr, false);
            if (record.is_object()) {
                for (const auto& [key, value] : record.items()) {
                    object[key] = value;
                }
            }
            if (!row.had.sha256.empty()) {
                object["had_image"] = row.had.name;
                object["had_image_sha256"] = row.had.sha256;
            }
            std::printf("%s\n", JsonLine(object).c_str());
        }
        return;
    }
    std::vector<std::vector<std::string>> table;
    if (format == Format::Csv) {
        std::string csv = RecordsCsvHeader();
        for (const AttemptRow& row : rows) {
            csv += RecordCsvLine(row.line);
        }
        std::fputs(csv.c_str(), stdout);
        return;
    }
    table.push_back({"STARTED (UTC)", "STATION", "SLOT", "PORT", "UNIT", "IMAGE", "SHA256", "END", "BOOT", "HAD"});
    for (const AttemptRow& row : rows) {
        table.push_back({TimeShown(row.started), Printable(row.station), CountText(row.slot), Printable(row.port),
                         Printable(row.unit), ImageName(row.image), ShortSha(row.imageSha256), Printable(row.end),
                         Printable(row.boot), ShortSha(row.had.sha256)});
    }
    TablePrint(table);
}

void UnitsPrint(const std::vector<UnitRow>& rows, Format format) {
    if (format == Format::Json) {
        for (const UnitRow& row : rows) {
            const auto textOrNull = [](const std::string& text) { return text.empty() ? Json() : Json(text); };
            Json object;
            object["unit"] = row.unit;
            object["first_seen"] = row.firstSeen;
            object["attempts"] = row.attempts;
            object["latest_started"] = row.latestStarted;
            object["latest_image"] = row.latestImage.name;
            object["latest_image_sha256"] = row.latestImage.sha256;
            object["latest_end"] = row.latestEnd;
            object["latest_boot"] = textOrNull(row.latestBoot);
            object["completed_started"] = textOrNull(row.completedStarted);
            object["completed_image"] = textOrNull(row.completedImage.name);
            object["completed_image_sha256"] = textOrNull(row.completedImage.sha256);
            std::printf("%s\n", JsonLine(object).c_str());
        }
        return;
    }
    std::vector<std::vector<std::string>> table;
    if (format == Format::Csv) {
        table.push_back({"unit", "first_seen", "attempts", "latest_started", "latest_image", "latest_image_sha256",
                         "latest_end", "latest_boot", "completed_started", "completed_image",
                         "completed_image_sha256"});
        for (const UnitRow& row : rows) {
            table.push_back({row.unit, row.firstSeen, std::to_string(row.attempts), row.latestStarted,
                             row.latestImage.name, row.latestImage.sha256, row.latestEnd, row.latestBoot,
                             row.completedStarted, row.completedImage.name, row.completedImage.sha256});
        }
        CsvPrint(table);
        return;
    }
    table.push_back({"UNIT", "FIRST SEEN (UTC)", "ATTEMPTS", "LATEST (UTC)", "IMAGE", "SHA256", "END", "BOOT"});
    for (const UnitRow& row : rows) {
        table.push_back({Printable(row.unit), TimeShown(row.firstSeen), std::to_string(row.attempts),
                         TimeShown(row.latestStarted), ImageName(row.latestImage.name),
                         ShortSha(row.latestImage.sha256), Printable(row.latestEnd), Printable(row.latestBoot)});
    }
    TablePrint(table);
}

// --image: a SHA-256 as 64 hex digits, else a file whose contents are hashed.
bool ImageSha(const std::string& image, std::string& sha256) {
    static const std::regex kHex("[0-9a-fA-F]{64}");
    if (std::regex_match(image, kHex)) {
        sha256 = image;
        std::transform(sha256.begin(), sha256.end(), sha256.begin(),
                       [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
        return true;
    }
    std::string reason;
    if (!FileSha256(image, sha256, reason)) {
        Complain("cannot read image '" + image + "': " + reason);
        return false;
    }
    return true;
}

}  // namespace

int HistoryMain(const std::vector<std::string>& args) {
    CLI::App app;
    AppMake(app);
    std::string db;
    std::string image;
    HistoryFilter filter;
    bool bUnits = false;
    bool bJson = false;
    bool bCsv = false;
    bool bHelp = false;
    const CLI::Option* pDb = app.add_option("--db", db)->type_name("D");
    app.add_option("--unit", filter.unit)->type_name("U");
    app.add_option("--image", image)->type_name("FILE|SHA256");
    app.add_option("--station", filter.station)->type_name("S");
    app.add_option("--since", filter.since)->type_name("DATE");
    app.add_option("--end", filter.end)->type_name("END");
    app.add_flag("--units", bUnits);
    app.add_flag("--json", bJson);
    app.add_flag("--csv", bCsv);
    app.add_flag("--help,-h", bHelp);
    std::string error;
    if (!ArgumentsParse(app, args, error)) {
        return UsageError(error, "history");
    }
    if (bHelp) {
        std::fputs(kHistoryUsage, stdout);
        return kExitCompleted;
    }
    if (bJson && bCsv) {
        return UsageError("--json and --csv cannot be combined", "history");
    }
    if (!StorePlace(pDb, db)) {
        return kExitUsage;
    }
    if (!image.empty() && !ImageSha(image, filter.imageSha256)) {
        return kExitUsage;
    }

    std::string reason;
    std::unique_ptr<UnitStore> pStore = UnitStoreOpenToRead(db, reason);
    if (!pStore) {
        Complain(reason == kUnitStoreMissing ? "no unit store at " + UnitStoreShown(db)
                                             : "cannot open the unit store '" + UnitStoreShown(db) + "': " + reason);
        return kExitUsage;
    }
    const Format format = bJson ? Format::Json : bCsv ? Format::Csv : Format::Table;
    std::size_t found = 0;
    if (bUnits) {
        std::vector<UnitRow> rows;
        if (!pStore->Units(filter, rows, reason)) {
            Complain(reason);
            return kExitUsage;
        }
        if (!rows.empty()) {
            UnitsPrint(rows, format);
        }
        found = rows.size();
    } else {
        std::vector<AttemptRow> rows;
        if (!pStore->History(filter, rows, reason)) {
            Complain(reason);
            return kExitUsage;
        }
        if (!rows.empty()) {
            AttemptsPrint(rows, format);
        }
        found = rows.size();
    }
    return found > 0 ? kExitCompleted : kExitRunFailed;
}

int ImportRecordsMain(const std::vector<std::string>& args) {
    CLI::App app;
    AppMake(app);
    std::string db;
    std::vector<std::string> files;
    bool bHelp = false;
    const CLI::Option* pDb = app.add_option("--db", db)->type_name("D");
    app.add_flag("--help,-h", bHelp);
    app.add_option("FILE", files)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    std::string error;
    if (!ArgumentsParse(app, args, error)) {
        return UsageError(error, "import-records");
    }
    if (bHelp) {
        std::fputs(kImportUsage, stdout);
        return kExitCompleted;
    }
    if (files.size() != 1) {
        return UsageError(files.empty() ? "no FILE" : "only one FILE", "import-records");
    }
    if (!StorePlace(pDb, db)) {
        return kExitUsage;
    }
    const std::string& file = files.front();
    std::error_code code;
    if (std::filesystem::exists(file, code) && !std::filesystem::is_regular_file(file, code)) {
        Complain("cannot read records from '" + file + "': " + kRecordNotRegular);
        return kExitUsage;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        Complain("cannot read records from '" + file + "': " + std::strerror(errno));
        return kExitUsage;
    }
    std::string reason;
    std::unique_ptr<UnitStore> pStore = UnitStoreOpen(db, reason);
    if (!pStore) {
        Complain("cannot open the unit store '" + UnitStoreShown(db) + "': " + reason);
        return kExitUsage;
    }

    std::size_t added = 0;
    std::size_t already = 0;
    std::size_t skipped = 0;
    std::size_t number = 0;
    std::string line;
    int status = kExitCompleted;
    while (std::getline(in, line)) {
        ++number;
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        switch (pStore->Insert(line, reason)) {
        case UnitStore::AddResult::Added:
            ++added;
            break;
        case UnitStore::AddResult::AlreadyThere:
            ++already;
            break;
        case UnitStore::AddResult::NotRecord:
            ++skipped;
            Complain(file + ":" + std::to_string(number) + ": skipped, " + reason);
            break;
        case UnitStore::AddResult::StoreFailed:
            Complain("cannot write to the unit store '" + UnitStoreShown(db) + "' (at " + file + ":" +
                     std::to_string(number) + "): " + reason);
            status = kExitUsage;
            break;
        }
        if (status != kExitCompleted) {
            break;
        }
    }
    if (status == kExitCompleted && in.bad()) {
        Complain("cannot read records from '" + file + "': " + std::strerror(errno));
        status = kExitUsage;
    }
    // A server's store keeps rows in a local spool until the server has
    // them: the import is done when they are there.
    if (!pStore->Flush(kImportFlushWait)) {
        const std::string why = pStore->Status();
        Complain("the unit store '" + UnitStoreShown(db) + "' does not have every row yet: " +
                 (why.empty() ? std::to_string(pStore->Waiting()) + " rows wait" : why) +
                 " (they stay in the local spool and are sent when this store is next opened)");
        status = kExitUsage;
    }
    std::printf("%zu added, %zu already there, %zu skipped\n", added, already, skipped);
    return status;
}
