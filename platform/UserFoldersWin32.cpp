// Where the port map lives on Windows: the user's roaming application data.
#include <cstdlib>

#include "link/PortMap.h"

namespace qmb {

std::string PortMapPath() {
    const char* appData = std::getenv("APPDATA");
    if (!appData || !*appData) return "";
    return std::string(appData) + "\\qmb-edit\\ports.conf";
}

}  // namespace qmb
