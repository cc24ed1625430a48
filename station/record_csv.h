// Records as CSV for a spreadsheet (RFC 4180, lines ending in CRLF): the
// same columns wherever records are given as CSV (history --csv, the web
// page's records.csv).
#pragma once

#include <string>
#include <vector>

// One CSV line of fields, ending in CRLF: a field with a comma, a quote or a
// line end is quoted; one a spreadsheet would run as a formula (starting
// with = + - @, a tab or a carriage return) gets a leading single quote.
std::string CsvLine(const std::vector<std::string>& fields);

// The header line: attempt, started, ended, station, slot, run, port,
// device, kind, vid, pid, serial, unit, image, image_bytes, image_sha256,
// end, ok, boot, boot_text, blocks, message, repeat_of.
std::string RecordsCsvHeader();

// The CSV line of a record given as its JSON line (with or without its line
// end), as CsvLine makes it: attempt is the line's SHA-256, as the unit
// store names it; a key the record lacks is an empty field. "" when the line
// is no JSON object.
std::string RecordCsvLine(const std::string& recordLine);
