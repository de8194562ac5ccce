// Where the station's records go and come from: every board attempt is a
// store::Record. The station always keeps its recent boards in memory
// (BoardHistory), so the page and the API work without a database; a record
// store (SQLite, PostgreSQL) is another BoardSink.
//
// Threads: every BoardSink may be used by several threads at once.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/Record.h"
#include "store/RecordStore.h"

namespace qmb::station {

using store::Record;
using store::RecordFilter;
using store::Stats;

class BoardSink {
  public:
    virtual ~BoardSink() = default;
    // Keeps the record; throws store::StoreError when it cannot.
    virtual void Add(const Record& record) = 0;
    // Newest first.
    virtual std::vector<Record> List(const RecordFilter& filter) = 0;
    virtual Stats ComputeStats(const RecordFilter& filter) = 0;
    // The records the line's server refused for good, kept aside (a spool).
    virtual store::SetAsideSummary SetAsideRecords(int64_t limit) {
        (void)limit;
        return {};
    }
};

// The boards of this run, the newest `capacity` of them.
class BoardHistory : public BoardSink {
  public:
    explicit BoardHistory(size_t capacity = 20000) : capacity_(capacity) {}
    void Add(const Record& record) override;
    std::vector<Record> List(const RecordFilter& filter) override;
    Stats ComputeStats(const RecordFilter& filter) override;

  private:
    size_t capacity_;
    std::mutex mutex_;
    std::deque<Record> records_;  // oldest first
};

// A record store as a sink.
class StoreSink : public BoardSink {
  public:
    explicit StoreSink(std::unique_ptr<store::RecordStore> store) : store_(std::move(store)) {}
    void Add(const Record& record) override { store_->Insert(record); }
    std::vector<Record> List(const RecordFilter& filter) override { return store_->List(filter); }
    Stats ComputeStats(const RecordFilter& filter) override { return store_->ComputeStats(filter); }
    store::SetAsideSummary SetAsideRecords(int64_t limit) override {
        return store_->SetAsideRecords(limit);
    }
    std::string Describe() const { return store_->Describe(); }

  private:
    std::unique_ptr<store::RecordStore> store_;
};

// The figures of records (newest first) as the stores work them out.
Stats ComputeStatsOf(const std::vector<Record>& records);
bool Matches(const RecordFilter& filter, const Record& record);

}  // namespace qmb::station
