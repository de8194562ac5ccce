#include "bench-win32/BenchText.h"

#include <cstdio>

#include "device/BackupFile.h"
#include "protocol/HexBytes.h"

namespace qmb::benchview {

namespace {

std::string Plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Hex(unsigned long value, int digits) {
    char text[24];  // 16 digits of a 64-bit value at most
    std::snprintf(text, sizeof text, "%0*lX", digits, value);
    return text;
}

std::string SectionList(const std::vector<int>& sections) {
    std::string text;
    for (int s : sections)
        text += (text.empty() ? "" : " ") + std::to_string(s);
    return text;
}

}  // namespace

size_t RowCount(size_t size) {
    return (size + kRowBytes - 1) / kRowBytes;
}

char MarkChar(uint8_t mark) {
    const bool differs = (mark & device::kMarkDiffers) != 0;
    const bool edited = (mark & device::kMarkEdited) != 0;
    if (differs && edited) return '*';
    if (edited) return 'E';
    return differs ? 'D' : '.';
}

std::string HexRowText(const device::Bytes& bytes, const std::vector<uint8_t>& marks, size_t row,
                       HexColumn column) {
    const size_t first = row * kRowBytes;
    if (first >= bytes.size()) return "";
    const size_t count = std::min(kRowBytes, bytes.size() - first);
    std::string text;
    switch (column) {
        case HexColumn::kOffset:
            return Hex(static_cast<unsigned long>(first), 4);
        case HexColumn::kHex:
            return HexPairs(bytes.data() + first, count);
        case HexColumn::kAscii:
            for (size_t i = first; i < first + count; ++i)
                text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
            return text;
        case HexColumn::kMarks:
            for (size_t i = first; i < first + count; ++i)
                text += MarkChar(i < marks.size() ? marks[i] : static_cast<uint8_t>(device::kMarkNone));
            return text;
    }
    return text;
}

std::string SectionCell(const device::SectionRow& row, SectionColumn column) {
    const bool hasBytes = row.length > 0;
    switch (column) {
        case SectionColumn::kNumber:
            return std::to_string(row.number);
        case SectionColumn::kAddress:
            return hasBytes ? HexPairs(row.address, 3) : "";
        case SectionColumn::kLength:
            if (hasBytes) return std::to_string(row.length);
            return row.presence == device::Presence::kAbsent ? "0" : "";
        case SectionColumn::kCrc:
            return hasBytes && row.presence == device::Presence::kPresent ? Hex(row.crc32, 8) : "";
        case SectionColumn::kState:
            return device::SectionStateName(row.state);
    }
    return "";
}

std::string PlanText(const std::vector<device::SectionWrite>& plan) {
    if (plan.empty()) return "Nothing to write: no byte differs from the device.";
    std::string text;
    size_t total = 0;
    for (const device::SectionWrite& w : plan) {
        text += "section " + std::to_string(w.section) + ": " + std::to_string(w.changed) + " of " +
                Plural(w.bytes.size(), "byte changes", "bytes change") + "\r\n";
        total += w.changed;
    }
    return text + Plural(plan.size(), "section", "sections") + ", " +
           Plural(total, "byte", "bytes") + " to write.";
}

std::string WriteOutcomeText(const device::WriteResult& result) {
    std::vector<int> written;
    for (const device::SectionWrite& w : result.written)
        written.push_back(w.section);
    std::string text;
    if (!result.failure.Failed()) {
        text = "Written and verified: " +
               (written.empty() ? std::string("nothing") : "section " + SectionList(written)) + ".";
    } else {
        text = result.failure.message;
        if (result.failure.section != 0 &&
            text.find(std::to_string(result.failure.section)) == std::string::npos) {
            text = "Section " + std::to_string(result.failure.section) + ": " + text;
        }
        if (result.uncertain) text += " The device may or may not hold its new bytes.";
        if (!written.empty()) text += " Written: " + SectionList(written) + ".";
        if (!result.notWritten.empty()) text += " Not sent: " + SectionList(result.notWritten) + ".";
    }
    if (!result.backupPath.empty()) text += " Backup: " + result.backupPath;
    return text;
}

std::string ReadProgressText(const device::ReadProgress& p) {
    if (p.section == 0) return "Read " + std::to_string(p.done) + " of " + std::to_string(p.total);
    return "Reading section " + std::to_string(p.section) + " (" + std::to_string(p.done + 1) +
           " of " + std::to_string(p.total) + ")";
}

std::string WriteProgressText(const device::WriteProgress& p) {
    if (p.section == 0) {
        return p.done == 0 ? "Checking the device and saving the automatic backup"
                           : "Written " + std::to_string(p.done) + " of " + std::to_string(p.total);
    }
    return "Writing section " + std::to_string(p.section) + " (" + std::to_string(p.done + 1) +
           " of " + std::to_string(p.total) + ")";
}

bool ParseRowText(const std::string& text, size_t count, device::Bytes& bytes, std::string* error) {
    device::Bytes parsed;
    std::string why;
    if (!device::ParseSectionData(text, false, parsed, &why)) {
        if (error) *error = why;
        return false;
    }
    if (parsed.size() != count) {
        if (error) {
            *error = "The row holds " + Plural(count, "byte", "bytes") + "; " +
                     Plural(parsed.size(), "byte was", "bytes were") + " typed.";
        }
        return false;
    }
    bytes = std::move(parsed);
    return true;
}

}  // namespace qmb::benchview
