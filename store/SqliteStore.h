// The station's store: one SQLite file.
//
// The file is marked as ours by its application id ('QMBR') and carries the
// schema version in PRAGMA user_version. A file with another program's
// tables or application id, a damaged file, or one of a newer schema is
// refused; an empty or new file gets the schema, and an older one is
// migrated, in one transaction. WAL journal, synchronous=FULL (a committed
// record survives power loss), a 5 s busy timeout for other processes.
//
// Besides the records, the file holds the spool of a SpoolingStore: the ids
// of records not yet sent to the line's server (table unsent), and of those
// the server refused for good, with its reason (table set_aside).
//
// Threads: one connection, each call under the store's lock.
#pragma once

#include <map>
#include <optional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/RecordStore.h"
#include "store/SqlShared.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qmb::store {

class SqliteStore : public RecordStore {
  public:
    // Opens or creates the file (and its folders). Throws StoreError.
    explicit SqliteStore(const std::string& path);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    bool Insert(const Record& record) override;
    int64_t InsertAll(const std::vector<Record>& records) override;
    std::vector<Record> List(const RecordFilter& filter) override;
    Stats ComputeStats(const RecordFilter& filter) override;
    std::string Describe() const override { return "sqlite:" + path_; }

    // The spool. InsertUnsent stores the record (as Insert) and marks it
    // unsent, in one transaction; false when its id was already there.
    bool InsertUnsent(const Record& record);
    // Up to limit unsent records, oldest first.
    std::vector<Record> Unsent(int64_t limit);
    int64_t UnsentCount();
    // Marks these ids sent (unknown ids are ignored).
    void MarkSent(const std::vector<std::string>& ids);
    // Stores the record (as Insert) set aside with the server's reason, in
    // one transaction; false when its id was already there. Its serial
    // values (but kept ones) are noted void in the lease, in the same
    // transaction: its board may carry them, and the server has no record
    // to mark them by.
    bool InsertSetAside(const Record& record, const std::string& reason);
    // An unsent record becomes set aside, with the server's reason; its
    // values are noted void in the lease as by InsertSetAside.
    void SetAside(const std::string& id, const std::string& reason);
    SetAsideSummary SetAsideRecords(int64_t limit) override;

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

    // A station's lease (SerialSource): values of the line's pools that the
    // server holds for this station, kept here so that a killed process
    // loses none. state: free (not given out), reserved (given to slot),
    // sent (may be on a board), void (a killed run's sent value, or a value
    // of a record set aside: still to be voided on the server). run: the run that holds it on the server. A
    // record stored here with a serial drops that value from the lease in
    // the same transaction: the record carries its fate from then on.
    struct LeaseRow {
        std::string pool, value, state, slot, run;
    };
    // Adds values (in the pool's order) as free, held for run.
    void AddLease(const std::string& pool, const std::vector<std::string>& values,
                  const std::string& run);
    // The first free value of pool, now reserved for slot; none when none is left.
    std::optional<std::string> TakeLease(const std::string& pool, const std::string& slot);
    // reserved -> sent; false when value is not reserved here.
    bool LeaseSent(const std::string& pool, const std::string& value);
    // reserved -> free (a value that was sent stays sent).
    void LeaseBack(const std::string& pool, const std::string& value);
    int64_t LeaseFree(const std::string& pool);
    std::vector<LeaseRow> LeaseRows();
    void DropLease(const std::string& pool, const std::string& value);
    // At a start: what a killed run left reserved goes back to free, what
    // it sent becomes void.
    void SettleLease();
    // True when a record here carries value of pool as used.
    bool UsedHere(const std::string& pool, const std::string& value);

  private:
    // Runs work (given the backend-neutral view of this connection) under
    // the lock, in a write transaction when write is set.
    template <typename Work>
    auto Locked(bool write, Work work);
    void OpenAndMigrate();
    void UseWal();
    bool InsertLocked(const Record& record, bool unsent);
    void SetAsideLocked(const std::string& id, const std::string& reason);
    void LeaseVoidLocked(const std::string& id);
    // Runs one statement (prepared once, kept in cache_) under lock_.
    std::vector<sql::Row> QueryLocked(const std::string& sqlText,
                                      const std::vector<sql::Value>& params);

    std::string path_;
    sqlite3* db_ = nullptr;
    std::mutex lock_;
    std::map<std::string, sqlite3_stmt*> cache_;
};

}  // namespace qmb::store
