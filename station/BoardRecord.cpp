#include "station/BoardRecord.h"

namespace qmb::station {

namespace {
std::optional<std::string> NoneIfEmpty(const std::string& text) {
    return text.empty() ? std::nullopt : std::optional<std::string>(text);
}
}  // namespace

Record RecordOf(const cli::BoardOutcome& o, const RunContext& run) {
    Record r;
    r.id = NewRecordId();
    r.station = run.station;
    r.slot = o.slot;
    r.port = o.port;
    r.device = o.device;
    r.operator_ = run.operatorName;
    r.batch = run.batch;
    r.board = o.board;
    r.section = o.section;
    r.image_sha256 = run.imageSha256;
    r.image_length = run.imageLength;
    r.tool_version = run.toolVersion;
    r.started_at = FormatUtcMillis(o.startedAt);
    r.ended_at = FormatUtcMillis(o.endedAt);
    r.duration_ms = o.durationMs;
    r.status = o.status;
    r.result = NoneIfEmpty(o.result);
    r.failure_code = NoneIfEmpty(o.failureCode);
    r.failure_phase = NoneIfEmpty(o.failurePhase);
    r.retries = o.retries;
    r.reason = o.reason;
    return r;
}

}  // namespace qmb::station
