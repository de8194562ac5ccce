#include "store/Record.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <random>

#include "platform/Utf8.h"
#include "store/RecordStore.h"
#include "store/StoreError.h"

namespace qmb::store {

bool Record::operator==(const Record& o) const {
    return id == o.id && station == o.station && slot == o.slot && port == o.port &&
           device == o.device && operator_ == o.operator_ && batch == o.batch && mode == o.mode &&
           board == o.board && section == o.section && image_sha256 == o.image_sha256 &&
           image_length == o.image_length && tool_version == o.tool_version &&
           started_at == o.started_at && ended_at == o.ended_at && duration_ms == o.duration_ms &&
           status == o.status && result == o.result && failure_code == o.failure_code &&
           failure_phase == o.failure_phase && retries == o.retries && dut_id == o.dut_id &&
           reason == o.reason && slot_name == o.slot_name && recipe_sha256 == o.recipe_sha256 &&
           serials == o.serials;
}

std::string NewRecordId() {
    // One generator seeded once from the system's entropy; ids are drawn
    // under a lock so that slot threads never share a state unguarded.
    static std::mutex lock;
    static std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    uint64_t high, low;
    {
        std::lock_guard<std::mutex> hold(lock);
        high = generator();
        low = generator();
    }
    high = (high & ~0xF000ull) | 0x4000ull;                  // version 4
    low = (low & ~(0xC000ull << 48)) | (0x8000ull << 48);    // variant 10
    char text[37];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx",
                  static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xFFFF),
                  static_cast<unsigned>(high & 0xFFFF), static_cast<unsigned>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return text;
}

namespace {

bool IsLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
bool IsHex(char c) { return IsLowerHex(c) || (c >= 'A' && c <= 'F'); }

bool IsRecordId(const std::string& id) {
    if (id.size() != 36) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? id[i] != '-' : !IsLowerHex(id[i])) return false;
    }
    return true;
}

bool OneOf(const std::string& value, std::initializer_list<const char*> allowed) {
    for (const char* a : allowed)
        if (value == a) return true;
    return false;
}

// No control characters: every text field shows on one line as it is.
bool IsPlainText(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

// The reason a text field may not be stored, "" when it may.
std::string TextFault(const char* name, const std::string& text) {
    if (!IsValidUtf8(text)) return std::string(name) + " is not valid UTF-8 text";
    if (!IsPlainText(text)) return std::string(name) + " holds a control character (line break, tab, ...)";
    return "";
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool DaysInMonthOk(int y, int m, int d) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1) return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= days[m - 1] + (m == 2 && leap ? 1 : 0);
}

