#include "job/HexText.h"

#include <cstdio>

#include "job/Panel.h"
#include "protocol/Commands.h"

namespace qmb {

size_t FormatHexText(const uint8_t* bytes, size_t n, char* out, size_t outSize) {
    size_t len = 0;
    for (size_t i = 0; i < n; ++i) {
        const bool lineEnd = i % 16 == 15;
        const size_t pieceLen = lineEnd ? 4 : 3;
        if (len + pieceLen + 1 > outSize) break;
        std::snprintf(out + len, outSize - len, lineEnd ? "%.2X\r\n" : "%.2X ",
                      static_cast<unsigned>(bytes[i]));
        len += pieceLen;
    }
    if (outSize > 0) out[len] = '\0';
    return len;
}

namespace {
int NibbleOf(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

int ParseHexDigits(const char* text, size_t textLen, uint8_t* dest, size_t destSize) {
    size_t digits = 0;
    for (size_t i = 0; i < textLen; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const int nibble = NibbleOf(static_cast<char>(c));
        if (nibble < 0) {
            if (c <= 0x20) continue;
            return -1;
        }
        const size_t at = digits / 2;
        if (at < destSize) {
            // Even digit: high nibble; odd: low nibble; the other nibble stays.
            dest[at] = (digits % 2 == 0) ? static_cast<uint8_t>((dest[at] & 0x0F) | (nibble << 4))
                                         : static_cast<uint8_t>((dest[at] & 0xF0) | nibble);
        }
        ++digits;
    }
    if (digits % 2 != 0) return -1;
    return static_cast<int>(digits / 2);
}

void FormatHexDump(const uint8_t* bytes, size_t n) {
    char text[kHexFormatBufferSize];
    FormatHexText(bytes, n, text, sizeof text);
    SetControlText(IDC_HEX, text);
}

int ParseHexText(uint8_t* dest) {
    char text[kHexParseTextLimit + 1];
    size_t len = GetControlText(IDC_HEX, text, kHexParseTextLimit);
    return ParseHexDigits(text, len, dest, kSectionBufferSize);
}

}  // namespace qmb
