// The user's folders on Windows: the roaming and the local application data,
// read wide (a profile folder such as C:\Users\Jürgen comes through whole).
#include "platform/UserFolders.h"
// After our headers: windows.h defines macros.
#include <windows.h>
#include <shlobj.h>

#include "platform/Utf8.h"

namespace qmb::platform {

namespace {
std::string LocalAppData() {
    std::string folder = EnvironmentValue("LOCALAPPDATA");
    if (!folder.empty()) return folder;
    PWSTR known = nullptr;
    if (SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known) == S_OK)
        folder = Utf8FromWide(known);
    CoTaskMemFree(known);
    return folder;
}
}  // namespace

std::string SettingsFolder() {
    const std::string appData = EnvironmentValue("APPDATA");
    return appData.empty() ? "" : appData + "\\qmb-edit";
}

std::string DataFolder() {
    const std::string local = LocalAppData();
    return local.empty() ? "" : local + "\\qmb-edit";
}

std::string InFolder(const std::string& folder, const std::string& name) {
    return folder + "\\" + name;
}

}  // namespace qmb::platform
