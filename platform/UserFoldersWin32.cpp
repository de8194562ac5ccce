// The user's folders on Windows: the roaming and the local application data.
#include <cstdlib>

#include "platform/UserFolders.h"

namespace qmb::platform {

namespace {
std::string AppFolder(const char* variable) {
    const char* base = std::getenv(variable);
    if (!base || !*base) return "";
    return std::string(base) + "\\qmb-edit";
}
}  // namespace

std::string SettingsFolder() {
    return AppFolder("APPDATA");
}

std::string DataFolder() {
    return AppFolder("LOCALAPPDATA");
}

std::string InFolder(const std::string& folder, const std::string& name) {
    return folder + "\\" + name;
}

}  // namespace qmb::platform
