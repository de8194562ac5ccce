#include "store/PostgresStore.h"

#include <libpq-fe.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "store/SqlShared.h"

namespace qmb::store {

namespace {

// Schema steps: kMigrations[v] takes a database from version v to v + 1.
const char* const kMigrations[] = {
    // 0 -> 1: the records, their indexes and their counts (see SqlShared.h).
    R"sql(
CREATE TABLE records (
    "id"            text COLLATE "C" PRIMARY KEY,
    "station"       text COLLATE "C" NOT NULL,
    "slot"          integer NOT NULL,
    "port"          text NOT NULL,
    "device"        text NOT NULL,
    "operator"      text NOT NULL,
    "batch"         text NOT NULL,
    "mode"          text NOT NULL,
    "board"         integer NOT NULL,
    "section"       integer NOT NULL,
    "image_sha256"  text NOT NULL,
    "image_length"  bigint NOT NULL,
    "tool_version"  text NOT NULL,
    "started_at"    text COLLATE "C" NOT NULL,
    "ended_at"      text COLLATE "C" NOT NULL,
    "duration_ms"   bigint NOT NULL,
    "status"        text NOT NULL,
    "result"        text,
    "failure_code"  text COLLATE "C",
    "failure_phase" text,
    "retries"       integer NOT NULL,
    "dut_id"        text COLLATE "C",
    "reason"        text NOT NULL,
    prev_started_at text COLLATE "C"
);
CREATE INDEX records_time ON records (started_at, id);
CREATE INDEX records_slot ON records (station, slot, started_at);
CREATE INDEX records_result ON records (result, started_at);
CREATE INDEX records_dut ON records (dut_id, started_at, id) WHERE dut_id IS NOT NULL;
CREATE INDEX records_retry ON records (started_at, prev_started_at)
    WHERE prev_started_at IS NOT NULL;
CREATE TABLE record_counts (
    hour         text COLLATE "C" NOT NULL,
    station      text COLLATE "C" NOT NULL,
    slot         integer NOT NULL,
    section      integer NOT NULL,
    result       text NOT NULL,
    failure_code text COLLATE "C" NOT NULL,
    records      bigint NOT NULL,
    no_dut       bigint NOT NULL,
    first_known  bigint NOT NULL,
    PRIMARY KEY (hour, station, slot, section, result, failure_code)
);
CREATE TABLE dirty_hours (hour text COLLATE "C" NOT NULL);
)sql",
    // 1 -> 2: slot names, recipe identities and serials of the records; the
    // serial pools and their ledger; the releases.
    R"sql(
ALTER TABLE records ADD COLUMN "slot_name" text COLLATE "C" NOT NULL DEFAULT '';
ALTER TABLE records ADD COLUMN "recipe_sha256" text COLLATE "C";
CREATE INDEX records_recipe ON records (recipe_sha256, result) WHERE recipe_sha256 IS NOT NULL;
CREATE TABLE record_serials (
    record_id text COLLATE "C" NOT NULL REFERENCES records (id),
    position  integer NOT NULL,
    pool      text COLLATE "C" NOT NULL,
    value     text COLLATE "C" NOT NULL,
    state     text NOT NULL CHECK (state IN ('used', 'kept', 'void')),
    PRIMARY KEY (record_id, position)
);
CREATE UNIQUE INDEX record_serials_used ON record_serials (pool, value) WHERE state = 'used';
CREATE INDEX record_serials_value ON record_serials (value);
CREATE TABLE serial_pools (
    pool       text COLLATE "C" PRIMARY KEY,
    low_water  bigint NOT NULL,
    created_at text NOT NULL
);
CREATE TABLE serial_values (
    pool        text COLLATE "C" NOT NULL REFERENCES serial_pools (pool),
    seq         bigint NOT NULL,
    value       text COLLATE "C" NOT NULL,
    state       text NOT NULL DEFAULT 'free'
                CHECK (state IN ('free', 'reserved', 'sent', 'used', 'void')),
    record_id   text COLLATE "C",
    station     text COLLATE "C",
    slot        text,
    run         text COLLATE "C",
    reserved_at text,
    ended_at    text,
    PRIMARY KEY (pool, seq),
    UNIQUE (pool, value)
);
CREATE INDEX serial_values_free ON serial_values (pool, seq) WHERE state = 'free';
CREATE INDEX serial_values_held ON serial_values (station, run) WHERE state IN ('reserved', 'sent');
CREATE TABLE releases (
    identity    text COLLATE "C" PRIMARY KEY,
    product     text NOT NULL,
    released_by text NOT NULL,
    released_at text COLLATE "C" NOT NULL,
    quota       bigint,
    revoked_at  text,
    revoked_by  text NOT NULL DEFAULT ''
);
)sql",
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == kSchemaVersion,
              "one migration step per schema version");

