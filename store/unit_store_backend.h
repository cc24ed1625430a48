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

// The store on a PostgreSQL server: for writing (with its spool and sender)
// or to read only. nullptr with the reason, as UnitStoreOpen gives it.
std::unique_ptr<UnitStore> PostgresUnitStoreOpen(const std::string& uri, bool bWrite, std::string& reason);
