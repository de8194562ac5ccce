// ParsePatch on arbitrary text, then the patch against a device's content:
// nothing crashes or escapes as an exception; a refused text says why and
// leaves the patch it was given as it was; an accepted one holds only sound
// changes, writes back (FormatPatch) and reads again to the same changes;
// where it fits a snapshot, applying it and then its reverse gives the
// snapshot back, and where it does not, the mismatches name its sections.
#include <string>

#include "FuzzSupport.h"
#include "device/Bench.h"

using namespace qmb;
using namespace qmb::device;

namespace {

bool SameChanges(const Patch& a, const Patch& b) {
    if (a.changes.size() != b.changes.size()) return false;
    for (size_t i = 0; i < a.changes.size(); ++i) {
        const PatchChange& x = a.changes[i];
        const PatchChange& y = b.changes[i];
        if (x.section != y.section || x.offset != y.offset || x.oldBytes != y.oldBytes ||
            x.newBytes != y.newBytes)
            return false;
    }
    return true;
}

bool Sound(const Patch& p) {
    for (size_t i = 0; i < p.changes.size(); ++i) {
        const PatchChange& c = p.changes[i];
        if (c.section < 1 || c.section > 255 || c.oldBytes.empty() ||
            c.oldBytes.size() > kPatchLineBytes || c.newBytes.size() != c.oldBytes.size() ||
            c.offset + c.oldBytes.size() > 255)
            return false;
        if (i > 0) {
            const PatchChange& last = p.changes[i - 1];
            if (c.section < last.section ||
                (c.section == last.section && c.offset < last.offset + last.oldBytes.size()))
                return false;
        }
    }
    return true;
}

// Sections 1..16 present (1..16 bytes, byte i of section n is n + i), 17 absent,
// the rest not read.
Snapshot DeviceContent() {
    Snapshot s;
    const uint8_t address[3] = {1, 2, 3};
    for (int n = 1; n <= 16; ++n) {
        Bytes bytes(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i)
            bytes[i] = static_cast<uint8_t>(n + i);
        s.SetPresent(n, address, bytes);
    }
    s.SetAbsent(17);
    return s;
}

Patch Reverse(const Patch& p) {
    Patch r = p;
    for (auto& c : r.changes)
        std::swap(c.oldBytes, c.newBytes);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Patch sentinel;
    sentinel.changes.push_back({11, 4, {0xA4}, {0x00}});
    Patch patch = sentinel;
    std::string error;
    bool accepted = false, escaped = false;
    try {
        accepted = ParsePatch(text, patch, &error);
    } catch (...) {
        escaped = true;
    }
    FUZZ_CHECK(!escaped);
    if (!accepted) {
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(SameChanges(patch, sentinel));
        return 0;
    }
    FUZZ_CHECK(Sound(patch));
    Patch again;
    FUZZ_CHECK(ParsePatch(FormatPatch(patch), again, &error));
    FUZZ_CHECK(SameChanges(patch, again));

    const Snapshot device = DeviceContent();
    const std::vector<PatchMismatch> mismatches = CheckPatch(patch, device);
    if (!mismatches.empty()) {
        for (const auto& m : mismatches)
            FUZZ_CHECK(!m.text.empty() && m.section >= 1 && m.section <= 255);
        return 0;
    }
    const Snapshot patched = ApplyPatch(patch, device);
    FUZZ_CHECK(CheckPatch(Reverse(patch), patched).empty());
    const Snapshot back = ApplyPatch(Reverse(patch), patched);
    for (int n = 1; n <= 17; ++n)
        FUZZ_CHECK(back.At(n).bytes == device.At(n).bytes);
    return 0;
}
