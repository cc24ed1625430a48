// The Windows build has neither SQLite nor libpq: no store opens, in a file
// or on a server, and the reason says so, so that asking for one is never
// silently ignored.
#include "store/unit_store.h"

#include <cstdlib>
#include <filesystem>

std::unique_ptr<UnitStore> UnitStoreOpen(const std::string& where, std::string& reason) {
    static_cast<void>(where);
    reason = kUnitStoreUnavailable;
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
