// The import file of a serial pool (qmb-cli serial import) on arbitrary
// bytes: ParsePoolFile never throws; a file it refuses leaves its output
// alone with a one-line reason; the values of a file it takes are each a
// sound serial value, none twice, and a pool takes them all, and then
// refuses the same file again without changing.
#include <set>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "store/MemoryStore.h"

using namespace qmb::store;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> values{"sentinel"};
    std::string why;
    try {
        why = ParsePoolFile(text, values);
    } catch (...) {
        FUZZ_CHECK(!"ParsePoolFile threw");
    }
    if (!why.empty()) {
        FUZZ_CHECK(values == std::vector<std::string>{"sentinel"});
        FUZZ_CHECK(why.find_first_of("\r\n") == std::string::npos);
        return 0;
    }
    FUZZ_CHECK(!values.empty());
    std::set<std::string> seen;
    for (const auto& v : values) {
        FUZZ_CHECK(CheckSerialValue(v).empty());
        FUZZ_CHECK(seen.insert(v).second);
    }
    MemoryStore store;
    FUZZ_CHECK(store.ImportPool("p", values, 0) == static_cast<int64_t>(values.size()));
    try {
        store.ImportPool("p", values, 0);
        FUZZ_CHECK(!"the same values imported twice");
    } catch (const StoreError& e) {
        FUZZ_CHECK(e.kind() == StoreError::Kind::kInvalid);
    }
    FUZZ_CHECK(store.ShowPool("p").free == static_cast<int64_t>(values.size()));
    return 0;
}
