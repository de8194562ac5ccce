// Where the station's default store lives on Windows: the local application data folder.
#include <cstdlib>

#include "store/RecordStore.h"

namespace qmb::store {

std::string DefaultStoreUrl() {
    const char* local = std::getenv("LOCALAPPDATA");
    if (local && *local) return "sqlite:" + std::string(local) + "\\qmb-edit\\records.sqlite";
    return "";
}

}  // namespace qmb::store