// Reads exactly n digits at text[pos].
bool Digits(const std::string& text, size_t pos, size_t n, int& value) {
    if (pos + n > text.size()) return false;
    value = 0;
    for (size_t i = pos; i < pos + n; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// The serials of one record: sound pool names and values, known states, and
// no value of a pool twice.
std::string CheckSerials(const std::vector<Record::SerialUse>& serials) {
    for (size_t i = 0; i < serials.size(); ++i) {
        const auto& s = serials[i];
        std::string why = CheckPoolName(s.pool);
        if (why.empty()) why = CheckSerialValue(s.value);
        if (!why.empty()) return "serials: " + why;
        if (!OneOf(s.state, {"used", "kept", "void"}))
            return "serials: state \"" + s.state + "\" is not used, kept or void";
        for (size_t j = 0; j < i; ++j)
            if (serials[j].pool == s.pool && serials[j].value == s.value)
                return "serials: value \"" + s.value + "\" of pool " + s.pool + " is there twice";
    }
    return "";
}

}  // namespace

// The reasons below never quote what they refuse: it may hold control
// characters or broken UTF-8, and a reason is one printable line.
std::string CheckPoolName(const std::string& name) {
    if (name.empty() || name.size() > 64) return "a pool name is not 1 to 64 characters";
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-'))
            return "a pool name holds a character other than A-Z a-z 0-9 . _ -";
    return "";
}

std::string CheckSerialValue(const std::string& value) {
    if (value.empty()) return "a serial value is empty";
    std::string why = TextFault("serial value", value);
    if (!why.empty()) return why;
    if (value.size() > 128) return "a serial value is longer than 128 bytes";
    if (value.front() == ' ' || value.back() == ' ')
        return "serial value \"" + value + "\" begins or ends with a space";
    return "";
}

std::string CheckRecord(const Record& r) {
    if (!IsRecordId(r.id)) return "id \"" + r.id + "\" is not a lower-case UUID";
    if (r.slot < 0) return "slot " + std::to_string(r.slot) + " is negative";
    if (!OneOf(r.mode, {"production", "engineering"}))
        return "mode \"" + r.mode + "\" is neither production nor engineering";
    if (r.board < 1) return "board " + std::to_string(r.board) + " is not 1 or more";
    if (r.section < 1 || r.section > 255)
        return "section " + std::to_string(r.section) + " is not 1 to 255";
    if (r.image_sha256.size() != 64) return "image_sha256 is not 64 hex digits";
    for (char c : r.image_sha256)
        if (!IsLowerHex(c)) return "image_sha256 is not 64 lower-case hex digits";
    if (r.image_length < 0) return "image_length is negative";
    if (!IsCanonicalUtcMillis(r.started_at))
        return "started_at \"" + r.started_at + "\" is not UTC time like 2026-12-09T07:40:51.123Z";
    if (!IsCanonicalUtcMillis(r.ended_at))
        return "ended_at \"" + r.ended_at + "\" is not UTC time like 2026-12-09T07:40:51.123Z";
    if (r.duration_ms < 0) return "duration_ms is negative";
    if (!OneOf(r.status, {"complete", "error", "timeout", "aborted"}))
        return "status \"" + r.status + "\" is not complete, error, timeout or aborted";
    if (r.result && !OneOf(*r.result, {"pass", "fail"}))
        return "result \"" + *r.result + "\" is not pass, fail or none";
    if (r.failure_code && r.failure_code->empty()) return "failure_code is empty (use none)";
    if (r.failure_phase &&
        !OneOf(*r.failure_phase,
               {"open", "handshake", "dut-id", "serial", "write", "commit", "verify"}))
        return "failure_phase \"" + *r.failure_phase +
               "\" is not open, handshake, dut-id, serial, write, commit, verify or none";
    if (r.retries < 0) return "retries is negative";
    if (r.dut_id) {
        if (r.dut_id->empty()) return "dut_id is empty (use none)";
        for (char c : *r.dut_id)
            if (!IsHex(c)) return "dut_id \"" + *r.dut_id + "\" is not hex";
    }
    const std::pair<const char*, const std::string*> texts[] = {
        {"station", &r.station}, {"port", &r.port},     {"device", &r.device},
        {"operator", &r.operator_}, {"batch", &r.batch}, {"tool_version", &r.tool_version},
        {"reason", &r.reason}};
    for (const auto& [name, text] : texts) {
        std::string why = TextFault(name, *text);
        if (!why.empty()) return why;
    }
    if (r.failure_code) {
        std::string why = TextFault("failure_code", *r.failure_code);
        if (!why.empty()) return why;
    }
    if (r.slot_name.size() > 16) return "slot_name is longer than 16 characters";
    if (std::string why = TextFault("slot_name", r.slot_name); !why.empty()) return why;
    if (r.recipe_sha256) {
        if (r.recipe_sha256->size() != 64) return "recipe_sha256 is not 64 hex digits";
        for (char c : *r.recipe_sha256)
            if (!IsLowerHex(c)) return "recipe_sha256 is not 64 lower-case hex digits";
    }
    return CheckSerials(r.serials);
}

namespace {

nlohmann::json Optional(const std::optional<std::string>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

const nlohmann::json& Field(const nlohmann::json& o, const char* name) {
    auto it = o.find(name);
    if (it == o.end()) throw StoreError(StoreError::Kind::kInvalid, std::string("no field ") + name);
    return *it;
}

std::string Text(const nlohmann::json& o, const char* name) {
    const auto& v = Field(o, name);
    if (!v.is_string())
        throw StoreError(StoreError::Kind::kInvalid, std::string(name) + " is not text");
    return v.get<std::string>();
}

std::optional<std::string> OptionalText(const nlohmann::json& o, const char* name) {
    const auto& v = Field(o, name);
    if (v.is_null()) return std::nullopt;
    if (!v.is_string())
        throw StoreError(StoreError::Kind::kInvalid, std::string(name) + " is neither text nor null");
    return v.get<std::string>();
}

int64_t Integer(const nlohmann::json& o, const char* name, int64_t low, int64_t high) {
    const auto& v = Field(o, name);
    if (!v.is_number_integer())
        throw StoreError(StoreError::Kind::kInvalid, std::string(name) + " is not a whole number");
    int64_t n = v.get<int64_t>();
    if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(high)) n = high + 1;
    if (n < low || n > high)
        throw StoreError(StoreError::Kind::kInvalid, std::string(name) + " is out of range");
    return n;
}

constexpr int64_t kIntMax = 2147483647;
constexpr int64_t kIntMin = -kIntMax - 1;

nlohmann::json SerialsJson(const std::vector<Record::SerialUse>& serials) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& s : serials) list.push_back({{"pool", s.pool}, {"value", s.value}, {"state", s.state}});
    return list;
}

std::vector<Record::SerialUse> SerialsOf(const nlohmann::json& o) {
    std::vector<Record::SerialUse> serials;
    auto it = o.find("serials");
    if (it == o.end() || it->is_null()) return serials;
    if (!it->is_array()) throw StoreError(StoreError::Kind::kInvalid, "serials is not a list");
    for (const auto& s : *it) {
        if (!s.is_object()) throw StoreError(StoreError::Kind::kInvalid, "serials holds a non-object");
        serials.push_back({Text(s, "pool"), Text(s, "value"), Text(s, "state")});
    }
    return serials;
}

}  // namespace

