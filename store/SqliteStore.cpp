#include "store/SqliteStore.h"

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "store/SqlShared.h"

namespace qmb::store {

namespace {

constexpr int kApplicationId = 0x514D4252;  // "QMBR"

// Schema steps: kMigrations[v] takes a file from version v to v + 1.
const char* const kMigrations[] = {
    // 0 -> 1: the records, their indexes, their counts (see SqlShared.h), the spool.
    R"sql(
CREATE TABLE records (
    "id"            TEXT PRIMARY KEY NOT NULL,
    "station"       TEXT NOT NULL,
    "slot"          INTEGER NOT NULL,
    "port"          TEXT NOT NULL,
    "device"        TEXT NOT NULL,
    "operator"      TEXT NOT NULL,
    "batch"         TEXT NOT NULL,
    "mode"          TEXT NOT NULL,
    "board"         INTEGER NOT NULL,
    "section"       INTEGER NOT NULL,
    "image_sha256"  TEXT NOT NULL,
    "image_length"  INTEGER NOT NULL,
    "tool_version"  TEXT NOT NULL,
    "started_at"    TEXT NOT NULL,
    "ended_at"      TEXT NOT NULL,
    "duration_ms"   INTEGER NOT NULL,
    "status"        TEXT NOT NULL,
    "result"        TEXT,
    "failure_code"  TEXT,
    "failure_phase" TEXT,
    "retries"       INTEGER NOT NULL,
    "dut_id"        TEXT,
    "reason"        TEXT NOT NULL,
    prev_started_at TEXT
) WITHOUT ROWID;
CREATE INDEX records_time ON records (started_at, id);
CREATE INDEX records_slot ON records (station, slot, started_at);
CREATE INDEX records_result ON records (result, started_at);
CREATE INDEX records_dut ON records (dut_id, started_at, id) WHERE dut_id IS NOT NULL;
CREATE INDEX records_retry ON records (started_at, prev_started_at)
    WHERE prev_started_at IS NOT NULL;
CREATE TABLE record_counts (
    hour         TEXT NOT NULL,
    station      TEXT NOT NULL,
    slot         INTEGER NOT NULL,
    section      INTEGER NOT NULL,
    result       TEXT NOT NULL,
    failure_code TEXT NOT NULL,
    records      INTEGER NOT NULL,
    no_dut       INTEGER NOT NULL,
    first_known  INTEGER NOT NULL,
    PRIMARY KEY (hour, station, slot, section, result, failure_code)
) WITHOUT ROWID;
CREATE TABLE unsent ("id" TEXT PRIMARY KEY NOT NULL) WITHOUT ROWID;
)sql",
    // 1 -> 2: slot names, recipe identities and serials of the records; the
    // serial pools and their ledger; the releases; a station's lease.
    R"sql(
ALTER TABLE records ADD COLUMN "slot_name" TEXT NOT NULL DEFAULT '';
ALTER TABLE records ADD COLUMN "recipe_sha256" TEXT;
CREATE INDEX records_recipe ON records (recipe_sha256, result) WHERE recipe_sha256 IS NOT NULL;
CREATE TABLE record_serials (
    record_id TEXT NOT NULL,
    position  INTEGER NOT NULL,
    pool      TEXT NOT NULL,
    value     TEXT NOT NULL,
    state     TEXT NOT NULL CHECK (state IN ('used', 'kept', 'void')),
    PRIMARY KEY (record_id, position)
) WITHOUT ROWID;
CREATE UNIQUE INDEX record_serials_used ON record_serials (pool, value) WHERE state = 'used';
CREATE INDEX record_serials_value ON record_serials (value);
CREATE TABLE serial_pools (
    pool       TEXT PRIMARY KEY NOT NULL,
    low_water  INTEGER NOT NULL,
    created_at TEXT NOT NULL
) WITHOUT ROWID;
CREATE TABLE serial_values (
    pool        TEXT NOT NULL,
    seq         INTEGER NOT NULL,
    value       TEXT NOT NULL,
    state       TEXT NOT NULL DEFAULT 'free'
                CHECK (state IN ('free', 'reserved', 'sent', 'used', 'void')),
    record_id   TEXT,
    station     TEXT,
    slot        TEXT,
    run         TEXT,
    reserved_at TEXT,
    ended_at    TEXT,
    PRIMARY KEY (pool, seq),
    UNIQUE (pool, value)
) WITHOUT ROWID;
CREATE INDEX serial_values_free ON serial_values (pool, seq) WHERE state = 'free';
CREATE INDEX serial_values_held ON serial_values (station, run) WHERE state IN ('reserved', 'sent');
CREATE TABLE releases (
    identity    TEXT PRIMARY KEY NOT NULL,
    product     TEXT NOT NULL,
    released_by TEXT NOT NULL,
    released_at TEXT NOT NULL,
    quota       INTEGER,
    revoked_at  TEXT,
    revoked_by  TEXT NOT NULL DEFAULT ''
) WITHOUT ROWID;
CREATE TABLE serial_lease (
    pool  TEXT NOT NULL,
    value TEXT NOT NULL,
    seq   INTEGER NOT NULL,
    state TEXT NOT NULL CHECK (state IN ('free', 'reserved', 'sent', 'void')),
    slot  TEXT NOT NULL DEFAULT '',
    run   TEXT NOT NULL,
    PRIMARY KEY (pool, value)
) WITHOUT ROWID;
)sql",
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == kSchemaVersion,
              "one migration step per schema version");

