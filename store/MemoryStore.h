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

  private:
    bool InsertLocked(const Record& record);

    size_t capacity_;
    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Record> records_;  // by (started_at, id)
    std::set<std::string> ids_;
};

// True when the record is one the filter covers (limit aside); the filter's
// times in canonical form (as the records carry them).
bool Matches(const RecordFilter& filter, const Record& record);

// The figures of records, oldest first; firstAttempt tells the records that
// are the first attempt of their unit (RecordStore.h, Counts).
Stats ComputeStatsOf(const std::vector<Record>& oldestFirst,
                     const std::function<bool(const Record&)>& firstAttempt);

}  // namespace qmb::store
