#include "link/PortMap.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/AtomicFile.h"
#include "platform/UserFolders.h"
#include "platform/Utf8.h"

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
constexpr size_t kMaxDeviceLength = 4096;

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    const size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool HasControlCharacter(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}
}  // namespace

std::string PortMapEntryProblem(const std::string& name, const std::string& device) {
    if (!IsComName(name)) return "\"" + name + "\" is no port name: expected COM1 to COM255";
    if (device.empty()) return name + ": no device named";
    if (device.size() > kMaxDeviceLength) return name + ": the device name is too long";
    if (!IsValidUtf8(device)) return name + ": the device name is not valid UTF-8";
    if (HasControlCharacter(device))
        return name + ": the device name holds a control character (line break, tab, ...)";
    if (Trim(device) != device) return name + ": the device name starts or ends with a space";
    return "";
}

bool ParsePortMap(const std::string& text, PortMap& map, std::string* error) {
    // Read whole into a map of its own: a refused text changes nothing.
    PortMap read;
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
        const std::string problem = PortMapEntryProblem(name, device);
        if (!problem.empty()) {
            if (error) *error = "line " + std::to_string(number) + ": " + problem;
            return false;
        }
        read[name] = device;
    }
    map = std::move(read);
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
    if (path.empty() || !std::filesystem::exists(PathFromUtf8(path), ec)) return true;
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
    // An entry that would not read back would break the whole map.
    for (const auto& [name, device] : map) {
        const std::string problem = PortMapEntryProblem(name, device);
        if (!problem.empty()) {
            if (error) *error = path + ": " + problem;
            return false;
        }
    }
    return WriteFileAtomically(path, FormatPortMap(map), true, error);
}

PortMapping MapComName(const std::string& comName, const PortMap* map) {
    if (!IsComName(comName)) return {"", MappingSource::kNone, ""};
    if (comName.size() == 4 && comName[3] <= '4') {  // QMB_COM1 to QMB_COM4
        const std::string variable = "QMB_" + comName;
        const std::string overridden = EnvironmentValue(variable.c_str());
        if (!overridden.empty()) return {overridden, MappingSource::kVariable, variable};
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
