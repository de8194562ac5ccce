// What the two SQL backends share: the column list, the filter as a WHERE
// clause with bound parameters, and the check of a filter. Internal to the
// store library.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/RecordStore.h"

namespace qmb::store::sql {

// The record's columns in table order; "operator" quoted as every column is.
extern const char* const kColumnNames[25];
constexpr int kColumnCount = 25;

// "\"id\", \"station\", ..." (prefix before each name, e.g. "r.").
std::string ColumnList(const std::string& prefix = "");

// A bound value: text, a whole number, or NULL.
struct Value {
    enum class Type { kNull, kText, kInteger } type = Type::kNull;
    std::string text;
    int64_t integer = 0;
    static Value Null() { return {}; }
    static Value Of(std::string t) { return {Type::kText, std::move(t), 0}; }
    static Value Of(int64_t n) { return {Type::kInteger, {}, n}; }
    static Value Of(const std::optional<std::string>& t) { return t ? Of(*t) : Null(); }
};

// The record's values in column order.
std::vector<Value> RecordValues(const Record& record);

// " WHERE ..." (or "") for the filter; the values go to params, each
// written in the SQL as placeholder(index) with index counting from 1 over
// params. CheckFilter must have passed. Times compare as canonical text.
std::string WhereClause(const RecordFilter& filter, std::vector<Value>& params,
                        const std::function<std::string(size_t)>& placeholder);

// The listing's SELECT: every column of the records the filter covers,
// newest first (started_at, then id), and its LIMIT; values go to params as
// for WhereClause.
std::string ListSql(const RecordFilter& filter, std::vector<Value>& params,
                    const std::function<std::string(size_t)>& placeholder);

// The canonical text ("....Z") of a filter time that CheckFilter accepted.
std::string CanonicalTime(const std::string& text);

// Throws StoreError(kInvalid) when CheckRecord or CheckFilter fails.
void RequireSound(const Record& record);
void RequireSound(const RecordFilter& filter);

}  // namespace qmb::store::sql

namespace qmb::store::sql {

// The figures come from a summary kept beside the records, so that they
// cost little however many records there are:
//
// - records.prev_started_at: started_at of the same DUT's attempt just
//   before this one (NULL for its first, and for records without dut_id).
//   A record is its DUT's first attempt in a window starting at `since`
//   when prev_started_at is NULL or earlier than since.
// - record_counts: per hour of started_at ("2026-12-09T07"), station, slot,
//   section, result ('pass', 'fail', 'none') and failure code ('' for none):
//   records, those without a DUT id, and those with a DUT id and no earlier
//   attempt.
// - One insert adds itself to its counts' row (CountDeltaSql) in its own
//   transaction; when it comes before an attempt of its DUT already there,
//   that one's prev_started_at is set and, if it had none, its row loses a
//   first_known.
// - dirty_hours (PostgreSQL): hours whose counts a bulk insert left out of
//   date; ComputeStats counts them anew from the records first. Only marks
//   of committed inserts are taken, so none is lost.
//
// ComputeStatsFrom takes whole hours of the window from record_counts and
// the partial hours at its ends from the records; a filter on dut_id reads
// the records alone.

using Row = std::vector<Value>;
// Runs one statement with bound values; rows as Values (a backend may hand
// every value back as text: the readers convert).
using Query = std::function<std::vector<Row>(const std::string&, const std::vector<Value>&)>;
using Placeholder = std::function<std::string(size_t)>;

// The hour key of a started_at text.
std::string HourOf(const std::string& startedAt);
// Adds to one row of record_counts: parameters hour, station, slot, section,
// result ('none' for none), failure code ('' for none), then the deltas of
// records, no_dut and first_known.
std::string CountDeltaSql(const Placeholder& placeholder);
// Its parameters for a record (deltas: 1, dut_id absent, DUT new).
std::vector<Value> CountDeltaOf(const Record& record, bool firstKnown);
// The attempt of the same DUT right after (started_at, id): parameters dut
// id, started_at, id; columns id, prev_started_at, then the count row's
// hour... failure_code as CountDeltaSql takes them.
std::string SuccessorSql(const Placeholder& placeholder);
// Re-counts one hour (two statements, parameter 1 is the hour): delete its
// counts, then insert them anew from the records.
std::string DeleteHourSql(const Placeholder& placeholder);
std::string CountHourSql(const Placeholder& placeholder);

// Inserts one record inside the caller's transaction, keeping
// prev_started_at and record_counts as above. False when its id was there.
bool InsertCounted(const Record& record, const Query& query, const Placeholder& placeholder);

// The figures over the filter (CheckFilter passed), with record_counts up to date.
Stats ComputeStatsFrom(const RecordFilter& filter, const Query& query,
                       const Placeholder& placeholder);

int64_t AsInteger(const Value& value);
std::string AsText(const Value& value);
// A row of ColumnList's columns as the record it holds (both backends);
// its serials are not among them (AttachSerials).
Record ReadRecord(const Row& row);

// ---- Serials, pools and releases (both backends) ---------------------------
//
// Every function runs its statements inside the caller's transaction (a
// write one for those that change anything: BEGIN IMMEDIATE in SQLite, and
// in PostgreSQL row locks with FOR UPDATE SKIP LOCKED where values are
// handed out), and throws StoreError.
struct Db {
    Query query;
    Placeholder placeholder;
    bool postgres = false;
};

// The record's serials into record_serials, and each into its pool's ledger
// (used: used by this record; void: void with it; kept: nothing changes).
// A pool this database does not have is not marked (a station's spool). A
// value used by another record, void in its pool, or missing from a pool the
// database has is refused: StoreError(kRejected), and the caller's
// transaction must roll back. Called once the record row is in.
void StoreSerials(const Record& record, const Db& db);
// Fills in the serials of the records (read from record_serials).
void AttachSerials(std::vector<Record>& records, const Db& db);

int64_t CreatePoolIn(const Db& db, const std::string& pool, uint64_t first, uint64_t last,
                     uint64_t step, int64_t lowWater);
int64_t ImportPoolIn(const Db& db, const std::string& pool, const std::vector<std::string>& values,
                     int64_t lowWater);
// Levels of every pool, or of one (none found: empty).
std::vector<PoolLevel> PoolLevelsIn(const Db& db, const std::optional<std::string>& pool);
std::vector<LedgerEntry> LedgerIn(const Db& db, const std::string& pool);
std::vector<std::string> ReserveIn(const Db& db, const std::string& pool, const SerialHolder& holder,
                                   int64_t n);
int64_t ReturnIn(const Db& db, const std::string& pool, const std::vector<std::string>& values,
                 const SerialHolder& holder);
bool MarkSentIn(const Db& db, const std::string& pool, const std::string& value,
                const SerialHolder& holder);
bool VoidIn(const Db& db, const std::string& pool, const std::string& value,
            const SerialHolder& holder);
std::string StateIn(const Db& db, const std::string& pool, const std::string& value);
SettleCounts SettleIn(const Db& db, const std::string& station, const std::string& run);

void ReleaseIn(const Db& db, const Release& release);
bool RevokeIn(const Db& db, const std::string& identity, const std::string& by);
std::vector<Release> ReleasesIn(const Db& db, const std::optional<std::string>& product);
int64_t PassedIn(const Db& db, const std::string& identity);

}  // namespace qmb::store::sql
