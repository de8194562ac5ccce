#include "store/SqlShared.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace qmb::store::sql {

const char* const kColumnNames[25] = {
    "id",           "station",     "slot",          "port",         "device",
    "operator",     "batch",       "mode",          "board",        "section",
    "image_sha256", "image_length", "tool_version", "started_at",   "ended_at",
    "duration_ms",  "status",      "result",        "failure_code", "failure_phase",
    "retries",      "dut_id",      "reason",        "slot_name",    "recipe_sha256",
};

std::string ColumnList(const std::string& prefix) {
    std::string list;
    for (int i = 0; i < kColumnCount; ++i) {
        if (i) list += ", ";
        list += prefix + "\"" + kColumnNames[i] + "\"";
    }
    return list;
}

std::vector<Value> RecordValues(const Record& r) {
    return {Value::Of(r.id),           Value::Of(r.station),      Value::Of(int64_t{r.slot}),
            Value::Of(r.port),         Value::Of(r.device),       Value::Of(r.operator_),
            Value::Of(r.batch),        Value::Of(r.mode),         Value::Of(int64_t{r.board}),
            Value::Of(int64_t{r.section}), Value::Of(r.image_sha256), Value::Of(r.image_length),
            Value::Of(r.tool_version), Value::Of(r.started_at),   Value::Of(r.ended_at),
            Value::Of(r.duration_ms),  Value::Of(r.status),       Value::Of(r.result),
            Value::Of(r.failure_code), Value::Of(r.failure_phase), Value::Of(int64_t{r.retries}),
            Value::Of(r.dut_id),       Value::Of(r.reason),       Value::Of(r.slot_name),
            Value::Of(r.recipe_sha256)};
}

std::string CanonicalTime(const std::string& text) {
    std::chrono::system_clock::time_point t;
    ParseUtcTime(text, t);
    return FormatUtcMillis(t);
}

std::string ListSql(const RecordFilter& filter, std::vector<Value>& params,
                    const std::function<std::string(size_t)>& placeholder) {
    std::string text = "SELECT " + ColumnList() + " FROM records" +
                       WhereClause(filter, params, placeholder) +
                       " ORDER BY started_at DESC, id DESC";
    if (filter.limit) {
        params.push_back(Value::Of(*filter.limit));
        text += " LIMIT " + placeholder(params.size());
    }
    return text;
}

std::string WhereClause(const RecordFilter& f, std::vector<Value>& params,
                        const std::function<std::string(size_t)>& placeholder) {
    std::string where;
    auto add = [&](const std::string& condition, Value value) {
        params.push_back(std::move(value));
        where += where.empty() ? " WHERE " : " AND ";
        size_t at = condition.find('?');
        where += condition.substr(0, at) + placeholder(params.size()) + condition.substr(at + 1);
    };
    if (f.since) add("started_at >= ?", Value::Of(CanonicalTime(*f.since)));
    if (f.until) add("started_at < ?", Value::Of(CanonicalTime(*f.until)));
    if (f.station) add("station = ?", Value::Of(*f.station));
    if (f.slot) add("slot = ?", Value::Of(int64_t{*f.slot}));
    if (f.result) {
        if (*f.result == "none") {
            where += where.empty() ? " WHERE " : " AND ";
            where += "result IS NULL";
        } else {
            add("result = ?", Value::Of(*f.result));
        }
    }
    if (f.section) add("section = ?", Value::Of(int64_t{*f.section}));
    if (f.dut_id) add("dut_id = ?", Value::Of(*f.dut_id));
    if (f.slot_name) add("slot_name = ?", Value::Of(*f.slot_name));
    if (f.serial) add("id IN (SELECT record_id FROM record_serials WHERE value = ?)", Value::Of(*f.serial));
    return where;
}

void RequireSound(const Record& record) {
    std::string why = CheckRecord(record);
    if (!why.empty()) throw StoreError(StoreError::Kind::kInvalid, "record not stored: " + why);
}

void RequireSound(const RecordFilter& filter) {
    std::string why = CheckFilter(filter);
    if (!why.empty()) throw StoreError(StoreError::Kind::kInvalid, why);
}

}  // namespace qmb::store::sql

