#include "protocol/HexBytes.h"

namespace qmb {

namespace {
const char kDigits[] = "0123456789ABCDEF";

void AppendPair(std::string& text, uint8_t byte) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
}

int NibbleOf(char c, HexCase digits) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (digits == HexCase::kEither && c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

std::string HexPairs(const uint8_t* bytes, size_t n) {
    std::string text;
    text.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        if (i) text += ' ';
        AppendPair(text, bytes[i]);
    }
    return text;
}

size_t FormatHexText(const uint8_t* bytes, size_t n, char* out, size_t outSize) {
    size_t len = 0;
    for (size_t i = 0; i < n; ++i) {
        const bool lineEnd = i % 16 == 15;
        const size_t pieceLen = lineEnd ? 4 : 3;
        if (len + pieceLen + 1 > outSize) break;
        out[len] = kDigits[bytes[i] >> 4];
        out[len + 1] = kDigits[bytes[i] & 0x0F];
        if (lineEnd) {
            out[len + 2] = '\r';
            out[len + 3] = '\n';
        } else {
            out[len + 2] = ' ';
        }
        len += pieceLen;
    }
    if (outSize > 0) out[len] = '\0';
    return len;
}

int ParseHexDigits(const char* text, size_t textLen, uint8_t* dest, size_t destSize,
                   HexCase digits) {
    size_t count = 0;
    for (size_t i = 0; i < textLen; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const int nibble = NibbleOf(static_cast<char>(c), digits);
        if (nibble < 0) {
            if (c <= 0x20) continue;
            return -1;
        }
        const size_t at = count / 2;
        if (at < destSize) {
            // Even digit: high nibble; odd: low nibble; the other nibble stays.
            dest[at] = (count % 2 == 0) ? static_cast<uint8_t>((dest[at] & 0x0F) | (nibble << 4))
                                        : static_cast<uint8_t>((dest[at] & 0xF0) | nibble);
        }
        ++count;
    }
    if (count % 2 != 0) return -1;
    return static_cast<int>(count / 2);
}

}  // namespace qmb
