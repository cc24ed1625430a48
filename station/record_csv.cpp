#include "station/record_csv.h"

#include <span>
#include <string_view>

#include <nlohmann/json.hpp>

#include "station/download_record.h"

namespace {

constexpr const char* kColumns[] = {"started", "ended", "station", "slot", "run", "port", "device", "kind",
                                    "vid", "pid", "serial", "unit", "image", "image_bytes", "image_sha256",
                                    "end", "ok", "boot", "boot_text", "blocks", "message", "repeat_of"};

std::string CsvField(std::string field) {
    if (!field.empty() && std::string_view("=+-@\t\r").find(field.front()) != std::string_view::npos) {
        field.insert(field.begin(), '\'');
    }
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        return field;
    }
    std::string quoted = "\"";
    for (char c : field) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::string FieldOf(const nlohmann::json& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    return value.is_null() ? std::string() : value.dump();
}

}  // namespace

std::string CsvLine(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        line += i == 0 ? "" : ",";
        line += CsvField(fields[i]);
    }
    return line + "\r\n";
}

std::string RecordsCsvHeader() {
    std::vector<std::string> fields{"attempt"};
    fields.insert(fields.end(), std::begin(kColumns), std::end(kColumns));
    return CsvLine(fields);
}

std::string RecordCsvLine(const std::string& recordLine) {
    std::string_view text(recordLine);
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    const nlohmann::json record = nlohmann::json::parse(text, nullptr, false);
    if (record.is_discarded() || !record.is_object()) {
        return "";
    }
    std::string attempt;
    std::string reason;
    BytesSha256(std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size()), attempt, reason);
    std::vector<std::string> fields{attempt};
    for (const char* pColumn : kColumns) {
        const auto found = record.find(pColumn);
        fields.push_back(found == record.end() ? std::string() : FieldOf(*found));
    }
    return CsvLine(fields);
}
