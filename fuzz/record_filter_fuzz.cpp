// The filter and time arguments of qmb-cli records (--since, --until,
// --station, --result, --dut-id, --slot, --section, --limit) on arbitrary
// bytes: ParseUtcTime reads a time back exactly as FormatUtcMillis writes it,
// or leaves its output alone; CheckFilter never throws; a filter it takes
// never makes a store fail, and one it refuses is refused by the store too
// (kInvalid) before anything is read.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "store/SqliteStore.h"

using namespace qmb::store;

namespace {

// Fields of the input, split at NUL bytes.
std::vector<std::string> Fields(const uint8_t* data, size_t size) {
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            fields.emplace_back();
        else
            fields.back() += static_cast<char>(data[i]);
    }
    fields.resize(8);
    return fields;
}

std::optional<std::string> Maybe(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return text;
}

SqliteStore& Store() {
    static SqliteStore* store = [] {
        const auto dir = std::filesystem::temp_directory_path() /
                         ("qmb-record-filter-fuzz-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir);
        auto* made = new SqliteStore((dir / "records.sqlite").string());
        Record r;
        r.id = "00000000-0000-4000-8000-000000000000";
        r.station = "st";
        r.image_sha256 = std::string(64, 'a');
        r.started_at = r.ended_at = "2026-12-09T07:40:51.123Z";
        r.result = "pass";
        made->Insert(r);
        return made;
    }();
    return *store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> f = Fields(data, size);
    for (const std::string& text : {f[0], f[1]}) {
        const auto sentinel = std::chrono::system_clock::time_point(std::chrono::hours(7));
        auto t = sentinel;
        if (ParseUtcTime(text, t)) {
            const std::string canonical = FormatUtcMillis(t);
            auto again = sentinel;
            FUZZ_CHECK(ParseUtcTime(canonical, again) && again == t);
            FUZZ_CHECK(IsCanonicalUtcMillis(canonical));
        } else {
            FUZZ_CHECK(t == sentinel);
            FUZZ_CHECK(!IsCanonicalUtcMillis(text));
        }
    }
    RecordFilter filter;
    filter.since = Maybe(f[0]);
    filter.until = Maybe(f[1]);
    filter.station = Maybe(f[2]);
    filter.result = Maybe(f[3]);
    filter.dut_id = Maybe(f[4]);
    if (!f[5].empty()) filter.slot = std::atoi(f[5].c_str());
    if (!f[6].empty()) filter.section = std::atoi(f[6].c_str());
    if (!f[7].empty()) filter.limit = std::atoll(f[7].c_str());
    std::string why;
    try {
        why = CheckFilter(filter);
    } catch (...) {
        FUZZ_CHECK(!"CheckFilter threw");
    }
    FUZZ_CHECK(why.find_first_of("\r\n") == std::string::npos || !why.empty());
    try {
        Store().List(filter);
        Store().ComputeStats(filter);
        FUZZ_CHECK(why.empty());
    } catch (const StoreError& e) {
        FUZZ_CHECK(!why.empty() && e.kind() == StoreError::Kind::kInvalid);
    }
    return 0;
}
