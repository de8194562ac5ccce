// Where the station's default store lives on POSIX systems: the XDG data folder.
#include <cstdlib>

#include "store/RecordStore.h"

namespace qmb::store {

std::string DefaultStoreUrl() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && *data == '/') return "sqlite:" + std::string(data) + "/qmb-edit/records.sqlite";
    const char* home = std::getenv("HOME");
    if (home && *home) return "sqlite:" + std::string(home) + "/.local/share/qmb-edit/records.sqlite";
    return "";
}

}  // namespace qmb::store
