// The user's folders on POSIX systems: the XDG base directories.
#include <cstdlib>

#include "platform/UserFolders.h"

namespace qmb::platform {

namespace {
// $variable when it is an absolute path, else ~/fallback, else "".
std::string XdgFolder(const char* variable, const char* fallback) {
    const char* base = std::getenv(variable);
    if (base && *base == '/') return std::string(base) + "/qmb-edit";
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/" + fallback + "/qmb-edit";
    return "";
}
}  // namespace

std::string SettingsFolder() {
    return XdgFolder("XDG_CONFIG_HOME", ".config");
}

std::string DataFolder() {
    return XdgFolder("XDG_DATA_HOME", ".local/share");
}

std::string InFolder(const std::string& folder, const std::string& name) {
    return folder + "/" + name;
}

}  // namespace qmb::platform
