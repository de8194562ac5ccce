// Where the port map lives on Windows: the user's roaming application data
// (read wide: a profile folder need not be ASCII).
#include "link/PortMap.h"
#include "link/Utf8.h"

namespace qmb {

std::string PortMapPath() {
    const std::string appData = EnvironmentValue("APPDATA");
    if (appData.empty()) return "";
    return appData + "\\qmb-edit\\ports.conf";
}

}  // namespace qmb
