// The board-record store: every board attempt of the production loop
// becomes one Record, kept in SQLite on a station or in PostgreSQL for a
// whole line.
//
// URLs:  sqlite:PATH               a file (its folders are made as needed)
//        postgresql://... or postgres://...   handed to libpq as it is
//        none                      no store: OpenRecordStore returns nullptr
//
// Threads: every RecordStore may be used by several threads at once (one per
// slot inserting, a reader listing); each call is whole on its own.
// Errors: every failure is a StoreError with a one-line reason.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/Record.h"
#include "store/StoreError.h"

namespace qmb::store {

// The schema this build writes; a database of a later one is refused.
// Version 2 added the slot's name, the recipe identity and the serial values
// of each record, the serial pools with their ledger, and the releases.
constexpr int kSchemaVersion = 2;

// Which records a listing or a figure covers. Every set member narrows it.
struct RecordFilter {
    std::optional<std::string> since;  // started_at >= since (UTC text, see ParseUtcTime)
    std::optional<std::string> until;  // started_at < until
    std::optional<std::string> station;
    std::optional<int> slot;
    std::optional<std::string> slot_name;  // "A", "B", ...
    std::optional<std::string> result;  // "pass", "fail", or "none" (no verdict)
    std::optional<int> section;
    std::optional<std::string> dut_id;
    std::optional<std::string> serial;  // the board carries this value (used, kept or void) of any pool
    std::optional<int64_t> limit;  // at most this many, newest first (List only)
};

// "" when the filter is usable, else the one-line reason (a time ParseUtcTime
// does not read, an unknown result, a negative limit).
std::string CheckFilter(const RecordFilter& filter);

struct Counts {
    int64_t total = 0;     // records
    int64_t passes = 0;
    int64_t fails = 0;
    int64_t noVerdict = 0;  // records whose result is none
    // First-pass yield. A unit is a DUT (by dut_id) or, for a record without
    // dut_id, that record alone. Its first attempt is its earliest record
    // (started_at, then id) among those the filter covers; it is a first
    // pass when that record passed. Per slot, a unit counts on the slot of
    // its first attempt.
    int64_t units = 0;
    int64_t firstPasses = 0;

