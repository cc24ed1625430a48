// What the store's backends share; not for callers, who use unit_store.h.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "store/unit_store.h"

// The WHERE clause a history filter makes, with a '?' for each text bound to
// it, in order; false with the reason when the filter is malformed.
struct Condition {
    std::string sql;
    std::vector<std::string> values;
};
bool ConditionMake(const HistoryFilter& filter, Condition& condition, std::string& reason);

// Two more columns for a history query on attempts: the image name and
// SHA-256 of the unit's latest ok attempt before this one (what it had),
// asked when read so that an import of older records cannot make it wrong.
inline constexpr char kHadColumns[] =
    ", (SELECT p.image FROM attempts p WHERE p.unit = attempts.unit AND p.ok AND p.started < attempts.started"
    " ORDER BY p.started DESC LIMIT 1)"
    ", (SELECT p.image_sha256 FROM attempts p WHERE p.unit = attempts.unit AND p.ok"
    " AND p.started < attempts.started ORDER BY p.started DESC LIMIT 1)";

// The store on a PostgreSQL server: for writing (with its spool and sender)
// or to read only. nullptr with the reason, as UnitStoreOpen gives it.
std::unique_ptr<UnitStore> PostgresUnitStoreOpen(const std::string& uri, bool bWrite, std::string& reason);
