// ParseHexText on arbitrary text of any length: the result is -1 or the digit
// count / 2, digits land where a reference parse puts them, and nothing is
// stored past the 1024-byte section buffer (AddressSanitizer watches a heap
// buffer of exactly that size).
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "job/HexText.h"
#include "protocol/Commands.h"

using namespace qmb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    auto dest = std::make_unique<uint8_t[]>(kSectionBufferSize);
    std::memset(dest.get(), 0xEE, kSectionBufferSize);
    const int result = ParseHexDigits(text, size, dest.get(), kSectionBufferSize);

    size_t digits = 0;
    bool bad = false;
    for (size_t i = 0; i < size && !bad; ++i) {
        const unsigned char c = data[i];
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) {
            ++digits;
        } else if (c > 0x20) {
            bad = true;
        }
    }
    if (bad || digits % 2) {
        FUZZ_CHECK(result == -1);
        return 0;
    }
    FUZZ_CHECK(result == static_cast<int>(digits / 2));
    // The stored bytes are the pairs of digits, up to the buffer's end.
    size_t at = 0;
    for (size_t i = 0; i < size && at / 2 < kSectionBufferSize; ++i) {
        const unsigned char c = data[i];
        if (c <= 0x20) continue;
        const int nibble = c <= '9' ? c - '0' : c - 'A' + 10;
        const uint8_t byte = dest[at / 2];
        FUZZ_CHECK((at % 2 == 0 ? byte >> 4 : byte & 0x0F) == nibble);
        ++at;
    }
    for (size_t i = digits / 2; i < kSectionBufferSize; ++i)
        FUZZ_CHECK(dest[i] == 0xEE);
    return 0;
}
