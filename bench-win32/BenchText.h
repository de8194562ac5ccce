// What qmb-device.exe's lists and boxes say, as text: portable, so the rules
// are tested on any host. The window (BenchWindow.cpp) only places it.
//
// Threads: pure functions, any thread; nothing thrown but std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/Bench.h"

namespace qmb::benchview {

constexpr size_t kRowBytes = 16;

// Hex rows of a section of size bytes (0 for none).
size_t RowCount(size_t size);

// Columns of a hex row.
enum class HexColumn { kOffset, kHex, kAscii, kMarks };

// The text of one column of row `row` of bytes, with the marks of those
// bytes (one device::ByteMark a byte, as Bench::Marks gives them): the
// offset ("0010"), the bytes ("A0 A1 ..."), the printable ASCII ('.' for the
// rest) or the marks, one character a byte (MarkChar). A row past the end
// is "".
std::string HexRowText(const device::Bytes& bytes, const std::vector<uint8_t>& marks, size_t row,
                       HexColumn column);
// '.' for no mark, 'D' differs from the reference, 'E' edited and not yet
// written, '*' both.
char MarkChar(uint8_t mark);

// Columns of the section table.
enum class SectionColumn { kNumber, kAddress, kLength, kCrc, kState };
// "11", "11 22 33", "8", "8F8DCE1D", "same"; a section with no bytes has
// "" for address, length and CRC-32 unless it is absent (length "0").
std::string SectionCell(const device::SectionRow& row, SectionColumn column);

// The confirmation of a write: one line a planned section ("section 11:
// 2 of 8 bytes change") and a total line ("2 sections, 3 bytes"). An empty
// plan says "Nothing to write: no byte differs from the device."
std::string PlanText(const std::vector<device::SectionWrite>& plan);

// What a finished write says in the status line: the sections written, the
// failure naming its section and what was not sent, and where the automatic
// backup went.
std::string WriteOutcomeText(const device::WriteResult& result);

// The progress line of a read-all ("Reading section 12 (11 of 255)") and of
// a write ("Writing section 11 (1 of 2)", "Saving the automatic backup").
std::string ReadProgressText(const device::ReadProgress& progress);
std::string WriteProgressText(const device::WriteProgress& progress);

// The bytes of a hex row the operator typed, by qmb-edit's hex text rules,
// which must be exactly `count` bytes (a row is never shortened or
// lengthened). False with *error (one line) otherwise.
bool ParseRowText(const std::string& text, size_t count, device::Bytes& bytes, std::string* error);

}  // namespace qmb::benchview