// The lock every station takes while it makes or migrates the schema, and
// the one of bringing the counts up to date.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(5857461907426643)";
constexpr const char* kRollUpLock = "SELECT pg_advisory_xact_lock(5857461907426644)";

// One insert at a time per DUT, so that each finds the attempt before it.
constexpr const char* kDutLock = "SELECT pg_advisory_xact_lock(hashtext($1))";

// After a bulk insert: every attempt of these DUTs gets the attempt before
// it; the hours of those that changed come back.
constexpr const char* kBulkPrevSql =
    "UPDATE records r SET prev_started_at = x.prev FROM"
    " (SELECT id, lag(started_at) OVER (PARTITION BY dut_id ORDER BY started_at, id) AS prev"
    "  FROM records WHERE dut_id = ANY ($1::text[])) x"
    " WHERE r.id = x.id AND r.prev_started_at IS DISTINCT FROM x.prev"
    " RETURNING substr(r.started_at, 1, 13)";
constexpr const char* kBulkDirtySql =
    "INSERT INTO dirty_hours (hour) SELECT unnest($1::text[])";

// A text[] literal of DUT ids or hours (CheckRecord allows only hex digits
// in the one, and the other is digits, dashes and a T: nothing needs quoting).
std::string TextArray(const std::set<std::string>& ids) {
    std::string text = "{";
    for (const auto& id : ids) text += (text.size() > 1 ? "," : "") + id;
    return text + "}";
}

