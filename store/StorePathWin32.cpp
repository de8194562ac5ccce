// Where the station's default store lives on Windows: the local application
// data folder, %LOCALAPPDATA% where it is set (read wide, so that a profile
// folder such as C:\Users\Jürgen comes through whole), else the known folder.
#include "store/RecordStore.h"
// After the store's header: windows.h defines a macro Yield.
#include <windows.h>
#include <shlobj.h>

#include "link/Utf8.h"

namespace qmb::store {

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

std::string DefaultStoreUrl() {
    const std::string local = LocalAppData();
    if (!local.empty()) return "sqlite:" + local + "\\qmb-edit\\records.sqlite";
    return "";
}

}  // namespace qmb::store
