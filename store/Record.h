// One board attempt of the production loop, as the record store keeps it.
// Field names are those of the JSON objects and of the SQL columns, except
// `operator_` (a C++ keyword), which is "operator" in both.
//
// Times are UTC text to the millisecond ("2026-12-09T07:40:51.123Z"); in that
// fixed form text order is time order, so the stores keep and compare them
// as text. Absent optionals are SQL NULL and JSON null.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace qmb::store {

struct Record {
    std::string id;  // UUID v4, lower case 8-4-4-4-12 (NewRecordId)
    std::string station;
    int slot = 0;          // 0-based slot index on the station
    std::string port;      // port name as given ("COM1", "/dev/ttyUSB0")
    std::string device;    // the device path it resolved to
    std::string operator_;  // "operator"; may be empty
    std::string batch;      // may be empty
    std::string mode = "production";  // "production" or "engineering"
    int board = 1;                    // 1-based number of the board on its slot in this run
    int section = 1;                  // 1..255
    std::string image_sha256;         // 64 lower-case hex digits
    int64_t image_length = 0;         // bytes
    std::string tool_version;
    std::string started_at;
    std::string ended_at;
    int64_t duration_ms = 0;
    std::string status = "complete";  // complete, error, timeout, aborted
    std::optional<std::string> result;         // "pass", "fail"; none: no verdict reached
    std::optional<std::string> failure_code;   // no_handshake, no_reply, ... (open-ended)
    std::optional<std::string> failure_phase;  // open, handshake, dut-id, serial, write, commit, verify
    int retries = 0;                           // frame attempts that were retried
    std::optional<std::string> dut_id;         // hex text
    std::string reason;                        // one-line message of a failure; empty on pass
    std::string slot_name;                     // "A", "B", ... as the station and page show it; "" in old records
    std::optional<std::string> recipe_sha256;  // the recipe identity (64 lower-case hex) the board
                                               // was made by; none without a recipe
    // One serial value of a pool on this board. state: "used" (written on a
    // passed board), "kept" (a reworked board already carried it), "void"
    // (it may have reached this failed board: never given out again).
    struct SerialUse {
        std::string pool, value, state;
        bool operator==(const SerialUse& o) const {
            return pool == o.pool && value == o.value && state == o.state;
        }
    };
    std::vector<SerialUse> serials;  // in field order

    bool operator==(const Record& other) const;
    bool operator!=(const Record& other) const { return !(*this == other); }
};

// A fresh random id (UUID version 4). Thread-safe.
std::string NewRecordId();

// "" when the record may be stored, else the one-line reason it may not
// (naming the field): bad id, mode, status, result, section, digest, time,
// text that is not UTF-8 or holds a control character, a serial with an
// empty pool or value, an unknown state, or the same pool and value twice.
std::string CheckRecord(const Record& record);

// JSON object with every field (null for absent optionals).
nlohmann::json ToJson(const Record& record);
// The reverse; throws StoreError naming the field that is missing or of the
// wrong type. slot_name, recipe_sha256 and serials may be absent (records
// written before they existed): "", none and no serials then. Does not run
// CheckRecord.
Record FromJson(const nlohmann::json& object);

// "2026-12-09T07:40:51.123Z". Thread-safe.
std::string FormatUtcMillis(std::chrono::system_clock::time_point time);
// Reads "YYYY-MM-DD" (midnight) or "YYYY-MM-DDTHH:MM[:SS[.mmm]]" with an
// optional trailing "Z" (always UTC), years 1900 to 2199. False, leaving
// time alone, on anything else, including impossible dates.
bool ParseUtcTime(const std::string& text, std::chrono::system_clock::time_point& time);
// True when text is exactly what FormatUtcMillis writes.
bool IsCanonicalUtcMillis(const std::string& text);

}  // namespace qmb::store