struct ResultFree {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

std::string FirstLine(const char* text) {
    std::string line = text ? text : "";
    size_t end = line.find('\n');
    if (end != std::string::npos) line.erase(end);
    return line;
}

// How long to wait for the server, and whether to stop waiting.
struct Wait {
    PostgresStore::Clock::time_point deadline;  // of the call
    const std::function<bool()>& stop;
    const std::string& where;
};

enum class Failure { kTransient, kRejected, kOther };

// The class of a failed statement by its SQLSTATE; no SQLSTATE at all means
// no reply from the server.
Failure Classify(PGconn* c, const PGresult* r) {
    if (PQstatus(c) == CONNECTION_BAD) return Failure::kTransient;
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    if (!state || std::strlen(state) != 5) return Failure::kTransient;
    const std::string code = state, cls = code.substr(0, 2);
    if (code == "08P01") return Failure::kOther;  // a malformed request: ours
    if (cls == "08" || cls == "40" || cls == "53" || cls == "57" || cls == "58")
        return Failure::kTransient;
    if (cls == "22" || cls == "23") return Failure::kRejected;
    return Failure::kOther;
}

[[noreturn]] void Unanswered(const Wait& w, const char* what) {
    throw StoreError(StoreError::Kind::kUnreachable, w.where + ": server unreachable (" + what + ")");
}

// Waits until the socket is ready for events, the deadline or the stop
// check. Throws StoreError(kUnreachable) for the last two.
void AwaitSocket(PGconn* c, short events, const Wait& w, PostgresStore::Clock::time_point until) {
    for (;;) {
        if (w.stop && w.stop()) Unanswered(w, "abandoned: stopping");
        const auto now = PostgresStore::Clock::now();
        const auto end = std::min(until, w.deadline);
        if (now >= end) Unanswered(w, "no answer in time");
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        pollfd fd{PQsocket(c), events, 0};
        if (fd.fd < 0) Unanswered(w, "no socket");
        const int ready = poll(&fd, 1, static_cast<int>(std::min<int64_t>(left + 1, 50)));
        if (ready > 0) return;
        if (ready < 0 && errno != EINTR) Unanswered(w, "poll failed");
    }
}

// Connects within the wait (and kConnectWait). Returns an open connection
// in non-blocking mode, or throws StoreError(kUnreachable).
PGconn* Connect(const std::string& url, const Wait& w) {
    const auto settings = PostgresStore::ConnectionSettings(url);
    std::vector<const char*> keys, values;
    for (const auto& [key, value] : settings) {
        keys.push_back(key.c_str());
        values.push_back(value.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    if (w.stop && w.stop()) Unanswered(w, "abandoned: stopping");
    const auto until = PostgresStore::Clock::now() + PostgresStore::kConnectWait;
    PGconn* c = PQconnectStartParams(keys.data(), values.data(), 1);
    if (!c) throw StoreError(StoreError::Kind::kUnreachable, w.where + ": out of memory");
    try {
        PostgresPollingStatusType state = PGRES_POLLING_WRITING;
        while (state != PGRES_POLLING_OK) {
            if (state == PGRES_POLLING_FAILED || PQstatus(c) == CONNECTION_BAD)
                throw StoreError(StoreError::Kind::kUnreachable,
                                 w.where + ": server unreachable: " + FirstLine(PQerrorMessage(c)));
            if (state == PGRES_POLLING_READING || state == PGRES_POLLING_WRITING)
                AwaitSocket(c, state == PGRES_POLLING_READING ? POLLIN : POLLOUT, w, until);
            state = PQconnectPoll(c);
        }
        if (PQsetnonblocking(c, 1) != 0)
            throw StoreError(StoreError::Kind::kUnreachable,
                             w.where + ": server unreachable: " + FirstLine(PQerrorMessage(c)));
    } catch (...) {
        PQfinish(c);
        throw;
    }
    return c;
}

class Connection {
  public:
    Connection(PGconn* c, const Wait& wait) : c_(c), wait_(wait) {}

    Result Exec(const std::string& sqlText, const std::vector<sql::Value>& params = {}) {
        std::vector<std::string> texts(params.size());
        std::vector<const char*> values(params.size());
        for (size_t i = 0; i < params.size(); ++i) {
            const auto& p = params[i];
            if (p.type == sql::Value::Type::kNull) {
                values[i] = nullptr;
            } else {
                texts[i] = p.type == sql::Value::Type::kText ? p.text : std::to_string(p.integer);
                values[i] = texts[i].c_str();
            }
        }
        const int sent = PQsendQueryParams(c_, sqlText.c_str(), static_cast<int>(params.size()),
                                           nullptr, values.data(), nullptr, nullptr, 0);
        return Check(sent ? Collect() : nullptr);
    }

    // Several statements of the schema at once; no values in them.
    void ExecScript(const char* sqlText) { Check(PQsendQuery(c_, sqlText) ? Collect() : nullptr); }

  private:
    // Sends what is queued and reads every result of the request; the first
    // failed one, else the last. Bounded by the wait.
    Result Collect() {
        const auto until = PostgresStore::Clock::now() + PostgresStore::kStatementWait;
        for (;;) {
            const int flushed = PQflush(c_);
            if (flushed == 0) break;
            if (flushed < 0) return nullptr;
            AwaitSocket(c_, POLLIN | POLLOUT, wait_, until);
            if (!PQconsumeInput(c_)) return nullptr;
        }
        Result kept;
        bool keptFailed = false;
        for (;;) {
            while (PQisBusy(c_)) {
                AwaitSocket(c_, POLLIN, wait_, until);
                if (!PQconsumeInput(c_)) return nullptr;
            }
            Result r(PQgetResult(c_));
            if (!r) return kept;
            if (keptFailed) continue;  // the first failure stands
            const ExecStatusType status = PQresultStatus(r.get());
            keptFailed = status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK;
            kept = std::move(r);
        }
    }

    Result Check(Result r) {
        ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return r;
        std::string message = FirstLine(r ? PQresultErrorMessage(r.get()) : PQerrorMessage(c_));
        if (message.empty()) message = FirstLine(PQerrorMessage(c_));
        switch (Classify(c_, r.get())) {
            case Failure::kTransient:
                throw StoreError(StoreError::Kind::kUnreachable,
                                 wait_.where + ": server unreachable (connection lost or busy): " +
                                     message);
            case Failure::kRejected:
                throw StoreError(StoreError::Kind::kRejected,
                                 wait_.where + ": the server refused the record: " + message);
            case Failure::kOther:
                break;
        }
        throw StoreError(StoreError::Kind::kFailed, wait_.where + ": " + message);
    }

    PGconn* c_;
    const Wait& wait_;
};

// The value of a time setting in libpq's text, as a number of its unit;
// 0 (none) when it is absent, zero or unreadable.
int64_t SettingNumber(const std::string& text) {
    char* end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || n <= 0) return 0;
    return n;
}

// statement_timeout in milliseconds as options' "-c statement_timeout=N"
// sets it (N in ms, or with a unit ms, s, min); 0 when absent or unreadable.
int64_t StatementTimeoutIn(const std::string& options) {
    const std::string key = "statement_timeout=";
    const size_t at = options.rfind(key);
    if (at == std::string::npos) return 0;
    const char* start = options.c_str() + at + key.size();
    char* stop = nullptr;
    const long long n = std::strtoll(start, &stop, 10);
    if (stop == start || n <= 0) return 0;
    const char* end = stop;
    const std::string unit(end, std::find_if(end, options.c_str() + options.size(),
                                             [](char ch) { return ch == ' ' || ch == '\\'; }));
    if (unit.empty() || unit == "ms") return n;
    if (unit == "s") return n * 1000;
    if (unit == "min") return n * 60000;
    return 0;
}

std::string Placeholder(size_t index) { return "$" + std::to_string(index); }

std::string Text(const PGresult* r, int row, int column) {
    return std::string(PQgetvalue(r, row, column),
                       static_cast<size_t>(PQgetlength(r, row, column)));
}

// INSERT of `rows` records, their values numbered row by row; the new ids come back.
std::string InsertSql(size_t rows) {
    std::string sqlText = "INSERT INTO records (" + sql::ColumnList() + ") VALUES ";
    size_t n = 1;
    for (size_t row = 0; row < rows; ++row) {
        sqlText += row ? ", (" : "(";
        for (int i = 0; i < sql::kColumnCount; ++i) sqlText += (i ? ", $" : "$") + std::to_string(n++);
        sqlText += ")";
    }
    return sqlText + " ON CONFLICT (id) DO NOTHING RETURNING dut_id, substr(started_at, 1, 13), id";
}

// Rows a bulk INSERT carries: 25 parameters each, well under libpq's 65535.
constexpr size_t kBulkRows = 1000;

}  // namespace

std::vector<std::pair<std::string, std::string>> PostgresStore::ConnectionSettings(
    const std::string& url) {
    char* error = nullptr;
    PQconninfoOption* given = PQconninfoParse(url.c_str(), &error);
    if (!given) {
        std::string why = FirstLine(error ? error : "out of memory");
        PQfreemem(error);
        throw StoreError(StoreError::Kind::kInvalid, RedactUrl(url) + ": " + why);
    }
    std::map<std::string, std::string> inUrl;
    for (PQconninfoOption* o = given; o->keyword; ++o)
        if (o->val) inUrl[o->keyword] = o->val;
    PQconninfoFree(given);
    // The shorter of ours and the URL's (whose 0 or absence means none).
    auto atMost = [&](const char* key, int64_t ours) {
        const auto it = inUrl.find(key);
        const int64_t theirs = it == inUrl.end() ? 0 : SettingNumber(it->second);
        return std::to_string(theirs > 0 && theirs < ours ? theirs : ours);
    };
    std::vector<std::pair<std::string, std::string>> settings{
        {"dbname", url},  // expanded by libpq; what follows overrides it
        {"connect_timeout", atMost("connect_timeout", kConnectWait.count() / 1000)},
        {"keepalives", "1"},
        {"keepalives_idle", atMost("keepalives_idle", 5)},
        {"keepalives_interval", atMost("keepalives_interval", 2)},
        {"keepalives_count", atMost("keepalives_count", 3)},
        {"tcp_user_timeout", atMost("tcp_user_timeout", 5000)},
    };
    std::string options = inUrl.count("options") ? inUrl["options"] : "";
    const int64_t theirs = StatementTimeoutIn(options);
    if (theirs <= 0 || theirs > kStatementTimeoutMs)
        options += std::string(options.empty() ? "" : " ") + "-c statement_timeout=" +
                   std::to_string(kStatementTimeoutMs);
    settings.push_back({"options", options});
    return settings;
}

PostgresStore::PostgresStore(const std::string& url, std::function<bool()> stop,
                             Clock::time_point deadline)
    : url_(url), stop_(std::move(stop)) {
    bool pooled;
    PGconn* c = Acquire(pooled, deadline);
    try {
        Migrate(c, deadline);
    } catch (...) {
        PQfinish(c);
        throw;
    }
    GiveBack(c);
}

PostgresStore::~PostgresStore() {
    for (PGconn* c : idle_) PQfinish(c);
}

std::string PostgresStore::Describe() const { return RedactUrl(url_); }

PGconn* PostgresStore::Acquire(bool& pooled, Clock::time_point deadline) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!idle_.empty()) {
            PGconn* c = idle_.back();
            idle_.pop_back();
            pooled = true;
            return c;
        }
    }
    pooled = false;
    const std::string where = Describe();
    return Connect(url_, Wait{deadline, stop_, where});
}

