// The patch file: a few byte changes to a device's sections, small enough to
// read, mail and check by eye.
//
//     # qmb-edit patch: ...
//     qmb-patch 1
//     section 11 offset 4 old A4 A5 new 00 01
//     section 12 offset 0 old FF new 10
//
// One change a line: the section (1 to 255), the offset of the first byte
// (decimal, 0 to 254), the bytes the section holds there before ("old") and
// the bytes it holds after ("new"), the same number of each (1 to 16),
// upper- or lower-case pairs separated by single spaces, and offset + count
// at most 255. Changes stand in rising order of section and offset and never
// overlap. Blank lines and lines starting with "#" are ignored; a carriage
// return before a line end is dropped. A patch of no change is valid (the
// two sides were equal).
//
// Everything here is pure: any thread, nothing thrown but std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qmb::device {

constexpr int kPatchFormat = 1;
// Bytes on one line at most: longer runs are split.
constexpr size_t kPatchLineBytes = 16;

struct PatchChange {
    int section = 0;
    size_t offset = 0;
    std::vector<uint8_t> oldBytes, newBytes;  // same size, 1 to kPatchLineBytes
};

struct Patch {
    std::vector<PatchChange> changes;  // rising (section, offset), no overlap
    // Lines of "#" notes written above the changes (e.g. what the patch
    // could not express), without the "# ".
    std::vector<std::string> notes;
};

// The text above, the notes as "# " lines after the header comment.
std::string FormatPatch(const Patch& patch);

// False with *error = "line N: what is wrong" on anything malformed; patch
// is then unchanged. Notes are not read back (comments are ignored).
bool ParsePatch(const std::string& text, Patch& patch, std::string* error);

// The changes that turn `from` into `to`, bytes of one section of equal
// length: runs of differing bytes, split at kPatchLineBytes. Appends to
// patch.changes (callers go through sections in rising order).
void AppendSectionChanges(int section, const std::vector<uint8_t>& from,
                          const std::vector<uint8_t>& to, Patch& patch);

// Every section number the patch touches, rising, each once.
std::vector<int> PatchSections(const Patch& patch);

}  // namespace qmb::device
