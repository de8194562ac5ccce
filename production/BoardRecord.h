// A finished board as the record store keeps it, and the store the loop
// writes to. The log's JSON lines carry the same fields.
#pragma once

#include <memory>
#include <string>

#include "production/Production.h"
#include "store/Record.h"
#include "store/RecordStore.h"

namespace qmb::production {

// What every record of a run shares.
struct RecordContext {
    std::string station;   // default: this computer's name
    std::string operator_, batch;
    std::string mode = "production";  // or "engineering"
    std::string imageSha256;
    int64_t imageLength = 0;
    std::string toolVersion;
    std::string recipeSha256;  // the recipe's identity; "" without a recipe
};

// A fresh record (new id) of the board.
store::Record MakeRecord(const BoardOutcome& board, const RecordContext& context);

// The record as a log line: its fields, and "pass" and "duration_s" as the
// log has always had them. notKept: why the record could not be kept in the
// store ("" when it was); such a board is no pass, and the line says why
// ("not_kept").
nlohmann::json LogLine(const store::Record& record, const std::string& notKept = "");

// "" when every record of a run with this context on section can be
// stored, else the one-line reason (store::CheckRecord of a sample board).
// Checked once before any board: a name the store would refuse must not
// stop a slot mid-run. slotName: the slot's name as its records carry it.
std::string CheckRecordContext(const RecordContext& context, int section,
                               const std::string& slotName = "A");

// The store a URL names: "none" gives nullptr; a server URL (postgresql://)
// is fronted by the default SQLite file (store::DefaultStoreUrl) as its
// spool, so a server that goes away, hangs or refuses a record loses nothing
// and holds no board more than 2 s (none after Ctrl-C). Throws
// store::StoreError.
std::unique_ptr<store::RecordStore> OpenProductionStore(const std::string& url);

}  // namespace qmb::production
