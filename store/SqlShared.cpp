#include "store/SqlShared.h"

namespace qmb::store::sql {

const char* const kColumnNames[23] = {
    "id",           "station",     "slot",          "port",         "device",
    "operator",     "batch",       "mode",          "board",        "section",
    "image_sha256", "image_length", "tool_version", "started_at",   "ended_at",
    "duration_ms",  "status",      "result",        "failure_code", "failure_phase",
    "retries",      "dut_id",      "reason",
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
            Value::Of(r.dut_id),       Value::Of(r.reason)};
}

std::string CanonicalTime(const std::string& text) {
    std::chrono::system_clock::time_point t;
    ParseUtcTime(text, t);
    return FormatUtcMillis(t);
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
