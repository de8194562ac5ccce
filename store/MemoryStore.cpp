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
    if (f.slot_name && r.slot_name != *f.slot_name) return false;
    if (f.serial && std::none_of(r.serials.begin(), r.serials.end(),
                                 [&](const Record::SerialUse& s) { return s.value == *f.serial; }))
        return false;
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
    MarkSerialsLocked(record);
    if (record.recipe_sha256 && record.result == "pass") ++passed_[*record.recipe_sha256];
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
    if (ids_.count(record.id)) return false;
    std::set<std::pair<std::string, std::string>> usedNow;
    CheckSerialsLocked(record, usedNow);
    return InsertLocked(record);
}

int64_t MemoryStore::InsertAll(const std::vector<Record>& records) {
    for (const Record& r : records)
        sql::RequireSound(r);
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<std::pair<std::string, std::string>> usedNow;
    std::set<std::string> batch;
    for (const Record& r : records)
        if (!ids_.count(r.id) && batch.insert(r.id).second) CheckSerialsLocked(r, usedNow);
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

namespace {

std::string NowText() { return FormatUtcMillis(std::chrono::system_clock::now()); }

[[noreturn]] void Refuse(StoreError::Kind kind, const std::string& why) { throw StoreError(kind, why); }

}  // namespace

MemoryStore::Pool& MemoryStore::PoolLocked(const std::string& pool) {
    auto it = pools_.find(pool);
    if (it == pools_.end()) Refuse(StoreError::Kind::kInvalid, "there is no serial pool " + pool);
    return it->second;
}

LedgerEntry* MemoryStore::EntryLocked(const std::string& pool, const std::string& value) {
    auto p = pools_.find(pool);
    if (p == pools_.end()) return nullptr;
    auto v = p->second.index.find(value);
    return v == p->second.index.end() ? nullptr : &p->second.values[v->second];
}

void MemoryStore::CheckSerialsLocked(const Record& r,
                                     std::set<std::pair<std::string, std::string>>& usedNow) {
    for (const auto& s : r.serials) {
        if (s.state == "used" && !usedNow.insert({s.pool, s.value}).second)
            Refuse(StoreError::Kind::kRejected,
                   "serial " + s.value + " of pool " + s.pool + " is used by another board");
        if (s.state != "used" || !pools_.count(s.pool)) continue;
        const LedgerEntry* e = EntryLocked(s.pool, s.value);
        if (!e) Refuse(StoreError::Kind::kRejected, "serial " + s.value + " is not a value of pool " + s.pool);
        if (e->state == "used" && e->record_id != r.id)
            Refuse(StoreError::Kind::kRejected,
                   "serial " + s.value + " of pool " + s.pool + " is used by another board");
        if (e->state == "void")
            Refuse(StoreError::Kind::kRejected,
                   "serial " + s.value + " of pool " + s.pool + " is void (it may be on another board)");
    }
}

void MemoryStore::MarkSerialsLocked(const Record& r) {
    for (const auto& s : r.serials) {
        LedgerEntry* e = s.state == "kept" ? nullptr : EntryLocked(s.pool, s.value);
        if (!e) continue;
        const bool otherRecord = !e->record_id.empty() && e->record_id != r.id;
        if (s.state == "void" && (e->state == "used" || (e->state == "void" && otherRecord))) continue;
        e->state = s.state;
        e->record_id = r.id;
        e->ended_at = r.ended_at;
        e->station = r.station;
        e->slot = r.slot_name;
    }
}

int64_t MemoryStore::CreatePool(const std::string& pool, uint64_t first, uint64_t last,
                                uint64_t step, int64_t lowWater) {
    std::string why = CheckPoolName(pool);
    if (why.empty()) why = CheckPoolRange(first, last, step);
    if (why.empty() && lowWater < 0) why = "the low-water mark is negative";
    if (!why.empty()) Refuse(StoreError::Kind::kInvalid, "pool " + pool + ": " + why);
    std::vector<std::string> values;
    for (uint64_t v = first;; v += step) {
        values.push_back(std::to_string(v));
        if (last - v < step) break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (pools_.count(pool)) Refuse(StoreError::Kind::kInvalid, "serial pool " + pool + " exists already");
    Pool& p = pools_[pool];
    p.lowWater = lowWater;
    for (auto& v : values) {
        p.index[v] = p.values.size();
        LedgerEntry e;
        e.value = std::move(v);
        e.state = "free";
        p.values.push_back(std::move(e));
    }
    return static_cast<int64_t>(p.values.size());
}

int64_t MemoryStore::ImportPool(const std::string& pool, const std::vector<std::string>& values,
                                int64_t lowWater) {
    std::string why = CheckPoolName(pool);
    if (why.empty() && lowWater < 0) why = "the low-water mark is negative";
    std::set<std::string> seen;
    for (const auto& v : values) {
        if (!why.empty()) break;
        why = CheckSerialValue(v);
        if (why.empty() && !seen.insert(v).second) why = "value " + v + " is in the list twice";
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto existing = pools_.find(pool);
    for (const auto& v : values)
        if (why.empty() && existing != pools_.end() && existing->second.index.count(v))
            why = "value " + v + " is in the pool already";
    if (!why.empty()) Refuse(StoreError::Kind::kInvalid, "pool " + pool + ": " + why + " (nothing imported)");
    Pool& p = pools_.try_emplace(pool, Pool{lowWater, {}, {}}).first->second;
    for (const auto& v : values) {
        p.index[v] = p.values.size();
        LedgerEntry e;
        e.value = v;
        e.state = "free";
        p.values.push_back(std::move(e));
    }
    return static_cast<int64_t>(values.size());
}

std::vector<PoolLevel> MemoryStore::Pools() {
    std::vector<PoolLevel> levels;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [name, p] : pools_) {
        PoolLevel l;
        l.pool = name;
        l.lowWater = p.lowWater;
        for (const auto& e : p.values) {
            if (e.state == "free") ++l.free;
            else if (e.state == "used") ++l.used;
            else if (e.state == "void") ++l.voided;
            else ++l.reserved;
        }
        levels.push_back(l);
    }
    return levels;
}

PoolLevel MemoryStore::ShowPool(const std::string& pool) {
    for (const auto& l : Pools())
        if (l.pool == pool) return l;
    Refuse(StoreError::Kind::kInvalid, "there is no serial pool " + pool);
}

std::vector<LedgerEntry> MemoryStore::Ledger(const std::string& pool) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<LedgerEntry> out;
    for (const auto& e : PoolLocked(pool).values)
        if (e.state != "free") out.push_back(e);
    return out;
}

std::vector<std::string> MemoryStore::Reserve(const std::string& pool, const SerialHolder& h,
                                              int64_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    const std::string now = NowText();
    for (auto& e : PoolLocked(pool).values) {
        if (static_cast<int64_t>(out.size()) >= n) break;
        if (e.state != "free") continue;
        e.state = "reserved";
        e.station = h.station;
        e.slot = h.slot;
        e.run = h.run;
        e.reserved_at = now;
        e.record_id.clear();
        e.ended_at.clear();
        out.push_back(e.value);
    }
    return out;
}

int64_t MemoryStore::ReturnSerials(const std::string& pool, const std::vector<std::string>& values,
                                   const SerialHolder& h) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t back = 0;
    for (const auto& v : values) {
        LedgerEntry* e = EntryLocked(pool, v);
        if (!e || e->state != "reserved" || e->station != h.station || e->run != h.run) continue;
        *e = LedgerEntry{};
        e->value = v;
        e->state = "free";
        ++back;
    }
    return back;
}

