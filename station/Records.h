// What the station keeps of its boards: one record per board attempt, the
// filters of `qmb-cli records` and the figures of a period. The station
// always holds its recent boards in memory (BoardHistory), so the page and
// the API work without a database; a database, when there is one, is
// another BoardSink.
//
// Times are UTC text to the millisecond ("2026-12-09T07:40:51.123Z"); in
// that fixed form text order is time order.
//
// Threads: every BoardSink may be used by several threads at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace qmb::station {

struct Record {
    std::string id;  // UUID v4
    std::string station;
    int slot = 0;  // 0-based slot index
    std::string port, device;
    std::string operator_, batch;
    std::string mode = "production";
    int board = 1;
    int section = 1;
    std::string image_sha256;
    int64_t image_length = 0;
    std::string tool_version;
    std::string started_at, ended_at;
    int64_t duration_ms = 0;
    std::string status = "complete";  // complete, error, aborted
    std::optional<std::string> result;  // "pass", "fail"; none: no verdict
    std::optional<std::string> failure_code, failure_phase;
    int retries = 0;
    std::optional<std::string> dut_id;
    std::string reason;
};

struct RecordFilter {
    std::optional<std::string> since, until;  // on started_at, canonical UTC text
    std::optional<std::string> station;
    std::optional<int> slot;
    std::optional<std::string> result;  // "pass", "fail", "none"
    std::optional<int> section;
    std::optional<std::string> dut_id;
    std::optional<int64_t> limit;
};

struct Counts {
    int64_t total = 0, passes = 0, fails = 0, noVerdict = 0;
    int64_t units = 0, firstPasses = 0;  // first-pass yield, by DUT (or record without one)
    double Yield() const;
    double FirstPassYield() const;
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
    std::vector<SlotCounts> slots;     // by station, then slot
    std::vector<FailureCount> pareto;  // by count, high first, then code
};

nlohmann::json ToJson(const Record& record);
nlohmann::json StatsToJson(const Stats& stats);
// RFC 4180, a header row of the field names, CR LF line ends.
std::string RecordsCsv(const std::vector<Record>& records);

std::string FormatUtcMillis(std::chrono::system_clock::time_point time);
// "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM[:SS[.mmm]]" with an optional "Z", UTC.
bool ParseUtcTime(const std::string& text, std::chrono::system_clock::time_point& time);
std::string NewRecordId();

// The figures over records, as a store computes them.
Stats ComputeStatsOf(const std::vector<Record>& records);
bool Matches(const RecordFilter& filter, const Record& record);

// Where finished boards go.
class BoardSink {
  public:
    virtual ~BoardSink() = default;
    virtual void Add(const Record& record) = 0;
    // Newest first.
    virtual std::vector<Record> List(const RecordFilter& filter) = 0;
    virtual Stats ComputeStats(const RecordFilter& filter) = 0;
};

// The boards of this run, newest kept, at most `capacity`.
class BoardHistory : public BoardSink {
  public:
    explicit BoardHistory(size_t capacity = 20000) : capacity_(capacity) {}
    void Add(const Record& record) override;
    std::vector<Record> List(const RecordFilter& filter) override;
    Stats ComputeStats(const RecordFilter& filter) override;

  private:
    size_t capacity_;
    std::mutex mutex_;
    std::deque<Record> records_;  // oldest first
};

}  // namespace qmb::station