void PostgresStore::GiveBack(PGconn* c) {
    if (PQstatus(c) != CONNECTION_OK || PQtransactionStatus(c) != PQTRANS_IDLE) {
        PQfinish(c);
        return;
    }
    std::lock_guard<std::mutex> hold(lock_);
    idle_.push_back(c);
}

template <typename Work>
auto PostgresStore::Run(Work work, Clock::time_point deadline) {
    const std::string where = Describe();
    const Wait wait{deadline, stop_, where};
    for (int attempt = 0;; ++attempt) {
        bool pooled = false;
        PGconn* c = Acquire(pooled, deadline);
        try {
            Connection connection(c, wait);
            auto outcome = work(connection);
            GiveBack(c);
            return outcome;
        } catch (const StoreError& e) {
            // A transaction left open by a failed statement, or a reply
            // still on its way, is not reused.
            PQfinish(c);
            // A pooled connection may have died while it sat idle (a restart
            // of the server): one more try on a fresh one, in the time left.
            if (e.kind() == StoreError::Kind::kUnreachable && pooled && attempt == 0 &&
                Clock::now() < deadline && !(stop_ && stop_()))
                continue;
            throw;
        } catch (...) {
            PQfinish(c);
            throw;
        }
    }
}

void PostgresStore::Migrate(PGconn* c, Clock::time_point deadline) {
    const std::string where = Describe();
    const Wait wait{deadline, stop_, where};
    Connection connection(c, wait);
    connection.Exec("BEGIN");
    connection.Exec(kSchemaLock);
    Result tables =
        connection.Exec("SELECT to_regclass('qmb_meta') IS NOT NULL, to_regclass('records') IS NOT NULL");
    bool haveMeta = Text(tables.get(), 0, 0) == "t";
    bool haveRecords = Text(tables.get(), 0, 1) == "t";
    int64_t version = 0;
    if (haveMeta) {
        Result v = connection.Exec("SELECT value FROM qmb_meta WHERE key = $1",
                                   {sql::Value::Of(std::string("schema_version"))});
        if (PQntuples(v.get()) != 1)
            throw StoreError(StoreError::Kind::kRefused,
                             where + ": its qmb_meta table has no schema version");
        version = std::strtoll(PQgetvalue(v.get(), 0, 0), nullptr, 10);
    } else if (haveRecords) {
        throw StoreError(StoreError::Kind::kRefused,
                         where + " holds a records table that is not qmb-edit's");
    }
    if (version > kSchemaVersion)
        throw StoreError(StoreError::Kind::kRefused,
                         where + " has schema version " + std::to_string(version) +
                             ", newer than this qmb-edit's " + std::to_string(kSchemaVersion) +
                             ": update qmb-edit");
    if (version == kSchemaVersion) {
        connection.Exec("COMMIT");
        return;
    }
    if (!haveMeta)
        connection.Exec("CREATE TABLE qmb_meta (key text PRIMARY KEY, value text NOT NULL)");
    for (int64_t step = version; step < kSchemaVersion; ++step) connection.ExecScript(kMigrations[step]);
    connection.Exec(
        "INSERT INTO qmb_meta (key, value) VALUES ($1, $2)"
        " ON CONFLICT (key) DO UPDATE SET value = excluded.value",
        {sql::Value::Of(std::string("schema_version")),
         sql::Value::Of(std::to_string(kSchemaVersion))});
    connection.Exec("COMMIT");
}

