#include "device/BackupFile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <sstream>

#include "protocol/Messages.h"

namespace qmb::device {

const BackupSection* Backup::Find(int number) const {
    for (const auto& s : sections) {
        if (s.number == number) return &s;
    }
    return nullptr;
}

bool Backup::WasAbsent(int number) const {
    return std::binary_search(absent.begin(), absent.end(), number);
}

namespace {
// A section list as ParseSectionList reads it back: "1-10,12".
std::string JoinRanges(const std::vector<int>& sections) {
    std::string text = FormatSectionList(sections);
    std::replace(text.begin(), text.end(), ' ', ',');
    return text;
}
}  // namespace

uint32_t Crc32(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

uint32_t SectionCrc(const BackupSection& s) {
    std::vector<uint8_t> covered = {static_cast<uint8_t>(s.number), s.address[0], s.address[1],
                                    s.address[2], static_cast<uint8_t>(s.bytes.size())};
    covered.insert(covered.end(), s.bytes.begin(), s.bytes.end());
    return Crc32(covered.data(), covered.size());
}

std::string FormatBackup(const Backup& b) {
    std::ostringstream out;
    out << "# qmb-edit backup: every section's address, length and bytes, and a CRC-32\n"
        << "# of number, address, length and bytes. Restore it with: qmb-cli restore FILE\n"
        << "qmb-backup " << kBackupFormat << "\n"
        << "tool " << b.tool << "\n"
        << "time " << b.time << "\n"
        << "port " << b.port << "\n"
        << "sections " << b.sections.size() << "\n"
        << "absent " << (b.absent.empty() ? std::string("none") : JoinRanges(b.absent)) << "\n";
    for (const auto& s : b.sections) {
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08X", static_cast<unsigned>(SectionCrc(s)));
        out << "\nsection " << s.number << "\n"
            << "address " << HexPairs(s.address, 3) << "\n"
            << "length " << s.bytes.size() << "\n";
        for (size_t at = 0; at < s.bytes.size(); at += 16)
            out << "data " << HexPairs(&s.bytes[at], std::min<size_t>(16, s.bytes.size() - at))
                << "\n";
        out << "crc32 " << crc << "\n";
    }
    return out.str();
}

std::string UtcNow() {
    std::time_t now = std::time(nullptr);
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) now = std::strtoll(epoch, nullptr, 10);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool ParseDecimal(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoi(text);
    return value >= low && value <= high;
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "A0 A1 A2": upper-case pairs, single spaces. Appends to out.
bool ParsePairs(const std::string& text, std::vector<uint8_t>& out) {
    if (text.empty() || (text.size() + 1) % 3 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 3) {
        const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0 || (i + 2 < text.size() && text[i + 2] != ' ')) return false;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

class Reader {
  public:
    explicit Reader(const std::string& text) : in_(text) {}
    // The next line that is not blank or a comment; false at the end.
    bool Next(std::string& line) {
        while (std::getline(in_, line)) {
            ++number_;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty() && line[0] != '#') return true;
        }
        line.clear();
        return false;
    }
    // The next line must be "key value"; value gets the rest.
    bool Expect(const std::string& key, std::string& value) {
        std::string line;
        if (!Next(line) || line.compare(0, key.size() + 1, key + " ") != 0) return false;
        value = line.substr(key.size() + 1);
        return true;
    }
    int Number() const { return number_; }

  private:
    std::istringstream in_;
    int number_ = 0;
};

bool Fail(std::string* error, const Reader& r, const std::string& what) {
    if (error) *error = "line " + std::to_string(r.Number()) + ": " + what;
    return false;
}

// "key value" of the header, the value one line of text: a control
// character (a carriage return at its end included) would not read back as
// it was written.
bool ExpectText(Reader& r, const std::string& key, std::string& value) {
    if (!r.Expect(key, value)) return false;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return false;
    }
    return true;
}

bool ParseBackupInto(const std::string& text, Backup& b, std::string* error);

}  // namespace

bool ParseBackup(const std::string& text, Backup& backup, std::string* error) {
    // Read into a backup of its own: a refused file changes nothing.
    Backup read;
    if (!ParseBackupInto(text, read, error)) return false;
    backup = std::move(read);
    return true;
}

namespace {
bool ParseBackupInto(const std::string& text, Backup& b, std::string* error) {
    Reader r(text);
    std::string value;
    if (!r.Expect("qmb-backup", value)) return Fail(error, r, "not a qmb-edit backup file");
    if (value != "1" && value != std::to_string(kBackupFormat))
        return Fail(error, r, "backup format " + value + " is not known to this tool");
    b.absentKnown = value != "1";
    int count = 0;
    if (!ExpectText(r, "tool", b.tool)) return Fail(error, r, "expected \"tool ...\" (one line of text)");
    if (!ExpectText(r, "time", b.time)) return Fail(error, r, "expected \"time ...\" (one line of text)");
    if (!ExpectText(r, "port", b.port)) return Fail(error, r, "expected \"port ...\" (one line of text)");
    if (!r.Expect("sections", value) || !ParseDecimal(value, 0, 255, count))
        return Fail(error, r, "expected \"sections N\" (0 to 255)");
    if (b.absentKnown) {
        std::string listError;
        if (!r.Expect("absent", value) ||
            (value != "none" && !ParseSectionList(value, b.absent, &listError)))
            return Fail(error, r, "expected \"absent\" with a section list or \"none\"");
    }
    std::string line;
    while (r.Next(line)) {
        BackupSection s;
        if (line.compare(0, 8, "section ") != 0 || !ParseDecimal(line.substr(8), 1, 255, s.number))
            return Fail(error, r, "expected \"section N\" (1 to 255)");
        if (!b.sections.empty() && s.number <= b.sections.back().number)
            return Fail(error, r, "section " + std::to_string(s.number) + " out of order or twice");
        if (b.WasAbsent(s.number))
            return Fail(error, r, "section " + std::to_string(s.number) + " is listed as absent too");
        std::vector<uint8_t> address;
        if (!r.Expect("address", value) || !ParsePairs(value, address) || address.size() != 3)
            return Fail(error, r, "expected \"address XX XX XX\"");
        std::copy(address.begin(), address.end(), s.address);
        int length = 0;
        if (!r.Expect("length", value) || !ParseDecimal(value, 1, 255, length))
            return Fail(error, r, "expected \"length N\" (1 to 255)");
        while (static_cast<int>(s.bytes.size()) < length) {
            const size_t before = s.bytes.size();
            if (!r.Expect("data", value) || !ParsePairs(value, s.bytes) ||
                s.bytes.size() - before != std::min<size_t>(16, length - before))
                return Fail(error, r, "expected \"data\" with the next " +
                                          std::to_string(std::min<size_t>(16, length - before)) +
                                          " bytes of section " + std::to_string(s.number));
        }
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08X", static_cast<unsigned>(SectionCrc(s)));
        if (!r.Expect("crc32", value)) return Fail(error, r, "expected \"crc32 XXXXXXXX\"");
        if (value != crc)
            return Fail(error, r, "section " + std::to_string(s.number) +
                                      " fails its checksum (file damaged or edited)");
        b.sections.push_back(std::move(s));
    }
    if (static_cast<int>(b.sections.size()) != count)
        return Fail(error, r, "the header says " + std::to_string(count) + " sections, the file holds " +
                                  std::to_string(b.sections.size()) + " (cut short?)");
    return true;
}
}  // namespace

bool ParseSectionList(const std::string& text, std::vector<int>& sections, std::string* error) {
    std::set<int> chosen;
    std::istringstream in(text);
    std::string item;
    bool any = false;
    while (std::getline(in, item, ',')) {
        any = true;
        const size_t dash = item.find('-');
        int first = 0, last = 0;
        const bool ok = dash == std::string::npos
                            ? ParseDecimal(item, 1, 255, first) && (last = first, true)
                            : ParseDecimal(item.substr(0, dash), 1, 255, first) &&
                                  ParseDecimal(item.substr(dash + 1), 1, 255, last) && first <= last;
        if (!ok) {
            if (error)
                *error = "bad section list \"" + text + "\" at \"" + item +
                         "\": expected numbers 1..255 and ranges like 1-4,11";
            return false;
        }
        for (int n = first; n <= last; ++n)
            chosen.insert(n);
    }
    if (!any || text.back() == ',') {
        if (error) *error = "bad section list \"" + text + "\": expected e.g. 1-4,11";
        return false;
    }
    sections.assign(chosen.begin(), chosen.end());
    return true;
}

std::string FormatSectionList(const std::vector<int>& sections) {
    std::string text;
    for (size_t i = 0; i < sections.size();) {
        size_t j = i;
        while (j + 1 < sections.size() && sections[j + 1] == sections[j] + 1)
            ++j;
        if (!text.empty()) text += ' ';
        text += std::to_string(sections[i]);
        if (j > i) text += "-" + std::to_string(sections[j]);
        i = j + 1;
    }
    return text.empty() ? "none" : text;
}

std::vector<ByteDifference> CompareBytes(const std::vector<uint8_t>& expected,
                                         const std::vector<uint8_t>& actual) {
    std::vector<ByteDifference> diffs;
    const size_t n = std::min(expected.size(), actual.size());
    for (size_t i = 0; i < n; ++i) {
        if (expected[i] != actual[i]) diffs.push_back({i, expected[i], actual[i]});
    }
    return diffs;
}

namespace {
constexpr size_t kMaxSectionLength = 255;
constexpr size_t kParseBufferSize = 1024;  // the window's SectionBuffer

bool TooLong(size_t count, std::string* error) {
    if (error)
        *error = std::string(kMsgDataSize) + ": " + std::to_string(count) +
                 " bytes, no section holds more than 255";
    return false;
}
}  // namespace

bool ParseSectionData(const std::string& text, bool binary, std::vector<uint8_t>& bytes,
                      std::string* error) {
    if (binary) {
        if (text.size() > kMaxSectionLength) return TooLong(text.size(), error);
        bytes.assign(text.begin(), text.end());
        return true;
    }
    uint8_t buffer[kParseBufferSize] = {};
    const int count =
        ParseHexDigits(text.data(), text.size(), buffer, sizeof buffer, HexCase::kEither);
    if (count < 0) {
        if (error)
            *error = std::string(kMsgWrongData) +
                     ": hex text must hold pairs of digits 0-9, A-F, separated by white space";
        return false;
    }
    if (static_cast<size_t>(count) > kMaxSectionLength)
        return TooLong(static_cast<size_t>(count), error);
    bytes.assign(buffer, buffer + count);
    return true;
}

}  // namespace qmb::device
