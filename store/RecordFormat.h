// How `qmb-cli records` shows records and figures. Values are always shown
// as the plain text they are (nothing is interpreted or escaped beyond what
// the format itself needs), so a station named "'); DROP TABLE records; --"
// reads back exactly.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "store/RecordStore.h"

namespace qmb::store {

// Aligned columns under a header row: started_at, station, slot (its name,
// or its number in a record without one), port,
// board, section, result, status, failure_code, duration_ms, dut_id,
// operator; "-" for none. One line a record, "\n" line ends.
std::string FormatRecordsTable(const std::vector<Record>& records);
// RFC 4180: a header row of every field name, then one row a record, CR LF
// line ends, fields quoted when they hold a comma, quote or line break;
// none is an empty field.
std::string FormatRecordsCsv(const std::vector<Record>& records);
// A JSON array of ToJson objects, one a line.
std::string FormatRecordsJson(const std::vector<Record>& records);

// The figures as a readable table: totals, per slot, failure codes.
std::string FormatStatsTable(const Stats& stats);
// {"total", "passes", "fails", "no_verdict", "yield", "units", "first_passes",
//  "first_pass_yield", "slots": [{"station", "slot", ...same}],
//  "pareto": [{"code", "count"}]}; yields are fractions 0..1.
nlohmann::json StatsToJson(const Stats& stats);

// {"count", "newest": [{"id", "station", "slot", "board", "started_at",
//  "dut_id", "reason", "set_at"}]}.
nlohmann::json SetAsideToJson(const SetAsideSummary& summary);
// "N records set aside (the server refused them):" and one line each of the
// newest: "  started_at station slot N board N id: reason"; "" when none.
std::string FormatSetAside(const SetAsideSummary& summary);

// A pool's ledger: aligned columns value, state, record, station, slot,
// run, reserved_at, ended_at ("-" for none); CSV of the same with a header
// row (CR LF); a JSON array of objects with those names.
std::string FormatLedgerTable(const std::vector<LedgerEntry>& ledger);
std::string FormatLedgerCsv(const std::vector<LedgerEntry>& ledger);
nlohmann::json LedgerToJson(const std::vector<LedgerEntry>& ledger);
// {"pool", "free", "reserved", "used", "void", "low_water", "low"}.
nlohmann::json PoolLevelToJson(const PoolLevel& level);

}  // namespace qmb::store
