// The EEPROM image file: the sections' addresses, lengths and EEPROM bytes,
// one text line a section, so a demo keeps its state across runs. Format:
//
//   # comment
//   NUMBER ADDRESS LENGTH DATA
//   11 112233 8 A0A1A2A3A4A5A6A7
//   5 010500 0 -
//
// NUMBER 1 to 255 in decimal, ADDRESS six hex digits, LENGTH 0 to 255 in
// decimal, DATA 2 x LENGTH hex digits ("-" for none). Sections that are not
// listed keep the built-in defaults.
#pragma once

#include <string>

#include "sim/DeviceModel.h"

namespace qmb::sim {

enum class ImageLoad { kLoaded, kMissing, kBad };

// Loads the sections listed in the file into the model (EEPROM and working
// images). kMissing when the file does not exist; kBad (with the line in
// error) when any line is malformed, in which case the model is unchanged.
ImageLoad LoadImage(const std::string& path, DeviceModel& model, std::string& error);

// Writes every section's EEPROM image: to PATH.tmp, flushed to disk, then
// renamed over PATH, so a reader sees the old file or the new one whole.
bool SaveImage(const std::string& path, const DeviceModel& model, std::string& error);

// The file's text for the model (what SaveImage writes).
std::string FormatImage(const DeviceModel& model);

}  // namespace qmb::sim
