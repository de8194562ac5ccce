// Bytes as hex text, for the windows' hex area, the command-line tool, traces
// and the simulator: one way to write them and one way to read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmb {

constexpr size_t kHexFormatBufferSize = 2048;

// "A0 A1 A2": two upper-case digits a byte, single spaces, no trailing space.
std::string HexPairs(const uint8_t* bytes, size_t n);

// The hex area's form: two upper-case digits a byte, a space after each, CR LF
// instead of the space after every 16th byte. Writes the text of bytes[0, n)
// and a NUL into out (outSize bytes); stops before a byte that would not fit.
// Returns the text length.
size_t FormatHexText(const uint8_t* bytes, size_t n, char* out, size_t outSize);

// Which digits ParseHexDigits takes: the window's hex area upper case only,
// the command-line tool either case.
enum class HexCase { kUpperOnly, kEither };

// Turns text into bytes at dest, which holds destSize bytes: digits 0-9 and
// A-F (and a-f with kEither) are nibbles, characters of 0x20 and below are
// skipped, anything else gives -1. An odd digit count gives -1; otherwise the
// result is digits / 2. Digits past destSize bytes are checked and counted
// but never stored.
int ParseHexDigits(const char* text, size_t textLen, uint8_t* dest, size_t destSize,
                   HexCase digits = HexCase::kUpperOnly);

}  // namespace qmb
