#include "production/BoardRecord.h"

#include "platform/System.h"
#include "store/SpoolingStore.h"

namespace qmb::production {

namespace {
std::optional<std::string> Optional(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return text;
}
}  // namespace

store::Record MakeRecord(const BoardOutcome& o, const RecordContext& c) {
    store::Record r;
    r.id = store::NewRecordId();
    r.station = c.station;
    r.slot = o.slot;
    r.slot_name = o.slotName;
    r.port = o.port;
    r.device = o.device;
    r.operator_ = c.operator_;
    r.batch = c.batch;
    r.mode = c.mode;
    r.board = o.board;
    r.section = o.section;
    r.image_sha256 = c.imageSha256;
    r.image_length = c.imageLength;
    r.tool_version = c.toolVersion;
    r.started_at = store::FormatUtcMillis(o.startedAt);
    r.ended_at = store::FormatUtcMillis(o.endedAt);
    r.duration_ms = o.durationMs;
    r.status = o.status;
    r.result = Optional(o.result);
    r.failure_code = Optional(o.failureCode);
    r.failure_phase = Optional(o.failurePhase);
    r.retries = o.retries;
    r.dut_id = Optional(o.dutId);
    r.reason = o.reason;
    r.recipe_sha256 = Optional(c.recipeSha256);
    for (const auto& serial : o.serials)
        r.serials.push_back({serial.pool, serial.value, serial.state});
    return r;
}

nlohmann::json LogLine(const store::Record& r, const std::string& notKept) {
    nlohmann::json line = store::ToJson(r);
    line["pass"] = notKept.empty() && r.result && *r.result == "pass";
    line["duration_s"] = r.duration_ms / 1000.0;
    if (!notKept.empty()) line["not_kept"] = notKept;
    return line;
}

std::string CheckRecordContext(const RecordContext& context, int section,
                               const std::string& slotName) {
    BoardOutcome sample;
    sample.section = section;
    sample.slotName = slotName;
    sample.board = 1;
    sample.status = "complete";
    sample.startedAt = sample.endedAt = std::chrono::system_clock::now();
    return store::CheckRecord(MakeRecord(sample, context));
}

std::unique_ptr<store::RecordStore> OpenProductionStore(const std::string& url) {
    if (url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0) {
        const std::string local = store::DefaultStoreUrl();
        if (local.rfind("sqlite:", 0) != 0)
            throw store::StoreError(store::StoreError::Kind::kFailed,
                                    "no place for the local spool of " + store::RedactUrl(url) +
                                        " (HOME unset)");
        // A board waits for the server at most the spool's bound, and not at
        // all once Ctrl-C was pressed: its record spools.
        store::SpoolingStore::Options options;
        options.stop = [] { return platform::Interrupted(); };
        return std::make_unique<store::SpoolingStore>(url, local.substr(7), options);
    }
    return store::OpenRecordStore(url);
}

}  // namespace qmb::production
