// The backup file: a device's sections as readable, diffable text.
//
//     # qmb-edit backup: ...
//     qmb-backup 1
//     tool qmb-cli 1.1.0
//     time 2026-12-09T10:15:00Z
//     port /dev/ttyUSB0
//     sections 2
//     absent 1-10,12-255
//
//     section 11
//     address 11 22 33
//     length 8
//     data A0 A1 A2 A3 A4 A5 A6 A7
//     crc32 8F8DCE1D
//
// "absent" lists the sections the device reported with length 0 when the
// backup was made ("none" when there were none); format 1 files, which lack
// the line, still read, with those sections unknown. One "data" line per 16
// bytes. The CRC-32 (IEEE) covers the section number,
// the three address bytes, the length and the bytes, each a byte, in that
// order. The values of tool, time and port hold no control character. Blank lines and lines starting with "#" are ignored; everything else
// must be exactly as above, sections in rising order, each once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/HexBytes.h"

namespace qmb::device {

constexpr int kBackupFormat = 2;

struct BackupSection {
    int number = 0;
    uint8_t address[3] = {0, 0, 0};
    std::vector<uint8_t> bytes;  // length = bytes.size(), 1 to 255
};

struct Backup {
    std::string tool, time, port;
    std::vector<BackupSection> sections;
    bool absentKnown = false;  // false for a format 1 file
    std::vector<int> absent;   // rising; length 0 on the device

    const BackupSection* Find(int number) const;
    bool WasAbsent(int number) const;
};

uint32_t Crc32(const uint8_t* data, size_t size);
uint32_t SectionCrc(const BackupSection& section);

std::string FormatBackup(const Backup& backup);
// False with *error = "line N: what is wrong" on anything malformed, a
// checksum that does not match included; backup is then unchanged.
bool ParseBackup(const std::string& text, Backup& backup, std::string* error);

// A section list: "1-4,11,20-30" (numbers 1 to 255, ranges inclusive, any
// order, repeats merged). Returns the numbers in rising order; false with
// *error on anything else.
bool ParseSectionList(const std::string& text, std::vector<int>& sections, std::string* error);
// The opposite, with ranges: "1-4 6-10 11".
std::string FormatSectionList(const std::vector<int>& sections);

// Where two sections' bytes differ.
struct ByteDifference {
    size_t offset;
    uint8_t expected, actual;
};
std::vector<ByteDifference> CompareBytes(const std::vector<uint8_t>& expected,
                                         const std::vector<uint8_t>& actual);

// Section data from hex text (the window's parse, either case) or raw bytes.
// False with *error (the window's message, then why) on text that is not hex
// pairs or on more than a section can hold (255 bytes).
bool ParseSectionData(const std::string& text, bool binary, std::vector<uint8_t>& bytes,
                      std::string* error);

// Now in UTC to the second ("2026-12-09T10:15:00Z"), or SOURCE_DATE_EPOCH's
// time where that is set (reproducible files). Any thread.
std::string UtcNow();

// A decimal of at most three digits (no sign, no spaces) within low..high.
bool ParseDecimal(const std::string& text, int low, int high, int& value);

}  // namespace qmb::device
