// The line's store: a PostgreSQL (13 or later) database, through libpq.
//
// Schema: table qmb_meta (key, value) holds "schema_version"; the schema is
// made or migrated in one transaction under an advisory lock, so stations
// starting at once do not race. A database whose records table is not ours
// (no qmb_meta), or whose schema is newer, is refused. Every value goes
// through PQexecParams as a parameter.
//
// Time limits. A server may be stopped, partitioned away or hung (a socket
// that accepts and never answers), so no call waits on it unbounded. Every
// connection carries these settings whatever its URL says (a URL may make
// them shorter, never longer or absent):
//   connect_timeout     2 s   the board's bound: a connection that takes
//                             longer is no use to a board (libpq's minimum)
//   keepalives          idle 5 s, interval 2 s, count 3: a pooled
//                             connection whose peer died is known dead in
//                             about 11 s, not after the system's 2 hours
//   tcp_user_timeout    5 s   data the peer does not acknowledge for 5 s
//                             ends the connection
//   statement_timeout   5 s   the server ends a statement of ours that runs
//                             longer (a lock held by a stuck session); none of
//                             ours takes that long on a sound server
// On top of these, the client itself waits for the server (poll() on the
// monotonic clock, libpq non-blocking) at most kConnectWait for a connection
// and kStatementWait for each statement's reply, at most until a call's
// deadline, and asks its stop check every 50 ms; a wait that ends drops the
// connection (a transaction left open on the server is rolled back there).
// Host names are resolved by the system's resolver before the wait starts.
//
// Errors. A server that does not answer, a connection lost during a call,
// and the server's transient refusals (SQLSTATE classes 08 connection, 40
// rollback, 53 resources, 57 operator intervention, 58 system) are
// StoreError kUnreachable: worth trying again later; the next call connects
// again. What the server refuses for this record alone (22 data, 23
// constraint) is kRejected. A lost pooled connection is retried once on a
// fresh one (inserts are idempotent by id, so a retry never doubles a
// record).
//
// Threads: a pool of connections, one per concurrent call; calls run in
// parallel on the server. No lock is held while the server is awaited.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "store/RecordStore.h"

struct pg_conn;

namespace qmb::store {

class PostgresStore : public RecordStore {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kConnectWait{2000};
    static constexpr std::chrono::milliseconds kStatementWait{7000};  // statement_timeout + 2 s
    static constexpr int kStatementTimeoutMs = 5000;

    // stop: asked while the server is awaited; true abandons the call
    // (StoreError kUnreachable). May be empty.
    // Connects, then makes or migrates the schema, by deadline at the
    // latest. Throws StoreError.
    explicit PostgresStore(const std::string& url, std::function<bool()> stop = {},
                           Clock::time_point deadline = Clock::time_point::max());
    ~PostgresStore() override;
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    bool Insert(const Record& record) override { return Insert(record, Clock::time_point::max()); }
    int64_t InsertAll(const std::vector<Record>& records) override {
        return InsertAll(records, Clock::time_point::max());
    }
    // As above, given up (StoreError kUnreachable) at deadline on the
    // monotonic clock, the connection included.
    bool Insert(const Record& record, Clock::time_point deadline);
    int64_t InsertAll(const std::vector<Record>& records, Clock::time_point deadline);
    std::vector<Record> List(const RecordFilter& filter) override;
    Stats ComputeStats(const RecordFilter& filter) override;
    std::string Describe() const override;

    int64_t CreatePool(const std::string& pool, uint64_t first, uint64_t last, uint64_t step,
                       int64_t lowWater) override;
    int64_t ImportPool(const std::string& pool, const std::vector<std::string>& values,
                       int64_t lowWater) override;
    std::vector<PoolLevel> Pools() override;
    PoolLevel ShowPool(const std::string& pool) override;
    std::vector<LedgerEntry> Ledger(const std::string& pool) override;
    // FOR UPDATE SKIP LOCKED: concurrent reservers take different values
    // without waiting for each other.
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

    // The keywords and values every connection is made with: the URL first,
    // then the time limits above (the URL's own where they are shorter).
    // Exposed for the tests. Throws StoreError(kInvalid) for a URL libpq
    // cannot read.
    static std::vector<std::pair<std::string, std::string>> ConnectionSettings(
        const std::string& url);

  private:
    pg_conn* Acquire(bool& pooled, Clock::time_point deadline);
    void GiveBack(pg_conn* connection);
    template <typename Work>
    auto Run(Work work, Clock::time_point deadline = Clock::time_point::max());
    void Migrate(pg_conn* connection, Clock::time_point deadline);
    // Runs work in one transaction (work gets the backend-neutral view).
    template <typename Work>
    auto InTransaction(Work work);

    std::string url_;
    std::function<bool()> stop_;
    std::mutex lock_;  // idle_ only
    std::vector<pg_conn*> idle_;
};

}  // namespace qmb::store
