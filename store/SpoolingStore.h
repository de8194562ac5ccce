// A station's store in front of the line's server: nothing lost, nothing
// doubled, and no board held up when the server goes away, hangs or refuses.
//
// Insert tries the PostgreSQL store first, for at most the board's bound
// (2 s, the connection included). When the server cannot take the record
// now (no answer in time, unreachable, lost, busy: at open or during the
// run) the record goes into the local SQLite store, marked unsent (its id in
// the file's unsent table), and Insert still succeeds once it is committed
// there: a spooled record is a kept record. A record the server refuses for
// good (a constraint, a data error) is kept in the local store, set aside
// with the server's reason (table set_aside), and never holds back the
// others. After a live insert, what is unsent is sent in small batches, in
// what is left of the bound; Sync sends it all. Each record is inserted on
// the server by id (a record the server already has is not doubled) and then
// marked sent.
//
// A server that failed is not tried again before retryInterval; each failure
// in a row doubles the wait, up to 12 times retryInterval. After a failure
// that ran out its time (a silent or hung server) the next tries connect on
// a thread of the store's own, so that no board waits for that server again
// until it answers; after one that failed at once (a server that is down)
// the next board tries in line, which costs it no more than that. Only one
// call connects at a time, and no lock is held while the server is awaited:
// the others spool meanwhile.
//
// List and ComputeStats read the server when it answers, else the local
// store (which then holds only what this station spooled).
//
// Threads: as every RecordStore; sending the spool is serialised (a board
// does not wait for another sender: it leaves the spool to it).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "store/RecordStore.h"
#include "store/SqliteStore.h"

namespace qmb::store {

class PostgresStore;

class SpoolingStore : public RecordStore {
  public:
    struct Options {
        std::chrono::milliseconds retryInterval = std::chrono::seconds(5);
        // The most a board's Insert waits for the server.
        std::chrono::milliseconds boardBound = std::chrono::seconds(2);
        // Asked while the server is awaited: true abandons the wait (the
        // record spools). May be empty.
        std::function<bool()> stop;
    };

    // serverUrl: postgresql://...; localPath: the spool's SQLite file.
    // Does not throw when the server is unreachable (the records spool);
    // throws StoreError for a bad URL, a server database that is refused,
    // or a local file that cannot be used. Waits for the server at most
    // the board's bound.
    SpoolingStore(const std::string& serverUrl, const std::string& localPath,
                  std::chrono::milliseconds retryInterval = std::chrono::seconds(5));
    SpoolingStore(const std::string& serverUrl, const std::string& localPath, Options options);
    ~SpoolingStore() override;

    // Throws StoreError only when the record can be kept nowhere (it is
    // unsound, or the local file cannot be written).
    bool Insert(const Record& record) override;
    std::vector<Record> List(const RecordFilter& filter) override;
    Stats ComputeStats(const RecordFilter& filter) override;
    std::string Describe() const override;
    SetAsideSummary SetAsideRecords(int64_t limit) override { return local_.SetAsideRecords(limit); }

    // Sends every unsent record now (setting aside those the server refuses
    // for good); returns how many were sent. Throws StoreError(kUnreachable)
    // when the server does not answer.
    int64_t Sync();
    // Records waiting to be sent.
    int64_t Unsent() { return local_.UnsentCount(); }

    // The pools and releases are the line's: each call goes to the server,
    // within the board's bound for the connection (StoreError kUnreachable
    // while it is away; a lease in the spool gives values out meanwhile,
    // see production/SerialSource.h).
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
    // Sends the spool first (a spooled record's values are marked by it: a
    // board that passed keeps its value used, whatever its run left), then
    // voids what the lease notes void (VoidLeased), then settles station's
    // other reservations on the server. kUnreachable while it is away.
    SettleCounts SettleStale(const std::string& station, const std::string& run) override;
    // Voids on the server, as station's, the values the spool's lease notes
    // void (a killed run's sent values, the values of records set aside) and
    // drops them from the lease; one another station still holds stays
    // noted. Returns how many were voided. kUnreachable while it is away.
    int64_t VoidLeased(const std::string& station);
    void ReleaseRecipe(const Release& release) override;
    bool RevokeRecipe(const std::string& identity, const std::string& by) override;
    std::vector<Release> Releases(const std::optional<std::string>& product) override;
    int64_t PassedBoards(const std::string& identity) override;

    // The spool's own file (its lease of serial values).
    SqliteStore& Local() { return local_; }

  private:
    using Clock = std::chrono::steady_clock;
    // The server's store, connecting when due (by deadline); nullptr while
    // it is not to be tried, or another call is connecting.
    std::shared_ptr<PostgresStore> Server(bool force, Clock::time_point deadline, bool fromOpen = false);
    std::shared_ptr<PostgresStore> Connect(Clock::time_point deadline, bool fromOpen);
    // The server failed; slow: it ran out the time it was given.
    void Lost(bool slow = false);
    // Runs work on the server's store; kUnreachable when it is away.
    template <typename Work>
    auto OnServer(Work work);
    void LostLocked(bool slow);
    bool Stopping() const { return options_.stop && options_.stop(); }

    std::string serverUrl_;
    SqliteStore local_;
    Options options_;
    std::mutex lock_;       // server_, connecting_, nextTry_, failures_, lastSlow_, prober_
    std::mutex sendLock_;   // one sender of the spool at a time
    std::shared_ptr<PostgresStore> server_;
    bool connecting_ = false;
    int failures_ = 0;      // in a row
    bool lastSlow_ = false;
    Clock::time_point nextTry_{};
    std::thread prober_;    // the background try, once a try ran out its time
    std::atomic<bool> closing_{false};
};

}  // namespace qmb::store