bool MemoryStore::MarkSerialSent(const std::string& pool, const std::string& value,
                                 const SerialHolder& h) {
    std::lock_guard<std::mutex> lock(mutex_);
    LedgerEntry* e = EntryLocked(pool, value);
    if (!e || (e->state != "reserved" && e->state != "sent") || e->station != h.station || e->run != h.run)
        return false;
    e->state = "sent";
    return true;
}

bool MemoryStore::VoidSerial(const std::string& pool, const std::string& value, const SerialHolder& h) {
    std::lock_guard<std::mutex> lock(mutex_);
    LedgerEntry* e = EntryLocked(pool, value);
    if (!e || (e->state != "reserved" && e->state != "sent") || e->station != h.station) return false;
    e->state = "void";
    e->ended_at = NowText();
    return true;
}

std::string MemoryStore::SerialState(const std::string& pool, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const LedgerEntry* e = EntryLocked(pool, value);
    return e ? e->state : "";
}

SettleCounts MemoryStore::SettleStale(const std::string& station, const std::string& run) {
    std::lock_guard<std::mutex> lock(mutex_);
    SettleCounts c;
    const std::string now = NowText();
    for (auto& [name, p] : pools_)
        for (auto& e : p.values) {
            if (e.station != station || e.run == run) continue;
            if (e.state == "sent") {
                e.state = "void";
                e.ended_at = now;
                ++c.voided;
            } else if (e.state == "reserved") {
                const std::string value = e.value;
                e = LedgerEntry{};
                e.value = value;
                e.state = "free";
                ++c.freed;
            }
        }
    return c;
}

void MemoryStore::ReleaseRecipe(const Release& release) {
    const std::string why = CheckRelease(release);
    if (!why.empty()) Refuse(StoreError::Kind::kInvalid, "release refused: " + why);
    Release r = release;
    if (r.at.empty()) r.at = NowText();
    r.revoked_at.reset();
    r.revoked_by.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    releases_[r.identity] = r;
}

bool MemoryStore::RevokeRecipe(const std::string& identity, const std::string& by) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = releases_.find(identity);
    if (it == releases_.end() || it->second.revoked_at) return false;
    it->second.revoked_at = NowText();
    it->second.revoked_by = by;
    return true;
}

std::vector<Release> MemoryStore::Releases(const std::optional<std::string>& product) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Release> out;
    for (const auto& [id, r] : releases_)
        if (!product || r.product == *product) out.push_back(r);
    std::sort(out.begin(), out.end(), [](const Release& a, const Release& b) {
        return a.at != b.at ? a.at > b.at : a.identity < b.identity;
    });
    return out;
}

int64_t MemoryStore::PassedBoards(const std::string& identity) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = passed_.find(identity);
    return it == passed_.end() ? 0 : it->second;
}

}  // namespace qmb::store
