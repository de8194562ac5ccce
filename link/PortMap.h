// The port map: which device a port name ("COM1" ... "COM255") opens, kept
// per user so that COM1 can point at a USB adapter once and for all. Read by
// the windows and the command-line tool alike; written by `qmb-cli ports
// --map`. The environment variables QMB_COM1 to QMB_COM4, where set, win
// over it.
//
// File: one "COMn = DEVICE" line a name, "#" comments, in the platform's
// place for settings (PortMapPath). Saving writes a temporary file and
// renames it over the old one, so the map is always whole.
#pragma once

#include <map>
#include <string>

namespace qmb {

using PortMap = std::map<std::string, std::string>;  // "COM1" -> "/dev/ttyUSB0"

// The map file: $XDG_CONFIG_HOME/qmb-edit/ports.conf (else
// ~/.config/qmb-edit/ports.conf) on POSIX systems, %APPDATA%\qmb-edit\ports.conf
// on Windows (platform::SettingsFolder). Empty when neither place is known.
std::string PortMapPath();

// True for "COM1" to "COM255" (upper case, no leading zeros).
bool IsComName(const std::string& name);

// Why "name = device" cannot be an entry of the map, "" when it can: name
// must be a COM name; device must be UTF-8 text of at most 4096 bytes,
// with no control character and no space at either end (it would not read
// back as it was written).
std::string PortMapEntryProblem(const std::string& name, const std::string& device);

// Parses map text. False with *error ("line N: ...") on a malformed line or
// entry, map then unchanged.
bool ParsePortMap(const std::string& text, PortMap& map, std::string* error);
std::string FormatPortMap(const PortMap& map);

// Loads the map file; a missing file is an empty map. False with *error
// when it exists but cannot be read or is malformed.
bool LoadPortMap(const std::string& path, PortMap& map, std::string* error);
// Writes the map file whole (temporary file, then rename), creating its
// folder. False with *error when that fails or an entry has a problem
// (PortMapEntryProblem); the old file then stands.
bool SavePortMap(const std::string& path, const PortMap& map, std::string* error);

// Where a COM name's device comes from.
enum class MappingSource { kNone, kVariable, kPortMap };

struct PortMapping {
    std::string device;    // "" with kNone: the backend's own default applies
    MappingSource source;
    std::string variable;  // "QMB_COM2" with kVariable
};

// What a COM name maps to: QMB_COMn (n = 1 to 4) when set and not empty, else
// the entry of map (the map file's when map is null), else nothing.
PortMapping MapComName(const std::string& comName, const PortMap* map = nullptr);

// MapComName's device alone.
std::string MappedDevice(const std::string& comName);

}  // namespace qmb
