#include "store/RecordFormat.h"

#include <cstdio>

#include "store/SqlShared.h"

namespace qmb::store {

namespace {

// Characters on screen: UTF-8 continuation bytes take no column.
size_t Width(const std::string& text) {
    size_t width = 0;
    for (unsigned char c : text) width += (c & 0xC0) != 0x80;
    return width;
}

std::string Table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Width(row[i]));
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - Width(row[i]) + 2, ' ');
        }
        out += line + "\n";
    }
    return out;
}

std::string OrDash(const std::optional<std::string>& value) { return value ? *value : "-"; }

std::string Percent(double fraction) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", fraction * 100.0);
    return text;
}

std::string CsvField(const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string CsvValue(const sql::Value& v) {
    switch (v.type) {
        case sql::Value::Type::kNull: return "";
        case sql::Value::Type::kInteger: return std::to_string(v.integer);
        default: return CsvField(v.text);
    }
}

nlohmann::json CountsToJson(const Counts& c) {
    return {{"total", c.total},   {"passes", c.passes},           {"fails", c.fails},
            {"no_verdict", c.noVerdict}, {"yield", c.Yield()}, {"units", c.units},
            {"first_passes", c.firstPasses}, {"first_pass_yield", c.FirstPassYield()}};
}

std::vector<std::string> CountsRow(const Counts& c) {
    return {std::to_string(c.total), std::to_string(c.passes),    std::to_string(c.fails),
            std::to_string(c.noVerdict), Percent(c.Yield()),     Percent(c.FirstPassYield())};
}

}  // namespace

std::string FormatRecordsTable(const std::vector<Record>& records) {
    std::vector<std::vector<std::string>> rows{{"started_at", "station", "slot", "port", "board",
                                                "section", "result", "status", "failure_code",
                                                "duration_ms", "dut_id", "operator"}};
    for (const auto& r : records)
        // The slot as the station shows it: its name, or its number in
        // records made before slots had names.
        rows.push_back({r.started_at, r.station, r.slot_name.empty() ? std::to_string(r.slot) : r.slot_name,
                        r.port,
                        std::to_string(r.board), std::to_string(r.section), OrDash(r.result),
                        r.status, OrDash(r.failure_code), std::to_string(r.duration_ms),
                        OrDash(r.dut_id), r.operator_});
    return Table(rows);
}

