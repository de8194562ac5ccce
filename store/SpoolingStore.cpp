#include "store/SpoolingStore.h"

#include "store/SqlShared.h"

namespace qmb::store {

namespace {

// Records sent to the server in one transaction.
constexpr int64_t kSendBatch = 500;

bool IsUnreachable(const StoreError& e) { return e.kind() == StoreError::Kind::kUnreachable; }

// Sends the unsent records of local to server, oldest first, a batch at a
// time: each batch is committed on the server before it is marked sent, so
// an interruption at any point leaves records unsent (sent again later and
// skipped by id), never lost.
int64_t SendUnsent(SqliteStore& local, RecordStore& server) {
    int64_t sent = 0;
    for (;;) {
        std::vector<Record> batch = local.Unsent(kSendBatch);
        if (batch.empty()) return sent;
        server.InsertAll(batch);
        std::vector<std::string> ids;
        ids.reserve(batch.size());
        for (const auto& r : batch) ids.push_back(r.id);
        local.MarkSent(ids);
        sent += static_cast<int64_t>(batch.size());
    }
}

std::string SqlitePath(const std::string& url) {
    if (url.rfind("sqlite:", 0) != 0 || url.size() == 7)
        throw StoreError(StoreError::Kind::kInvalid,
                         "the spool must be a sqlite:PATH URL, not \"" + RedactUrl(url) + "\"");
    return url.substr(7);
}

}  // namespace

SpoolingStore::SpoolingStore(const std::string& serverUrl, const std::string& localPath,
                             std::chrono::milliseconds retryInterval)
    : serverUrl_(serverUrl), local_(localPath), retryInterval_(retryInterval) {
    if (serverUrl.rfind("postgresql://", 0) != 0 && serverUrl.rfind("postgres://", 0) != 0)
        throw StoreError(StoreError::Kind::kInvalid,
                         "the spooling store's server must be a postgresql:// URL, not \"" +
                             RedactUrl(serverUrl) + "\"");
    Server(true);
}

std::string SpoolingStore::Describe() const {
    return RedactUrl(serverUrl_) + " (spool " + local_.Describe() + ")";
}

RecordStore* SpoolingStore::Server(bool force) {
    std::lock_guard<std::mutex> hold(lock_);
    auto now = std::chrono::steady_clock::now();
    if (!force && now < nextTry_) return nullptr;
    if (server_) return server_.get();
    try {
        server_ = OpenRecordStore(serverUrl_);
    } catch (const StoreError& e) {
        if (!IsUnreachable(e)) throw;
        nextTry_ = now + retryInterval_;
        return nullptr;
    }
    return server_.get();
}

void SpoolingStore::Lost() {
    std::lock_guard<std::mutex> hold(lock_);
    nextTry_ = std::chrono::steady_clock::now() + retryInterval_;
}

bool SpoolingStore::Online() { return Server(false) != nullptr; }

int64_t SpoolingStore::SendSpool(RecordStore& server) {
    std::lock_guard<std::mutex> hold(sendLock_);
    if (local_.UnsentCount() == 0) return 0;
    return SendUnsent(local_, server);
}

bool SpoolingStore::Insert(const Record& record) {
    sql::RequireSound(record);
    // The store is never destroyed while a call runs, and server_ once made
    // is kept (it reconnects by itself), so the pointer stays good.
    if (RecordStore* server = Server(false)) {
        bool reached = true;
        try {
            SendSpool(*server);
        } catch (const StoreError& e) {
            // Whatever became of the spool, this record is stored: on the
            // server unless it went away; the spool stays for the next try.
            if (IsUnreachable(e)) {
                Lost();
                reached = false;
            }
        }
        if (reached) {
            try {
                return server->Insert(record);
            } catch (const StoreError& e) {
                if (!IsUnreachable(e)) throw;
                Lost();
            }
        }
    }
    return local_.InsertUnsent(record);
}

int64_t SpoolingStore::Sync() {
    RecordStore* server = Server(true);
    if (!server)
        throw StoreError(StoreError::Kind::kUnreachable,
                         RedactUrl(serverUrl_) + ": server unreachable; " +
                             std::to_string(local_.UnsentCount()) + " records stay unsent");
    try {
        return SendSpool(*server);
    } catch (const StoreError& e) {
        if (IsUnreachable(e)) Lost();
        throw;
    }
}

std::vector<Record> SpoolingStore::List(const RecordFilter& filter) {
    if (RecordStore* server = Server(false)) {
        try {
            return server->List(filter);
        } catch (const StoreError& e) {
            if (!IsUnreachable(e)) throw;
            Lost();
        }
    }
    return local_.List(filter);
}

Stats SpoolingStore::ComputeStats(const RecordFilter& filter) {
    if (RecordStore* server = Server(false)) {
        try {
            return server->ComputeStats(filter);
        } catch (const StoreError& e) {
            if (!IsUnreachable(e)) throw;
            Lost();
        }
    }
    return local_.ComputeStats(filter);
}

int64_t SyncSpool(const std::string& localUrl, const std::string& serverUrl) {
    SqliteStore local(SqlitePath(localUrl));
    std::unique_ptr<RecordStore> server = OpenRecordStore(serverUrl);
    if (!server) throw StoreError(StoreError::Kind::kInvalid, "sync needs a server URL, not none");
    return SendUnsent(local, *server);
}

}  // namespace qmb::store
