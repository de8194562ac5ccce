#include "production/Recipe.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

#include "device/BackupFile.h"
#include "platform/Sha256.h"
#include "platform/Utf8.h"

namespace qmb::production {

namespace {
constexpr size_t kMaxFileBytes = 4 << 20;  // far above the largest backup of 255 full sections

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    const size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

// The line without its comment: from a `#` at its start or after a blank.
std::string WithoutComment(const std::string& line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
            return line.substr(0, i);
    }
    return line;
}

bool ParseInt(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 9) return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < low || v > high) return false;
    value = v;
    return true;
}

bool IsPlainText(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return false;
    }
    return IsValidUtf8(text);
}

bool IsPoolName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (unsigned char c : name) {
        if (!std::isalnum(c) && c != '-' && c != '_' && c != '.') return false;
    }
    return true;
}

// "POOL at SECTION:OFFSET LAYOUT"; "" or why not.
std::string ParseField(const std::string& value, SerialField& field) {
    std::istringstream in(value);
    std::string pool, at, place, layout, extra;
    in >> pool >> at >> place >> layout;
    if (layout.empty() || at != "at" || (in >> extra))
        return "serial: POOL at SECTION:OFFSET LAYOUT expected (e.g. sn at 2:0 u32be)";
    if (!IsPoolName(pool)) return "serial: pool name of 1 to 64 letters, digits, '-', '_' or '.' expected";
    const size_t colon = place.find(':');
    SerialField f;
    f.pool = pool;
    if (colon == std::string::npos || !ParseInt(place.substr(0, colon), 1, 255, f.section) ||
        !ParseInt(place.substr(colon + 1), 0, 254, f.offset))
        return "serial: SECTION:OFFSET expected (section 1 to 255, offset 0 to 254)";
    std::string why;
    if (!ParseSerialFormat(layout, f.format, &why)) return "serial: " + why;
    field = f;
    return "";
}

std::string ReadWhole(const std::string& path, std::string& text) {
    std::FILE* f = OpenFile(path, "rb");
    if (!f) return "cannot read " + path + ": " + std::strerror(errno);
    std::string out;
    char buffer[65536];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        out.append(buffer, n);
        if (out.size() > kMaxFileBytes) {
            std::fclose(f);
            return path + " is larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB";
        }
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) return "cannot read " + path;
    text = std::move(out);
    return "";
}

std::string Relative(const std::string& folder, const std::string& name) {
    const std::filesystem::path p = PathFromUtf8(name);
    return p.is_absolute() || folder.empty() ? name : Utf8FromPath(PathFromUtf8(folder) / p);
}

void AppendFramed(std::string& out, const char* role, const std::string& bytes) {
    out += role;
    out += ' ';
    out += std::to_string(bytes.size());
    out += '\n';
    out += bytes;
    out += '\n';
}
}  // namespace

std::string SerialField::Describe() const {
    return pool + " at " + std::to_string(section) + ":" + std::to_string(offset) + " " +
           format.Name();
}

Recipe ParseRecipe(const std::string& text, const std::string& name) {
    Recipe r;
    std::set<std::string> seen;
    std::istringstream in(text);
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        auto fail = [&](const std::string& why) {
            throw RecipeError(name + ":" + std::to_string(n) + ": " + why);
        };
        if (!IsValidUtf8(line)) fail("not UTF-8 text (save the recipe as UTF-8)");
        line = Trim(WithoutComment(line));
        if (line.empty()) continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) fail("key = value expected");
        const std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        if (key != "serial" && !seen.insert(key).second) fail(key + " is given twice");
        if (value.empty()) fail(key + ": value missing");
        if (!IsPlainText(value)) fail(key + ": control character in the value");
        if (key == "product") {
            if (value.size() > 64) fail("product: at most 64 characters");
            r.product = value;
        } else if (key == "image") {
            r.image = value;
        } else if (key == "sections") {
            std::string why;
            if (!device::ParseSectionList(value, r.sections, &why)) fail("sections: " + why);
        } else if (key == "section") {
            if (!ParseInt(value, 1, 255, r.section)) fail("section: 1 to 255 expected");
        } else if (key == "data") {
            r.data = value;
        } else if (key == "format") {
            if (value != "hex" && value != "bin") fail("format: hex or bin expected");
            r.format = value;
        } else if (key == "serial") {
            SerialField f;
            const std::string why = ParseField(value, f);
            if (!why.empty()) fail(why);
            r.serials.push_back(f);
        } else if (key == "keep-existing") {
            if (value == "yes") {
                r.keepExisting = true;
            } else if (value != "no") {
                fail("keep-existing: yes or no expected");
            }
        } else if (key == "lease") {
            if (!ParseInt(value, 0, 100000, r.lease)) fail("lease: 0 to 100000 expected");
        } else if (key == "dut-id-section") {
            if (!ParseInt(value, 1, 255, r.dutIdSection)) fail("dut-id-section: 1 to 255 expected");
        } else if (key == "lockout") {
            if (!ParseInt(value, 1, 1000, r.lockout)) fail("lockout: 1 to 1000 expected");
        } else {
            fail("unknown key: " + key.substr(0, 40));
        }
    }
    auto fail = [&](const std::string& why) { throw RecipeError(name + ": " + why); };
    if (r.product.empty()) fail("no product: give product = NAME");
    const bool oneSection = r.section != 0 || !r.data.empty();
    if (!r.image.empty() && oneSection)
        fail("image and section/data both given: a recipe has one or the other");
    if (r.image.empty() && !oneSection)
        fail("no image: give image = BACKUP-FILE, or section = N and data = FILE");
    if (oneSection && (r.section == 0 || r.data.empty()))
        fail("the one-section form needs both section = N and data = FILE");
    if (!r.sections.empty() && r.image.empty()) fail("sections: only with image = BACKUP-FILE");
    if (seen.count("format") && r.image.size()) fail("format: only with data = FILE");
    return r;
}

