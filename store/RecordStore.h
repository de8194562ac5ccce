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
constexpr int kSchemaVersion = 1;

// Which records a listing or a figure covers. Every set member narrows it.
struct RecordFilter {
    std::optional<std::string> since;  // started_at >= since (UTC text, see ParseUtcTime)
    std::optional<std::string> until;  // started_at < until
    std::optional<std::string> station;
    std::optional<int> slot;
    std::optional<std::string> result;  // "pass", "fail", or "none" (no verdict)
    std::optional<int> section;
    std::optional<std::string> dut_id;
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
};

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
