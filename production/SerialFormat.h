// How a serial value is laid out in a board's section. A value is text, as
// the serial pools keep it: a decimal unsigned integer ("1000042"), or hex
// bytes ("00:1A:2B:3C:4D:5E") for a bytesN field. The layouts:
//
//   u8, u16le, u16be, u24le ... u64be   unsigned integer of 1 to 8 bytes
//   bcdN                               packed BCD in N bytes (2N digits, first digit high)
//   asciiN                             ASCII decimal of N characters, zero-padded
//   bytesN                             N raw bytes, from hex pairs with ':' or
//                                      '-' or nothing between them
//
// N is 1 to 32. All functions are pure and thread-safe; none throws except
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmb::production {

struct SerialFormat {
    enum class Kind { kUnsigned, kBcd, kAscii, kBytes };
    Kind kind = Kind::kUnsigned;
    int size = 4;           // bytes the field takes on the board
    bool bigEndian = true;  // kUnsigned only

    // "u32be", "bcd6", ... as a recipe writes it.
    std::string Name() const;
};

constexpr int kMaxSerialBytes = 32;

// "u32be", "bcd6", "ascii8", "bytes6", ...; false with *error (one line) on
// anything else.
bool ParseSerialFormat(const std::string& text, SerialFormat& format, std::string* error);

// The field's bytes (format.size of them) for value; false with *error when
// the value does not fit the layout (too large, not decimal, wrong byte
// count) and then out is unchanged.
bool EncodeSerial(const SerialFormat& format, const std::string& value,
                  std::vector<uint8_t>& out, std::string* error);

// The value a field's bytes hold, in the pools' canonical text (decimal
// without leading zeros; hex bytes upper case separated by ':'); false when
// the bytes are no value of the layout (a BCD nibble above 9, a character
// that is not a digit), and then value is unchanged.
bool DecodeSerial(const SerialFormat& format, const std::vector<uint8_t>& bytes,
                  std::string& value);

// The canonical text of value for format (what DecodeSerial of its
// encoding gives); "" when it does not fit.
std::string CanonicalSerial(const SerialFormat& format, const std::string& value);

}  // namespace qmb::production
