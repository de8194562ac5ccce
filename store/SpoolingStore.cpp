#include "store/SpoolingStore.h"

#include <algorithm>
#include <functional>

#include "store/SqlShared.h"
#ifdef QMB_WITH_POSTGRESQL
#include "store/PostgresStore.h"
#endif

namespace qmb::store {

namespace {

// Records sent to the server in one transaction: by Sync, and after a live
// insert (small, so that a batch fits in what is left of a board's bound).
constexpr int64_t kSendBatch = 500;
constexpr int64_t kInlineBatch = 50;

bool IsUnreachable(const StoreError& e) { return e.kind() == StoreError::Kind::kUnreachable; }
bool IsRejected(const StoreError& e) { return e.kind() == StoreError::Kind::kRejected; }

using InsertOne = std::function<bool(const Record&)>;
using InsertMany = std::function<int64_t(const std::vector<Record>&)>;

// Sends one batch: committed on the server before it is marked sent, so an
// interruption at any point leaves records unsent (sent again later and
// skipped by id), never lost. When the server refuses the batch for one of
// its records, they go one by one: those refused for good are set aside
// with the server's reason, the others are sent. Throws on anything else.
// Returns how many were sent.
int64_t SendBatch(SqliteStore& local, const std::vector<Record>& batch, const InsertMany& many,
               const InsertOne& one) {
    try {
        many(batch);
        std::vector<std::string> ids;
        ids.reserve(batch.size());
        for (const auto& r : batch) ids.push_back(r.id);
        local.MarkSent(ids);
        return static_cast<int64_t>(batch.size());
    } catch (const StoreError& e) {
        if (!IsRejected(e)) throw;
    }
    int64_t sent = 0;
    for (const auto& r : batch) {
        try {
            one(r);
            local.MarkSent({r.id});
            ++sent;
        } catch (const StoreError& e) {
            if (!IsRejected(e)) throw;
            local.SetAside(r.id, e.what());
        }
    }
    return sent;
}

// Sends every unsent record of local, oldest first, a batch at a time.
// Returns how many went to the server (not those set aside).
int64_t SendUnsent(SqliteStore& local, const InsertMany& many, const InsertOne& one) {
    int64_t sent = 0;
    for (;;) {
        std::vector<Record> batch = local.Unsent(kSendBatch);
        if (batch.empty()) return sent;
        sent += SendBatch(local, batch, many, one);
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
    : SpoolingStore(serverUrl, localPath, Options{retryInterval, std::chrono::seconds(2), {}}) {}

SpoolingStore::SpoolingStore(const std::string& serverUrl, const std::string& localPath,
                             Options options)
    : serverUrl_(serverUrl), local_(localPath), options_(std::move(options)) {
    if (serverUrl.rfind("postgresql://", 0) != 0 && serverUrl.rfind("postgres://", 0) != 0)
        throw StoreError(StoreError::Kind::kInvalid,
                         "the spooling store's server must be a postgresql:// URL, not \"" +
                             RedactUrl(serverUrl) + "\"");
#ifndef QMB_WITH_POSTGRESQL
    throw StoreError(StoreError::Kind::kInvalid,
                     RedactUrl(serverUrl) + ": this build has no PostgreSQL support");
#endif
    Server(true, Clock::now() + options_.boardBound, true);
}

SpoolingStore::~SpoolingStore() {
    closing_ = true;  // a connection tried in the background gives up within 50 ms
    std::thread prober;
    {
        std::lock_guard<std::mutex> hold(lock_);
        prober = std::move(prober_);
    }
    if (prober.joinable()) prober.join();
}

std::string SpoolingStore::Describe() const {
    return RedactUrl(serverUrl_) + " (spool " + local_.Describe() + ")";
}

std::shared_ptr<PostgresStore> SpoolingStore::Server(bool force, Clock::time_point deadline,
                                                     bool fromOpen) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!force && Clock::now() < nextTry_) return nullptr;
        if (server_) return server_;
        if (connecting_) return nullptr;
        connecting_ = true;
        if (!force && lastSlow_) {
            // The last try ran out its time: the next runs in the background,
            // so that a silent server holds no more boards. The one before
            // has ended (connecting_ was false), so joining it is quick.
            if (prober_.joinable()) prober_.join();
            prober_ = std::thread([this] { Connect(Clock::now() + options_.boardBound, false); });
            return nullptr;
        }
    }
    return Connect(deadline, fromOpen);
}

std::shared_ptr<PostgresStore> SpoolingStore::Connect(Clock::time_point deadline, bool fromOpen) {
    // Connecting (and checking the schema) happens outside the lock: the
    // other calls spool meanwhile instead of queueing behind it.
    std::shared_ptr<PostgresStore> made;
    try {
#ifdef QMB_WITH_POSTGRESQL
        made = std::make_shared<PostgresStore>(
            serverUrl_, [this] { return closing_.load() || Stopping(); }, deadline);
#else
        (void)deadline;
#endif
    } catch (const StoreError& e) {
        const bool slow = Clock::now() >= deadline;
        std::lock_guard<std::mutex> hold(lock_);
        // In one step: a caller that sees connecting_ false may join this
        // thread while it holds the lock.
        connecting_ = false;
        // At open, a database that is refused is the user's to mend; later
        // it is one more way for the server to be away.
        if (fromOpen && !IsUnreachable(e)) throw;
        LostLocked(slow);
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(lock_);
    connecting_ = false;
    server_ = made;
    failures_ = 0;
    lastSlow_ = false;
    return server_;
}

void SpoolingStore::Lost(bool slow) {
    std::lock_guard<std::mutex> hold(lock_);
    LostLocked(slow);
}

void SpoolingStore::LostLocked(bool slow) {
    failures_ = std::min(failures_ + 1, 8);
    const int64_t factor = std::min<int64_t>(int64_t{1} << (failures_ - 1), 12);
    nextTry_ = Clock::now() + options_.retryInterval * factor;
    lastSlow_ = slow;
    // A server that stopped answering is asked again on a fresh connection
    // (made in the background), not by the next board's insert.
    if (slow) server_.reset();
}

bool SpoolingStore::Insert(const Record& record) {
    sql::RequireSound(record);
#ifdef QMB_WITH_POSTGRESQL
    const auto deadline = Clock::now() + options_.boardBound;
    if (!Stopping()) {
        if (std::shared_ptr<PostgresStore> server = Server(false, deadline)) {
            bool added = false;
            try {
                added = server->Insert(record, deadline);
            } catch (const StoreError& e) {
                if (IsRejected(e)) return local_.InsertSetAside(record, e.what());
                // Anything else is the server's, not the record's: spool it.
                Lost(Clock::now() >= deadline);
                return local_.InsertUnsent(record);
            }
            {
                std::lock_guard<std::mutex> hold(lock_);
                failures_ = 0;
            }
            // The record carries its values' fate now: out of the lease.
            for (const auto& s : record.serials) local_.DropLease(s.pool, s.value);
            // Some of the spool in the time left; another sender at work
            // is left to it. This record is stored whatever happens here.
            std::unique_lock<std::mutex> sending(sendLock_, std::try_to_lock);
            if (sending && local_.UnsentCount() > 0) {
                try {
                    SendBatch(local_, local_.Unsent(kInlineBatch),
                              [&](const std::vector<Record>& b) { return server->InsertAll(b, deadline); },
                              [&](const Record& r) { return server->Insert(r, deadline); });
                } catch (const StoreError&) {
                    Lost(Clock::now() >= deadline);
                }
            }
            return added;
        }
    }
#endif
    return local_.InsertUnsent(record);
}

int64_t SpoolingStore::Sync() {
    {
        // A try under way in the background ends within the bound: wait
        // for it rather than report the server away.
        std::thread prober;
        {
            std::lock_guard<std::mutex> hold(lock_);
            prober = std::move(prober_);
        }
        if (prober.joinable()) prober.join();
    }
    std::shared_ptr<PostgresStore> server = Server(true, Clock::now() + options_.boardBound);
    if (!server)
        throw StoreError(StoreError::Kind::kUnreachable,
                         RedactUrl(serverUrl_) + ": server unreachable; " +
                             std::to_string(local_.UnsentCount()) + " records stay unsent");
#ifdef QMB_WITH_POSTGRESQL
    std::lock_guard<std::mutex> sending(sendLock_);
    try {
        return SendUnsent(local_,
                          [&](const std::vector<Record>& b) { return server->InsertAll(b); },
                          [&](const Record& r) { return server->Insert(r); });
    } catch (const StoreError& e) {
        if (!IsRejected(e)) Lost();
        throw;
    }
#else
    return 0;
#endif
}

std::vector<Record> SpoolingStore::List(const RecordFilter& filter) {
#ifdef QMB_WITH_POSTGRESQL
    if (std::shared_ptr<PostgresStore> server = Server(false, Clock::now() + options_.boardBound)) {
        try {
            return server->List(filter);
        } catch (const StoreError& e) {
            if (!IsUnreachable(e)) throw;
            Lost(true);
        }
    }
#endif
    return local_.List(filter);
}

Stats SpoolingStore::ComputeStats(const RecordFilter& filter) {
#ifdef QMB_WITH_POSTGRESQL
    if (std::shared_ptr<PostgresStore> server = Server(false, Clock::now() + options_.boardBound)) {
        try {
            return server->ComputeStats(filter);
        } catch (const StoreError& e) {
            if (!IsUnreachable(e)) throw;
            Lost(true);
        }
    }
#endif
    return local_.ComputeStats(filter);
}

template <typename Work>
auto SpoolingStore::OnServer(Work work) {
#ifdef QMB_WITH_POSTGRESQL
    std::shared_ptr<PostgresStore> server = Server(false, Clock::now() + options_.boardBound);
    if (server) {
        try {
            return work(static_cast<RecordStore&>(*server));
        } catch (const StoreError& e) {
            if (IsUnreachable(e)) Lost(true);
            throw;
        }
    }
#endif
    throw StoreError(StoreError::Kind::kUnreachable,
                     RedactUrl(serverUrl_) + ": server unreachable (serial pools and releases are "
                                             "kept there)");
    return work(static_cast<RecordStore&>(local_));  // never reached: gives the return type
}

int64_t SpoolingStore::CreatePool(const std::string& pool, uint64_t first, uint64_t last,
                                  uint64_t step, int64_t lowWater) {
    return OnServer([&](RecordStore& s) { return s.CreatePool(pool, first, last, step, lowWater); });
}
int64_t SpoolingStore::ImportPool(const std::string& pool, const std::vector<std::string>& values,
                                  int64_t lowWater) {
    return OnServer([&](RecordStore& s) { return s.ImportPool(pool, values, lowWater); });
}
std::vector<PoolLevel> SpoolingStore::Pools() {
    return OnServer([&](RecordStore& s) { return s.Pools(); });
}
PoolLevel SpoolingStore::ShowPool(const std::string& pool) {
    return OnServer([&](RecordStore& s) { return s.ShowPool(pool); });
}
std::vector<LedgerEntry> SpoolingStore::Ledger(const std::string& pool) {
    return OnServer([&](RecordStore& s) { return s.Ledger(pool); });
}
std::vector<std::string> SpoolingStore::Reserve(const std::string& pool, const SerialHolder& h,
                                                int64_t n) {
    return OnServer([&](RecordStore& s) { return s.Reserve(pool, h, n); });
}
int64_t SpoolingStore::ReturnSerials(const std::string& pool, const std::vector<std::string>& values,
                                     const SerialHolder& h) {
    return OnServer([&](RecordStore& s) { return s.ReturnSerials(pool, values, h); });
}
bool SpoolingStore::MarkSerialSent(const std::string& pool, const std::string& value,
                                   const SerialHolder& h) {
    return OnServer([&](RecordStore& s) { return s.MarkSerialSent(pool, value, h); });
}
bool SpoolingStore::VoidSerial(const std::string& pool, const std::string& value,
                               const SerialHolder& h) {
    return OnServer([&](RecordStore& s) { return s.VoidSerial(pool, value, h); });
}
std::string SpoolingStore::SerialState(const std::string& pool, const std::string& value) {
    return OnServer([&](RecordStore& s) { return s.SerialState(pool, value); });
}
SettleCounts SpoolingStore::SettleStale(const std::string& station, const std::string& run) {
    Sync();
    const int64_t voided = VoidLeased(station);
    SettleCounts settled = OnServer([&](RecordStore& s) { return s.SettleStale(station, run); });
    settled.voided += voided;
    return settled;
}

int64_t SpoolingStore::VoidLeased(const std::string& station) {
    int64_t voided = 0;
    for (const auto& row : local_.LeaseRows()) {
        if (row.state != "void") continue;
        if (VoidSerial(row.pool, row.value, {station, "", row.run})) {
            ++voided;
        } else {
            const std::string state = SerialState(row.pool, row.value);
            if (state == "reserved" || state == "sent") continue;  // held under another name
        }
        local_.DropLease(row.pool, row.value);
    }
    return voided;
}
void SpoolingStore::ReleaseRecipe(const Release& release) {
    OnServer([&](RecordStore& s) {
        s.ReleaseRecipe(release);
        return 0;
    });
}
bool SpoolingStore::RevokeRecipe(const std::string& identity, const std::string& by) {
    return OnServer([&](RecordStore& s) { return s.RevokeRecipe(identity, by); });
}
std::vector<Release> SpoolingStore::Releases(const std::optional<std::string>& product) {
    return OnServer([&](RecordStore& s) { return s.Releases(product); });
}
int64_t SpoolingStore::PassedBoards(const std::string& identity) {
    return OnServer([&](RecordStore& s) { return s.PassedBoards(identity); });
}

int64_t SyncSpool(const std::string& localUrl, const std::string& serverUrl) {
    SqliteStore local(SqlitePath(localUrl));
    std::unique_ptr<RecordStore> server = OpenRecordStore(serverUrl);
    if (!server) throw StoreError(StoreError::Kind::kInvalid, "sync needs a server URL, not none");
    return SendUnsent(local, [&](const std::vector<Record>& b) { return server->InsertAll(b); },
                      [&](const Record& r) { return server->Insert(r); });
}

}  // namespace qmb::store