    // passes / (passes + fails); 0 when there is neither.
    double Yield() const;
    // firstPasses / units; 0 when there are no units.
    double FirstPassYield() const;
    // Adds every count of other (the counts of more records or slots).
    Counts& operator+=(const Counts& other);
};

struct SlotCounts {
    std::string station;
    int slot = 0;
    Counts counts;
};

struct FailureCount {
    std::string code;
    int64_t count = 0;
};

struct Stats {
    Counts all;
    std::vector<SlotCounts> slots;      // by station, then slot
    std::vector<FailureCount> pareto;   // failure codes by count (high first), then code
};

// A record a server refused for good (a constraint, a data error), kept in
// a station's spool instead of being sent.
struct SetAsideRecord {
    Record record;
    std::string reason;  // the server's, one line
    std::string setAt;   // when (UTC text, as FormatUtcMillis)
};
struct SetAsideSummary {
    int64_t count = 0;
    std::vector<SetAsideRecord> newest;  // the newest set aside first, up to the limit asked
};

// ---- Serial pools -------------------------------------------------------
//
// A pool is a named list of values (text, see Record::SerialUse), each in
// one state of its ledger:
//   free      may be given out
//   reserved  given to a holder (a slot of a station's run, or a station's
//             lease); not yet on a board
//   sent      the holder has sent the section that carries it: it may be on
//             a board from here on, and never goes back to free
//   used      on a passed board, linked to its record
//   void      may be on a failed board (or a board of a killed run): never
//             given out again, linked to the failed record where there is one
// Values are given out in the order they were made or imported.

// Who holds a reservation. run: one id per process run (NewRecordId), so a
// station can tell its own stale reservations from those of this run.
struct SerialHolder {
    std::string station;
    std::string slot;  // the slot's name; "" for a station's lease
    std::string run;
};

struct PoolLevel {
    std::string pool;
    int64_t free = 0, reserved = 0, used = 0, voided = 0;  // reserved counts sent too
    int64_t lowWater = 0;  // free values below which the page warns
    bool Low() const { return free < lowWater; }
};

struct LedgerEntry {
    std::string value;
    std::string state;  // reserved, sent, used, void (never free: the ledger lists what was given out)
    std::string record_id;  // "" when none
    std::string station, slot, run;
    std::string reserved_at, ended_at;  // UTC text (FormatUtcMillis); ended_at "" while open
};

// What settling a station's stale reservations did.
struct SettleCounts {
    int64_t freed = 0;   // reserved, never sent: back to the pool
    int64_t voided = 0;  // sent: void
};

// "" when name may name a pool (1 to 64 of A-Z a-z 0-9 . _ -), else the reason.
std::string CheckPoolName(const std::string& name);
// "" when text may be a serial value (1 to 128 characters of plain UTF-8,
// no control character, no space at either end), else the reason.
std::string CheckSerialValue(const std::string& value);

// ---- Releases -----------------------------------------------------------

struct Release {
    std::string identity;  // the recipe identity, 64 lower-case hex
    std::string product;
    std::string by;  // who released it
    std::string at;  // UTC text
    std::optional<int64_t> quota;  // passed boards it may make across every station; none: no limit
    std::optional<std::string> revoked_at;  // set once revoked
    std::string revoked_by;
};

class RecordStore {
  public:
    virtual ~RecordStore() = default;
    // Stores the record (CheckRecord first; kInvalid when it fails). A
    // record whose id is already there changes nothing: false then, true
    // when it was stored. Returns once the record is committed (on a
    // station, durable across power loss).
    virtual bool Insert(const Record& record) = 0;
    // Stores all of them as one transaction, each as Insert would: all or
    // (on a StoreError) none. Returns how many were new. Every record is
    // checked before any is stored.
    virtual int64_t InsertAll(const std::vector<Record>& records);
    // The records the filter covers, newest first (started_at, then id).
    virtual std::vector<Record> List(const RecordFilter& filter) = 0;
    // The figures over the records the filter covers (limit is ignored).
    virtual Stats ComputeStats(const RecordFilter& filter) = 0;
    // "sqlite:/path" or the server's URL without its password.
    virtual std::string Describe() const = 0;
    // The records this store keeps aside because the line's server refused
    // them (a station's spool); none for every other store.
    virtual SetAsideSummary SetAsideRecords(int64_t limit) {
        (void)limit;
        return {};
    }

    // Serial pools (see above). A store that keeps none (a test double)
    // throws StoreError(kInvalid) from each; every backend here keeps them.
    //
    // Makes pool with the decimal values first, first+step, ... up to last
    // (64-bit unsigned, step >= 1, at most kMaxPoolValues). A pool of that
    // name that exists is refused (kInvalid). Returns how many values.
    virtual int64_t CreatePool(const std::string& pool, uint64_t first, uint64_t last,
                               uint64_t step, int64_t lowWater);
    // Adds the values (CheckSerialValue each, none twice, none already in
    // the pool: else kInvalid and nothing added) to the pool, making it
    // (with lowWater) when it does not exist. Returns how many were added.
    virtual int64_t ImportPool(const std::string& pool, const std::vector<std::string>& values,
                               int64_t lowWater);
    // Every pool's level, by name.
    virtual std::vector<PoolLevel> Pools();
    // One pool's level; kInvalid when there is no such pool.
    virtual PoolLevel ShowPool(const std::string& pool);
    // Every value of the pool that was given out, in the pool's order.
    virtual std::vector<LedgerEntry> Ledger(const std::string& pool);
    // Up to n free values of the pool, in order, reserved for holder in one
    // transaction; fewer (or none) when the pool runs out. Two callers, in
    // this process or another, on this station or another, never get the
    // same value. kInvalid when there is no such pool.
    virtual std::vector<std::string> Reserve(const std::string& pool, const SerialHolder& holder,
                                             int64_t n);
    // The values (reserved by holder and not sent) go back to free; any
    // other value is left alone. Returns how many went back.
    virtual int64_t ReturnSerials(const std::string& pool, const std::vector<std::string>& values,
                                  const SerialHolder& holder);
    // The value (reserved by holder's station) may be on a board from now
    // on: sent. False, changing nothing, when it is not so reserved.
    virtual bool MarkSerialSent(const std::string& pool, const std::string& value,
                                const SerialHolder& holder);
    // The value (reserved or sent by holder's station, with no record) is
    // void without a record: a board of a killed run may carry it. False,
    // changing nothing, when it is in no such state.
    virtual bool VoidSerial(const std::string& pool, const std::string& value,
                            const SerialHolder& holder);
    // The value's state in the pool ("free", "reserved", "sent", "used",
    // "void"); "" when the pool has no such value.
    virtual std::string SerialState(const std::string& pool, const std::string& value);
    // Settles station's reservations made by runs other than run: sent
    // ones become void, the others go back to free.
    virtual SettleCounts SettleStale(const std::string& station, const std::string& run);

