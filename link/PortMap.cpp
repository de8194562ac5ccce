#include "link/PortMap.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/AtomicFile.h"
#include "platform/UserFolders.h"

namespace qmb {

bool IsComName(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0) return false;
    if (name[3] == '0') return false;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
    }
    return std::atoi(name.c_str() + 3) <= 255;
}

std::string PortMapPath() {
    const std::string folder = platform::SettingsFolder();
    return folder.empty() ? "" : platform::InFolder(folder, "ports.conf");
}

namespace {
std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    const size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}
}  // namespace

bool ParsePortMap(const std::string& text, PortMap& map, std::string* error) {
    map.clear();
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        const std::string name = Trim(line.substr(0, eq));
        const std::string device = eq == std::string::npos ? "" : Trim(line.substr(eq + 1));
        if (eq == std::string::npos || !IsComName(name) || device.empty()) {
            if (error) *error = "line " + std::to_string(number) + ": expected \"COMn = DEVICE\"";
            return false;
        }
        map[name] = device;
    }
    return true;
}

std::string FormatPortMap(const PortMap& map) {
    std::string text = "# qmb-edit port map: COMn = the device it opens (qmb-cli ports --map)\n";
    for (const auto& [name, device] : map)
        text += name + " = " + device + "\n";
    return text;
}

bool LoadPortMap(const std::string& path, PortMap& map, std::string* error) {
    map.clear();
    std::error_code ec;
    if (path.empty() || !std::filesystem::exists(path, ec)) return true;
    std::string text;
    if (!ReadWholeFile(path, text, error)) return false;
    std::string why;
    if (!ParsePortMap(text, map, &why)) {
        if (error) *error = path + ": " + why;
        return false;
    }
    return true;
}

bool SavePortMap(const std::string& path, const PortMap& map, std::string* error) {
    if (path.empty()) {
        if (error) *error = "no place for settings is known (HOME / APPDATA unset)";
        return false;
    }
    return WriteFileAtomically(path, FormatPortMap(map), true, error);
}

PortMapping MapComName(const std::string& comName, const PortMap* map) {
    if (!IsComName(comName)) return {"", MappingSource::kNone, ""};
    if (comName.size() == 4 && comName[3] <= '4') {  // QMB_COM1 to QMB_COM4
        const std::string variable = "QMB_" + comName;
        const char* overridden = std::getenv(variable.c_str());
        if (overridden && *overridden) return {overridden, MappingSource::kVariable, variable};
    }
    PortMap fromFile;
    if (!map) {
        if (!LoadPortMap(PortMapPath(), fromFile, nullptr))
            return {"", MappingSource::kNone, ""};  // a broken map maps nothing
        map = &fromFile;
    }
    const auto it = map->find(comName);
    if (it == map->end()) return {"", MappingSource::kNone, ""};
    return {it->second, MappingSource::kPortMap, ""};
}

std::string MappedDevice(const std::string& comName) {
    return MapComName(comName).device;
}

}  // namespace qmb