static std::vector<sql::Row> Rows(const PGresult* r) {
    std::vector<sql::Row> rows;
    for (int row = 0; row < PQntuples(r); ++row) {
        sql::Row values;
        for (int column = 0; column < PQnfields(r); ++column)
            values.push_back(PQgetisnull(r, row, column) ? sql::Value::Null()
                                                         : sql::Value::Of(Text(r, row, column)));
        rows.push_back(std::move(values));
    }
    return rows;
}

static sql::Db DbOf(Connection& c) {
    return {[&c](const std::string& sqlText, const std::vector<sql::Value>& params) {
                return Rows(c.Exec(sqlText, params).get());
            },
            Placeholder, true};
}

template <typename Work>
auto PostgresStore::InTransaction(Work work) {
    return Run([&](Connection& c) {
        c.Exec("BEGIN");
        auto outcome = work(DbOf(c));
        c.Exec("COMMIT");
        return outcome;
    });
}

bool PostgresStore::Insert(const Record& record, Clock::time_point deadline) {
    sql::RequireSound(record);
    return Run([&](Connection& c) {
        c.Exec("BEGIN");
        // Shared with other single inserts, exclusive of a bulk insert.
        c.Exec("LOCK TABLE records IN ROW EXCLUSIVE MODE");
        if (record.dut_id) c.Exec(kDutLock, {sql::Value::Of(*record.dut_id)});
        auto query = [&](const std::string& sqlText, const std::vector<sql::Value>& params) {
            return Rows(c.Exec(sqlText, params).get());
        };
        bool added = sql::InsertCounted(record, query, Placeholder);
        c.Exec("COMMIT");
        return added;
    }, deadline);
}

