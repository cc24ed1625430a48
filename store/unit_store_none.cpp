// The Windows build has no SQLite: no store opens, and the reason says so,
// so that asking for one is never silently ignored.
#include "store/unit_store.h"

#include <cstdlib>
#include <filesystem>

std::unique_ptr<UnitStore> UnitStoreOpen(const std::string& where, std::string& reason) {
    reason = where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0 ? kUnitStorePostgresMissing
                                                                                         : kUnitStoreUnavailable;
    return nullptr;
}

std::unique_ptr<UnitStore> UnitStoreOpenToRead(const std::string& where, std::string& reason) {
    return UnitStoreOpen(where, reason);
}

std::string UnitStoreDefaultPath() {
    const char* pLocal = std::getenv("LOCALAPPDATA");
    if (pLocal == nullptr || pLocal[0] == '\0') {
        return std::string();
    }
    return (std::filesystem::path(pLocal) / "kelvora" / "units.db").string();
}
