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
    // one transaction; false when its id was already there.
    bool InsertSetAside(const Record& record, const std::string& reason);
    // An unsent record becomes set aside, with the server's reason.
    void SetAside(const std::string& id, const std::string& reason);
    SetAsideSummary SetAsideRecords(int64_t limit) override;

  private:
    void OpenAndMigrate();
    bool InsertLocked(const Record& record, bool unsent);
    void SetAsideLocked(const std::string& id, const std::string& reason);
    // Runs one statement (prepared once, kept in cache_) under lock_.
    std::vector<sql::Row> QueryLocked(const std::string& sqlText,
                                      const std::vector<sql::Value>& params);

    std::string path_;
    sqlite3* db_ = nullptr;
    std::mutex lock_;
    std::map<std::string, sqlite3_stmt*> cache_;
};

}  // namespace qmb::store
