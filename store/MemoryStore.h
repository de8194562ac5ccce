// The record store in memory: the newest `capacity` records of this process
// (a station run with `--db none`, and the page's recent boards). Keeps the
// RecordStore contract as the SQL backends do: a record is checked first,
// an insert of an id already there changes nothing, listings are newest
// first (started_at, then id), figures are worked out from the records the
// filter covers. Nothing outlives the object.
//
// Threads: any, as every RecordStore; one mutex, never held across a call out.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "store/RecordStore.h"

namespace qmb::store {

class MemoryStore : public RecordStore {
  public:
    explicit MemoryStore(size_t capacity = 20000) : capacity_(capacity) {}

    bool Insert(const Record& record) override;
    // All or nothing: every record is checked before any is kept.
    int64_t InsertAll(const std::vector<Record>& records) override;
    std::vector<Record> List(const RecordFilter& filter) override;
    Stats ComputeStats(const RecordFilter& filter) override;
    std::string Describe() const override { return "memory"; }

    // The pools and releases of this process, as the SQL stores keep them.
    int64_t CreatePool(const std::string& pool, uint64_t first, uint64_t last, uint64_t step,
                       int64_t lowWater) override;
    int64_t ImportPool(const std::string& pool, const std::vector<std::string>& values,
                       int64_t lowWater) override;
    std::vector<PoolLevel> Pools() override;
    PoolLevel ShowPool(const std::string& pool) override;
    std::vector<LedgerEntry> Ledger(const std::string& pool) override;
    std::vector<std::string> Reserve(const std::string& pool, const SerialHolder& holder,
                                     int64_t n) override;
    int64_t ReturnSerials(const std::string& pool, const std::vector<std::string>& values,
                          const SerialHolder& holder) override;
    bool MarkSerialSent(const std::string& pool, const std::string& value,
                        const SerialHolder& holder) override;
    bool VoidSerial(const std::string& pool, const std::string& value,
                    const SerialHolder& holder) override;
    std::string SerialState(const std::string& pool, const std::string& value) override;
    SettleCounts SettleStale(const std::string& station, const std::string& run) override;
    void ReleaseRecipe(const Release& release) override;
    bool RevokeRecipe(const std::string& identity, const std::string& by) override;
    std::vector<Release> Releases(const std::optional<std::string>& product) override;
    int64_t PassedBoards(const std::string& identity) override;

  private:
    struct Pool {
        int64_t lowWater = 0;
        std::vector<LedgerEntry> values;  // in the pool's order; state "free" while not given out
        std::map<std::string, size_t> index;  // value -> its place
    };
    bool InsertLocked(const Record& record);
    // Throws StoreError(kRejected) when the record's serials may not be
    // marked (see sql::StoreSerials); usedNow: values this batch marks used.
    void CheckSerialsLocked(const Record& record, std::set<std::pair<std::string, std::string>>& usedNow);
    void MarkSerialsLocked(const Record& record);
    Pool& PoolLocked(const std::string& pool);
    LedgerEntry* EntryLocked(const std::string& pool, const std::string& value);

    size_t capacity_;
    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Record> records_;  // by (started_at, id)
    std::set<std::string> ids_;
    std::map<std::string, Pool> pools_;
    std::map<std::string, Release> releases_;
    std::map<std::string, int64_t> passed_;  // passed boards by recipe identity (all, not only those kept)
};

// True when the record is one the filter covers (limit aside); the filter's
// times in canonical form (as the records carry them).
bool Matches(const RecordFilter& filter, const Record& record);

// The figures of records, oldest first; firstAttempt tells the records that
// are the first attempt of their unit (RecordStore.h, Counts).
Stats ComputeStatsOf(const std::vector<Record>& oldestFirst,
                     const std::function<bool(const Record&)>& firstAttempt);

}  // namespace qmb::store