nlohmann::json ToJson(const Record& r) {
    return nlohmann::json{
        {"id", r.id},
        {"station", r.station},
        {"slot", r.slot},
        {"port", r.port},
        {"device", r.device},
        {"operator", r.operator_},
        {"batch", r.batch},
        {"mode", r.mode},
        {"board", r.board},
        {"section", r.section},
        {"image_sha256", r.image_sha256},
        {"image_length", r.image_length},
        {"tool_version", r.tool_version},
        {"started_at", r.started_at},
        {"ended_at", r.ended_at},
        {"duration_ms", r.duration_ms},
        {"status", r.status},
        {"result", Optional(r.result)},
        {"failure_code", Optional(r.failure_code)},
        {"failure_phase", Optional(r.failure_phase)},
        {"retries", r.retries},
        {"dut_id", Optional(r.dut_id)},
        {"reason", r.reason},
        {"slot_name", r.slot_name},
        {"recipe_sha256", Optional(r.recipe_sha256)},
        {"serials", SerialsJson(r.serials)},
    };
}

Record FromJson(const nlohmann::json& o) {
    if (!o.is_object()) throw StoreError(StoreError::Kind::kInvalid, "not a JSON object");
    Record r;
    r.id = Text(o, "id");
    r.station = Text(o, "station");
    r.slot = static_cast<int>(Integer(o, "slot", kIntMin, kIntMax));
    r.port = Text(o, "port");
    r.device = Text(o, "device");
    r.operator_ = Text(o, "operator");
    r.batch = Text(o, "batch");
    r.mode = Text(o, "mode");
    r.board = static_cast<int>(Integer(o, "board", kIntMin, kIntMax));
    r.section = static_cast<int>(Integer(o, "section", kIntMin, kIntMax));
    r.image_sha256 = Text(o, "image_sha256");
    r.image_length = Integer(o, "image_length", INT64_MIN, INT64_MAX);
    r.tool_version = Text(o, "tool_version");
    r.started_at = Text(o, "started_at");
    r.ended_at = Text(o, "ended_at");
    r.duration_ms = Integer(o, "duration_ms", INT64_MIN, INT64_MAX);
    r.status = Text(o, "status");
    r.result = OptionalText(o, "result");
    r.failure_code = OptionalText(o, "failure_code");
    r.failure_phase = OptionalText(o, "failure_phase");
    r.retries = static_cast<int>(Integer(o, "retries", kIntMin, kIntMax));
    r.dut_id = OptionalText(o, "dut_id");
    r.reason = Text(o, "reason");
    // Absent in records written before slot names, recipes and serials.
    if (o.contains("slot_name")) r.slot_name = Text(o, "slot_name");
    if (o.contains("recipe_sha256")) r.recipe_sha256 = OptionalText(o, "recipe_sha256");
    r.serials = SerialsOf(o);
    return r;
}

std::string FormatUtcMillis(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const int64_t ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
    int64_t seconds = ms / 1000;
    int64_t millis = ms % 1000;
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(millis));
    return text;
}

namespace {
constexpr int kFirstYear = 1900, kLastYear = 2199;
}  // namespace

bool ParseUtcTime(const std::string& text, std::chrono::system_clock::time_point& time) {
    int y, mo, d, h = 0, mi = 0, s = 0, ms = 0;
    if (!Digits(text, 0, 4, y) || text.size() < 10 || text[4] != '-' || !Digits(text, 5, 2, mo) ||
        text[7] != '-' || !Digits(text, 8, 2, d))
        return false;
    size_t pos = 10;
    if (pos < text.size()) {
        if (text[pos] != 'T' || !Digits(text, pos + 1, 2, h) || pos + 3 >= text.size() ||
            text[pos + 3] != ':' || !Digits(text, pos + 4, 2, mi))
            return false;
        pos += 6;
        if (pos < text.size() && text[pos] == ':') {
            if (!Digits(text, pos + 1, 2, s)) return false;
            pos += 3;
            if (pos < text.size() && text[pos] == '.') {
                if (!Digits(text, pos + 1, 3, ms)) return false;
                pos += 4;
            }
        }
        if (pos < text.size() && text[pos] == 'Z') ++pos;
        if (pos != text.size()) return false;
    }
    // The system clock counts nanoseconds in 64 bits: about 1678 to 2262.
    // Years outside 1900..2199 are refused rather than overflow it.
    if (y < kFirstYear || y > kLastYear) return false;
    if (!DaysInMonthOk(y, mo, d) || h > 23 || mi > 59 || s > 59) return false;
    const int64_t days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
    const int64_t total = ((days * 24 + h) * 60 + mi) * 60 + s;
    time = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::milliseconds(total * 1000 + ms)));
    return true;
}

bool IsCanonicalUtcMillis(const std::string& text) {
    std::chrono::system_clock::time_point t;
    return text.size() == 24 && text[10] == 'T' && text[19] == '.' && text[23] == 'Z' &&
           ParseUtcTime(text, t) && FormatUtcMillis(t) == text;
}

}  // namespace qmb::store