std::string CheckRecipe(const Recipe& r, const std::vector<ImageSection>& image) {
    if (image.empty()) return "the image holds no section to write";
    auto find = [&](int number) -> const ImageSection* {
        for (const auto& s : image) {
            if (s.number == number) return &s;
        }
        return nullptr;
    };
    std::set<std::string> pools;
    for (size_t i = 0; i < r.serials.size(); ++i) {
        const SerialField& f = r.serials[i];
        const ImageSection* s = find(f.section);
        if (!s) return "serial " + f.Describe() + ": section " + std::to_string(f.section) +
                       " is not written by this recipe";
        if (static_cast<size_t>(f.offset) + static_cast<size_t>(f.format.size) > s->bytes.size())
            return "serial " + f.Describe() + ": bytes " + std::to_string(f.offset) + " to " +
                   std::to_string(f.offset + f.format.size - 1) + " lie outside section " +
                   std::to_string(f.section) + " (" + std::to_string(s->bytes.size()) + " bytes)";
        if (!pools.insert(f.pool).second)
            return "serial " + f.Describe() + ": pool " + f.pool + " is named by two fields";
        for (size_t j = 0; j < i; ++j) {
            const SerialField& g = r.serials[j];
            if (g.section == f.section && f.offset < g.offset + g.format.size &&
                g.offset < f.offset + f.format.size)
                return "serial " + f.Describe() + " overlaps serial " + g.Describe();
        }
    }
    return "";
}

std::string RecipeIdentity(const std::string& recipeText, const std::vector<std::string>& files) {
    // Each part framed with its length, so that no two different sets of
    // files give one text to hash.
    std::string all = "qmb-recipe 1\n";
    AppendFramed(all, "recipe", recipeText);
    for (const auto& f : files)
        AppendFramed(all, "file", f);
    return platform::Sha256Hex(all);
}

LoadedRecipe LoadRecipe(const std::string& path) {
    std::string text;
    std::string why = ReadWhole(path, text);
    if (!why.empty()) throw RecipeError(why, true);
    LoadedRecipe out;
    out.path = path;
    out.recipe = ParseRecipe(text, path);
    const Recipe& r = out.recipe;
    const std::string folder = Utf8FromPath(PathFromUtf8(path).parent_path());
    std::string content;
    if (!r.image.empty()) {
        const std::string file = Relative(folder, r.image);
        why = ReadWhole(file, content);
        if (!why.empty()) throw RecipeError(path + ": image: " + why, true);
        device::Backup backup;
        if (!device::ParseBackup(content, backup, &why))
            throw RecipeError(path + ": image " + file + ": " + why);
        for (int number : r.sections) {
            if (!backup.Find(number))
                throw RecipeError(path + ": sections: section " + std::to_string(number) +
                                  " is not in the image " + file);
        }
        for (const auto& s : backup.sections) {
            if (r.sections.empty() ||
                std::binary_search(r.sections.begin(), r.sections.end(), s.number))
                out.image.push_back({s.number, s.bytes});
        }
    } else {
        const std::string file = Relative(folder, r.data);
        why = ReadWhole(file, content);
        if (!why.empty()) throw RecipeError(path + ": data: " + why, true);
        std::vector<uint8_t> bytes;
        if (!device::ParseSectionData(content, r.format == "bin", bytes, &why))
            throw RecipeError(path + ": data " + file + ": " + why);
        out.image.push_back({r.section, bytes});
    }
    why = CheckRecipe(r, out.image);
    if (!why.empty()) throw RecipeError(path + ": " + why);
    out.identity = RecipeIdentity(text, {content});
    std::string all;
    for (const auto& s : out.image)
        all.append(s.bytes.begin(), s.bytes.end());
    out.imageLength = static_cast<int64_t>(all.size());
    out.imageSha256 = platform::Sha256Hex(all);
    return out;
}

std::vector<ImageSection> PatchImage(const std::vector<ImageSection>& image,
                                     const std::vector<SerialField>& fields,
                                     const std::vector<std::vector<uint8_t>>& values) {
    std::vector<ImageSection> out = image;
    for (size_t i = 0; i < fields.size() && i < values.size(); ++i) {
        for (auto& s : out) {
            if (s.number != fields[i].section) continue;
            const size_t at = static_cast<size_t>(fields[i].offset);
            if (at + values[i].size() <= s.bytes.size())
                std::copy(values[i].begin(), values[i].end(), s.bytes.begin() + static_cast<long>(at));
        }
    }
    return out;
}

}  // namespace qmb::production
