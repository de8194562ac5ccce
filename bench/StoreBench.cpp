// Prints what the board-record store costs: one committed insert (median
// and p99) in SQLite and PostgreSQL, a serial number's cost per board
// (reserve, mark sent, and the record that marks it used, against a plain
// record's insert), ComputeStats over a million records in
// each (the goal is under 200 ms), and PostgreSQL's insert rate with eight
// threads writing at once. A measurement, not a test: it never fails on a
// figure.
//
// Usage: qmb-bench-store SQLITE-FILE POSTGRESQL-URL [records]
// Both databases should start empty (scripts/bench-store makes them).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <libpq-fe.h>

#include "store/PostgresStore.h"
#include "store/SqliteStore.h"

using namespace qmb::store;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A line's worth of boards: 4 stations of 8 slots, one board every 300 ms,
// 90 % pass, 7 % fail, 3 % no verdict; 3 % without a DUT id; one DUT in 20
// tried again later.
class Generator {
  public:
    explicit Generator(uint64_t seed, int slot = -1) : random_(seed), seed_(seed), slot_(slot) {}

    Record Next() {
        Record r;
        r.id = NewRecordId();
        r.station = slot_ < 0 ? "station-" + std::to_string(Pick(4) + 1) : "station-1";
        r.slot = slot_ < 0 ? static_cast<int>(Pick(8)) : slot_;
        r.port = "COM" + std::to_string(r.slot + 1);
        r.device = "/dev/ttyUSB" + std::to_string(r.slot);
        r.operator_ = "op" + std::to_string(Pick(12));
        r.batch = "B" + std::to_string(count_ / 5000);
        r.board = static_cast<int>(count_ % 500) + 1;
        r.section = 11;
        r.image_sha256 = std::string(64, 'a');
        r.image_length = 255;
        r.tool_version = "1.1.0";
        auto start = std::chrono::system_clock::time_point(std::chrono::seconds(1767225600)) +
                     std::chrono::milliseconds(300 * count_);
        r.started_at = FormatUtcMillis(start);
        r.duration_ms = 2000 + static_cast<int64_t>(Pick(500));
        r.ended_at = FormatUtcMillis(start + std::chrono::milliseconds(r.duration_ms));
        uint64_t roll = Pick(100);
        if (roll < 90) {
            r.result = "pass";
        } else if (roll < 97) {
            r.result = "fail";
            r.status = "error";
            static const char* codes[] = {"verify_mismatch", "bad_reply", "no_reply", "size"};
            r.failure_code = codes[Pick(4)];
            r.failure_phase = "verify";
            r.reason = "the board failed";
        } else {
            r.status = "timeout";
            r.failure_code = "no_handshake";
            r.failure_phase = "handshake";
            r.reason = "no handshake";
        }
        if (Pick(100) >= 3) {
            // Mostly new DUTs; one in 20 is one seen a little earlier.
            uint64_t dut = Pick(20) == 0 && count_ > 100 ? count_ - Pick(100) : count_;
            char hex[17];
            std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>((seed_ << 40) ^ (dut * 2654435761u)));
            r.dut_id = hex;
        }
        ++count_;
        return r;
    }

  private:
    uint64_t Pick(uint64_t n) { return random_() % n; }
    std::mt19937_64 random_;
    uint64_t seed_;
    int slot_;  // every record on this slot of station-1, or (-1) any
    uint64_t count_ = 0;
};

void InsertCost(const char* name, RecordStore& store, int n) {
    Generator g(1);
    std::vector<double> ms;
    for (int i = 0; i < n; ++i) {
        Record r = g.Next();
        auto t0 = Clock::now();
        store.Insert(r);
        ms.push_back(Ms(Clock::now() - t0));
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-10s one insert (%d, each committed): median %.3f ms, p99 %.3f ms\n", name, n,
                ms[ms.size() / 2], ms[ms.size() * 99 / 100]);
}

double Median(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}
double P99(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() * 99 / 100];
}

// Per board as the loop does it: reserve a value (its own transaction),
// mark it sent (another), then the board's record carrying it as used.
void SerialCost(const char* name, RecordStore& store, int n) {
    store.CreatePool("bench-sn", 1000000, 1000000 + static_cast<uint64_t>(n) * 2, 1, 0);
    Generator g(3);
    const SerialHolder holder{"station-1", "A", NewRecordId()};
    std::vector<double> reserve, record, plain, board;
    for (int i = 0; i < n; ++i) {
        Record r = g.Next();
        auto t0 = Clock::now();
        const std::string value = store.Reserve("bench-sn", holder, 1).at(0);
        store.MarkSerialSent("bench-sn", value, holder);
        auto t1 = Clock::now();
        r.result = "pass";
        r.serials = {{"bench-sn", value, "used"}};
        store.Insert(r);
        auto t2 = Clock::now();
        Record bare = g.Next();
        store.Insert(bare);
        auto t3 = Clock::now();
        reserve.push_back(Ms(t1 - t0));
        record.push_back(Ms(t2 - t1));
        plain.push_back(Ms(t3 - t2));
        board.push_back(Ms(t2 - t0) - Ms(t3 - t2));
    }
    std::printf("%-10s serial per board (%d): reserve + mark sent median %.3f ms, p99 %.3f ms;"
                " record with its serial median %.3f ms, p99 %.3f ms; plain record median %.3f ms,"
                " p99 %.3f ms; serial's cost (board with serial - plain record) median %.3f ms,"
                " p99 %.3f ms\n",
                name, n, Median(reserve), P99(reserve), Median(record), P99(record), Median(plain),
                P99(plain), Median(board), P99(board));
}