// The records of the spool the server refused for good, with its reason.
// Added to a file of schema 1 when it is opened; a build that does not know
// it leaves it alone, so it needs no schema version of its own.
constexpr const char* kSetAsideTable =
    "CREATE TABLE IF NOT EXISTS set_aside (\"id\" TEXT PRIMARY KEY NOT NULL,"
    " reason TEXT NOT NULL, set_at TEXT NOT NULL) WITHOUT ROWID";

// The last error of db as a StoreError: a file that is not a database or
// is damaged is kRefused, anything else kFailed.
[[noreturn]] void FailOn(sqlite3* db, const std::string& path) {
    int code = sqlite3_errcode(db);
    std::string message = "sqlite:" + path + ": " + sqlite3_errmsg(db);
    throw StoreError(code == SQLITE_NOTADB || code == SQLITE_CORRUPT ? StoreError::Kind::kRefused
                     : code == SQLITE_CONSTRAINT                    ? StoreError::Kind::kRejected
                                                                     : StoreError::Kind::kFailed,
                     message);
}

class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql, const std::string& path) : db_(db), path_(path) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) Fail();
    }
    // A statement of the store's cache (never null): reset, not finalised,
    // at the end.
    Statement(sqlite3* db, sqlite3_stmt* cached, const std::string& path)
        : db_(db), path_(path), stmt_(cached), owned_(false) {}
    ~Statement() {
        if (owned_) {
            sqlite3_finalize(stmt_);
        } else {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void Bind(const std::vector<sql::Value>& values) {
        for (size_t i = 0; i < values.size(); ++i) {
            const auto& v = values[i];
            int index = static_cast<int>(i + 1);
            int rc = v.type == sql::Value::Type::kNull ? sqlite3_bind_null(stmt_, index)
                     : v.type == sql::Value::Type::kInteger
                         ? sqlite3_bind_int64(stmt_, index, v.integer)
                         : sqlite3_bind_text(stmt_, index, v.text.data(),
                                             static_cast<int>(v.text.size()), SQLITE_TRANSIENT);
            if (rc != SQLITE_OK) Fail();
        }
    }
    // True while there is a row.
    bool Step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        Fail();
    }
    void Reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    int64_t Integer(int column) { return sqlite3_column_int64(stmt_, column); }
    std::string Text(int column) {
        const unsigned char* text = sqlite3_column_text(stmt_, column);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                    : std::string();
    }
    int Columns() { return sqlite3_column_count(stmt_); }
    sql::Value ValueAt(int column) {
        switch (sqlite3_column_type(stmt_, column)) {
            case SQLITE_NULL: return sql::Value::Null();
            case SQLITE_INTEGER: return sql::Value::Of(Integer(column));
            default: return sql::Value::Of(Text(column));
        }
    }

    [[noreturn]] void Fail() { FailOn(db_, path_); }

  private:
    sqlite3* db_;
    const std::string& path_;
    sqlite3_stmt* stmt_ = nullptr;
    bool owned_ = true;
};