int64_t PostgresStore::InsertAll(const std::vector<Record>& records, Clock::time_point deadline) {
    for (const auto& r : records) sql::RequireSound(r);
    if (records.empty()) return 0;
    return Run([&](Connection& c) {
        c.Exec("BEGIN");
        c.Exec("LOCK TABLE records IN SHARE ROW EXCLUSIVE MODE");
        int64_t added = 0;
        for (size_t start = 0; start < records.size(); start += kBulkRows) {
            size_t rows = std::min(kBulkRows, records.size() - start);
            std::vector<sql::Value> params;
            params.reserve(rows * sql::kColumnCount);
            for (size_t i = start; i < start + rows; ++i) {
                auto values = sql::RecordValues(records[i]);
                params.insert(params.end(), values.begin(), values.end());
            }
            Result r = c.Exec(InsertSql(rows), params);
            std::set<std::string> duts, hours;
            for (int row = 0; row < PQntuples(r.get()); ++row) {
                if (!PQgetisnull(r.get(), row, 0)) duts.insert(Text(r.get(), row, 0));
                hours.insert(Text(r.get(), row, 1));
            }
            added += PQntuples(r.get());
            std::set<std::string> newIds;
            for (int row = 0; row < PQntuples(r.get()); ++row) newIds.insert(Text(r.get(), row, 2));
            for (size_t i = start; i < start + rows; ++i)
                if (!records[i].serials.empty() && newIds.count(records[i].id))
                    sql::StoreSerials(records[i], DbOf(c));
            if (!duts.empty()) {
                Result changed = c.Exec(kBulkPrevSql, {sql::Value::Of(TextArray(duts))});
                for (int row = 0; row < PQntuples(changed.get()); ++row)
                    hours.insert(Text(changed.get(), row, 0));
            }
            if (!hours.empty()) c.Exec(kBulkDirtySql, {sql::Value::Of(TextArray(hours))});
        }
        c.Exec("COMMIT");
        return added;
    }, deadline);
}

std::vector<Record> PostgresStore::List(const RecordFilter& filter) {
    sql::RequireSound(filter);
    std::vector<sql::Value> params;
    const std::string sqlText = sql::ListSql(filter, params, Placeholder);
    return Run([&](Connection& c) {
        std::vector<Record> records;
        for (const auto& row : Rows(c.Exec(sqlText, params).get()))
            records.push_back(sql::ReadRecord(row));
        sql::AttachSerials(records, DbOf(c));
        return records;
    });
}

