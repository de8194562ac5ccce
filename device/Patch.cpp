#include "device/Patch.h"

#include <algorithm>
#include <set>
#include <sstream>

#include "device/BackupFile.h"
#include "protocol/HexBytes.h"

namespace qmb::device {

std::string FormatPatch(const Patch& patch) {
    std::ostringstream out;
    out << "# qmb-edit patch: one change a line, the section, the offset of its first byte,\n"
        << "# the bytes there before and after. Apply it with: qmb-cli -p PORT patch FILE\n";
    for (const auto& note : patch.notes)
        out << "# " << note << "\n";
    out << "qmb-patch " << kPatchFormat << "\n";
    for (const auto& c : patch.changes)
        out << "section " << c.section << " offset " << c.offset << " old "
            << HexPairs(c.oldBytes.data(), c.oldBytes.size()) << " new "
            << HexPairs(c.newBytes.data(), c.newBytes.size()) << "\n";
    return out.str();
}

namespace {

int Nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Hex pairs from words[at...] up to the word `stop` (or the end); at moves
// past them. False on a word that is not one pair.
bool TakePairs(const std::vector<std::string>& words, size_t& at, const char* stop,
               std::vector<uint8_t>& out) {
    for (; at < words.size() && words[at] != stop; ++at) {
        const std::string& w = words[at];
        if (w.size() != 2 || Nibble(w[0]) < 0 || Nibble(w[1]) < 0) return false;
        out.push_back(static_cast<uint8_t>(Nibble(w[0]) * 16 + Nibble(w[1])));
    }
    return true;
}

// A line split at single spaces; false on a doubled, leading or trailing
// space or a tab (the form is exact, so that a patch reads one way only).
bool SplitWords(const std::string& line, std::vector<std::string>& words) {
    words.clear();
    std::string word;
    for (const char c : line) {
        if (c == ' ') {
            if (word.empty()) return false;
            words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (word.empty()) return false;
    words.push_back(word);
    return true;
}

const char kChangeForm[] =
    "expected \"section N offset N old XX ... new XX ...\" (1 to 16 bytes each side)";

// One change line into c; "" when sound, else what is wrong.
std::string ParseChange(const std::string& line, PatchChange& c) {
    std::vector<std::string> w;
    if (!SplitWords(line, w) || w.size() < 8 || w[0] != "section" || w[2] != "offset" ||
        w[4] != "old")
        return kChangeForm;
    int section = 0, offset = 0;
    if (!ParseDecimal(w[1], 1, 255, section)) return "section must be 1 to 255";
    if (!ParseDecimal(w[3], 0, 254, offset)) return "offset must be 0 to 254";
    size_t at = 5;
    if (!TakePairs(w, at, "new", c.oldBytes) || at == w.size()) return kChangeForm;
    ++at;
    if (!TakePairs(w, at, "", c.newBytes)) return kChangeForm;
    if (c.oldBytes.empty() || c.oldBytes.size() > kPatchLineBytes ||
        c.newBytes.size() != c.oldBytes.size())
        return "old and new must hold the same number of bytes, 1 to 16";
    if (static_cast<size_t>(offset) + c.oldBytes.size() > 255)
        return "offset " + std::to_string(offset) + " and " + std::to_string(c.oldBytes.size()) +
               " bytes run past the end of any section (255)";
    c.section = section;
    c.offset = static_cast<size_t>(offset);
    return "";
}

bool Fail(std::string* error, int line, const std::string& what) {
    if (error) *error = "line " + std::to_string(line) + ": " + what;
    return false;
}

}  // namespace

bool ParsePatch(const std::string& text, Patch& patch, std::string* error) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    bool header = false;
    Patch read;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (!header) {
            if (line.rfind("qmb-patch ", 0) != 0) return Fail(error, number, "not a qmb-edit patch file");
            if (line != "qmb-patch " + std::to_string(kPatchFormat))
                return Fail(error, number,
                            "patch format " + line.substr(10) + " is not known to this tool");
            header = true;
            continue;
        }
        PatchChange c;
        const std::string wrong = ParseChange(line, c);
        if (!wrong.empty()) return Fail(error, number, wrong);
        if (!read.changes.empty()) {
            const PatchChange& last = read.changes.back();
            if (c.section < last.section ||
                (c.section == last.section && c.offset < last.offset + last.oldBytes.size()))
                return Fail(error, number,
                            "changes must stand in rising order of section and offset, never "
                            "overlapping");
        }
        read.changes.push_back(std::move(c));
    }
    if (!header) return Fail(error, number, "not a qmb-edit patch file (no \"qmb-patch 1\" line)");
    patch = std::move(read);
    return true;
}

void AppendSectionChanges(int section, const std::vector<uint8_t>& from,
                          const std::vector<uint8_t>& to, Patch& patch) {
    const size_t n = std::min(from.size(), to.size());
    for (size_t i = 0; i < n;) {
        if (from[i] == to[i]) {
            ++i;
            continue;
        }
        PatchChange c;
        c.section = section;
        c.offset = i;
        while (i < n && from[i] != to[i] && c.oldBytes.size() < kPatchLineBytes) {
            c.oldBytes.push_back(from[i]);
            c.newBytes.push_back(to[i]);
            ++i;
        }
        patch.changes.push_back(std::move(c));
    }
}

std::vector<int> PatchSections(const Patch& patch) {
    std::set<int> numbers;
    for (const auto& c : patch.changes)
        numbers.insert(c.section);
    return {numbers.begin(), numbers.end()};
}

}  // namespace qmb::device