namespace qmb::store::sql {

int64_t AsInteger(const Value& v) {
    if (v.type == Value::Type::kInteger) return v.integer;
    if (v.type == Value::Type::kText) return std::strtoll(v.text.c_str(), nullptr, 10);
    return 0;
}

std::string AsText(const Value& v) {
    return v.type == Value::Type::kInteger ? std::to_string(v.integer) : v.text;
}

Record ReadRecord(const Row& row) {
    size_t i = 0;
    auto text = [&] { return AsText(row.at(i++)); };
    auto number = [&] { return AsInteger(row.at(i++)); };
    auto optional = [&]() -> std::optional<std::string> {
        const Value& v = row.at(i++);
        if (v.type == Value::Type::kNull) return std::nullopt;
        return AsText(v);
    };
    Record r;
    r.id = text();
    r.station = text();
    r.slot = static_cast<int>(number());
    r.port = text();
    r.device = text();
    r.operator_ = text();
    r.batch = text();
    r.mode = text();
    r.board = static_cast<int>(number());
    r.section = static_cast<int>(number());
    r.image_sha256 = text();
    r.image_length = number();
    r.tool_version = text();
    r.started_at = text();
    r.ended_at = text();
    r.duration_ms = number();
    r.status = text();
    r.result = optional();
    r.failure_code = optional();
    r.failure_phase = optional();
    r.retries = static_cast<int>(number());
    r.dut_id = optional();
    r.reason = text();
    r.slot_name = text();
    r.recipe_sha256 = optional();
    return r;
}

std::string HourOf(const std::string& startedAt) { return startedAt.substr(0, 13); }

std::string CountDeltaSql(const Placeholder& p) {
    return "INSERT INTO record_counts (hour, station, slot, section, result, failure_code,"
           " records, no_dut, first_known) VALUES (" + p(1) + ", " + p(2) + ", " + p(3) + ", " +
           p(4) + ", " + p(5) + ", " + p(6) + ", " + p(7) + ", " + p(8) + ", " + p(9) + ")"
           " ON CONFLICT (hour, station, slot, section, result, failure_code) DO UPDATE SET"
           " records = record_counts.records + excluded.records,"
           " no_dut = record_counts.no_dut + excluded.no_dut,"
           " first_known = record_counts.first_known + excluded.first_known";
}

std::vector<Value> CountDeltaOf(const Record& r, bool firstKnown) {
    return {Value::Of(HourOf(r.started_at)),
            Value::Of(r.station),
            Value::Of(int64_t{r.slot}),
            Value::Of(int64_t{r.section}),
            Value::Of(r.result ? *r.result : std::string("none")),
            Value::Of(r.failure_code ? *r.failure_code : std::string()),
            Value::Of(int64_t{1}),
            Value::Of(int64_t{r.dut_id ? 0 : 1}),
            Value::Of(int64_t{firstKnown ? 1 : 0})};
}

std::string SuccessorSql(const Placeholder& p) {
    return "SELECT id, prev_started_at, substr(started_at, 1, 13), station, slot, section,"
           " COALESCE(result, 'none'), COALESCE(failure_code, '') FROM records"
           " WHERE dut_id = " + p(1) + " AND (started_at > " + p(2) + " OR (started_at = " + p(2) +
           " AND id > " + p(3) + ")) ORDER BY started_at, id LIMIT 1";
}

bool InsertCounted(const Record& r, const Query& query, const Placeholder& p) {
    static const auto insertSql = [](const Placeholder& ph) {
        std::string values;
        for (int i = 1; i <= kColumnCount; ++i) values += (i > 1 ? ", " : "") + ph(static_cast<size_t>(i));
        return "INSERT INTO records (" + ColumnList() + ", prev_started_at) VALUES (" + values +
               ", (SELECT started_at FROM records WHERE dut_id = " + ph(22) + " AND (started_at < " +
               ph(14) + " OR (started_at = " + ph(14) + " AND id < " + ph(1) + "))"
               " ORDER BY started_at DESC, id DESC LIMIT 1))"
               " ON CONFLICT (id) DO NOTHING RETURNING prev_started_at";
    };
    std::vector<Row> inserted = query(insertSql(p), RecordValues(r));
    if (inserted.empty()) return false;
    const bool firstKnown = r.dut_id && inserted[0][0].type == Value::Type::kNull;
    query(CountDeltaSql(p), CountDeltaOf(r, firstKnown));
    if (!r.serials.empty()) StoreSerials(r, Db{query, p, p(1) == "$1"});
    if (!r.dut_id) return true;
    std::vector<Row> next =
        query(SuccessorSql(p), {Value::Of(*r.dut_id), Value::Of(r.started_at), Value::Of(r.id)});
    if (next.empty()) return true;
    const Row& n = next[0];
    query("UPDATE records SET prev_started_at = " + p(1) + " WHERE id = " + p(2),
          {Value::Of(r.started_at), n[0]});
    if (n[1].type == Value::Type::kNull)  // it was the DUT's first attempt; now this one is
        query(CountDeltaSql(p), {n[2], n[3], Value::Of(AsInteger(n[4])), Value::Of(AsInteger(n[5])),
                                 n[6], n[7], Value::Of(int64_t{0}), Value::Of(int64_t{0}),
                                 Value::Of(int64_t{-1})});
    return true;
}

std::string DeleteHourSql(const Placeholder& p) {
    return "DELETE FROM record_counts WHERE hour = " + p(1);
}

std::string CountHourSql(const Placeholder& p) {
    // Every started_at of hour H starts "H:", and ';' follows ':'.
    return "INSERT INTO record_counts (hour, station, slot, section, result, failure_code,"
           " records, no_dut, first_known)"
           " SELECT CAST(" + p(1) + " AS TEXT), station, slot, section, COALESCE(result, 'none'),"
           " COALESCE(failure_code, ''), count(*),"
           " SUM(CASE WHEN dut_id IS NULL THEN 1 ELSE 0 END),"
           " SUM(CASE WHEN dut_id IS NOT NULL AND prev_started_at IS NULL THEN 1 ELSE 0 END)"
           " FROM records WHERE started_at >= CAST(" + p(1) + " AS TEXT) AND started_at < CAST(" + p(1) + " AS TEXT) || ';'"
           " GROUP BY station, slot, section, COALESCE(result, 'none'), COALESCE(failure_code, '')";
}

namespace {

class Params {
  public:
    explicit Params(const Placeholder& p) : placeholder_(p) {}
    std::string Bind(Value v) {
        values.push_back(std::move(v));
        return placeholder_(values.size());
    }
    std::vector<Value> values;

