// Serials, pools and releases in SQL, for both backends (SqlShared.h).
// Statements are written with PostgreSQL's $N placeholders; SQLite reads
// them as ?N.
#include <algorithm>
#include <map>
#include <set>
#include <nlohmann/json.hpp>

#include "store/SqlShared.h"

namespace qmb::store::sql {

namespace {

// Values of one INSERT ... SELECT over a JSON array.
constexpr size_t kValueChunk = 20000;

std::string In(const Db& db, std::string text) {
    if (!db.postgres) std::replace(text.begin(), text.end(), '$', '?');
    return text;
}

std::vector<Row> Run(const Db& db, const std::string& text, const std::vector<Value>& params) {
    return db.query(In(db, text), params);
}

std::string Now() { return FormatUtcMillis(std::chrono::system_clock::now()); }

[[noreturn]] void Invalid(const std::string& why) {
    throw StoreError(StoreError::Kind::kInvalid, why);
}
[[noreturn]] void Rejected(const std::string& why) {
    throw StoreError(StoreError::Kind::kRejected, why);
}

void RequirePoolName(const std::string& pool) {
    const std::string why = CheckPoolName(pool);
    if (!why.empty()) Invalid(why);
}

bool PoolExists(const Db& db, const std::string& pool, bool lock = false) {
    return !Run(db, std::string("SELECT low_water FROM serial_pools WHERE pool = $1") +
                        (lock && db.postgres ? " FOR UPDATE" : ""),
                {Value::Of(pool)})
                .empty();
}

void RequirePool(const Db& db, const std::string& pool) {
    RequirePoolName(pool);
    if (!PoolExists(db, pool)) Invalid("there is no serial pool " + pool);
}

// The rows of a RETURNING, counted.
int64_t Changed(const std::vector<Row>& rows) { return static_cast<int64_t>(rows.size()); }

// Inserts values (a JSON array of text) at seq start on.
void InsertChunk(const Db& db, const std::string& pool, int64_t start, const std::string& array) {
    Run(db,
        db.postgres ? "INSERT INTO serial_values (pool, seq, value)"
                      " SELECT $1, $2::bigint + ord - 1, v"
                      " FROM jsonb_array_elements_text($3::jsonb) WITH ORDINALITY AS t(v, ord)"
                    : "INSERT INTO serial_values (pool, seq, value)"
                      " SELECT $1, $2 + CAST(key AS INTEGER), value FROM json_each($3)",
        {Value::Of(pool), Value::Of(start), Value::Of(array)});
}

void InsertPoolRow(const Db& db, const std::string& pool, int64_t lowWater) {
    if (lowWater < 0) Invalid("the low-water mark is negative");
    Run(db, "INSERT INTO serial_pools (pool, low_water, created_at) VALUES ($1, $2, $3)",
        {Value::Of(pool), Value::Of(lowWater), Value::Of(Now())});
}

std::string ArrayLiteral(const std::vector<std::string>& texts) {
    std::string out = "{";
    for (const auto& t : texts) {
        out += out.size() > 1 ? ",\"" : "\"";
        for (char c : t) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

}  // namespace

void StoreSerials(const Record& r, const Db& db) {
    for (size_t i = 0; i < r.serials.size(); ++i) {
        const auto& s = r.serials[i];
        if (s.state == "used" &&
            !Run(db, "SELECT 1 FROM record_serials WHERE pool = $1 AND value = $2 AND state = 'used'",
                 {Value::Of(s.pool), Value::Of(s.value)})
                 .empty())
            Rejected("serial " + s.value + " of pool " + s.pool + " is used by another board");
        Run(db,
            "INSERT INTO record_serials (record_id, position, pool, value, state)"
            " VALUES ($1, $2, $3, $4, $5)",
            {Value::Of(r.id), Value::Of(static_cast<int64_t>(i)), Value::Of(s.pool),
             Value::Of(s.value), Value::Of(s.state)});
        if (s.state == "kept" || !PoolExists(db, s.pool)) continue;
        const std::vector<Row> found =
            Run(db, std::string("SELECT state, record_id FROM serial_values WHERE pool = $1 AND value = $2") +
                        (db.postgres ? " FOR UPDATE" : ""),
                {Value::Of(s.pool), Value::Of(s.value)});
        if (found.empty()) Rejected("serial " + s.value + " is not a value of pool " + s.pool);
        const std::string state = AsText(found[0][0]);
        const bool otherRecord = found[0][1].type != Value::Type::kNull && AsText(found[0][1]) != r.id;
        const std::vector<Value> mark{Value::Of(s.pool),       Value::Of(s.value), Value::Of(r.id),
                                      Value::Of(r.ended_at),   Value::Of(r.station),
                                      Value::Of(r.slot_name)};
        const char* update =
            "UPDATE serial_values SET state = $7, record_id = $3, ended_at = $4, station = $5,"
            " slot = $6 WHERE pool = $1 AND value = $2";
        if (s.state == "used") {
            if (state == "used" && otherRecord)
                Rejected("serial " + s.value + " of pool " + s.pool + " is used by another board");
            if (state == "void")
                Rejected("serial " + s.value + " of pool " + s.pool +
                         " is void (it may be on another board)");
            auto params = mark;
            params.push_back(Value::Of(std::string("used")));
            Run(db, update, params);
        } else if (state != "used" && !(state == "void" && otherRecord)) {
            auto params = mark;
            params.push_back(Value::Of(std::string("void")));
            Run(db, update, params);
        }
    }
}

void AttachSerials(std::vector<Record>& records, const Db& db) {
    if (records.empty()) return;
    if (!db.postgres) {
        for (auto& r : records)
            for (const auto& row : db.query("SELECT pool, value, state FROM record_serials"
                                            " WHERE record_id = ?1 ORDER BY position",
                                            {Value::Of(r.id)}))
                r.serials.push_back({AsText(row[0]), AsText(row[1]), AsText(row[2])});
        return;
    }
    std::map<std::string, Record*> byId;
    for (auto& r : records) byId[r.id] = &r;
    for (size_t start = 0; start < records.size(); start += kValueChunk) {
        std::vector<std::string> ids;
        for (size_t i = start; i < std::min(records.size(), start + kValueChunk); ++i)
            ids.push_back(records[i].id);
        for (const auto& row : db.query("SELECT record_id, pool, value, state FROM record_serials"
                                        " WHERE record_id = ANY ($1::text[])"
                                        " ORDER BY record_id, position",
                                        {Value::Of(ArrayLiteral(ids))}))
            byId.at(AsText(row[0]))->serials.push_back({AsText(row[1]), AsText(row[2]), AsText(row[3])});
    }
}

int64_t CreatePoolIn(const Db& db, const std::string& pool, uint64_t first, uint64_t last,
                     uint64_t step, int64_t lowWater) {
    RequirePoolName(pool);
    const std::string why = CheckPoolRange(first, last, step);
    if (!why.empty()) Invalid("pool " + pool + ": " + why);
    if (PoolExists(db, pool)) Invalid("serial pool " + pool + " exists already");
    InsertPoolRow(db, pool, lowWater);
    const int64_t count = static_cast<int64_t>((last - first) / step + 1);
    for (int64_t start = 0; start < count; start += static_cast<int64_t>(kValueChunk)) {
        nlohmann::json chunk = nlohmann::json::array();
        const int64_t end = std::min<int64_t>(count, start + static_cast<int64_t>(kValueChunk));
        for (int64_t i = start; i < end; ++i)
            chunk.push_back(std::to_string(first + static_cast<uint64_t>(i) * step));
        InsertChunk(db, pool, start, chunk.dump());
    }
    return count;
}

int64_t ImportPoolIn(const Db& db, const std::string& pool, const std::vector<std::string>& values,
                     int64_t lowWater) {
    RequirePoolName(pool);
    std::set<std::string> seen;
    for (const auto& v : values) {
        const std::string why = CheckSerialValue(v);
        if (!why.empty()) Invalid("pool " + pool + ": " + why + " (nothing imported)");
        if (!seen.insert(v).second)
            Invalid("pool " + pool + ": value " + v + " is in the list twice (nothing imported)");
    }
    if (!PoolExists(db, pool, true)) InsertPoolRow(db, pool, lowWater);
    int64_t next = AsInteger(
        Run(db, "SELECT COALESCE(MAX(seq), -1) + 1 FROM serial_values WHERE pool = $1", {Value::Of(pool)})
            .at(0)
            .at(0));
    for (size_t start = 0; start < values.size(); start += kValueChunk) {
        const nlohmann::json chunk(std::vector<std::string>(
            values.begin() + static_cast<std::ptrdiff_t>(start),
            values.begin() + static_cast<std::ptrdiff_t>(std::min(values.size(), start + kValueChunk))));
        const std::string array = chunk.dump();
        const std::vector<Row> clash =
            Run(db,
                db.postgres ? "SELECT value FROM serial_values WHERE pool = $1 AND value IN"
                              " (SELECT jsonb_array_elements_text($2::jsonb)) LIMIT 1"
                            : "SELECT value FROM serial_values WHERE pool = $1 AND value IN"
                              " (SELECT value FROM json_each($2)) LIMIT 1",
                {Value::Of(pool), Value::Of(array)});
        if (!clash.empty())
            Invalid("pool " + pool + ": value " + AsText(clash[0][0]) +
                    " is in the pool already (nothing imported)");
        InsertChunk(db, pool, next, array);
        next += static_cast<int64_t>(chunk.size());
    }
    return static_cast<int64_t>(values.size());
}

std::vector<PoolLevel> PoolLevelsIn(const Db& db, const std::optional<std::string>& pool) {
    std::vector<Value> params;
    if (pool) params.push_back(Value::Of(*pool));
    std::vector<PoolLevel> levels;
    for (const auto& row :
         Run(db,
             "SELECT p.pool, p.low_water,"
             " COALESCE(SUM(CASE WHEN v.state = 'free' THEN 1 ELSE 0 END), 0),"
             " COALESCE(SUM(CASE WHEN v.state IN ('reserved', 'sent') THEN 1 ELSE 0 END), 0),"
             " COALESCE(SUM(CASE WHEN v.state = 'used' THEN 1 ELSE 0 END), 0),"
             " COALESCE(SUM(CASE WHEN v.state = 'void' THEN 1 ELSE 0 END), 0)"
             " FROM serial_pools p LEFT JOIN serial_values v ON v.pool = p.pool" +
                 std::string(pool ? " WHERE p.pool = $1" : "") +
                 " GROUP BY p.pool, p.low_water ORDER BY p.pool",
             params)) {
        PoolLevel l;
        l.pool = AsText(row[0]);
        l.lowWater = AsInteger(row[1]);
        l.free = AsInteger(row[2]);
        l.reserved = AsInteger(row[3]);
        l.used = AsInteger(row[4]);
        l.voided = AsInteger(row[5]);
        levels.push_back(l);
    }
    return levels;
}

std::vector<LedgerEntry> LedgerIn(const Db& db, const std::string& pool) {
    RequirePool(db, pool);
    std::vector<LedgerEntry> ledger;
    for (const auto& row :
         Run(db,
             "SELECT value, state, COALESCE(record_id, ''), COALESCE(station, ''), COALESCE(slot, ''),"
             " COALESCE(run, ''), COALESCE(reserved_at, ''), COALESCE(ended_at, '')"
             " FROM serial_values WHERE pool = $1 AND state <> 'free' ORDER BY seq",
             {Value::Of(pool)}))
        ledger.push_back({AsText(row[0]), AsText(row[1]), AsText(row[2]), AsText(row[3]),
                          AsText(row[4]), AsText(row[5]), AsText(row[6]), AsText(row[7])});
    return ledger;
}

std::vector<std::string> ReserveIn(const Db& db, const std::string& pool, const SerialHolder& h,
                                   int64_t n) {
    RequirePool(db, pool);
    if (n < 1) return {};
    const std::string set =
        "state = 'reserved', station = $1, slot = $2, run = $3, reserved_at = $4, record_id = NULL,"
        " ended_at = NULL";
    std::vector<Row> rows = Run(
        db,
        // Materialised once: a subquery the plan may run again would lock
        // and hand out more rows than asked.
        db.postgres ? "WITH f AS MATERIALIZED (SELECT seq FROM serial_values WHERE pool = $5"
                          " AND state = 'free' ORDER BY seq LIMIT $6::bigint FOR UPDATE SKIP LOCKED)"
                          " UPDATE serial_values v SET " + set +
                          " FROM f WHERE v.pool = $5 AND v.seq = f.seq RETURNING v.seq, v.value"
                    : "UPDATE serial_values SET " + set +
                          " WHERE pool = $5 AND seq IN (SELECT seq FROM serial_values"
                          " WHERE pool = $5 AND state = 'free' ORDER BY seq LIMIT $6)"
                          " RETURNING seq, value",
        {Value::Of(h.station), Value::Of(h.slot), Value::Of(h.run), Value::Of(Now()), Value::Of(pool),
         Value::Of(n)});
    std::sort(rows.begin(), rows.end(),
              [](const Row& a, const Row& b) { return AsInteger(a[0]) < AsInteger(b[0]); });
    std::vector<std::string> values;
    for (const auto& row : rows) values.push_back(AsText(row[1]));
    return values;
}

int64_t ReturnIn(const Db& db, const std::string& pool, const std::vector<std::string>& values,
                 const SerialHolder& h) {
    int64_t back = 0;
    for (const auto& v : values)
        back += Changed(Run(db,
                            "UPDATE serial_values SET state = 'free', station = NULL, slot = NULL,"
                            " run = NULL, reserved_at = NULL WHERE pool = $1 AND value = $2"
                            " AND state = 'reserved' AND station = $3 AND run = $4 RETURNING seq",
                            {Value::Of(pool), Value::Of(v), Value::Of(h.station), Value::Of(h.run)}));
    return back;
}

bool MarkSentIn(const Db& db, const std::string& pool, const std::string& value,
                const SerialHolder& h) {
    return Changed(Run(db,
                       "UPDATE serial_values SET state = 'sent' WHERE pool = $1 AND value = $2"
                       " AND state IN ('reserved', 'sent') AND station = $3 AND run = $4 RETURNING seq",
                       {Value::Of(pool), Value::Of(value), Value::Of(h.station), Value::Of(h.run)})) > 0;
}

bool VoidIn(const Db& db, const std::string& pool, const std::string& value, const SerialHolder& h) {
    return Changed(Run(db,
                       "UPDATE serial_values SET state = 'void', ended_at = $4 WHERE pool = $1"
                       " AND value = $2 AND state IN ('reserved', 'sent') AND station = $3"
                       " RETURNING seq",
                       {Value::Of(pool), Value::Of(value), Value::Of(h.station), Value::Of(Now())})) > 0;
}

std::string StateIn(const Db& db, const std::string& pool, const std::string& value) {
    const auto rows = Run(db, "SELECT state FROM serial_values WHERE pool = $1 AND value = $2",
                          {Value::Of(pool), Value::Of(value)});
    return rows.empty() ? std::string() : AsText(rows[0][0]);
}

SettleCounts SettleIn(const Db& db, const std::string& station, const std::string& run) {
    SettleCounts c;
    c.voided = Changed(Run(db,
                           "UPDATE serial_values SET state = 'void', ended_at = $3"
                           " WHERE station = $1 AND run <> $2 AND state = 'sent' RETURNING seq",
                           {Value::Of(station), Value::Of(run), Value::Of(Now())}));
    c.freed = Changed(Run(db,
                          "UPDATE serial_values SET state = 'free', station = NULL, slot = NULL,"
                          " run = NULL, reserved_at = NULL"
                          " WHERE station = $1 AND run <> $2 AND state = 'reserved' RETURNING seq",
                          {Value::Of(station), Value::Of(run)}));
    return c;
}

void ReleaseIn(const Db& db, const Release& r) {
    const std::string why = CheckRelease(r);
    if (!why.empty()) Invalid("release refused: " + why);
    Run(db,
        "INSERT INTO releases (identity, product, released_by, released_at, quota, revoked_at,"
        " revoked_by) VALUES ($1, $2, $3, $4, $5, NULL, '') ON CONFLICT (identity) DO UPDATE SET"
        " product = excluded.product, released_by = excluded.released_by,"
        " released_at = excluded.released_at, quota = excluded.quota, revoked_at = NULL,"
        " revoked_by = ''",
        {Value::Of(r.identity), Value::Of(r.product), Value::Of(r.by),
         Value::Of(r.at.empty() ? Now() : r.at), r.quota ? Value::Of(*r.quota) : Value::Null()});
}

bool RevokeIn(const Db& db, const std::string& identity, const std::string& by) {
    return Changed(Run(db,
                       "UPDATE releases SET revoked_at = $3, revoked_by = $2 WHERE identity = $1"
                       " AND revoked_at IS NULL RETURNING identity",
                       {Value::Of(identity), Value::Of(by), Value::Of(Now())})) > 0;
}

std::vector<Release> ReleasesIn(const Db& db, const std::optional<std::string>& product) {
    std::vector<Value> params;
    if (product) params.push_back(Value::Of(*product));
    std::vector<Release> out;
    for (const auto& row :
         Run(db,
             "SELECT identity, product, released_by, released_at, quota, revoked_at, revoked_by"
             " FROM releases" + std::string(product ? " WHERE product = $1" : "") +
                 " ORDER BY released_at DESC, identity",
             params)) {
        Release r;
        r.identity = AsText(row[0]);
        r.product = AsText(row[1]);
        r.by = AsText(row[2]);
        r.at = AsText(row[3]);
        if (row[4].type != Value::Type::kNull) r.quota = AsInteger(row[4]);
        if (row[5].type != Value::Type::kNull) r.revoked_at = AsText(row[5]);
        r.revoked_by = AsText(row[6]);
        out.push_back(std::move(r));
    }
    return out;
}

int64_t PassedIn(const Db& db, const std::string& identity) {
    return AsInteger(Run(db,
                         "SELECT count(*) FROM records WHERE recipe_sha256 = $1 AND result = 'pass'",
                         {Value::Of(identity)})
                         .at(0)
                         .at(0));
}

}  // namespace qmb::store::sql