Stats PostgresStore::ComputeStats(const RecordFilter& filter) {
    sql::RequireSound(filter);
    return Run([&](Connection& c) {
        // The counts of dirty hours first. Only marks of committed inserts
        // are taken, and their records are seen by the counting after it.
        c.Exec("BEGIN");
        c.Exec(kRollUpLock);
        Result dirty = c.Exec("DELETE FROM dirty_hours RETURNING hour");
        std::set<std::string> hours;
        for (int row = 0; row < PQntuples(dirty.get()); ++row) hours.insert(Text(dirty.get(), row, 0));
        // A single insert adds itself to its hour's counts in its own
        // transaction; while an hour is counted anew none may be under way,
        // or its row would clash with the new count (or be lost in it).
        // Single inserts hold ROW EXCLUSIVE until they commit.
        if (!hours.empty()) c.Exec("LOCK TABLE records IN SHARE MODE");
        static const std::string drop = sql::DeleteHourSql(Placeholder);
        static const std::string count = sql::CountHourSql(Placeholder);
        for (const auto& hour : hours) {
            c.Exec(drop, {sql::Value::Of(hour)});
            c.Exec(count, {sql::Value::Of(hour)});
        }
        c.Exec("COMMIT");

        // One snapshot for the figures.
        c.Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
        auto query = [&](const std::string& sqlText, const std::vector<sql::Value>& params) {
            return Rows(c.Exec(sqlText, params).get());
        };
        Stats stats = sql::ComputeStatsFrom(filter, query, Placeholder);
        c.Exec("COMMIT");
        return stats;
    });
}

int64_t PostgresStore::CreatePool(const std::string& pool, uint64_t first, uint64_t last,
                                  uint64_t step, int64_t lowWater) {
    return InTransaction([&](const sql::Db& db) {
        return sql::CreatePoolIn(db, pool, first, last, step, lowWater);
    });
}

int64_t PostgresStore::ImportPool(const std::string& pool, const std::vector<std::string>& values,
                                  int64_t lowWater) {
    return InTransaction(
        [&](const sql::Db& db) { return sql::ImportPoolIn(db, pool, values, lowWater); });
}

std::vector<PoolLevel> PostgresStore::Pools() {
    return InTransaction([&](const sql::Db& db) { return sql::PoolLevelsIn(db, std::nullopt); });
}

PoolLevel PostgresStore::ShowPool(const std::string& pool) {
    const auto levels = InTransaction([&](const sql::Db& db) { return sql::PoolLevelsIn(db, pool); });
    if (levels.empty()) throw StoreError(StoreError::Kind::kInvalid, "there is no serial pool " + pool);
    return levels[0];
}

std::vector<LedgerEntry> PostgresStore::Ledger(const std::string& pool) {
    return InTransaction([&](const sql::Db& db) { return sql::LedgerIn(db, pool); });
}

std::vector<std::string> PostgresStore::Reserve(const std::string& pool, const SerialHolder& holder,
                                                int64_t n) {
    return InTransaction([&](const sql::Db& db) { return sql::ReserveIn(db, pool, holder, n); });
}

int64_t PostgresStore::ReturnSerials(const std::string& pool, const std::vector<std::string>& values,
                                     const SerialHolder& holder) {
    return InTransaction([&](const sql::Db& db) { return sql::ReturnIn(db, pool, values, holder); });
}

bool PostgresStore::MarkSerialSent(const std::string& pool, const std::string& value,
                                   const SerialHolder& holder) {
    return InTransaction([&](const sql::Db& db) { return sql::MarkSentIn(db, pool, value, holder); });
}

bool PostgresStore::VoidSerial(const std::string& pool, const std::string& value,
                               const SerialHolder& holder) {
    return InTransaction([&](const sql::Db& db) { return sql::VoidIn(db, pool, value, holder); });
}

std::string PostgresStore::SerialState(const std::string& pool, const std::string& value) {
    return InTransaction([&](const sql::Db& db) { return sql::StateIn(db, pool, value); });
}

SettleCounts PostgresStore::SettleStale(const std::string& station, const std::string& run) {
    return InTransaction([&](const sql::Db& db) { return sql::SettleIn(db, station, run); });
}

void PostgresStore::ReleaseRecipe(const Release& release) {
    InTransaction([&](const sql::Db& db) {
        sql::ReleaseIn(db, release);
        return 0;
    });
}

bool PostgresStore::RevokeRecipe(const std::string& identity, const std::string& by) {
    return InTransaction([&](const sql::Db& db) { return sql::RevokeIn(db, identity, by); });
}

std::vector<Release> PostgresStore::Releases(const std::optional<std::string>& product) {
    return InTransaction([&](const sql::Db& db) { return sql::ReleasesIn(db, product); });
}

int64_t PostgresStore::PassedBoards(const std::string& identity) {
    return InTransaction([&](const sql::Db& db) { return sql::PassedIn(db, identity); });
}

}  // namespace qmb::store
