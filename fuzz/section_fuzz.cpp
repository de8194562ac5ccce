// The section-number scan on arbitrary texts of up to four characters: it
// agrees with the C library's "%d" conversion, and a number passes the check
// exactly when its low 16 bits are 1 to 255.
#include <cstdio>
#include <cstring>

#include "FuzzSupport.h"
#include "job/Worker.h"

using namespace qmb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char text[5] = {};
    std::memcpy(text, data, size < 4 ? size : 4);

    int32_t ours = 0;
    const bool found = ScanSectionNumber(text, &ours);
    int libc = 0;
    const bool libcFound = std::sscanf(text, "%d", &libc) == 1;
    FUZZ_CHECK(found == libcFound);
    if (!found) return 0;
    FUZZ_CHECK(ours == libc);
    const unsigned low = static_cast<unsigned>(ours) & 0xFFFF;
    FUZZ_CHECK(IsValidSectionNumber(ours) == (low >= 1 && low <= 255));
    return 0;
}
