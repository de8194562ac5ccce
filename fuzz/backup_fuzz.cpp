// ParseBackup on arbitrary text (either format version): nothing crashes or
// escapes as an exception; a refused text says why and leaves the backup it
// was given as it was; an accepted one writes back (FormatBackup) and reads
// again to the same content.
#include <string>

#include "FuzzSupport.h"
#include "device/BackupFile.h"

using namespace qmb;
using namespace qmb::device;

namespace {

bool SameSections(const Backup& a, const Backup& b) {
    if (a.sections.size() != b.sections.size()) return false;
    for (size_t i = 0; i < a.sections.size(); ++i) {
        const BackupSection& x = a.sections[i];
        const BackupSection& y = b.sections[i];
        if (x.number != y.number || x.bytes != y.bytes || x.address[0] != y.address[0] ||
            x.address[1] != y.address[1] || x.address[2] != y.address[2])
            return false;
    }
    return true;
}

bool SameContent(const Backup& a, const Backup& b) {
    return a.tool == b.tool && a.time == b.time && a.port == b.port && a.absent == b.absent &&
           SameSections(a, b);
}

Backup Sentinel() {
    Backup b;
    b.tool = "sentinel";
    b.time = "2026-12-09T10:15:00Z";
    b.port = "COM9";
    b.absentKnown = true;
    b.absent = {1, 2};
    BackupSection s;
    s.number = 11;
    s.address[0] = 0x11;
    s.bytes = {0xA0, 0xA1};
    b.sections.push_back(s);
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const Backup sentinel = Sentinel();
    Backup backup = sentinel;
    std::string error;
    bool accepted = false, escaped = false;
    try {
        accepted = ParseBackup(text, backup, &error);
    } catch (...) {
        escaped = true;
    }
    FUZZ_CHECK(!escaped);
    if (!accepted) {
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(SameContent(backup, sentinel) && backup.absentKnown == sentinel.absentKnown);
        return 0;
    }
    for (const auto& s : backup.sections)
        FUZZ_CHECK(!s.bytes.empty() && s.bytes.size() <= 255 && s.number >= 1 && s.number <= 255);
    Backup again;
    std::string againError;
    FUZZ_CHECK(ParseBackup(FormatBackup(backup), again, &againError));
    FUZZ_CHECK(SameContent(backup, again));
    FUZZ_CHECK(again.absentKnown);
    return 0;
}
