// Where a store is, as the program names it: a file, or a PostgreSQL server
// whose URI may carry a password that no message may show.
#include "store/unit_store.h"

#include <algorithm>
#include <string_view>

bool UnitStoreIsServer(const std::string& where) {
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::string UnitStoreShown(const std::string& where) {
    if (!UnitStoreIsServer(where)) {
        return where;
    }
    const std::string_view uri(where);
    const std::size_t hostStart = uri.find("://") + 3;
    const std::size_t hostEnd = std::min(uri.find_first_of("/?", hostStart), uri.size());
    const std::string_view authority = uri.substr(hostStart, hostEnd - hostStart);
    std::string shown(uri.substr(0, hostStart));
    // user:password@host: the last '@' ends the user part, and the first ':'
    // in that part starts the password.
    if (const std::size_t at = authority.rfind('@'); at == std::string_view::npos) {
        shown.append(authority);
    } else {
        const std::string_view user = authority.substr(0, at);
        shown.append(user.substr(0, user.find(':'))).append(authority.substr(at));
    }
    const std::string_view rest = uri.substr(hostEnd);
    const std::size_t query = rest.find('?');
    shown.append(rest.substr(0, query));
    if (query == std::string_view::npos) {
        return shown;
    }
    // The parameters without password=...
    char separator = '?';
    std::string_view parameters = rest.substr(query + 1);
    while (!parameters.empty()) {
        const std::size_t amp = parameters.find('&');
        const std::string_view parameter = parameters.substr(0, amp);
        if (parameter.rfind("password=", 0) != 0 && parameter != "password" && !parameter.empty()) {
            shown.append(1, separator).append(parameter);
            separator = '&';
        }
        parameters = amp == std::string_view::npos ? std::string_view() : parameters.substr(amp + 1);
    }
    return shown;
}
