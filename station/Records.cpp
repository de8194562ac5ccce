#include "station/Records.h"

#include <algorithm>
#include <map>
#include <set>

namespace qmb::station {

namespace {
// A unit's key: its DUT, or the record alone.
std::string UnitOf(const Record& r) {
    return r.dut_id ? "d:" + *r.dut_id : "r:" + r.id;
}

void Tally(store::Counts& c, const Record& r) {
    ++c.total;
    if (!r.result)
        ++c.noVerdict;
    else if (*r.result == "pass")
        ++c.passes;
    else
        ++c.fails;
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

Stats ComputeStatsOf(const std::vector<Record>& records) {
    // records newest first: walk oldest first so that a unit's first
    // attempt is the first one seen.
    Stats s;
    std::map<std::pair<std::string, int>, store::Counts> slots;
    std::map<std::string, int64_t> codes;
    std::set<std::string> seen;
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        const Record& r = *it;
        store::Counts& sc = slots[{r.station, r.slot}];
        Tally(s.all, r);
        Tally(sc, r);
        if (r.failure_code) ++codes[*r.failure_code];
        if (seen.insert(UnitOf(r)).second) {
            ++s.all.units;
            ++sc.units;
            if (r.result == "pass") {
                ++s.all.firstPasses;
                ++sc.firstPasses;
            }
        }
    }
    for (const auto& [key, counts] : slots)
        s.slots.push_back({key.first, key.second, counts});
    for (const auto& [code, count] : codes)
        s.pareto.push_back({code, count});
    std::stable_sort(s.pareto.begin(), s.pareto.end(),
                     [](const store::FailureCount& a, const store::FailureCount& b) {
                         return a.count > b.count;
                     });
    return s;
}

void BoardHistory::Add(const Record& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(record);
    while (records_.size() > capacity_)
        records_.pop_front();
}

std::vector<Record> BoardHistory::List(const RecordFilter& filter) {
    std::vector<Record> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
        if (filter.limit && static_cast<int64_t>(out.size()) >= *filter.limit) break;
        if (Matches(filter, *it)) out.push_back(*it);
    }
    return out;
}

Stats BoardHistory::ComputeStats(const RecordFilter& filter) {
    RecordFilter all = filter;
    all.limit.reset();
    return ComputeStatsOf(List(all));
}

}  // namespace qmb::station
