#include "job/HexText.h"

#include "job/Panel.h"
#include "protocol/Commands.h"

namespace qmb {

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
