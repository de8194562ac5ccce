// A finished board as the record store keeps it, and the store the loop
// writes to (--db). The log's JSON lines carry the same fields.
#pragma once

#include <memory>
#include <string>

#include "cli/Production.h"
#include "store/Record.h"
#include "store/RecordStore.h"

namespace qmb::cli {

// What every record of a run shares.
struct RecordContext {
    std::string station;   // default: this computer's name
    std::string operator_, batch;
    std::string mode = "production";  // or "engineering"
    std::string imageSha256;
    int64_t imageLength = 0;
    std::string toolVersion;
};

// A fresh record (new id) of the board.
store::Record MakeRecord(const BoardOutcome& board, const RecordContext& context);

// The record as a log line: its fields, and "pass" and "duration_s" as the
// log has always had them. notKept: why the record could not be kept in the
// store ("" when it was); such a board is no pass, and the line says why
// ("not_kept").
nlohmann::json LogLine(const store::Record& record, const std::string& notKept = "");

// The store a --db URL names: "none" gives nullptr; a server URL
// (postgresql://) is fronted by the default SQLite file as its spool, so a
// server that goes away, hangs or refuses a record loses nothing and holds
// no board more than 2 s (none after Ctrl-C). Throws CliError
// (ThrowStoreError).
std::unique_ptr<store::RecordStore> OpenLoopStore(const std::string& url);

// A store's failure as the tool's: usage for a bad URL, else "store".
[[noreturn]] void ThrowStoreError(const store::StoreError& e);

// --db's default: the user's SQLite file.
std::string DefaultDbUrl();

}  // namespace qmb::cli
