// A station's store in front of the line's server: nothing lost, nothing
// doubled when the server goes away.
//
// Insert tries the PostgreSQL store first. When the server is unreachable
// (at open or during the run) the record goes into the local SQLite store,
// marked unsent (its id in the file's unsent table), and Insert still
// succeeds once it is committed there. Each later Insert, and Sync, first
// tries to send what is unsent: each record is inserted on the server by id
// (a record the server already has is not doubled) and then marked sent.
// A server that did not answer is tried again at most every retryInterval.
//
// List and ComputeStats read the server when it answers, else the local
// store (which then holds only what this station spooled).
//
// Threads: as every RecordStore; sending the spool is serialised.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "store/RecordStore.h"
#include "store/SqliteStore.h"

namespace qmb::store {

class SpoolingStore : public RecordStore {
  public:
    // serverUrl: postgresql://...; localPath: the spool's SQLite file.
    // Does not throw when the server is unreachable (the records spool);
    // throws StoreError for a bad URL, a server database that is refused,
    // or a local file that cannot be used.
    SpoolingStore(const std::string& serverUrl, const std::string& localPath,
                  std::chrono::milliseconds retryInterval = std::chrono::seconds(5));

    bool Insert(const Record& record) override;
    std::vector<Record> List(const RecordFilter& filter) override;
    Stats ComputeStats(const RecordFilter& filter) override;
    std::string Describe() const override;

    // Sends every unsent record now; returns how many were sent. Throws
    // StoreError(kUnreachable) when the server does not answer.
    int64_t Sync();
    // Records waiting to be sent.
    int64_t Unsent() { return local_.UnsentCount(); }
    // True when the last attempt reached the server.
    bool Online();

  private:
    // The server's store, connecting when due; nullptr while unreachable.
    RecordStore* Server(bool force);
    void Lost();
    int64_t SendSpool(RecordStore& server);

    std::string serverUrl_;
    SqliteStore local_;
    std::chrono::milliseconds retryInterval_;
    std::mutex lock_;       // server_, nextTry_
    std::mutex sendLock_;   // one sender of the spool at a time
    std::shared_ptr<RecordStore> server_;
    std::chrono::steady_clock::time_point nextTry_{};
};

}  // namespace qmb::store