    // Releases. Release stores (or, for an identity released before and
    // revoked, releases again) the identity; kInvalid for an unsound one.
    virtual void ReleaseRecipe(const Release& release);
    // Marks the identity revoked; false when it was not released (or was
    // revoked already).
    virtual bool RevokeRecipe(const std::string& identity, const std::string& by);
    // Every release (revoked ones too), newest first; of one product when
    // product is set.
    virtual std::vector<Release> Releases(const std::optional<std::string>& product);
    // Passed boards made by this recipe identity, across every station.
    virtual int64_t PassedBoards(const std::string& identity);
};

// A pool's import file: one value a line (LF or CR LF), trimmed of spaces
// and tabs at both ends; empty lines and lines starting with '#' are
// skipped. "" and the values in out, in file order; else the one-line
// reason ("line N: ...": not UTF-8, a value CheckSerialValue refuses, a
// value twice, no value at all), out left alone.
std::string ParsePoolFile(const std::string& text, std::vector<std::string>& out);

// The most values one pool may be made with at once.
constexpr int64_t kMaxPoolValues = 10'000'000;

// Serial and release rules the backends share: "" when a pool of these
// values may be made, else the reason.
std::string CheckPoolRange(uint64_t first, uint64_t last, uint64_t step);
// "" when the release may be stored (identity 64 lower-case hex, product
// and by plain one-line text, product not empty, quota 1 or more), else the reason.
std::string CheckRelease(const Release& release);

// Opens (creating or migrating its schema) the store a URL names; nullptr
// for "none". Throws StoreError: kInvalid for an unknown URL, kRefused for a
// database that is not ours, damaged or newer, kUnreachable for a server
// that does not answer.
std::unique_ptr<RecordStore> OpenRecordStore(const std::string& url);

// "sqlite:" + the user's data folder + "qmb-edit/records.sqlite":
// $XDG_DATA_HOME or ~/.local/share on POSIX, %LOCALAPPDATA% on Windows.
// "" when neither is known (platform::DataFolder).
std::string DefaultStoreUrl();

// The URL with any password (user:PASSWORD@ or password=...) replaced by "***".
std::string RedactUrl(const std::string& url);

// JSON lines: one ToJson object a line, oldest first.
// Returns the number of records written.
int64_t ExportJsonLines(RecordStore& store, const RecordFilter& filter, std::ostream& out);

struct ImportCounts {
    int64_t read = 0;
    int64_t inserted = 0;
    int64_t alreadyPresent = 0;
};
// One line of JSON lines as a sound record: "" and the record in out, else
// the one-line reason (not UTF-8, not JSON, a field missing or of the wrong
// type, what CheckRecord refuses), out left alone.
std::string ParseRecordLine(const std::string& line, Record& out);
// Reads every line first (empty lines are skipped); a line that is not a
// sound record throws StoreError(kInvalid) "NAME:N: ..." ("line N: ..."
// without a name) and nothing of the file is stored. Then inserts them all;
// records already there count as present.
ImportCounts ImportJsonLines(RecordStore& store, std::istream& in, const std::string& name = "");

// Sends the records a spooling station kept while its server was away:
// everything marked unsent in the SQLite store localUrl goes to serverUrl
// (by id, so nothing is doubled) and is marked sent; a record the server
// refuses for good is set aside in localUrl with its reason (see
// SetAsideRecords) and the others go on. Returns how many were sent. Throws
// StoreError (kUnreachable when the server still does not answer; what was
// sent stays sent).
int64_t SyncSpool(const std::string& localUrl, const std::string& serverUrl);

}  // namespace qmb::store
