// The command line's questions to the unit store: `history` (attempts or
// units, as a table, JSON lines or CSV) and `import-records` (JSON-lines
// record files into the store).
#pragma once

#include <string>
#include <vector>

// kelvora-upgrader history ...: args are the arguments after "history".
// 0 with rows, 1 with none, 2 on a usage or store error.
int HistoryMain(const std::vector<std::string>& args);

// kelvora-upgrader import-records FILE [--db D]: args are the arguments
// after "import-records". 0 when the file was read (lines that are no
// record are named on stderr and skipped), 2 on a usage, file or store error.
int ImportRecordsMain(const std::vector<std::string>& args);