void Fill(RecordStore& store, int64_t total) {
    Generator g(2);
    const int64_t batch = 50000;
    for (int64_t done = 0; done < total; done += batch) {
        std::vector<Record> records;
        for (int64_t i = 0; i < std::min(batch, total - done); ++i) records.push_back(g.Next());
        store.InsertAll(records);
    }
}

void StatsCost(const char* name, RecordStore& store) {
    // The first call after a bulk load brings the counts of every hour up to date.
    auto first = Clock::now();
    store.ComputeStats({});
    std::printf("%-10s ComputeStats, first after the bulk load (counts every hour): %.1f ms\n", name,
                Ms(Clock::now() - first));
    struct Case {
        const char* what;
        RecordFilter filter;
    };
    RecordFilter day;
    day.since = "2026-01-02";
    day.until = "2026-01-03";
    RecordFilter station;
    station.station = "station-2";
    const Case cases[] = {{"all records", {}}, {"one day", day}, {"one station", station}};
    for (const auto& c : cases) {
        std::vector<double> ms;
        Stats stats;
        for (int i = 0; i < 5; ++i) {
            auto t0 = Clock::now();
            stats = store.ComputeStats(c.filter);
            ms.push_back(Ms(Clock::now() - t0));
        }
        std::sort(ms.begin(), ms.end());
        std::printf("%-10s ComputeStats, %-11s (%lld records, %zu slots): median %.1f ms, best %.1f ms\n",
                    name, c.what, static_cast<long long>(stats.all.total), stats.slots.size(),
                    ms[ms.size() / 2], ms.front());
    }
    // What a station sees: one more board, then the figures.
    Generator g(7);
    for (int i = 0; i < 3; ++i) {
        store.Insert(g.Next());
        auto t0 = Clock::now();
        Stats stats = store.ComputeStats({});
        std::printf("%-10s ComputeStats, all records, right after one more insert: %.1f ms\n", name,
                    Ms(Clock::now() - t0));
    }
}

void ThreadedRate(RecordStore& store, int threads, int each) {
    std::vector<std::thread> workers;
    auto t0 = Clock::now();
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&store, t, each] {
            Generator g(100 + static_cast<uint64_t>(t), t);  // a thread per slot, as a station runs
            for (int i = 0; i < each; ++i) store.Insert(g.Next());
        });
    for (auto& w : workers) w.join();
    double seconds = Ms(Clock::now() - t0) / 1000;
    std::printf("postgresql %d threads inserting at once: %d records in %.2f s, %.0f records/s\n",
                threads, threads * each, seconds, threads * each / seconds);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SQLITE-FILE POSTGRESQL-URL [records]\n", argv[0]);
        return 2;
    }
    const int64_t records = argc > 3 ? std::atoll(argv[3]) : 1000000;
    try {
        SqliteStore sqlite(argv[1]);
        PostgresStore postgres(argv[2]);
        InsertCost("sqlite", sqlite, 2000);
        InsertCost("postgresql", postgres, 2000);
        SerialCost("sqlite", sqlite, 2000);
        SerialCost("postgresql", postgres, 2000);
        ThreadedRate(postgres, 8, 1000);

        auto t0 = Clock::now();
        Fill(sqlite, records);
        std::printf("sqlite     %lld records generated in %.1f s (bulk, 50000 a transaction)\n",
                    static_cast<long long>(records), Ms(Clock::now() - t0) / 1000);
        t0 = Clock::now();
        Fill(postgres, records);
        std::printf("postgresql %lld records generated in %.1f s (bulk, 50000 a transaction)\n",
                    static_cast<long long>(records), Ms(Clock::now() - t0) / 1000);
        // What autovacuum would do soon after: statistics and the visibility map.
        if (PGconn* c = PQconnectdb(argv[2])) {
            PQclear(PQexec(c, "VACUUM ANALYZE"));
            PQfinish(c);
        }
        StatsCost("sqlite", sqlite);
        StatsCost("postgresql", postgres);
    } catch (const StoreError& e) {
        std::fprintf(stderr, "qmb-bench-store: %s\n", e.what());
        return 1;
    }
    return 0;
}
