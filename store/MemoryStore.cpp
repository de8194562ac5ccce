#include "store/MemoryStore.h"

#include <algorithm>
#include <map>
#include <set>

#include "store/SqlShared.h"

namespace qmb::store {

namespace {
using Key = std::pair<std::string, std::string>;  // (started_at, id): the stores' order

Key KeyOf(const Record& r) {
    return {r.started_at, r.id};
}

// The filter with its times in the form records carry them.
RecordFilter Canonical(const RecordFilter& filter) {
    sql::RequireSound(filter);
    RecordFilter f = filter;
    if (f.since) f.since = sql::CanonicalTime(*f.since);
    if (f.until) f.until = sql::CanonicalTime(*f.until);
    return f;
}

Counts Tally(const Record& r) {
    Counts c;
    c.total = 1;
    if (!r.result)
        c.noVerdict = 1;
    else if (*r.result == "pass")
        c.passes = 1;
    else
        c.fails = 1;
    return c;
}

}  // namespace

bool Matches(const RecordFilter& f, const Record& r) {
    if (f.since && r.started_at < *f.since) return false;
    if (f.until && !(r.started_at < *f.until)) return false;
    if (f.station && r.station != *f.station) return false;
    if (f.slot && r.slot != *f.slot) return false;
    if (f.result && (*f.result == "none" ? r.result.has_value() : r.result != *f.result))
        return false;
    if (f.section && r.section != *f.section) return false;
    if (f.dut_id && r.dut_id != *f.dut_id) return false;
    return true;
}

Stats ComputeStatsOf(const std::vector<Record>& oldestFirst,
                     const std::function<bool(const Record&)>& firstAttempt) {
    Stats s;
    std::map<std::pair<std::string, int>, Counts> slots;
    std::map<std::string, int64_t> codes;
    for (const Record& r : oldestFirst) {
        Counts one = Tally(r);
        if (r.failure_code) ++codes[*r.failure_code];
        if (firstAttempt(r)) {
            one.units = 1;
            one.firstPasses = r.result == "pass" ? 1 : 0;
        }
        s.all += one;
        slots[{r.station, r.slot}] += one;
    }
    for (const auto& [key, counts] : slots)
        s.slots.push_back({key.first, key.second, counts});
    for (const auto& [code, count] : codes)
        s.pareto.push_back({code, count});
    std::stable_sort(s.pareto.begin(), s.pareto.end(),
                     [](const FailureCount& a, const FailureCount& b) { return a.count > b.count; });
    return s;
}

bool MemoryStore::InsertLocked(const Record& record) {
    if (!ids_.insert(record.id).second) return false;
    records_.emplace(std::make_pair(record.started_at, record.id), record);
    while (records_.size() > capacity_) {
        ids_.erase(records_.begin()->second.id);
        records_.erase(records_.begin());
    }
    return true;
}

bool MemoryStore::Insert(const Record& record) {
    sql::RequireSound(record);
    std::lock_guard<std::mutex> lock(mutex_);
    return InsertLocked(record);
}

int64_t MemoryStore::InsertAll(const std::vector<Record>& records) {
    for (const Record& r : records)
        sql::RequireSound(r);
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t added = 0;
    for (const Record& r : records)
        added += InsertLocked(r) ? 1 : 0;
    return added;
}

std::vector<Record> MemoryStore::List(const RecordFilter& filter) {
    const RecordFilter f = Canonical(filter);
    std::vector<Record> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
        if (filter.limit && static_cast<int64_t>(out.size()) >= *filter.limit) break;
        if (Matches(f, it->second)) out.push_back(it->second);
    }
    return out;
}

Stats MemoryStore::ComputeStats(const RecordFilter& filter) {
    const RecordFilter f = Canonical(filter);
    std::vector<Record> covered;
    std::map<std::string, Key> firstOfDut;  // each DUT's earliest attempt from `since` on
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [key, r] : records_) {
            if (Matches(f, r)) covered.push_back(r);
            if (r.dut_id && (!f.since || r.started_at >= *f.since))
                firstOfDut.emplace(*r.dut_id, key);  // records_ is in order: the first stays
        }
    }
    // A record without a DUT is a unit of its own; one with a DUT is its
    // unit's first attempt when no attempt of that DUT (on any station or
    // slot) came before it in the window.
    return ComputeStatsOf(covered, [&](const Record& r) {
        return !r.dut_id || firstOfDut.at(*r.dut_id) == KeyOf(r);
    });
}

}  // namespace qmb::store
