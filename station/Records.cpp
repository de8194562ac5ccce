#include "station/Records.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <set>

namespace qmb::station {

using nlohmann::json;

double Counts::Yield() const {
    return passes + fails == 0 ? 0.0 : static_cast<double>(passes) / (passes + fails);
}
double Counts::FirstPassYield() const {
    return units == 0 ? 0.0 : static_cast<double>(firstPasses) / units;
}

namespace {
json Optional(const std::optional<std::string>& v) {
    return v ? json(*v) : json(nullptr);
}

json CountsJson(const Counts& c) {
    return {{"total", c.total},   {"passes", c.passes},      {"fails", c.fails},
            {"no_verdict", c.noVerdict}, {"yield", c.Yield()}, {"units", c.units},
            {"first_passes", c.firstPasses}, {"first_pass_yield", c.FirstPassYield()}};
}

std::string CsvField(const std::string& v) {
    if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
    std::string out = "\"";
    for (char c : v) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool Digits(const std::string& s, size_t at, size_t n, int& value) {
    if (at + n > s.size()) return false;
    value = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

// A unit's key: its DUT, or the record alone.
std::string UnitOf(const Record& r) {
    return r.dut_id ? "d:" + *r.dut_id : "r:" + r.id;
}

void Tally(Counts& c, const Record& r) {
    ++c.total;
    if (!r.result)
        ++c.noVerdict;
    else if (*r.result == "pass")
        ++c.passes;
    else
        ++c.fails;
}
}  // namespace

json ToJson(const Record& r) {
    return {{"id", r.id},
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
            {"reason", r.reason}};
}

json StatsToJson(const Stats& s) {
    json out = CountsJson(s.all);
    json slots = json::array();
    for (const auto& sc : s.slots) {
        json one = CountsJson(sc.counts);
        one["station"] = sc.station;
        one["slot"] = sc.slot;
        slots.push_back(one);
    }
    json pareto = json::array();
    for (const auto& f : s.pareto)
        pareto.push_back({{"code", f.code}, {"count", f.count}});
    out["slots"] = slots;
    out["pareto"] = pareto;
    return out;
}

std::string RecordsCsv(const std::vector<Record>& records) {
    static const char* const kFields[] = {
        "id",           "station",      "slot",         "port",       "device",
        "operator",     "batch",        "mode",         "board",      "section",
        "image_sha256", "image_length", "tool_version", "started_at", "ended_at",
        "duration_ms",  "status",       "result",       "failure_code", "failure_phase",
        "retries",      "dut_id",       "reason"};
    std::string out;
    for (size_t i = 0; i < std::size(kFields); ++i)
        out += (i ? "," : "") + std::string(kFields[i]);
    out += "\r\n";
    for (const auto& r : records) {
        const json j = ToJson(r);
        for (size_t i = 0; i < std::size(kFields); ++i) {
            const json& v = j[kFields[i]];
            out += i ? "," : "";
            if (v.is_string())
                out += CsvField(v.get<std::string>());
            else if (!v.is_null())
                out += v.dump();
        }
        out += "\r\n";
    }
    return out;
}

std::string FormatUtcMillis(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms.count() % 1000));
    return text;
}

bool ParseUtcTime(const std::string& text, std::chrono::system_clock::time_point& time) {
    std::string s = text;
    if (!s.empty() && (s.back() == 'Z' || s.back() == 'z')) s.pop_back();
    int y, mo, d, h = 0, mi = 0, sec = 0, ms = 0;
    if (!Digits(s, 0, 4, y) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, mo) ||
        s[7] != '-' || !Digits(s, 8, 2, d))
        return false;
    size_t at = 10;
    if (s.size() > at) {
        if ((s[at] != 'T' && s[at] != ' ') || !Digits(s, at + 1, 2, h) || s.size() < at + 6 ||
            s[at + 3] != ':' || !Digits(s, at + 4, 2, mi))
            return false;
        at += 6;
        if (s.size() > at) {
            if (s[at] != ':' || !Digits(s, at + 1, 2, sec)) return false;
            at += 3;
            if (s.size() > at) {
                if (s[at] != '.' || !Digits(s, at + 1, 3, ms) || s.size() != at + 4) return false;
            }
        }
    }
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || (mo == 2 && d == 29 && !leap) ||
        h > 23 || mi > 59 || sec > 59)
        return false;
    const int64_t days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
    time = std::chrono::system_clock::time_point(std::chrono::milliseconds(
        ((days * 24 + h) * 60 + mi) * 60000LL + sec * 1000LL + ms));
    return true;
}

std::string NewRecordId() {
    static std::mutex mutex;
    static std::mt19937_64 engine{[] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
        return std::mt19937_64(seq);
    }()};
    uint64_t a, b;
    {
        std::lock_guard<std::mutex> lock(mutex);
        a = engine();
        b = engine();
    }
    a = (a & ~0xF000ULL) | 0x4000ULL;                              // version 4
    b = (b & ~(0xC000000000000000ULL)) | 0x8000000000000000ULL;  // variant 10
    char text[37];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx",
                  static_cast<unsigned>(a >> 32), static_cast<unsigned>((a >> 16) & 0xFFFF),
                  static_cast<unsigned>(a & 0xFFFF), static_cast<unsigned>(b >> 48),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
    return text;
}

bool Matches(const RecordFilter& f, const Record& r) {
    if (f.since && r.started_at < *f.since) return false;
    if (f.until && !(r.started_at < *f.until)) return false;
    if (f.station && r.station != *f.station) return false;
    if (f.slot && r.slot != *f.slot) return false;
    if (f.result && (*f.result == "none" ? r.result.has_value() : r.result != *f.result))
        return false;
    if (f.section && r.section != *f.section) return false;
    if (f.dut_id && r.dut_id != *f.dut_id) return false;
    return true;
}

Stats ComputeStatsOf(const std::vector<Record>& records) {
    // records newest first: walk oldest first so that a unit's first
    // attempt is the first one seen.
    Stats s;
    std::map<std::pair<std::string, int>, Counts> slots;
    std::map<std::string, int64_t> codes;
    std::set<std::string> seen;
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        const Record& r = *it;
        Counts& sc = slots[{r.station, r.slot}];
        Tally(s.all, r);
        Tally(sc, r);
        if (r.failure_code && r.status != "aborted") ++codes[*r.failure_code];
        if (seen.insert(UnitOf(r)).second) {
            ++s.all.units;
            ++sc.units;
            if (r.result == "pass") {
                ++s.all.firstPasses;
                ++sc.firstPasses;
            }
        }
    }
    for (const auto& [key, counts] : slots)
        s.slots.push_back({key.first, key.second, counts});
    for (const auto& [code, count] : codes)
        s.pareto.push_back({code, count});
    std::stable_sort(s.pareto.begin(), s.pareto.end(),
                     [](const FailureCount& a, const FailureCount& b) { return a.count > b.count; });
    return s;
}

void BoardHistory::Add(const Record& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(record);
    while (records_.size() > capacity_)
        records_.pop_front();
}

std::vector<Record> BoardHistory::List(const RecordFilter& filter) {
    std::vector<Record> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
        if (filter.limit && static_cast<int64_t>(out.size()) >= *filter.limit) break;
        if (Matches(filter, *it)) out.push_back(*it);
    }
    return out;
}

Stats BoardHistory::ComputeStats(const RecordFilter& filter) {
    RecordFilter all = filter;
    all.limit.reset();
    return ComputeStatsOf(List(all));
}

}  // namespace qmb::station
