// Hex text: a section's bytes as the operator sees and edits them in IDC_HEX.
// Two upper-case digits a byte, a space after each, CR LF instead of the space
// after every 16th byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/HexBytes.h"

namespace qmb {

constexpr size_t kHexParseTextLimit = 16383;  // characters fetched from IDC_HEX

// The conversions themselves (FormatHexText, ParseHexDigits) are in
// protocol/HexBytes.h.

// Worker thread: replaces the text of IDC_HEX with the form of bytes[0, n).
void FormatHexDump(const uint8_t* bytes, size_t n);

// Worker thread: parses the text of IDC_HEX into dest (a SectionBuffer of
// 1024 bytes). Returns the byte count or -1 for bad text.
int ParseHexText(uint8_t* dest);

}  // namespace qmb
