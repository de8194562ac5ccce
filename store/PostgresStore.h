// The line's store: a PostgreSQL (13 or later) database, through libpq.
//
// Schema: table qmb_meta (key, value) holds "schema_version"; the schema is
// made or migrated in one transaction under an advisory lock, so stations
// starting at once do not race. A database whose records table is not ours
// (no qmb_meta), or whose schema is newer, is refused. Every value goes
// through PQexecParams as a parameter.
//
// A server that does not answer, or a connection lost during a call, is a
// StoreError of kind kUnreachable; the next call connects again. A lost
// pooled connection is retried once on a fresh one (inserts are idempotent
// by id, so a retry never doubles a record).
//
// Threads: a pool of connections, one per concurrent call; calls run in
// parallel on the server.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "store/RecordStore.h"

struct pg_conn;

namespace qmb::store {

class PostgresStore : public RecordStore {
  public:
    // Connects, then makes or migrates the schema. Throws StoreError.
    explicit PostgresStore(const std::string& url);
    ~PostgresStore() override;
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    bool Insert(const Record& record) override;
    int64_t InsertAll(const std::vector<Record>& records) override;
    std::vector<Record> List(const RecordFilter& filter) override;
    Stats ComputeStats(const RecordFilter& filter) override;
    std::string Describe() const override;

  private:
    pg_conn* Acquire(bool& pooled);
    void Release(pg_conn* connection);
    template <typename Work>
    auto Run(Work work);
    void Migrate(pg_conn* connection);

    std::string url_;
    std::mutex lock_;
    std::vector<pg_conn*> idle_;
};

}  // namespace qmb::store
