// Where the port map lives on POSIX systems: the XDG config folder.
#include <cstdlib>

#include "link/PortMap.h"

namespace qmb {

std::string PortMapPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config == '/') return std::string(config) + "/qmb-edit/ports.conf";
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.config/qmb-edit/ports.conf";
    return "";
}

}  // namespace qmb
