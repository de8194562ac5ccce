#include "station/StationConfig.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

#include "platform/Utf8.h"

namespace qmb::station {

namespace {
std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    const size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

bool ParseInt(const std::string& text, int min, int max, int& value) {
    int64_t v = 0;
    if (!ParseNumber(text, min, max, v)) return false;
    value = static_cast<int>(v);
    return true;
}

bool ParseBool(const std::string& text, bool& value) {
    if (text == "yes" || text == "true" || text == "on" || text == "1") {
        value = true;
    } else if (text == "no" || text == "false" || text == "off" || text == "0") {
        value = false;
    } else {
        return false;
    }
    return true;
}
}  // namespace

bool IsSlotName(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F || c == '/') return false;
    }
    return true;
}

bool ParseListen(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string h = text.substr(0, colon);
    if (h.front() == '[') {
        if (h.back() != ']' || h.size() < 3) return false;
        h = h.substr(1, h.size() - 2);
    }
    int p = 0;
    if (!ParseInt(text.substr(colon + 1), 0, 65535, p)) return false;
    host = h;
    port = p;
    return true;
}

bool ParseSlotOption(const std::string& text, SlotConfig& slot) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos) return false;
    slot.name = Trim(text.substr(0, eq));
    slot.port = Trim(text.substr(eq + 1));
    return IsSlotName(slot.name) && !slot.port.empty();
}

void ReadConfigFile(const std::string& path, StationConfig& c) {
    // Paths are UTF-8, opened by their wide names on Windows.
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    ReadConfigText(in, path, Utf8FromPath(PathFromUtf8(path).parent_path()), c);
}

namespace {
// The line without its comment: from a `#` at its start or after a blank.
std::string WithoutComment(const std::string& line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
            return line.substr(0, i);
    }
    return line;
}
}  // namespace

void ReadConfigText(std::istream& in, const std::string& name, const std::string& folder,
                    StationConfig& config) {
    // Read into a copy: a refused file leaves the settings as they were.
    StationConfig c = config;
    const std::filesystem::path dir = PathFromUtf8(folder);
    auto local = [&](const std::string& p) {
        const std::filesystem::path f = PathFromUtf8(p);
        return f.is_absolute() || dir.empty() ? p : Utf8FromPath(dir / f);
    };
    std::string line;
    std::vector<SlotConfig> slots;
    for (int n = 1; std::getline(in, line); ++n) {
        auto fail = [&](const std::string& why) {
            throw std::runtime_error(name + ":" + std::to_string(n) + ": " + why);
        };
        if (!IsValidUtf8(line)) fail("not UTF-8 text (save the file as UTF-8)");
        line = Trim(WithoutComment(line));
        if (line.empty()) continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) fail("key = value expected");
        const std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        if (key.rfind("slot ", 0) == 0 || key.rfind("slot\t", 0) == 0) {
            SlotConfig s{Trim(key.substr(5)), value};
            if (!IsSlotName(s.name)) fail("bad slot name (1 to 32 characters, no '/')");
            if (s.port.empty()) fail("slot " + s.name + ": port missing");
            slots.push_back(s);
        } else if (key == "slot") {
            fail("slot NAME = PORT expected");
        } else if (key == "station") {
            c.station = value;
        } else if (key == "section") {
            if (!ParseInt(value, 1, 255, c.section)) fail("section: 1 to 255 expected");
        } else if (key == "image") {
            c.image = local(value);
        } else if (key == "format") {
            c.format = value;
        } else if (key == "recipe") {
            c.recipe = local(value);
        } else if (key == "mode") {
            if (value != "production" && value != "engineering")
                fail("mode: production or engineering expected");
            c.mode = value;
        } else if (key == "db") {
            c.db = value.rfind("sqlite:", 0) == 0 ? "sqlite:" + local(value.substr(7)) : value;
        } else if (key == "listen") {
            c.listen = value;
        } else if (key == "token-file") {
            c.tokenFile = local(value);
        } else if (key == "auth") {
            if (!ParseBool(value, c.auth)) fail("auth: yes or no expected");
        } else if (key == "lockout") {
            if (!ParseInt(value, 1, 1000, c.lockout)) fail("lockout: 1 to 1000 expected");
            c.lockoutSet = true;
        } else if (key == "dut-id-section") {
            if (!ParseInt(value, 1, 255, c.dutIdSection)) fail("dut-id-section: 1 to 255 expected");
        } else if (key == "operator") {
            c.operatorName = value;
        } else if (key == "batch") {
            c.batch = value;
        } else {
            fail(IsSlotName(key) ? "unknown key: " + key : std::string("unknown key"));
        }
    }
    if (!slots.empty()) c.slots = slots;
    config = std::move(c);
}

std::string CheckConfig(const StationConfig& c) {
    if (c.slots.empty()) return "no slot: give --slot NAME=PORT or slot lines in --config";
    if (c.slots.size() > 64) return "at most 64 slots";
    std::set<std::string> names;
    for (const auto& s : c.slots) {
        if (!names.insert(s.name).second) return "slot " + s.name + " is named twice";
    }
    if (!c.recipe.empty()) {
        // The recipe gives the image: a second one would leave which is
        // written to chance.
        if (c.section != 0 || !c.image.empty())
            return "--recipe gives the image: no --section or --image (nor section or image "
                   "in the settings file) with it";
    } else {
        if (c.section < 1 || c.section > 255) return "section: 1 to 255 expected (--section)";
        if (c.image.empty()) return "no image: give --image FILE, or --recipe FILE";
    }
    if (c.mode != "production" && c.mode != "engineering")
        return "mode: production or engineering expected";
    if (c.format != "hex" && c.format != "bin") return "format: hex or bin expected";
    if (c.lockout < 1) return "lockout: at least 1";
    std::string host;
    int port = 0;
    if (!ParseListen(c.listen, host, port)) return "listen: HOST:PORT expected, e.g. 127.0.0.1:8080";
    if (c.station.empty() || c.station.size() > 64) return "station name: 1 to 64 characters";
    return "";
}

bool ParseNumber(const std::string& text, int64_t min, int64_t max, int64_t& value) {
    if (text.empty() || text.size() > 12) return false;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < min || v > max) return false;
    value = v;
    return true;
}

}  // namespace qmb::station