  private:
    const Placeholder& placeholder_;
};

// " AND ..." for the filter's station, slot, section, result and dut_id; in
// record_counts a missing result is 'none', in records it is NULL.
std::string Narrowing(const RecordFilter& f, Params& p, bool summary) {
    std::string sqlText;
    if (f.station) sqlText += " AND station = " + p.Bind(Value::Of(*f.station));
    if (f.slot) sqlText += " AND slot = " + p.Bind(Value::Of(int64_t{*f.slot}));
    if (f.section) sqlText += " AND section = " + p.Bind(Value::Of(int64_t{*f.section}));
    if (f.result) {
        if (summary)
            sqlText += " AND result = " + p.Bind(Value::Of(*f.result));
        else if (*f.result == "none")
            sqlText += " AND result IS NULL";
        else
            sqlText += " AND result = " + p.Bind(Value::Of(*f.result));
    }
    if (f.dut_id && !summary) sqlText += " AND dut_id = " + p.Bind(Value::Of(*f.dut_id));
    if (f.slot_name && !summary) sqlText += " AND slot_name = " + p.Bind(Value::Of(*f.slot_name));
    if (f.serial && !summary)
        sqlText += " AND id IN (SELECT record_id FROM record_serials WHERE value = " +
                   p.Bind(Value::Of(*f.serial)) + ")";
    return sqlText;
}

std::string TimeRange(const std::optional<std::string>& from, const std::optional<std::string>& to,
                      Params& p) {
    std::string sqlText;
    if (from) sqlText += " AND started_at >= " + p.Bind(Value::Of(*from));
    if (to) sqlText += " AND started_at < " + p.Bind(Value::Of(*to));
    return sqlText;
}

// The first whole hour at or after a time, as an hour key.
std::string CeilHour(const std::string& time) {
    if (time.compare(13, std::string::npos, ":00:00.000Z") == 0) return HourOf(time);
    std::chrono::system_clock::time_point t;
    ParseUtcTime(time.substr(0, 13) + ":00Z", t);
    return HourOf(FormatUtcMillis(t + std::chrono::hours(1)));
}

std::string HourStart(const std::string& hour) { return hour + ":00:00.000Z"; }

const char* const kVerdicts =
    "count(*), SUM(CASE WHEN result = 'pass' THEN 1 ELSE 0 END),"
    " SUM(CASE WHEN result = 'fail' THEN 1 ELSE 0 END),"
    " SUM(CASE WHEN result IS NULL THEN 1 ELSE 0 END)";

}  // namespace

Stats ComputeStatsFrom(const RecordFilter& f, const Query& query, const Placeholder& placeholder) {
    std::map<std::pair<std::string, int>, Counts> slots;
    std::map<std::string, int64_t> codes;
    std::optional<std::string> since, until;
    if (f.since) since = CanonicalTime(*f.since);
    if (f.until) until = CanonicalTime(*f.until);

    auto addSlots = [&](const std::vector<Row>& rows, bool verdicts) {
        for (const auto& row : rows) {
            Counts c;
            size_t i = 2;
            if (verdicts) {
                c.total = AsInteger(row[i++]);
                c.passes = AsInteger(row[i++]);
                c.fails = AsInteger(row[i++]);
                c.noVerdict = AsInteger(row[i++]);
            }
            c.units = AsInteger(row[i++]);
            c.firstPasses = AsInteger(row[i++]);
            slots[{AsText(row[0]), static_cast<int>(AsInteger(row[1]))}] += c;
        }
    };
    auto addCodes = [&](const std::vector<Row>& rows) {
        for (const auto& row : rows) codes[AsText(row[0])] += AsInteger(row[1]);
    };

    // Records of [from, to) read one by one.
    auto fromRecords = [&](const std::optional<std::string>& from,
                           const std::optional<std::string>& to) {
        Params p(placeholder);
        std::string where = " WHERE 1 = 1" + TimeRange(from, to, p) + Narrowing(f, p, false);
        const std::vector<Value> whereValues = p.values;  // the unit test below is not in both
        std::string unit = "dut_id IS NULL OR prev_started_at IS NULL";
        if (since) unit += " OR prev_started_at < " + p.Bind(Value::Of(*since));
        addSlots(query("SELECT station, slot, " + std::string(kVerdicts) +
                           ", SUM(CASE WHEN " + unit + " THEN 1 ELSE 0 END),"
                           " SUM(CASE WHEN (" + unit + ") AND result = 'pass' THEN 1 ELSE 0 END)"
                           " FROM records" + where + " GROUP BY station, slot",
                       p.values),
                 true);
        addCodes(query("SELECT failure_code, count(*) FROM records" + where +
                           " AND failure_code IS NOT NULL GROUP BY failure_code",
                       whereValues));
    };

    // Whole hours [firstHour, endHour) from the counts.
    auto fromCounts = [&](const std::optional<std::string>& firstHour,
                          const std::optional<std::string>& endHour) {
        Params p(placeholder);
        std::string where = " WHERE 1 = 1";
        if (firstHour) where += " AND hour >= " + p.Bind(Value::Of(*firstHour));
        if (endHour) where += " AND hour < " + p.Bind(Value::Of(*endHour));
        where += Narrowing(f, p, true);
        addSlots(query("SELECT station, slot, SUM(records),"
                       " SUM(CASE WHEN result = 'pass' THEN records ELSE 0 END),"
                       " SUM(CASE WHEN result = 'fail' THEN records ELSE 0 END),"
                       " SUM(CASE WHEN result = 'none' THEN records ELSE 0 END),"
                       " SUM(no_dut + first_known),"
                       " SUM(CASE WHEN result = 'pass' THEN no_dut + first_known ELSE 0 END)"
                       " FROM record_counts" + where + " GROUP BY station, slot",
                       p.values),
                 true);
        addCodes(query("SELECT failure_code, SUM(records) FROM record_counts" + where +
                           " AND failure_code <> '' GROUP BY failure_code",
                       p.values));
        if (!since) return;
        // The counts take a DUT tried before the window as not new; in the
        // window its first attempt is.
        Params q(placeholder);
        std::string retried = " WHERE prev_started_at IS NOT NULL AND prev_started_at < " +
                              q.Bind(Value::Of(*since)) +
                              TimeRange(firstHour ? std::optional(HourStart(*firstHour)) : std::nullopt,
                                        endHour ? std::optional(HourStart(*endHour)) : std::nullopt, q) +
                              Narrowing(f, q, false);
        addSlots(query("SELECT station, slot, count(*),"
                       " SUM(CASE WHEN result = 'pass' THEN 1 ELSE 0 END)"
                       " FROM records" + retried + " GROUP BY station, slot",
                       q.values),
                 false);
    };

    std::optional<std::string> firstHour = since ? std::optional(CeilHour(*since)) : std::nullopt;
    std::optional<std::string> endHour = until ? std::optional(HourOf(*until)) : std::nullopt;
    // The summary knows neither DUT ids nor slot names nor serials.
    if (f.dut_id || f.slot_name || f.serial || (firstHour && endHour && *firstHour >= *endHour)) {
        fromRecords(since, until);
    } else {
        if (since && *since < HourStart(*firstHour)) fromRecords(since, HourStart(*firstHour));
        if (until && HourStart(*endHour) < *until) fromRecords(HourStart(*endHour), until);
        fromCounts(firstHour, endHour);
    }

    Stats stats;
    for (auto& [key, c] : slots) {
        if (c.total == 0) continue;
        stats.slots.push_back({key.first, key.second, c});
        stats.all += c;
    }
    for (auto& [code, count] : codes)
        if (count > 0) stats.pareto.push_back({code, count});
    std::stable_sort(stats.pareto.begin(), stats.pareto.end(),
                     [](const FailureCount& a, const FailureCount& b) { return a.count > b.count; });
    return stats;
}

}  // namespace qmb::store::sql