std::string Placeholder(size_t index) { return "?" + std::to_string(index); }

// ROLLBACK unless Commit ran: an error anywhere leaves nothing half-written.
class Transaction {
  public:
    Transaction(sqlite3* db, const std::string& path) : db_(db), path_(path) {
        Exec("BEGIN IMMEDIATE");
    }
    ~Transaction() {
        if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void Commit() {
        Exec("COMMIT");
        open_ = false;
    }
    void Exec(const char* sqlText) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sqlText, nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = "sqlite:" + path_ + ": " + (error ? error : "failed");
            sqlite3_free(error);
            throw StoreError(StoreError::Kind::kFailed, message);
        }
    }

  private:
    sqlite3* db_;
    const std::string& path_;
    bool open_ = true;
};

}  // namespace

SqliteStore::SqliteStore(const std::string& path) : path_(path) {
    if (path.empty()) throw StoreError(StoreError::Kind::kInvalid, "sqlite: URL names no file");
    std::error_code ec;
    std::filesystem::path parent = std::filesystem::u8path(path).parent_path();  // UTF-8, wide on Windows
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, ec);
        if (ec)
            throw StoreError(StoreError::Kind::kFailed,
                             "sqlite:" + path + ": cannot make its folder: " + ec.message());
    }
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError(StoreError::Kind::kFailed, "sqlite:" + path + ": cannot open: " + message);
    }
    try {
        OpenAndMigrate();
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

SqliteStore::~SqliteStore() {
    for (auto& [text, statement] : cache_) sqlite3_finalize(statement);
    sqlite3_close(db_);
}

template <typename Work>
auto SqliteStore::Locked(bool write, Work work) {
    std::lock_guard<std::mutex> hold(lock_);
    const sql::Db db{[this](const std::string& t, const std::vector<sql::Value>& v) {
                         return QueryLocked(t, v);
                     },
                     Placeholder, false};
    if (!write) return work(db);
    Transaction t(db_, path_);
    auto outcome = work(db);
    t.Commit();
    return outcome;
}

void SqliteStore::UseWal() {
    // A new file turned to WAL by two processes at once: SQLite answers one
    // of them SQLITE_BUSY without waiting, so it is tried again within the
    // busy timeout.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        sqlite3_stmt* wal = nullptr;
        int rc = sqlite3_prepare_v2(db_, "PRAGMA journal_mode=WAL", -1, &wal, nullptr);
        std::string mode;
        if (rc == SQLITE_OK && (rc = sqlite3_step(wal)) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(wal, 0);
            mode = text ? reinterpret_cast<const char*>(text) : "";
            rc = SQLITE_OK;
        }
        sqlite3_finalize(wal);
        if (rc == SQLITE_OK && mode == "wal") return;
        if ((rc & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline)
            throw StoreError(StoreError::Kind::kFailed,
                             "sqlite:" + path_ + ": cannot use a WAL journal" +
                                 (rc == SQLITE_OK ? std::string() : std::string(": ") + sqlite3_errstr(rc)));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void SqliteStore::OpenAndMigrate() {
    sqlite3_busy_timeout(db_, 5000);
    auto pragma = [&](const std::string& sqlText) {
        Statement s(db_, sqlText, path_);
        return s.Step() ? s.Integer(0) : int64_t{0};
    };
    const std::string where = "sqlite:" + path_;
    // The checks read one snapshot: another process making this file at the
    // same moment is seen before its schema or after it, never half-way
    // (its tables without its application id). Closing the connection on
    // a refusal ends the read.
    if (sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) FailOn(db_, path_);
    int64_t applicationId;
    try {
        applicationId = pragma("PRAGMA application_id");
    } catch (const StoreError&) {
        throw StoreError(StoreError::Kind::kRefused,
                         where + " is not a SQLite database (damaged, or another kind of file)");
    }
    int64_t objects;
    try {
        objects = pragma("SELECT count(*) FROM sqlite_master");
    } catch (const StoreError&) {
        throw StoreError(StoreError::Kind::kRefused, where + " is a damaged SQLite database");
    }
    if (applicationId == 0 && objects > 0)
        throw StoreError(StoreError::Kind::kRefused,
                         where + " holds another program's tables, not board records");
    if (applicationId != 0 && applicationId != kApplicationId)
        throw StoreError(StoreError::Kind::kRefused,
                         where + " belongs to another program (its application id is not qmb-edit's)");
    auto refuseNewer = [&](int64_t version) {
        if (version > kSchemaVersion)
            throw StoreError(StoreError::Kind::kRefused,
                             where + " has schema version " + std::to_string(version) +
                                 ", newer than this qmb-edit's " + std::to_string(kSchemaVersion) +
                                 ": update qmb-edit");
    };
    refuseNewer(pragma("PRAGMA user_version"));
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) FailOn(db_, path_);

    UseWal();
    char* error = nullptr;
    if (sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "failed";
        sqlite3_free(error);
        throw StoreError(StoreError::Kind::kFailed, where + ": " + message);
    }

    Transaction t(db_, path_);
    // Read again inside the write lock: another process may have just made it.
    int64_t version = pragma("PRAGMA user_version");
    refuseNewer(version);
    if (version == kSchemaVersion) {
        t.Exec(kSetAsideTable);
        t.Commit();
        return;
    }
    for (int64_t v = version; v < kSchemaVersion; ++v) t.Exec(kMigrations[v]);
    t.Exec(kSetAsideTable);
    t.Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
    t.Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    t.Commit();
}

std::vector<sql::Row> SqliteStore::QueryLocked(const std::string& sqlText,
                                               const std::vector<sql::Value>& params) {
    sqlite3_stmt*& cached = cache_[sqlText];
    if (!cached && sqlite3_prepare_v2(db_, sqlText.c_str(), -1, &cached, nullptr) != SQLITE_OK) {
        cache_.erase(sqlText);
        FailOn(db_, path_);  // no statement was made: nothing to reset
    }
    Statement s(db_, cached, path_);
    s.Bind(params);
    std::vector<sql::Row> rows;
    while (s.Step()) {
        sql::Row row;
        for (int i = 0; i < s.Columns(); ++i) row.push_back(s.ValueAt(i));
        rows.push_back(std::move(row));
    }
    return rows;
}

bool SqliteStore::InsertLocked(const Record& record, bool unsent) {
    auto query = [this](const std::string& sqlText, const std::vector<sql::Value>& params) {
        return QueryLocked(sqlText, params);
    };
    if (!sql::InsertCounted(record, query, Placeholder)) return false;
    if (unsent) QueryLocked("INSERT INTO unsent (id) VALUES (?1)", {sql::Value::Of(record.id)});
    for (const auto& s : record.serials)
        QueryLocked("DELETE FROM serial_lease WHERE pool = ?1 AND value = ?2",
                    {sql::Value::Of(s.pool), sql::Value::Of(s.value)});
    return true;
}

bool SqliteStore::Insert(const Record& record) {
    sql::RequireSound(record);
    std::lock_guard<std::mutex> hold(lock_);
    Transaction t(db_, path_);
    bool added = InsertLocked(record, false);
    t.Commit();
    return added;
}

int64_t SqliteStore::InsertAll(const std::vector<Record>& records) {
    for (const auto& r : records) sql::RequireSound(r);
    std::lock_guard<std::mutex> hold(lock_);
    Transaction t(db_, path_);
    int64_t added = 0;
    for (const auto& r : records) added += InsertLocked(r, false) ? 1 : 0;
    t.Commit();
    return added;
}

bool SqliteStore::InsertUnsent(const Record& record) {
    sql::RequireSound(record);
    std::lock_guard<std::mutex> hold(lock_);
    Transaction t(db_, path_);
    bool added = InsertLocked(record, true);
    t.Commit();
    return added;
}

std::vector<Record> SqliteStore::Unsent(int64_t limit) {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<Record> records;
    for (const auto& row : QueryLocked("SELECT " + sql::ColumnList("r.") +
                                           " FROM records r JOIN unsent u ON u.id = r.id"
                                           " ORDER BY r.started_at, r.id LIMIT ?1",
                                       {sql::Value::Of(limit)}))
        records.push_back(sql::ReadRecord(row));
    sql::AttachSerials(records, {[this](const std::string& t, const std::vector<sql::Value>& v) {
                                     return QueryLocked(t, v);
                                 },
                                 Placeholder, false});
    return records;
}

int64_t SqliteStore::UnsentCount() {
    std::lock_guard<std::mutex> hold(lock_);
    Statement s(db_, "SELECT count(*) FROM unsent", path_);
    s.Step();
    return s.Integer(0);
}

void SqliteStore::MarkSent(const std::vector<std::string>& ids) {
    std::lock_guard<std::mutex> hold(lock_);
    Transaction t(db_, path_);
    Statement s(db_, "DELETE FROM unsent WHERE id = ?1", path_);
    for (const auto& id : ids) {
        s.Bind({sql::Value::Of(id)});
        s.Step();
        s.Reset();
    }
    t.Commit();
}

bool SqliteStore::InsertSetAside(const Record& record, const std::string& reason) {
    sql::RequireSound(record);
    std::lock_guard<std::mutex> hold(lock_);
    Transaction t(db_, path_);
    bool added = InsertLocked(record, false);
    if (added) {
        SetAsideLocked(record.id, reason);
        LeaseVoidLocked(record.id);
    }
    t.Commit();
    return added;
}

void SqliteStore::SetAside(const std::string& id, const std::string& reason) {
    std::lock_guard<std::mutex> hold(lock_);
    Transaction t(db_, path_);
    QueryLocked("DELETE FROM unsent WHERE id = ?1", {sql::Value::Of(id)});
    SetAsideLocked(id, reason);
    LeaseVoidLocked(id);
    t.Commit();
}

void SqliteStore::LeaseVoidLocked(const std::string& id) {
    // The server never saw the record, so nothing marked its values there:
    // a value of this station's lease stays reserved for it, and would go
    // back to free at its next start though the board may carry it.
    QueryLocked("INSERT INTO serial_lease (pool, value, seq, state, slot, run)"
                " SELECT pool, value, (SELECT COALESCE(MAX(seq), -1) + 1 FROM serial_lease) + position,"
                " 'void', '', '' FROM record_serials WHERE record_id = ?1 AND state <> 'kept'"
                " ON CONFLICT (pool, value) DO UPDATE SET state = 'void'",
                {sql::Value::Of(id)});
}

void SqliteStore::SetAsideLocked(const std::string& id, const std::string& reason) {
    QueryLocked("INSERT OR IGNORE INTO set_aside (id, reason, set_at) VALUES (?1, ?2, ?3)",
                {sql::Value::Of(id), sql::Value::Of(reason),
                 sql::Value::Of(FormatUtcMillis(std::chrono::system_clock::now()))});
}

SetAsideSummary SqliteStore::SetAsideRecords(int64_t limit) {
    std::lock_guard<std::mutex> hold(lock_);
    SetAsideSummary summary;
    summary.count = sql::AsInteger(QueryLocked("SELECT count(*) FROM set_aside", {}).at(0).at(0));
    for (const auto& row : QueryLocked("SELECT " + sql::ColumnList("r.") +
                                           ", a.reason, a.set_at FROM records r JOIN set_aside a"
                                           " ON a.id = r.id ORDER BY a.set_at DESC, r.id DESC"
                                           " LIMIT ?1",
                                       {sql::Value::Of(limit)}))
        summary.newest.push_back({sql::ReadRecord(row), sql::AsText(row.at(sql::kColumnCount)),
                                  sql::AsText(row.at(sql::kColumnCount + 1))});
    std::vector<Record> records;
    for (const auto& a : summary.newest) records.push_back(a.record);
    sql::AttachSerials(records, {[this](const std::string& t, const std::vector<sql::Value>& v) {
                                     return QueryLocked(t, v);
                                 },
                                 Placeholder, false});
    for (size_t i = 0; i < records.size(); ++i) summary.newest[i].record = records[i];
    return summary;
}

std::vector<Record> SqliteStore::List(const RecordFilter& filter) {
    sql::RequireSound(filter);
    std::vector<sql::Value> params;
    const std::string sqlText = sql::ListSql(filter, params, Placeholder);
    return Locked(false, [&](const sql::Db& db) {
        std::vector<Record> records;
        for (const auto& row : db.query(sqlText, params)) records.push_back(sql::ReadRecord(row));
        sql::AttachSerials(records, db);
        return records;
    });
}

Stats SqliteStore::ComputeStats(const RecordFilter& filter) {
    sql::RequireSound(filter);
    std::lock_guard<std::mutex> hold(lock_);
    // One read transaction: every query sees the same records and counts.
    Statement begin(db_, "BEGIN", path_);
    begin.Step();
    struct End {
        sqlite3* db;
        ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
    } end{db_};
    auto query = [this](const std::string& sqlText, const std::vector<sql::Value>& params) {
        return QueryLocked(sqlText, params);
    };
    return sql::ComputeStatsFrom(filter, query, Placeholder);
}

int64_t SqliteStore::CreatePool(const std::string& pool, uint64_t first, uint64_t last,
                                uint64_t step, int64_t lowWater) {
    return Locked(true, [&](const sql::Db& db) {
        return sql::CreatePoolIn(db, pool, first, last, step, lowWater);
    });
}

int64_t SqliteStore::ImportPool(const std::string& pool, const std::vector<std::string>& values,
                                int64_t lowWater) {
    return Locked(true,
                  [&](const sql::Db& db) { return sql::ImportPoolIn(db, pool, values, lowWater); });
}

std::vector<PoolLevel> SqliteStore::Pools() {
    return Locked(false, [&](const sql::Db& db) { return sql::PoolLevelsIn(db, std::nullopt); });
}

PoolLevel SqliteStore::ShowPool(const std::string& pool) {
    const auto levels = Locked(false, [&](const sql::Db& db) { return sql::PoolLevelsIn(db, pool); });
    if (levels.empty()) throw StoreError(StoreError::Kind::kInvalid, "there is no serial pool " + pool);
    return levels[0];
}

std::vector<LedgerEntry> SqliteStore::Ledger(const std::string& pool) {
    return Locked(false, [&](const sql::Db& db) { return sql::LedgerIn(db, pool); });
}

std::vector<std::string> SqliteStore::Reserve(const std::string& pool, const SerialHolder& holder,
                                              int64_t n) {
    return Locked(true, [&](const sql::Db& db) { return sql::ReserveIn(db, pool, holder, n); });
}

int64_t SqliteStore::ReturnSerials(const std::string& pool, const std::vector<std::string>& values,
                                   const SerialHolder& holder) {
    return Locked(true, [&](const sql::Db& db) { return sql::ReturnIn(db, pool, values, holder); });
}

bool SqliteStore::MarkSerialSent(const std::string& pool, const std::string& value,
                                 const SerialHolder& holder) {
    return Locked(true, [&](const sql::Db& db) { return sql::MarkSentIn(db, pool, value, holder); });
}

bool SqliteStore::VoidSerial(const std::string& pool, const std::string& value,
                             const SerialHolder& holder) {
    return Locked(true, [&](const sql::Db& db) { return sql::VoidIn(db, pool, value, holder); });
}

std::string SqliteStore::SerialState(const std::string& pool, const std::string& value) {
    return Locked(false, [&](const sql::Db& db) { return sql::StateIn(db, pool, value); });
}

SettleCounts SqliteStore::SettleStale(const std::string& station, const std::string& run) {
    return Locked(true, [&](const sql::Db& db) { return sql::SettleIn(db, station, run); });
}

void SqliteStore::ReleaseRecipe(const Release& release) {
    Locked(true, [&](const sql::Db& db) {
        sql::ReleaseIn(db, release);
        return 0;
    });
}

bool SqliteStore::RevokeRecipe(const std::string& identity, const std::string& by) {
    return Locked(true, [&](const sql::Db& db) { return sql::RevokeIn(db, identity, by); });
}

std::vector<Release> SqliteStore::Releases(const std::optional<std::string>& product) {
    return Locked(false, [&](const sql::Db& db) { return sql::ReleasesIn(db, product); });
}

int64_t SqliteStore::PassedBoards(const std::string& identity) {
    return Locked(false, [&](const sql::Db& db) { return sql::PassedIn(db, identity); });
}

void SqliteStore::AddLease(const std::string& pool, const std::vector<std::string>& values,
                           const std::string& run) {
    Locked(true, [&](const sql::Db& db) {
        int64_t next = sql::AsInteger(
            db.query("SELECT COALESCE(MAX(seq), -1) + 1 FROM serial_lease", {}).at(0).at(0));
        for (const auto& v : values)
            db.query("INSERT OR IGNORE INTO serial_lease (pool, value, seq, state, run)"
                     " VALUES (?1, ?2, ?3, 'free', ?4)",
                     {sql::Value::Of(pool), sql::Value::Of(v), sql::Value::Of(next++),
                      sql::Value::Of(run)});
        return 0;
    });
}

std::optional<std::string> SqliteStore::TakeLease(const std::string& pool, const std::string& slot) {
    return Locked(true, [&](const sql::Db& db) -> std::optional<std::string> {
        const auto rows = db.query(
            "UPDATE serial_lease SET state = 'reserved', slot = ?2 WHERE pool = ?1 AND value ="
            " (SELECT value FROM serial_lease WHERE pool = ?1 AND state = 'free' ORDER BY seq"
            " LIMIT 1) RETURNING value",
            {sql::Value::Of(pool), sql::Value::Of(slot)});
        if (rows.empty()) return std::nullopt;
        return sql::AsText(rows[0][0]);
    });
}

bool SqliteStore::LeaseSent(const std::string& pool, const std::string& value) {
    return Locked(true, [&](const sql::Db& db) {
        return !db.query("UPDATE serial_lease SET state = 'sent' WHERE pool = ?1 AND value = ?2"
                         " AND state IN ('reserved', 'sent') RETURNING value",
                         {sql::Value::Of(pool), sql::Value::Of(value)})
                    .empty();
    });
}

void SqliteStore::LeaseBack(const std::string& pool, const std::string& value) {
    Locked(true, [&](const sql::Db& db) {
        return db.query("UPDATE serial_lease SET state = 'free', slot = '' WHERE pool = ?1"
                        " AND value = ?2 AND state = 'reserved'",
                        {sql::Value::Of(pool), sql::Value::Of(value)});
    });
}

int64_t SqliteStore::LeaseFree(const std::string& pool) {
    return Locked(false, [&](const sql::Db& db) {
        return sql::AsInteger(db.query("SELECT count(*) FROM serial_lease WHERE pool = ?1"
                                       " AND state = 'free'",
                                       {sql::Value::Of(pool)})
                                  .at(0)
                                  .at(0));
    });
}

std::vector<SqliteStore::LeaseRow> SqliteStore::LeaseRows() {
    return Locked(false, [&](const sql::Db& db) {
        std::vector<LeaseRow> rows;
        for (const auto& row :
             db.query("SELECT pool, value, state, slot, run FROM serial_lease ORDER BY seq", {}))
            rows.push_back({sql::AsText(row[0]), sql::AsText(row[1]), sql::AsText(row[2]),
                            sql::AsText(row[3]), sql::AsText(row[4])});
        return rows;
    });
}

void SqliteStore::DropLease(const std::string& pool, const std::string& value) {
    Locked(true, [&](const sql::Db& db) {
        return db.query("DELETE FROM serial_lease WHERE pool = ?1 AND value = ?2",
                        {sql::Value::Of(pool), sql::Value::Of(value)});
    });
}

void SqliteStore::SettleLease() {
    Locked(true, [&](const sql::Db& db) {
        db.query("UPDATE serial_lease SET state = 'void' WHERE state = 'sent'", {});
        return db.query("UPDATE serial_lease SET state = 'free', slot = '' WHERE state = 'reserved'",
                        {});
    });
}

bool SqliteStore::UsedHere(const std::string& pool, const std::string& value) {
    return Locked(false, [&](const sql::Db& db) {
        return !db.query("SELECT 1 FROM record_serials WHERE pool = ?1 AND value = ?2"
                         " AND state = 'used'",
                         {sql::Value::Of(pool), sql::Value::Of(value)})
                    .empty();
    });
}

}  // namespace qmb::store
