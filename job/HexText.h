// Hex text: a section's bytes as the operator sees and edits them in IDC_HEX.
// Two upper-case digits a byte, a space after each, CR LF instead of the space
// after every 16th byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qmb {

constexpr size_t kHexFormatBufferSize = 2048;
constexpr size_t kHexParseTextLimit = 16383;  // characters fetched from IDC_HEX

// Writes the text form of bytes[0, n) and a NUL into out (outSize bytes);
// stops before a byte that would not fit. Returns the text length.
size_t FormatHexText(const uint8_t* bytes, size_t n, char* out, size_t outSize);

// Turns text into bytes at dest, which holds destSize bytes: digits 0-9 and
// A-F are nibbles, characters of 0x20 and below are skipped, anything else
// gives -1. An odd digit count gives -1; otherwise the result is digits / 2.
// Digits past destSize bytes are checked and counted but never stored.
int ParseHexDigits(const char* text, size_t textLen, uint8_t* dest, size_t destSize);

// Worker thread: replaces the text of IDC_HEX with the form of bytes[0, n).
void FormatHexDump(const uint8_t* bytes, size_t n);

// Worker thread: parses the text of IDC_HEX into dest (a SectionBuffer of
// 1024 bytes). Returns the byte count or -1 for bad text.
int ParseHexText(uint8_t* dest);

}  // namespace qmb
