// The user's folders for qmb-edit's files, one file per OS
// (UserFoldersPosix.cpp: the XDG folders; UserFoldersWin32.cpp: the
// application data folders). Read from the environment at every call; any
// thread. "" when the environment names none.
#pragma once

#include <string>

namespace qmb::platform {

// Settings (the port map, the station's token): $XDG_CONFIG_HOME/qmb-edit or
// ~/.config/qmb-edit; %APPDATA%\qmb-edit on Windows.
std::string SettingsFolder();

// Data (the board records): $XDG_DATA_HOME/qmb-edit or
// ~/.local/share/qmb-edit; %LOCALAPPDATA%\qmb-edit on Windows.
std::string DataFolder();

// name inside folder, with this OS's separator.
std::string InFolder(const std::string& folder, const std::string& name);

}  // namespace qmb::platform
