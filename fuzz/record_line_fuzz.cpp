// One line of a records import (qmb-cli records import, JSON lines) on
// arbitrary bytes: ParseRecordLine never throws; a line it takes is a sound
// record that goes to JSON and back unchanged; a line it refuses leaves its
// output alone, has a one-line reason, and an import of it stores nothing.
#include <sstream>
#include <string>

#include "FuzzSupport.h"
#include "platform/Utf8.h"
#include "store/RecordStore.h"

using namespace qmb::store;

namespace {

// Counts what an import hands it; holds nothing.
class CountingStore : public RecordStore {
  public:
    bool Insert(const Record&) override {
        ++inserted;
        return true;
    }
    std::vector<Record> List(const RecordFilter&) override { return {}; }
    Stats ComputeStats(const RecordFilter&) override { return {}; }
    std::string Describe() const override { return "counting"; }
    int64_t inserted = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    Record out;
    out.station = "untouched";
    std::string why;
    try {
        why = ParseRecordLine(line, out);
    } catch (...) {
        FUZZ_CHECK(!"ParseRecordLine threw");
    }
    if (why.empty()) {
        FUZZ_CHECK(CheckRecord(out).empty());
        FUZZ_CHECK(FromJson(ToJson(out)) == out);
        FUZZ_CHECK(qmb::IsValidUtf8(ToJson(out).dump()));
    } else {
        FUZZ_CHECK(out.station == "untouched");
        FUZZ_CHECK(why.find_first_of("\r\n") == std::string::npos);
    }
    if (line.find_first_of("\r\n") != std::string::npos) return 0;
    CountingStore store;
    std::istringstream in(line);
    try {
        const ImportCounts counts = ImportJsonLines(store, in, "fuzz.jsonl");
        FUZZ_CHECK(why.empty() || line.find_first_not_of(" \t") == std::string::npos);
        FUZZ_CHECK(counts.inserted == store.inserted);
    } catch (const StoreError& e) {
        FUZZ_CHECK(!why.empty());
        FUZZ_CHECK(store.inserted == 0);
        FUZZ_CHECK(std::string(e.what()).rfind("fuzz.jsonl:1: ", 0) == 0);
    } catch (...) {
        FUZZ_CHECK(!"ImportJsonLines threw something else");
    }
    return 0;
}