std::string FormatRecordsCsv(const std::vector<Record>& records) {
    std::string out;
    for (int i = 0; i < sql::kColumnCount; ++i) out += std::string(i ? "," : "") + sql::kColumnNames[i];
    out += "\r\n";
    for (const auto& r : records) {
        auto values = sql::RecordValues(r);
        for (size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + CsvValue(values[i]);
        out += "\r\n";
    }
    return out;
}

std::string FormatRecordsJson(const std::vector<Record>& records) {
    if (records.empty()) return "[]\n";
    std::string out = "[\n";
    for (size_t i = 0; i < records.size(); ++i)
        out += "  " + ToJson(records[i]).dump() + (i + 1 < records.size() ? ",\n" : "\n");
    return out + "]\n";
}

std::string FormatStatsTable(const Stats& stats) {
    std::vector<std::vector<std::string>> rows{
        {"station", "slot", "records", "pass", "fail", "none", "yield", "first-pass"}};
    for (const auto& s : stats.slots) {
        std::vector<std::string> row{s.station, std::to_string(s.slot)};
        for (auto& cell : CountsRow(s.counts)) row.push_back(cell);
        rows.push_back(row);
    }
    std::vector<std::string> all{"all", ""};
    for (auto& cell : CountsRow(stats.all)) all.push_back(cell);
    rows.push_back(all);
    std::string out = Table(rows);
    if (!stats.pareto.empty()) {
        std::vector<std::vector<std::string>> codes{{"failure_code", "count"}};
        for (const auto& f : stats.pareto) codes.push_back({f.code, std::to_string(f.count)});
        out += "\n" + Table(codes);
    }
    return out;
}

nlohmann::json StatsToJson(const Stats& stats) {
    nlohmann::json out = CountsToJson(stats.all);
    out["slots"] = nlohmann::json::array();
    for (const auto& s : stats.slots) {
        nlohmann::json slot = CountsToJson(s.counts);
        slot["station"] = s.station;
        slot["slot"] = s.slot;
        out["slots"].push_back(slot);
    }
    out["pareto"] = nlohmann::json::array();
    for (const auto& f : stats.pareto) out["pareto"].push_back({{"code", f.code}, {"count", f.count}});
    return out;
}

nlohmann::json SetAsideToJson(const SetAsideSummary& summary) {
    nlohmann::json newest = nlohmann::json::array();
    for (const auto& a : summary.newest)
        newest.push_back({{"id", a.record.id},
                          {"station", a.record.station},
                          {"slot", a.record.slot},
                          {"board", a.record.board},
                          {"started_at", a.record.started_at},
                          {"dut_id", a.record.dut_id ? nlohmann::json(*a.record.dut_id) : nullptr},
                          {"reason", a.reason},
                          {"set_at", a.setAt}});
    return {{"count", summary.count}, {"newest", newest}};
}

std::string FormatSetAside(const SetAsideSummary& summary) {
    if (summary.count == 0) return "";
    std::string out = std::to_string(summary.count) +
                      (summary.count == 1 ? " record" : " records") +
                      " set aside (the server refused them; kept in the spool):\n";
    for (const auto& a : summary.newest)
        out += "  " + a.record.started_at + " " + a.record.station + " slot " +
               std::to_string(a.record.slot) + " board " + std::to_string(a.record.board) + " " +
               a.record.id + ": " + a.reason + "\n";
    if (static_cast<int64_t>(summary.newest.size()) < summary.count)
        out += "  ... and " + std::to_string(summary.count - static_cast<int64_t>(summary.newest.size())) +
               " more\n";
    return out;
}

namespace {

const char* const kLedgerColumns[] = {"value",   "state", "record",      "station",
                                      "slot",    "run",   "reserved_at", "ended_at"};

std::vector<std::string> LedgerRow(const LedgerEntry& e) {
    return {e.value, e.state, e.record_id, e.station, e.slot, e.run, e.reserved_at, e.ended_at};
}

}  // namespace

std::string FormatLedgerTable(const std::vector<LedgerEntry>& ledger) {
    std::vector<std::vector<std::string>> rows{
        std::vector<std::string>(std::begin(kLedgerColumns), std::end(kLedgerColumns))};
    for (const auto& e : ledger) {
        auto row = LedgerRow(e);
        for (auto& field : row)
            if (field.empty()) field = "-";
        rows.push_back(std::move(row));
    }
    return Table(rows);
}

std::string FormatLedgerCsv(const std::vector<LedgerEntry>& ledger) {
    std::string out;
    for (const char* name : kLedgerColumns) out += std::string(out.empty() ? "" : ",") + name;
    out += "\r\n";
    for (const auto& e : ledger) {
        const auto row = LedgerRow(e);
        for (size_t i = 0; i < row.size(); ++i) out += (i ? "," : "") + CsvField(row[i]);
        out += "\r\n";
    }
    return out;
}

nlohmann::json LedgerToJson(const std::vector<LedgerEntry>& ledger) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& e : ledger) {
        nlohmann::json o;
        const auto row = LedgerRow(e);
        for (size_t i = 0; i < row.size(); ++i) o[kLedgerColumns[i]] = row[i];
        out.push_back(o);
    }
    return out;
}

nlohmann::json PoolLevelToJson(const PoolLevel& l) {
    return {{"pool", l.pool},         {"free", l.free},          {"reserved", l.reserved},
            {"used", l.used},         {"void", l.voided},        {"low_water", l.lowWater},
            {"low", l.Low()}};
}

}  // namespace qmb::store
