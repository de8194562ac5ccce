// The board-record store against every backend: SQLite in a temporary
// folder, memory (what a station keeps without a database) and a real
// PostgreSQL server (the CTest fixture store.pg-start
// starts one and hands its URL over in QMB_TEST_PG_URL; each test gets a
// schema of its own). The spooling tests stop and start a private server.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "SilentServer.h"
#include "production/SerialSource.h"
#include "store/MemoryStore.h"
#include "store/PostgresStore.h"
#include "store/RecordFormat.h"
#include "store/SpoolingStore.h"
#include "store/SqliteStore.h"

namespace qmb::store {
namespace {

namespace fs = std::filesystem;

std::string MakeTempDir() {
    std::string pattern = (fs::temp_directory_path() / "qmb-store-XXXXXX").string();
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    fs::permissions(pattern, fs::perms::all, fs::perm_options::add);  // the postgres user too
    return pattern;
}

std::string ServerUrl() {
    const char* url = std::getenv("QMB_TEST_PG_URL");
    if (!url || !*url)
        ADD_FAILURE() << "QMB_TEST_PG_URL is not set: run the PostgreSQL tests through ctest, "
                         "whose fixture store.pg-start starts a server";
    return url ? url : "";
}

// Runs SQL on the server as it is (the tests' own set-up only).
void ServerSql(const std::string& url, const std::string& sqlText) {
    PGconn* c = PQconnectdb(url.c_str());
    ASSERT_EQ(PQstatus(c), CONNECTION_OK) << PQerrorMessage(c);
    PGresult* r = PQexec(c, sqlText.c_str());
    EXPECT_TRUE(PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK)
        << PQresultErrorMessage(r);
    PQclear(r);
    PQfinish(c);
}

void Cluster(const std::string& command, const std::string& dir, std::string* url = nullptr) {
    std::string line = std::string(QMB_PG_CLUSTER) + " " + command + " " + dir +
                       (command == "start" ? " --fast" : "");
    FILE* out = popen(line.c_str(), "r");
    ASSERT_NE(out, nullptr);
    char buffer[512] = {};
    std::string text;
    while (fgets(buffer, sizeof buffer, out)) text += buffer;
    ASSERT_EQ(pclose(out), 0) << line;
    if (url) *url = text.substr(0, text.find('\n'));
}

// A sound record; tests change what they look at.
Record Board(const std::string& startedAt, std::optional<std::string> result = "pass",
             std::optional<std::string> dut = std::nullopt, int slot = 0,
             std::string station = "st-1") {
    Record r;
    r.id = NewRecordId();
    r.station = std::move(station);
    r.slot = slot;
    r.port = "COM" + std::to_string(slot + 1);
    r.device = "/dev/ttyUSB" + std::to_string(slot);
    r.operator_ = "ana";
    r.batch = "B7";
    r.board = 1;
    r.section = 11;
    r.image_sha256 = std::string(64, 'c');
    r.image_length = 8;
    r.tool_version = "1.1.0";
    r.started_at = startedAt;
    r.ended_at = startedAt;
    r.duration_ms = 2500;
    r.result = std::move(result);
    if (r.result != "pass") {
        r.status = r.result ? "complete" : "timeout";
        r.failure_code = r.result ? "verify_mismatch" : "no_handshake";
        r.failure_phase = r.result ? "verify" : "handshake";
        r.reason = "it failed";
    }
    r.dut_id = std::move(dut);
    return r;
}

Record WithSerial(Record r, const std::string& value, const std::string& state,
                  const std::string& pool = "sn");

Record WithCode(Record r, const std::string& code) {
    r.failure_code = code;
    return r;
}

std::vector<std::string> Ids(const std::vector<Record>& records) {
    std::vector<std::string> ids;
    for (const auto& r : records) ids.push_back(r.id);
    return ids;
}

enum class Backend { kSqlite, kPostgres, kMemory };

// A fresh store of any kind; Open() opens the same database again (a SQL
// one: memory keeps nothing past its object, and Open() makes a new one).
class Stores {
  public:
    explicit Stores(Backend backend) : backend_(backend), dir_(MakeTempDir()) {
        if (backend == Backend::kSqlite) {
            url_ = "sqlite:" + dir_ + "/records.sqlite";
        } else if (backend == Backend::kPostgres) {
            std::mt19937_64 random(std::random_device{}());
            schema_ = "t" + std::to_string(random() % 1000000000000ull);
            base_ = ServerUrl();
            ServerSql(base_, "CREATE SCHEMA " + schema_);
            url_ = base_ + (base_.find('?') == std::string::npos ? "?" : "&") +
                   "options=-csearch_path%3D" + schema_;
        }
    }
    ~Stores() {
        if (!schema_.empty()) ServerSql(base_, "DROP SCHEMA " + schema_ + " CASCADE");
        fs::remove_all(dir_);
    }
    std::unique_ptr<RecordStore> Open() {
        if (backend_ == Backend::kMemory) return std::make_unique<MemoryStore>();
        return OpenRecordStore(url_);
    }
    const std::string& Url() const { return url_; }
    const std::string& Dir() const { return dir_; }
    Backend Kind() const { return backend_; }
    // Runs SQL on the database itself (the tests' own meddling).
    void Meddle(const std::string& sqlText) {
        if (backend_ == Backend::kPostgres) return ServerSql(url_, sqlText);
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(url_.substr(7).c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sqlText.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }

  private:
    Backend backend_;
    std::string dir_, url_, base_, schema_;
};

class StoreTest : public ::testing::TestWithParam<Backend> {
  protected:
    Stores stores{GetParam()};
    std::unique_ptr<RecordStore> store = stores.Open();

    void InsertAll(const std::vector<Record>& records) {
        for (const auto& r : records) ASSERT_TRUE(store->Insert(r)) << r.id;
    }
};

// What only a database keeps: its records across reopening, and its schema.
class SqlStoreTest : public StoreTest {};

TEST_P(StoreTest, EveryFieldComesBackAsStoredIncludingNone) {
    Record full = Board("2026-12-09T07:40:51.123Z", "fail", "00A1b2C3");
    full.mode = "engineering";
    full.board = 42;
    full.section = 255;
    full.image_length = 5000000000;
    full.duration_ms = 86400000123;
    full.retries = 7;
    full.status = "error";
    full.failure_code = "port_lost";
    full.failure_phase = "open";
    full.operator_ = "Zoë \"Z\" O'Neil";
    full.batch = "";
    full.slot_name = "B";
    full.recipe_sha256 = std::string(64, 'e');
    full.serials = {{"sn", "1000042", "kept"}, {"mac", "00:1A:2B:3C:4D:5E", "kept"}};
    Record bare = Board("2026-12-09T07:40:52.000Z", std::nullopt);
    bare.failure_code.reset();
    bare.failure_phase.reset();
    bare.operator_ = "";
    InsertAll({full, bare});
    EXPECT_EQ(store->List({}), (std::vector<Record>{bare, full}));
    for (const auto& r : {full, bare}) EXPECT_EQ(FromJson(ToJson(r)), r);
    EXPECT_TRUE(ToJson(bare)["result"].is_null());
    EXPECT_TRUE(ToJson(bare)["dut_id"].is_null());
    // A line written before slot names, recipes and serials still reads.
    nlohmann::json old = ToJson(bare);
    for (const char* field : {"slot_name", "recipe_sha256", "serials"}) old.erase(field);
    Record read;
    EXPECT_EQ(ParseRecordLine(old.dump(), read), "");
    EXPECT_EQ(read, bare);
}

TEST_P(StoreTest, ASecondInsertOfAnIdChangesNothing) {
    Record r = Board("2026-12-09T07:00:00.000Z");
    ASSERT_TRUE(store->Insert(r));
    Record again = r;
    again.result = "fail";
    again.station = "elsewhere";
    EXPECT_FALSE(store->Insert(again));
    EXPECT_EQ(store->InsertAll({r, again}), 0);
    EXPECT_EQ(store->List({}), std::vector<Record>{r});
    EXPECT_EQ(store->ComputeStats({}).all.total, 1);
}

TEST_P(StoreTest, FiltersPickTheirRecordsNewestFirst) {
    std::vector<Record> set{
        Board("2026-12-08T23:59:59.999Z", "pass", "aa", 0),
        Board("2026-12-09T00:00:00.000Z", "fail", "bb", 1),
        Board("2026-12-09T08:30:00.000Z", std::nullopt, std::nullopt, 2, "st-2"),
        Board("2026-12-10T00:00:00.000Z", "pass", "aa", 1, "st-2"),
    };
    auto ids = [&](std::initializer_list<int> picks) {
        std::vector<std::string> out;
        for (int i : picks) out.push_back(set[static_cast<size_t>(i)].id);
        return out;
    };
    set[1].slot_name = "B";
    set[3].slot_name = "B";
    set[2].serials = {{"sn", "77", "kept"}};
    InsertAll(set);
    RecordFilter since, until, day, station, slot, pass, none, dut, limit, section, slotName, serial;
    slotName.slot_name = "B";
    serial.serial = "77";
    since.since = "2026-12-09";
    until.until = "2026-12-09T00:00Z";
    day.since = "2026-12-09";
    day.until = "2026-12-10";
    station.station = "st-2";
    slot.slot = 1;
    pass.result = "pass";
    none.result = "none";
    dut.dut_id = "aa";
    limit.limit = 2;
    section.section = 12;
    const std::pair<RecordFilter, std::vector<std::string>> cases[] = {
        {{}, ids({3, 2, 1, 0})}, {since, ids({3, 2, 1})},  {until, ids({0})},
        {day, ids({2, 1})},      {station, ids({3, 2})},   {slot, ids({3, 1})},
        {pass, ids({3, 0})},     {none, ids({2})},         {dut, ids({3, 0})},
        {limit, ids({3, 2})},    {section, {}},            {slotName, ids({3, 1})},
        {serial, ids({2})},
    };
    for (const auto& [filter, expected] : cases) EXPECT_EQ(Ids(store->List(filter)), expected);
    EXPECT_EQ(store->ComputeStats(slotName).all.total, 2);
    EXPECT_EQ(store->ComputeStats(serial).all.total, 1);
}

// Six units over two slots, worked out by hand: DUT aa fails on slot 0 then
// passes on slot 1 (not a first pass), bb passes at once, cc fails, dd fails
// at 06:50 and passes at 08:10 (a first pass in a window from 07:00); two
// records have no DUT id (units of their own).
std::vector<Record> FigureSet() {
    return {
        Board("2026-12-09T06:50:00.000Z", "fail", "dd", 0),
        Board("2026-12-09T07:10:00.000Z", "fail", "aa", 0),
        WithCode(Board("2026-12-09T07:20:00.000Z", "fail", "cc", 1), "size"),
        Board("2026-12-09T07:30:00.000Z", "pass", "bb", 1),
        Board("2026-12-09T08:05:00.000Z", "pass", "aa", 1),
        Board("2026-12-09T08:10:00.000Z", "pass", "dd", 0),
        Board("2026-12-09T08:15:00.000Z", std::nullopt, std::nullopt, 0),
        Board("2026-12-09T09:40:00.000Z", "pass", std::nullopt, 1),
    };
}

struct Figures {
    int64_t total, passes, fails, none, units, firstPasses;
};

void ExpectFigures(const Counts& c, const Figures& f, const std::string& what) {
    EXPECT_EQ((std::vector<int64_t>{c.total, c.passes, c.fails, c.noVerdict, c.units, c.firstPasses}),
              (std::vector<int64_t>{f.total, f.passes, f.fails, f.none, f.units, f.firstPasses}))
        << what;
}

struct StatsCase {
    const char* what;
    std::optional<std::string> since, until, station;
    std::optional<int> slot;
    Figures all;
};

const StatsCase kStatsCases[] = {
    {"everything", {}, {}, {}, {}, {8, 4, 3, 1, 6, 2}},
    // From 07:00 dd's first attempt is its pass of 08:10.
    {"whole hours", "2026-12-09T07:00Z", {}, {}, {}, {7, 4, 2, 1, 6, 3}},
    {"cut hours", "2026-12-09T07:15Z", "2026-12-09T08:12Z", {}, {}, {4, 3, 1, 0, 4, 3}},
    {"within one hour", "2026-12-09T08:06Z", "2026-12-09T08:59Z", {}, {}, {2, 1, 0, 1, 2, 1}},
    {"one station", {}, {}, "st-1", {}, {8, 4, 3, 1, 6, 2}},
    {"slot 1", {}, {}, {}, 1, {4, 3, 1, 0, 3, 2}},
    {"nothing", "2027-01-01", {}, {}, {}, {0, 0, 0, 0, 0, 0}},
};

void ExpectFigureSet(RecordStore& store) {
    for (const auto& c : kStatsCases) {
        RecordFilter f;
        f.since = c.since;
        f.until = c.until;
        f.station = c.station;
        f.slot = c.slot;
        ExpectFigures(store.ComputeStats(f).all, c.all, c.what);
    }
    Stats stats = store.ComputeStats({});
    ASSERT_EQ(stats.slots.size(), 2u);
    // aa's first attempt was on slot 0: it counts there.
    ExpectFigures(stats.slots[0].counts, {4, 1, 2, 1, 3, 0}, "slot 0");
    ExpectFigures(stats.slots[1].counts, {4, 3, 1, 0, 3, 2}, "slot 1");
    EXPECT_DOUBLE_EQ(stats.all.Yield(), 4.0 / 7.0);
    EXPECT_DOUBLE_EQ(stats.all.FirstPassYield(), 2.0 / 6.0);
    ASSERT_EQ(stats.pareto.size(), 3u);
    EXPECT_EQ(stats.pareto[0].code, "verify_mismatch");
    EXPECT_EQ(stats.pareto[0].count, 2);
    EXPECT_EQ(stats.pareto[1].code, "no_handshake");  // 1 each: by code
    EXPECT_EQ(stats.pareto[2].code, "size");
}

TEST_P(StoreTest, FiguresMatchTheOnesWorkedOutByHand) {
    InsertAll(FigureSet());
    ExpectFigureSet(*store);
}

TEST_P(StoreTest, FiguresDoNotDependOnTheOrderRecordsArrive) {
    std::vector<Record> set = FigureSet();
    std::reverse(set.begin(), set.end());
    InsertAll({set.begin(), set.begin() + 4});
    store->ComputeStats({});  // counts made in between must be corrected
    EXPECT_EQ(store->InsertAll({set.begin() + 4, set.end()}), 4);
    ExpectFigureSet(*store);
}

TEST_P(SqlStoreTest, FiguresStayRightAcrossReopening) {
    store->InsertAll(FigureSet());
    store.reset();
    store = stores.Open();
    ExpectFigureSet(*store);
}

TEST_P(StoreTest, TextIsStoredAsPlainText) {
    const std::string tricky[] = {"'); DROP TABLE records; --", "<script>alert(1)</script>",
                                  "a \"quoted\", comma", "back\\slash %s $1 ?1"};
    std::vector<Record> records;
    for (size_t i = 0; i < std::size(tricky); ++i) {
        Record r = Board("2026-12-09T07:00:0" + std::to_string(i) + ".000Z");
        r.station = r.operator_ = r.batch = r.reason = tricky[i];
        records.insert(records.begin(), r);
    }
    InsertAll(records);
    for (const auto& r : records) {
        RecordFilter f;
        f.station = r.station;
        EXPECT_EQ(store->List(f), std::vector<Record>{r}) << r.station;
    }
    auto array = nlohmann::json::parse(FormatRecordsJson(store->List({})));
    for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(FromJson(array[i]), records[i]);
    const std::string csv = FormatRecordsCsv(store->List({}));
    EXPECT_NE(csv.find(",\"a \"\"quoted\"\", comma\","), std::string::npos) << csv;
    EXPECT_NE(FormatRecordsTable(records).find("<script>alert(1)</script>"), std::string::npos);
}

TEST_P(StoreTest, ExportThenImportIntoTheOtherKindIsIdempotent) {
    store->InsertAll(FigureSet());
    std::stringstream lines;
    EXPECT_EQ(ExportJsonLines(*store, {}, lines), 8);
    Stores otherStores(GetParam() == Backend::kSqlite ? Backend::kPostgres : Backend::kSqlite);
    auto other = otherStores.Open();
    ASSERT_TRUE(other->Insert(FigureSet()[0]));  // not among the exported ones: another id
    for (int64_t inserted : {8, 0}) {
        std::stringstream in(lines.str());
        ImportCounts counts = ImportJsonLines(*other, in);
        EXPECT_EQ(counts.read, 8);
        EXPECT_EQ(counts.inserted, inserted);
        EXPECT_EQ(counts.alreadyPresent, 8 - inserted);
    }
    std::vector<Record> imported = other->List({});
    imported.erase(std::remove(imported.begin(), imported.end(), FigureSet()[0]), imported.end());
    EXPECT_EQ(imported.size(), 9u);
}

TEST_P(StoreTest, ABadLineImportsNothing) {
    std::vector<Record> set = FigureSet();
    Record bad = set[2];
    bad.section = 0;
    const std::pair<std::string, std::string> cases[] = {
        {"{not json", "line 3: not JSON"},
        {ToJson(bad).dump(), "line 3: section 0 is not 1 to 255"},
        {R"({"id": 1})", "line 3: id is not text"},
        {"{\"id\": \"\xff\xfe\"}", "line 3: not valid UTF-8 text"},
        {[&] {
             std::string latin1 = ToJson(set[2]).dump();
             return latin1.replace(latin1.find("\"ana\""), 5, "\"M\xfcller\"");
         }(),
         "line 3: not valid UTF-8"},
        // Found by the record_line fuzz target: a year the clock cannot hold.
        {[&] {
             Record far = set[2];
             far.ended_at = "4836-12-09T07:40:51.123Z";
             return ToJson(far).dump();
         }(),
         "line 3: ended_at \"4836-12-09T07:40:51.123Z\" is not UTC time"},
    };
    for (const auto& [line, reason] : cases) {
        std::stringstream in(ToJson(set[0]).dump() + "\n\n" + line + "\n" + ToJson(set[1]).dump());
        try {
            ImportJsonLines(*store, in);
            ADD_FAILURE() << "imported " << line;
        } catch (const StoreError& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
    }
    EXPECT_TRUE(store->List({}).empty());
}

TEST_P(StoreTest, UnsoundRecordsAreRefusedWithTheirReason) {
    auto broken = [](auto change) {
        Record r = Board("2026-12-09T07:00:00.000Z");
        change(r);
        return r;
    };
    const std::pair<Record, const char*> cases[] = {
        {broken([](Record& r) { r.id = "ABC"; }), "id"},
        {broken([](Record& r) { r.section = 256; }), "section 256"},
        {broken([](Record& r) { r.mode = "test"; }), "mode"},
        {broken([](Record& r) { r.result = "maybe"; }), "result"},
        {broken([](Record& r) { r.status = "done"; }), "status"},
        {broken([](Record& r) { r.image_sha256 = std::string(64, 'C'); }), "image_sha256"},
        {broken([](Record& r) { r.started_at = "2026-12-09 07:00"; }), "started_at"},
        {broken([](Record& r) { r.dut_id = "xyz"; }), "dut_id"},
        {broken([](Record& r) { r.station = "two\nlines"; }), "station"},
        {broken([](Record& r) { r.failure_phase = "later"; }), "failure_phase"},
        {broken([](Record& r) { r.operator_ = "M\xfcller"; }), "operator is not valid UTF-8"},
        {broken([](Record& r) { r.batch = "\xed\xa0\x80"; }), "batch is not valid UTF-8"},
        {broken([](Record& r) { r.slot_name = "A\tB"; }), "slot_name"},
        {broken([](Record& r) { r.recipe_sha256 = "abc"; }), "recipe_sha256"},
        {broken([](Record& r) { r.serials = {{"s n", "1", "used"}}; }), "pool name"},
        {broken([](Record& r) { r.serials = {{"sn", "", "used"}}; }), "serial value is empty"},
        {broken([](Record& r) { r.serials = {{"sn", " 1", "used"}}; }), "space"},
        {broken([](Record& r) { r.serials = {{"sn", "1", "lost"}}; }), "state \"lost\""},
        {broken([](Record& r) { r.serials = {{"sn", "1", "used"}, {"sn", "1", "void"}}; }), "twice"},
    };
    for (const auto& [record, field] : cases) {
        try {
            store->Insert(record);
            ADD_FAILURE() << "stored a record with a bad " << field;
        } catch (const StoreError& e) {
            EXPECT_EQ(e.kind(), StoreError::Kind::kInvalid);
            EXPECT_NE(std::string(e.what()).find(field), std::string::npos) << e.what();
        }
    }
    EXPECT_TRUE(store->List({}).empty());
}

TEST_P(SqlStoreTest, ANewerSchemaIsRefused) {
    store.reset();
    stores.Meddle(GetParam() == Backend::kSqlite
                      ? "PRAGMA user_version = 99"
                      : "UPDATE qmb_meta SET value = '99' WHERE key = 'schema_version'");
    try {
        stores.Open();
        ADD_FAILURE() << "opened a newer schema";
    } catch (const StoreError& e) {
        EXPECT_EQ(e.kind(), StoreError::Kind::kRefused);
        EXPECT_NE(std::string(e.what()).find("schema version 99, newer"), std::string::npos)
            << e.what();
    }
}

// A database of schema 1 (records without slot names, recipes or serials;
// no pools) is taken to schema 2 on opening, its records kept.
TEST_P(SqlStoreTest, ADatabaseOfSchemaOneIsMigratedWithItsRecords) {
    const Record old = Board("2026-12-09T07:00:00.000Z", "fail", "aa");
    ASSERT_TRUE(store->Insert(old));
    store.reset();
    const bool sqlite = GetParam() == Backend::kSqlite;
    stores.Meddle(std::string("DROP TABLE record_serials; DROP TABLE serial_values;"
                              " DROP TABLE serial_pools; DROP TABLE releases;") +
                  (sqlite ? " DROP TABLE serial_lease;" : "") +
                  " DROP INDEX records_recipe; ALTER TABLE records DROP COLUMN slot_name;"
                  " ALTER TABLE records DROP COLUMN recipe_sha256;" +
                  (sqlite ? " PRAGMA user_version = 1;"
                          : " UPDATE qmb_meta SET value = '1' WHERE key = 'schema_version';"));
    store = stores.Open();
    EXPECT_EQ(store->List({}), std::vector<Record>{old});
    EXPECT_EQ(store->CreatePool("sn", 1, 3, 1, 0), 3);
    const Record next = WithSerial(Board("2026-12-09T07:00:01.000Z", "pass", "aa"), "1", "used");
    EXPECT_TRUE(store->Insert(next));
    EXPECT_EQ(store->List({}), (std::vector<Record>{next, old}));
    EXPECT_EQ(store->ComputeStats({}).all.units, 1);
}

TEST_P(StoreTest, EightThreadsInsertingAtOnceLoseNothing) {
    std::vector<std::thread> slots;
    for (int slot = 0; slot < 8; ++slot)
        slots.emplace_back([&, slot] {
            for (int i = 0; i < 25; ++i) {
                // Every DUT tried twice, on two slots: first attempts race.
                std::string dut = std::to_string(1000 + i);
                store->Insert(Board("2026-12-09T07:00:" + std::to_string(10 + i) + ".00" +
                                        std::to_string(slot) + "Z",
                                    slot % 2 ? "pass" : "fail", dut, slot));
            }
        });
    for (auto& t : slots) t.join();
    EXPECT_EQ(store->List({}).size(), 200u);
    Stats stats = store->ComputeStats({});
    ExpectFigures(stats.all, {200, 100, 100, 0, 25, 0}, "all");  // slot 0 fails first
    EXPECT_EQ(stats.slots.size(), 8u);
}

// A board of a pool: its record carries the value in state.
Record WithSerial(Record r, const std::string& value, const std::string& state,
                  const std::string& pool) {
    r.serials.push_back({pool, value, state});
    r.slot_name = "A";
    return r;
}

std::map<std::string, std::string> States(RecordStore& store, const std::string& pool) {
    std::map<std::string, std::string> states;
    for (const auto& e : store.Ledger(pool)) states[e.value] = e.state;
    return states;
}

void ExpectRefused(const std::function<void()>& call, StoreError::Kind kind, const std::string& why) {
    try {
        call();
        ADD_FAILURE() << "not refused: " << why;
    } catch (const StoreError& e) {
        EXPECT_EQ(e.kind(), kind) << e.what();
        EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
}

// Every turn of a value's life, as the loop drives it: reserve, give back,
// send, and the record that marks it used or void, in one transaction.
TEST_P(StoreTest, APoolValueFollowsTheRuleFromReserveToItsRecord) {
    EXPECT_EQ(store->CreatePool("sn", 1000, 1018, 2, 3), 10);
    const SerialHolder a{"st-1", "A", "run-1"}, b{"st-1", "B", "run-1"};
    EXPECT_EQ(store->Reserve("sn", a, 1), std::vector<std::string>{"1000"});
    EXPECT_EQ(store->Reserve("sn", b, 3), (std::vector<std::string>{"1002", "1004", "1006"}));
    EXPECT_EQ(store->ReturnSerials("sn", {"1002", "1000"}, {"st-2", "B", "run-1"}), 0);  // not its own
    EXPECT_EQ(store->ReturnSerials("sn", {"1002"}, b), 1);
    EXPECT_EQ(store->Reserve("sn", a, 1), std::vector<std::string>{"1002"});  // back in order
    EXPECT_TRUE(store->MarkSerialSent("sn", "1000", a));
    EXPECT_FALSE(store->MarkSerialSent("sn", "1008", a));  // never reserved
    EXPECT_EQ(store->ReturnSerials("sn", {"1000"}, a), 0);  // sent: may be on a board, never back

    const Record passed = WithSerial(Board("2026-12-09T07:00:00.000Z"), "1000", "used");
    const Record failed = WithSerial(Board("2026-12-09T07:00:01.000Z", "fail"), "1004", "void");
    ASSERT_TRUE(store->Insert(passed));
    ASSERT_TRUE(store->Insert(failed));
    // The same value used by a second board, or one never in the pool: nothing of it is stored.
    const Record twice = WithSerial(Board("2026-12-09T07:00:02.000Z"), "1000", "used");
    ExpectRefused([&] { store->Insert(twice); }, StoreError::Kind::kRejected, "1000");
    ExpectRefused([&] { store->InsertAll({Board("2026-12-09T07:00:03.000Z"), twice}); },
                  StoreError::Kind::kRejected, "1000");
    ExpectRefused([&] { store->Insert(WithSerial(Board("2026-12-09T07:00:04.000Z"), "1001", "used")); },
                  StoreError::Kind::kRejected, "not a value of pool sn");
    ExpectRefused([&] { store->Insert(WithSerial(Board("2026-12-09T07:00:05.000Z"), "1004", "used")); },
                  StoreError::Kind::kRejected, "void");
    EXPECT_EQ(Ids(store->List({})), (std::vector<std::string>{failed.id, passed.id}));
    // A reworked board keeps its value: the pool does not change.
    ASSERT_TRUE(store->Insert(WithSerial(Board("2026-12-09T07:00:06.000Z"), "1000", "kept")));
    EXPECT_TRUE(store->Insert(WithSerial(Board("2026-12-09T07:00:07.000Z"), "9", "used", "other")));

    EXPECT_EQ(store->SerialState("sn", "1000"), "used");
    EXPECT_EQ(store->SerialState("sn", "1001"), "");
    const auto ledger = store->Ledger("sn");
    ASSERT_EQ(ledger.size(), 4u);
    EXPECT_EQ(ledger[0].value, "1000");
    EXPECT_EQ(ledger[0].record_id, passed.id);
    EXPECT_EQ(ledger[0].slot, "A");
    EXPECT_EQ(ledger[0].ended_at, passed.ended_at);
    EXPECT_EQ(ledger[2].record_id, failed.id);
    EXPECT_EQ(States(*store, "sn"), (std::map<std::string, std::string>{
                                        {"1000", "used"}, {"1002", "reserved"}, {"1004", "void"},
                                        {"1006", "reserved"}}));
    const PoolLevel level = store->ShowPool("sn");
    EXPECT_EQ(std::vector<int64_t>({level.free, level.reserved, level.used, level.voided, level.lowWater}),
              std::vector<int64_t>({6, 2, 1, 1, 3}));
    EXPECT_EQ(Ids(store->List([] { RecordFilter f; f.serial = "1000"; return f; }())).size(), 2u);
}

// A killed run's reservations are settled by the next start of the same
// station: sent ones void, the others back; other stations and this run
// keep theirs.
TEST_P(StoreTest, AStationSettlesOnlyItsOwnStaleReservations) {
    store->CreatePool("sn", 1, 8, 1, 0);
    const SerialHolder old{"st-1", "A", "run-1"}, now{"st-1", "A", "run-2"}, other{"st-2", "A", "run-9"};
    store->Reserve("sn", old, 3);  // 1 2 3
    store->MarkSerialSent("sn", "2", old);
    store->Reserve("sn", now, 1);    // 4
    store->Reserve("sn", other, 1);  // 5
    store->MarkSerialSent("sn", "5", other);
    const SettleCounts settled = store->SettleStale("st-1", "run-2");
    EXPECT_EQ(settled.freed, 2);
    EXPECT_EQ(settled.voided, 1);
    EXPECT_EQ(States(*store, "sn"), (std::map<std::string, std::string>{
                                        {"2", "void"}, {"4", "reserved"}, {"5", "sent"}}));
    EXPECT_EQ(store->Reserve("sn", now, 2), (std::vector<std::string>{"1", "3"}));
    EXPECT_TRUE(store->VoidSerial("sn", "4", {"st-1", "", "run-0"}));  // a lease's killed board
    EXPECT_FALSE(store->VoidSerial("sn", "5", now));                   // not this station's
}

TEST_P(StoreTest, PoolsAreMadeWholeOrNotAtAll) {
    EXPECT_EQ(store->ImportPool("mac", {"00:1A:2B:3C:4D:5E", "00:1A:2B:3C:4D:5F"}, 1), 2);
    ExpectRefused([&] { store->ImportPool("mac", {"00:1A:2B:3C:4D:60", "00:1A:2B:3C:4D:5E"}, 1); },
                  StoreError::Kind::kInvalid, "00:1A:2B:3C:4D:5E is in the pool already");
    ExpectRefused([&] { store->ImportPool("mac", {"x", "y", "x"}, 1); }, StoreError::Kind::kInvalid,
                  "twice");
    ExpectRefused([&] { store->ImportPool("mac", {"ok", ""}, 1); }, StoreError::Kind::kInvalid, "empty");
    EXPECT_EQ(store->ShowPool("mac").free, 2);
    EXPECT_EQ(store->ImportPool("mac", {"00:1A:2B:3C:4D:60"}, 1), 1);
    EXPECT_EQ(store->Reserve("mac", {"st-1", "A", "r"}, 5),
              (std::vector<std::string>{"00:1A:2B:3C:4D:5E", "00:1A:2B:3C:4D:5F", "00:1A:2B:3C:4D:60"}));
    EXPECT_TRUE(store->Reserve("mac", {"st-1", "A", "r"}, 1).empty());  // empty: nothing invented

    // The whole 64-bit range, its top included, without wrapping round.
    EXPECT_EQ(store->CreatePool("big", 18446744073709551613ull, 18446744073709551615ull, 1, 0), 3);
    EXPECT_EQ(store->Reserve("big", {"st-1", "A", "r"}, 9),
              (std::vector<std::string>{"18446744073709551613", "18446744073709551614",
                                        "18446744073709551615"}));
    ExpectRefused([&] { store->CreatePool("big", 1, 2, 1, 0); }, StoreError::Kind::kInvalid, "exists");
    ExpectRefused([&] { store->CreatePool("z", 5, 1, 1, 0); }, StoreError::Kind::kInvalid, "below");
    ExpectRefused([&] { store->CreatePool("z", 1, 5, 0, 0); }, StoreError::Kind::kInvalid, "step");
    ExpectRefused([&] { store->CreatePool("a b", 1, 5, 1, 0); }, StoreError::Kind::kInvalid, "pool name");
    ExpectRefused([&] { store->Reserve("none", {"st-1", "A", "r"}, 1); }, StoreError::Kind::kInvalid,
                  "no serial pool none");
    std::vector<std::string> names;
    for (const auto& l : store->Pools()) names.push_back(l.pool);
    EXPECT_EQ(names, (std::vector<std::string>{"big", "mac"}));
}

// Slots of two stations reserving at once, each through its own connection:
// no value twice, none lost.
TEST_P(StoreTest, ConcurrentReserversNeverShareAValue) {
    store->CreatePool("sn", 1, 200, 1, 0);
    std::vector<std::unique_ptr<RecordStore>> handles;
    for (int i = 0; i < 8; ++i) handles.push_back(GetParam() == Backend::kMemory ? nullptr : stores.Open());
    std::vector<std::vector<std::string>> got(8);
    std::vector<std::thread> slots;
    for (int i = 0; i < 8; ++i)
        slots.emplace_back([&, i] {
            RecordStore& s = handles[static_cast<size_t>(i)] ? *handles[static_cast<size_t>(i)] : *store;
            const SerialHolder h{"st-" + std::to_string(i % 2), std::string(1, char('A' + i)), "run"};
            for (int n = 0; n < 30; ++n)
                for (const auto& v : s.Reserve("sn", h, 1)) got[static_cast<size_t>(i)].push_back(v);
        });
    for (auto& t : slots) t.join();
    std::set<std::string> all;
    size_t total = 0;
    for (const auto& g : got) {
        total += g.size();
        all.insert(g.begin(), g.end());
    }
    EXPECT_EQ(total, 200u);
    EXPECT_EQ(all.size(), 200u);
    EXPECT_EQ(store->ShowPool("sn").reserved, 200);
}

TEST_P(StoreTest, ReleasesAndThePassedBoardsOfARecipe) {
    const std::string a(64, 'a'), b(64, 'b');
    store->ReleaseRecipe({a, "BX-100 rev C", "ana", "2026-12-09T07:00:00.000Z", 2, std::nullopt, ""});
    store->ReleaseRecipe({b, "BX-100 rev C", "bo", "2026-12-09T08:00:00.000Z", std::nullopt, std::nullopt, ""});
    ExpectRefused([&] { store->ReleaseRecipe({"ab", "p", "x", "", std::nullopt, std::nullopt, ""}); },
                  StoreError::Kind::kInvalid, "identity");
    ExpectRefused([&] { store->ReleaseRecipe({a, "p", "x", "", 0, std::nullopt, ""}); },
                  StoreError::Kind::kInvalid, "quota");
    auto list = store->Releases(std::string("BX-100 rev C"));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].identity, b);
    EXPECT_EQ(list[1].quota, std::optional<int64_t>(2));
    EXPECT_TRUE(store->RevokeRecipe(b, "cy"));
    EXPECT_FALSE(store->RevokeRecipe(b, "cy"));
    EXPECT_FALSE(store->RevokeRecipe(std::string(64, 'f'), "cy"));
    list = store->Releases(std::nullopt);
    EXPECT_TRUE(list[0].revoked_at.has_value());
    EXPECT_EQ(list[0].revoked_by, "cy");
    EXPECT_TRUE(store->Releases(std::string("other")).empty());

    for (const char* result : {"pass", "fail", "pass"}) {
        Record r = Board("2026-12-09T09:00:00.000Z", std::string(result));
        r.recipe_sha256 = a;
        r.started_at[20] = static_cast<char>('0' + store->PassedBoards(a));
        ASSERT_TRUE(store->Insert(r));
    }
    store->Insert(Board("2026-12-09T09:01:00.000Z"));  // no recipe
    EXPECT_EQ(store->PassedBoards(a), 2);
    EXPECT_EQ(store->PassedBoards(b), 0);
}

// The source the loop asks: a value per board, the rule on each outcome,
// and a killed run settled by the station's next start.
TEST_P(StoreTest, ASerialSourceGivesOutByTheRuleAndSettlesAKilledRun) {
    store->CreatePool("sn", 1, 4, 1, 2);
    {
        auto killed = production::MakeSerialSource(*store, "st-1", "run-1");
        EXPECT_EQ(killed->Reserve("sn", "A"), "1");
        EXPECT_EQ(killed->Reserve("sn", "B"), "2");
        killed->MarkSent("sn", "2");
        // The process dies here: nothing returned, no record.
    }
    auto source = production::MakeSerialSource(*store, "st-1", "run-2");
    EXPECT_EQ(source->Settled().freed, 1);
    EXPECT_EQ(source->Settled().voided, 1);
    EXPECT_EQ(source->Reserve("sn", "A"), "1");
    source->Return("sn", "1");
    EXPECT_EQ(source->Reserve("sn", "A"), "1");
    source->MarkSent("sn", "1");
    ASSERT_TRUE(store->Insert(WithSerial(Board("2026-12-09T07:00:00.000Z"), "1", "used")));
    EXPECT_TRUE(source->IsUsed("sn", "1"));
    EXPECT_FALSE(source->IsUsed("sn", "3"));
    EXPECT_EQ(source->Level("sn").free, 2);
    EXPECT_FALSE(source->Level("sn").Low());
    EXPECT_EQ(source->Reserve("sn", "A"), "3");
    EXPECT_TRUE(source->Level("sn").Low());
    EXPECT_EQ(source->Reserve("sn", "B"), "4");
    try {
        source->Reserve("sn", "A");
        ADD_FAILURE() << "a value out of an empty pool";
    } catch (const production::SerialUnavailable& e) {
        EXPECT_NE(std::string(e.what()).find("pool sn is empty"), std::string::npos) << e.what();
    }
}

std::string BackendName(const ::testing::TestParamInfo<Backend>& param) {
    switch (param.param) {
        case Backend::kSqlite:
            return "sqlite";
        case Backend::kPostgres:
            return "postgresql";
        case Backend::kMemory:
            return "memory";
    }
    return "?";
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres, Backend::kMemory),
                         BackendName);
INSTANTIATE_TEST_SUITE_P(Backends, SqlStoreTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), BackendName);

// SQLite files that are not ours stay untouched.
TEST(SqliteStore, RefusesFilesThatAreNotItsOwn) {
    std::string dir = MakeTempDir();
    auto make = [&](const std::string& name, const std::string& sqlText, const std::string& bytes) {
        std::string path = dir + "/" + name;
        if (!bytes.empty()) std::ofstream(path, std::ios::binary) << bytes;
        if (!sqlText.empty()) {
            sqlite3* db = nullptr;
            sqlite3_open(path.c_str(), &db);
            sqlite3_exec(db, sqlText.c_str(), nullptr, nullptr, nullptr);
            sqlite3_close(db);
        }
        return path;
    };
    const std::pair<std::string, const char*> cases[] = {
        {make("other.sqlite", "CREATE TABLE customers (name TEXT)", ""), "another program's tables"},
        {make("foreign.sqlite", "PRAGMA application_id = 7; CREATE TABLE t (x)", ""),
         "belongs to another program"},
        {make("garbage.sqlite", "", std::string(4096, 'x')), "not a SQLite database"},
    };
    for (const auto& [path, reason] : cases) {
        auto before = fs::file_size(path);
        try {
            OpenRecordStore("sqlite:" + path);
            ADD_FAILURE() << "opened " << path;
        } catch (const StoreError& e) {
            EXPECT_EQ(e.kind(), StoreError::Kind::kRefused);
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
        }
        EXPECT_EQ(fs::file_size(path), before) << path;
    }
    fs::remove_all(dir);
}

// Processes of one station opening a new file at the same moment (a loop's
// spool and a records command): each gets it, none sees the others' schema
// half-made ("another program's tables") or a journal change under way
// ("database is locked"). Each open is a process of its own, as a station's are.
TEST(SqliteStore, ProcessesMakingOneNewFileAtOnceEachOpenIt) {
    const std::string dir = MakeTempDir();
    for (int round = 0; round < 40; ++round) {
        const std::string path = dir + "/new" + std::to_string(round) + ".sqlite";
        std::vector<pid_t> children;
        for (int k = 0; k < 3; ++k) {
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                try {
                    SqliteStore store(path);
                    _exit(0);
                } catch (const StoreError& e) {
                    std::fprintf(stderr, "%s\n", e.what());
                    _exit(1);
                }
            }
            children.push_back(pid);
        }
        for (pid_t pid : children) {
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
    }
    fs::remove_all(dir);
}

// A statement that cannot be made (its table gone from the file) is an
// error of the store, never a crash, and the record is not half-written.
TEST(SqliteStore, AStatementThatCannotBeMadeIsAnErrorNotACrash) {
    Stores stores(Backend::kSqlite);
    auto store = stores.Open();
    ASSERT_TRUE(store->Insert(Board("2026-12-09T07:00:00.000Z")));
    store.reset();
    stores.Meddle("DROP TABLE record_counts");
    store = stores.Open();
    try {
        store->Insert(Board("2026-12-09T07:00:01.000Z"));
        ADD_FAILURE() << "stored into a file without its counts";
    } catch (const StoreError& e) {
        EXPECT_EQ(e.kind(), StoreError::Kind::kFailed);
        EXPECT_NE(std::string(e.what()).find("record_counts"), std::string::npos) << e.what();
    }
    EXPECT_EQ(store->List({}).size(), 1u);
}

// Every connection carries the time limits, whatever its URL says; a URL
// may only make them shorter.
TEST(PostgresStore, EveryConnectionIsBoundedWhateverItsUrlSays) {
    const std::string base = "postgresql://u@db.example/qmb";
    struct Case {
        std::string query;
        std::map<std::string, std::string> expected;
    };
    const std::string ours = "-c statement_timeout=5000";
    const Case cases[] = {
        {"", {{"connect_timeout", "2"}, {"keepalives", "1"}, {"keepalives_idle", "5"},
              {"keepalives_interval", "2"}, {"keepalives_count", "3"},
              {"tcp_user_timeout", "5000"}, {"options", ours}}},
        {"?connect_timeout=0&keepalives=0&tcp_user_timeout=0",
         {{"connect_timeout", "2"}, {"keepalives", "1"}, {"tcp_user_timeout", "5000"}}},
        {"?connect_timeout=600&keepalives_idle=7200&keepalives_count=9",
         {{"connect_timeout", "2"}, {"keepalives_idle", "5"}, {"keepalives_count", "3"}}},
        {"?keepalives_idle=1&tcp_user_timeout=500", {{"keepalives_idle", "1"}, {"tcp_user_timeout", "500"}}},
        {"?options=-csearch_path%3Dx", {{"options", "-csearch_path=x " + ours}}},
        {"?options=-c%20statement_timeout%3D0", {{"options", "-c statement_timeout=0 " + ours}}},
        {"?options=-c%20statement_timeout%3D1h", {{"options", "-c statement_timeout=1h " + ours}}},
        {"?options=-c%20statement_timeout%3D2s", {{"options", "-c statement_timeout=2s"}}},
        {"?options=-c%20statement_timeout%3D800", {{"options", "-c statement_timeout=800"}}},
    };
    for (const auto& c : cases) {
        const auto settings = PostgresStore::ConnectionSettings(base + c.query);
        ASSERT_EQ(settings.front(), (std::pair<std::string, std::string>{"dbname", base + c.query}));
        std::map<std::string, std::string> got(settings.begin() + 1, settings.end());
        for (const auto& [key, value] : c.expected) EXPECT_EQ(got[key], value) << c.query << " " << key;
    }
    EXPECT_THROW(PostgresStore::ConnectionSettings("postgresql://[bad"), StoreError);
}

// A bulk insert leaves its hour to be counted anew by the next figures; a
// single insert under way meanwhile adds itself to that hour's counts. The
// counting waits for it instead of clashing with its row (a duplicate key:
// the station's /api/stats answered 500).
TEST(PostgresStore, FiguresCountedAnewWaitForASingleInsertUnderWay) {
    Stores stores(Backend::kPostgres);
    auto store = stores.Open();
    store->InsertAll({Board("2026-12-09T07:20:00.000Z"), Board("2026-12-09T07:21:00.000Z")});
    PGconn* single = PQconnectdb(stores.Url().c_str());
    ASSERT_EQ(PQstatus(single), CONNECTION_OK);
    // What an insert holds until it commits: the table, then its count.
    for (const char* step :
         {"BEGIN", "LOCK TABLE records IN ROW EXCLUSIVE MODE",
          "INSERT INTO record_counts VALUES ('2026-12-09T07', 'st-1', 0, 11, 'pass', '', 1, 1, 0)"
          " ON CONFLICT (hour, station, slot, section, result, failure_code) DO UPDATE"
          " SET records = record_counts.records + 1"}) {
        PGresult* r = PQexec(single, step);
        ASSERT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQresultErrorMessage(r);
        PQclear(r);
    }
    std::string failed;
    std::thread figures([&] {
        try {
            store->ComputeStats({});
        } catch (const StoreError& e) {
            failed = e.what();
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    PQclear(PQexec(single, "COMMIT"));
    PQfinish(single);
    figures.join();
    EXPECT_EQ(failed, "");
    store->InsertAll({Board("2026-12-09T07:22:00.000Z")});  // counted anew once more
    ExpectFigures(store->ComputeStats({}).all, {3, 3, 0, 0, 3, 3}, "the records, not the row");
}

TEST(PostgresStore, RefusesARecordsTableThatIsNotItsOwn) {
    Stores stores(Backend::kPostgres);
    stores.Meddle("CREATE TABLE records (x int)");
    EXPECT_THROW(
        {
            try {
                stores.Open();
            } catch (const StoreError& e) {
                EXPECT_NE(std::string(e.what()).find("not qmb-edit's"), std::string::npos);
                throw;
            }
        },
        StoreError);
}

TEST(OpenRecordStore, UrlsAndTheirRefusals) {
    EXPECT_EQ(OpenRecordStore("none"), nullptr);
    const std::pair<const char*, const char*> cases[] = {
        {"mysql://db/x", "unknown database URL \"mysql://db/x\""},
        {"records.sqlite", "unknown database URL"},
        {"postgresql://u:secret@/qmb?host=/nonexistent", "unreachable"},
    };
    for (const auto& [url, reason] : cases) {
        try {
            OpenRecordStore(url);
            ADD_FAILURE() << url;
        } catch (const StoreError& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).find("secret"), std::string::npos) << e.what();
        }
    }
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("XDG_DATA_HOME", "/data", 1);
    EXPECT_EQ(DefaultStoreUrl(), "sqlite:/data/qmb-edit/records.sqlite");
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", "/home/ana", 1);
    EXPECT_EQ(DefaultStoreUrl(), "sqlite:/home/ana/.local/share/qmb-edit/records.sqlite");
    setenv("HOME", home.c_str(), 1);
}

// qmb-cli serial import's file: values in order, trimmed; a bad line
// refuses the whole file with a reason of one printable line.
TEST(PoolFile, ReadsOneValueALineOrRefusesTheWholeFile) {
    std::vector<std::string> values;
    EXPECT_EQ(ParsePoolFile("# block 7\r\n1000\r\n  00:1A:2B \t\n\n\t# tab comment\n1002", values), "");
    EXPECT_EQ(values, (std::vector<std::string>{"1000", "00:1A:2B", "1002"}));
    const std::pair<std::string, std::string> refused[] = {
        {"1\n2\n1\n", "line 3: value 1 is in the file twice"},
        {"ok\nM\xfcller\n", "line 2: not valid UTF-8"},
        {"a\x01" "b\n", "line 1: serial value holds a control character"},
        {std::string(129, 'x') + "\r\n", "line 1: a serial value is longer than 128 bytes"},
        {"ab\rcd" + std::string(200, '\0') + "\n", "line 1: serial value holds a control character"},
        {"# nothing\n\n", "the file holds no value"},
    };
    for (const auto& [text, why] : refused) {
        values = {"kept"};
        const std::string got = ParsePoolFile(text, values);
        EXPECT_EQ(got.find(why), 0u) << got;
        EXPECT_EQ(got.find_first_of(std::string("\r\n\0", 3)), std::string::npos) << got;
        EXPECT_EQ(values, std::vector<std::string>{"kept"});
    }
}

TEST(RecordTime, ParsesFilterTimesAndFormatsMilliseconds) {
    const std::pair<const char*, const char*> good[] = {
        {"2026-12-09", "2026-12-09T00:00:00.000Z"},
        {"2026-12-09T07:40", "2026-12-09T07:40:00.000Z"},
        {"2026-12-09T07:40:51Z", "2026-12-09T07:40:51.000Z"},
        {"2028-02-29T23:59:59.999Z", "2028-02-29T23:59:59.999Z"},
        {"1969-12-31T23:59:59.999", "1969-12-31T23:59:59.999Z"},
    };
    for (const auto& [text, canonical] : good) {
        std::chrono::system_clock::time_point t;
        ASSERT_TRUE(ParseUtcTime(text, t)) << text;
        EXPECT_EQ(FormatUtcMillis(t), canonical);
    }
    // Also years the clock cannot hold (the record_filter fuzz target found
    // 7016-02-29 overflowing it).
    for (const char* bad : {"2026-13-01", "2027-02-29", "2026-12-09T24:00", "2026-12-09 07:40",
                            "2026-12-09T07:40:51.12", "2026-12-09Z", "yesterday", "",
                            "7016-02-29", "9999-12-31T23:59:59.999Z", "0001-01-01", "1899-12-31",
                            "2200-01-01"}) {
        std::chrono::system_clock::time_point t;
        EXPECT_FALSE(ParseUtcTime(bad, t)) << bad;
    }
}

TEST(RecordId, IsAVersion4UuidAndDoesNotRepeat) {
    std::set<std::string> ids;
    for (int i = 0; i < 1000; ++i) ids.insert(NewRecordId());
    EXPECT_EQ(ids.size(), 1000u);
    for (const auto& id : ids) {
        Record r = Board("2026-12-09T07:00:00.000Z");
        r.id = id;
        ASSERT_EQ(CheckRecord(r), "");
        EXPECT_EQ(id[14], '4');
        EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
    }
}

TEST(RecordFormat, TableCsvAndStats) {
    Record r = Board("2026-12-09T07:00:00.000Z", std::nullopt);
    const std::string table = FormatRecordsTable({r});
    EXPECT_EQ(table.substr(0, table.find('\n')),
              "started_at                station  slot  port  board  section  result  status   "
              "failure_code  duration_ms  dut_id  operator");
    EXPECT_NE(table.find("st-1     0     COM1  1      11       -       timeout  no_handshake"),
              std::string::npos)
        << table;
    Record named = r;
    named.slot_name = "B";
    EXPECT_NE(FormatRecordsTable({named}).find("st-1     B     COM1"), std::string::npos);
    const std::string csv = FormatRecordsCsv({r});
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")),
              "id,station,slot,port,device,operator,batch,mode,board,section,image_sha256,"
              "image_length,tool_version,started_at,ended_at,duration_ms,status,result,"
              "failure_code,failure_phase,retries,dut_id,reason,slot_name,recipe_sha256");
    EXPECT_NE(csv.find(",timeout,,no_handshake,handshake,0,,it failed,,\r\n"), std::string::npos);
    Stats stats;
    stats.all = {10, 6, 3, 1, 8, 4};
    stats.pareto = {{"size", 3}};
    auto json = StatsToJson(stats);
    EXPECT_DOUBLE_EQ(json["yield"].get<double>(), 6.0 / 9.0);
    EXPECT_DOUBLE_EQ(json["first_pass_yield"].get<double>(), 0.5);
    EXPECT_EQ(json["pareto"][0]["code"], "size");
    EXPECT_NE(FormatStatsTable(stats).find("all            10       6     3     1     66.7%  50.0%"),
              std::string::npos)
        << FormatStatsTable(stats);
}

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The most a board's Insert may take with a server away: its 2 s bound, and
// room for a loaded machine to commit the spool.
constexpr double kBoardBoundMs = 2000 + 700;

// The spooling store with a private server that the test stops and starts.
class SpoolTest : public ::testing::Test {
  protected:
    void SetUp() override { Cluster("start", serverDir, &serverUrl); }
    void TearDown() override {
        Cluster("stop", serverDir);
        fs::remove_all(localDir);
    }
    std::unique_ptr<SpoolingStore> Open(const std::string& url = "") {
        return std::make_unique<SpoolingStore>(url.empty() ? serverUrl : url, localPath,
                                               std::chrono::milliseconds(0));
    }
    size_t OnServer() { return PostgresStore(serverUrl).List({}).size(); }
    // Inserts each board, each within the board's bound; how many were kept.
    int Boards(SpoolingStore& spool, const std::vector<Record>& boards) {
        int kept = 0;
        for (const auto& b : boards) {
            const auto start = std::chrono::steady_clock::now();
            kept += spool.Insert(b) ? 1 : 0;
            EXPECT_LT(MsSince(start), kBoardBoundMs) << "board " << b.board;
        }
        return kept;
    }
    std::vector<Record> Run(int n, const std::string& second = "0") {
        std::vector<Record> boards;
        for (int i = 0; i < n; ++i) {
            boards.push_back(Board("2026-12-09T07:0" + second + ":0" + std::to_string(i) + ".000Z"));
            boards.back().board = i + 1;
        }
        return boards;
    }

    std::string serverDir = MakeTempDir(), localDir = MakeTempDir();
    std::string serverUrl, localPath = localDir + "/spool.sqlite";
};

TEST_F(SpoolTest, AServerStoppedMidRunLosesAndDoublesNothing) {
    auto spool = Open();
    std::vector<Record> boards;
    for (int i = 0; i < 9; ++i) boards.push_back(Board("2026-12-09T07:00:0" + std::to_string(i) + ".000Z"));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(spool->Insert(boards[i]));
    Cluster("down", serverDir);
    for (int i = 3; i < 6; ++i) EXPECT_TRUE(spool->Insert(boards[i]));
    EXPECT_FALSE(spool->Insert(boards[4]));
    EXPECT_EQ(spool->Unsent(), 3);
    EXPECT_EQ(spool->List({}).size(), 3u);  // what the station kept
    EXPECT_THROW(spool->Sync(), StoreError);
    Cluster("up", serverDir);
    EXPECT_TRUE(spool->Insert(boards[6]));  // and sends the spool after it
    EXPECT_EQ(spool->Unsent(), 0);
    EXPECT_EQ(spool->Sync(), 0);
    EXPECT_EQ(OnServer(), 7u);
    EXPECT_EQ(spool->ComputeStats({}).all.total, 7);
}

TEST_F(SpoolTest, AStationStartedWithoutItsServerSyncsLater) {
    Cluster("down", serverDir);
    {
        auto spool = Open();
        for (int i = 0; i < 4; ++i) spool->Insert(Board("2026-12-09T07:00:0" + std::to_string(i) + ".000Z"));
        EXPECT_EQ(spool->Unsent(), 4);
    }
    try {
        SyncSpool("sqlite:" + localPath, serverUrl);
        ADD_FAILURE() << "synced to a stopped server";
    } catch (const StoreError& e) {
        EXPECT_EQ(e.kind(), StoreError::Kind::kUnreachable);
    }
    Cluster("up", serverDir);
    EXPECT_EQ(SyncSpool("sqlite:" + localPath, serverUrl), 4);
    EXPECT_EQ(SyncSpool("sqlite:" + localPath, serverUrl), 0);
    EXPECT_EQ(OnServer(), 4u);
}

// A process killed mid-run: the source's memory goes without its destructor
// running, so nothing is closed or given back.
void Kill(std::unique_ptr<production::SerialSource>& source) {
    ::operator delete(static_cast<void*>(source.release()));
}

// A station's lease carries it through an outage by the rule, and a killed
// run's leftovers are settled when it starts again with its server back.
TEST_F(SpoolTest, ALeaseGivesOutThroughAnOutageAndItsKilledRunIsSettled) {
    PostgresStore(serverUrl).CreatePool("sn", 1, 10, 1, 0);
    auto spool = Open();
    auto source = production::MakeSerialSource(*spool, "st-1", "run-1", 4);
    EXPECT_EQ(source->Reserve("sn", "A"), "1");
    EXPECT_EQ(PostgresStore(serverUrl).ShowPool("sn").reserved, 4);  // the block
    source->MarkSent("sn", "1");
    ASSERT_TRUE(spool->Insert(WithSerial(Board("2026-12-09T07:00:00.000Z"), "1", "used")));

    Cluster("down", serverDir);
    EXPECT_EQ(source->Reserve("sn", "A"), "2");
    source->MarkSent("sn", "2");
    ASSERT_TRUE(spool->Insert(WithSerial(Board("2026-12-09T07:00:01.000Z"), "2", "used")));
    EXPECT_EQ(source->Reserve("sn", "B"), "3");
    source->MarkSent("sn", "3");  // then the board fails: void
    ASSERT_TRUE(spool->Insert(WithSerial(Board("2026-12-09T07:00:02.000Z", "fail"), "3", "void")));
    EXPECT_EQ(source->Reserve("sn", "A"), "4");
    source->Return("sn", "4");  // failed before its section went out
    EXPECT_EQ(source->Reserve("sn", "A"), "4");
    EXPECT_EQ(source->Level("sn").free, 0);  // what the lease holds during the outage
    try {
        source->Reserve("sn", "B");
        ADD_FAILURE() << "a number with no lease and no server";
    } catch (const production::SerialUnavailable& e) {
        EXPECT_NE(std::string(e.what()).find("no lease left"), std::string::npos) << e.what();
    }
    // Without a lease, an outage leaves no number to give.
    auto direct = production::MakeSerialSource(*spool, "st-1", "run-1", 0);
    EXPECT_THROW(direct->Reserve("sn", "C"), production::SerialUnavailable);
    EXPECT_THROW(direct->MarkSent("sn", "4"), production::SerialUnavailable);
    Kill(source);  // nothing closed: "4" left reserved in the spool's file
    spool.reset();

    Cluster("up", serverDir);
    auto again = Open();
    auto restarted = production::MakeSerialSource(*again, "st-1", "run-2", 4);
    EXPECT_EQ(restarted->Settled().freed, 1);
    PostgresStore server(serverUrl);
    EXPECT_EQ(States(server, "sn"), (std::map<std::string, std::string>{
                                        {"1", "used"}, {"2", "used"}, {"3", "void"}}));
    EXPECT_EQ(restarted->Reserve("sn", "A"), "4");
    restarted->Return("sn", "4");
    restarted->Close();  // the run's end: the whole block goes back
    EXPECT_EQ(server.ShowPool("sn").free, 7);
    EXPECT_EQ(server.ShowPool("sn").reserved, 0);
}

// Two stations leasing from one pool, four slots each at once: blocks never
// overlap, refills race safely, an emptied pool says so, and what a killed
// station had sent is void on the server after its restart.
TEST_F(SpoolTest, TwoLeasingStationsNeverShareAValue) {
    PostgresStore(serverUrl).CreatePool("sn", 1, 60, 1, 0);
    const std::string otherPath = localDir + "/other.sqlite";
    auto first = Open();
    SpoolingStore second(serverUrl, otherPath, std::chrono::milliseconds(0));
    auto a = production::MakeSerialSource(*first, "st-1", "run-a", 5);
    auto b = production::MakeSerialSource(second, "st-2", "run-b", 5);
    std::vector<std::vector<std::string>> got(8);
    std::vector<std::string> why(8);
    std::vector<std::thread> slots;
    for (int i = 0; i < 8; ++i)
        slots.emplace_back([&, i] {
            production::SerialSource& source = i < 4 ? *a : *b;
            const std::string slot(1, static_cast<char>('A' + i % 4));
            try {
                for (int n = 0; n < 20; ++n) {
                    got[static_cast<size_t>(i)].push_back(source.Reserve("sn", slot));
                    source.MarkSent("sn", got[static_cast<size_t>(i)].back());
                }
            } catch (const production::SerialUnavailable& e) {
                why[static_cast<size_t>(i)] = e.what();
            }
        });
    for (auto& t : slots) t.join();
    std::set<std::string> all;
    size_t total = 0;
    for (int i = 0; i < 8; ++i) {
        total += got[static_cast<size_t>(i)].size();
        all.insert(got[static_cast<size_t>(i)].begin(), got[static_cast<size_t>(i)].end());
        EXPECT_NE(why[static_cast<size_t>(i)].find("pool sn is empty"), std::string::npos)
            << why[static_cast<size_t>(i)];
    }
    EXPECT_EQ(total, 60u);
    EXPECT_EQ(all.size(), 60u);
    // Station 1 is killed with all its values sent; station 2 ends its run.
    Kill(a);
    first.reset();
    b->Close();
    auto restarted = Open();
    auto again = production::MakeSerialSource(*restarted, "st-1", "run-c", 5);
    PostgresStore server(serverUrl);
    const PoolLevel level = server.ShowPool("sn");
    EXPECT_EQ(level.voided, static_cast<int64_t>(got[0].size() + got[1].size() + got[2].size() + got[3].size()));
    EXPECT_EQ(again->Settled().voided, level.voided);
    EXPECT_EQ(level.reserved, 60 - level.voided);  // station 2's sent values, still with their boards
    EXPECT_EQ(level.free, 0);
}

// A record the server refuses for good is set aside, and the server never
// marks its values: those out of the lease end void (their boards may carry
// them), at the run's end or at the next start of a killed run, never free.
TEST_F(SpoolTest, ALeasedValueOfARecordTheServerRefusesEndsVoid) {
    PostgresStore(serverUrl).CreatePool("sn", 1, 10, 1, 0);
    ServerSql(serverUrl, "ALTER TABLE records ADD CONSTRAINT no_refuse_me CHECK (operator <> 'refuse-me')");
    auto refused = [](Record r) {
        r.operator_ = "refuse-me";
        return r;
    };
    auto spool = Open();
    auto source = production::MakeSerialSource(*spool, "st-1", "run-1", 4);
    EXPECT_EQ(source->Reserve("sn", "A"), "1");
    source->MarkSent("sn", "1");
    ASSERT_TRUE(spool->Insert(refused(WithSerial(Board("2026-12-09T07:00:00.000Z"), "1", "used"))));
    // Spooled during an outage, refused once sent: a pass and a failed board.
    Cluster("down", serverDir);
    EXPECT_EQ(source->Reserve("sn", "A"), "2");
    source->MarkSent("sn", "2");
    ASSERT_TRUE(spool->Insert(refused(WithSerial(Board("2026-12-09T07:00:01.000Z"), "2", "used"))));
    EXPECT_EQ(source->Reserve("sn", "B"), "3");
    source->MarkSent("sn", "3");
    ASSERT_TRUE(spool->Insert(
        refused(WithSerial(Board("2026-12-09T07:00:02.000Z", "fail"), "3", "void"))));
    Cluster("up", serverDir);
    EXPECT_EQ(spool->Sync(), 0);
    PostgresStore server(serverUrl);
    EXPECT_EQ(server.SerialState("sn", "2"), "reserved") << "held for the station until the run ends";
    source->Close();
    EXPECT_EQ(States(server, "sn"), (std::map<std::string, std::string>{
                                        {"1", "void"}, {"2", "void"}, {"3", "void"}}));
    EXPECT_EQ(server.ShowPool("sn").free, 7) << "the unused 4 went back";
    source.reset();

    // A killed run: its next start voids the refused record's value and
    // gives back only the block's unused ones.
    auto killed = production::MakeSerialSource(*spool, "st-1", "run-2", 4);
    EXPECT_EQ(killed->Reserve("sn", "A"), "4");
    killed->MarkSent("sn", "4");
    ASSERT_TRUE(spool->Insert(refused(WithSerial(Board("2026-12-09T07:00:03.000Z"), "4", "used"))));
    Kill(killed);
    spool.reset();
    auto again = Open();
    auto restarted = production::MakeSerialSource(*again, "st-1", "run-3", 4);
    EXPECT_EQ(restarted->Settled().voided, 1);
    EXPECT_EQ(restarted->Settled().freed, 3);
    EXPECT_EQ(server.SerialState("sn", "4"), "void");
    EXPECT_TRUE(again->Local().LeaseRows().empty()) << "nothing void left over";
    // The refusals stay in view, each with the server's reason.
    const SetAsideSummary aside = again->SetAsideRecords(10);
    EXPECT_EQ(aside.count, 4);
    for (const auto& a : aside.newest)
        EXPECT_NE(a.reason.find("no_refuse_me"), std::string::npos) << a.reason;
    EXPECT_EQ(server.List({}).size(), 0u);
}

// A value sent on the server whose board passed during an outage: its
// record spools, the process is killed before the spool is sent. The next
// start sends the record before it settles: the value is used by it, not
// void, and the record is not refused.
TEST_F(SpoolTest, ASpooledPassKeepsItsSentValueUsedAcrossAKill) {
    PostgresStore(serverUrl).CreatePool("sn", 1, 10, 1, 0);
    auto spool = Open();
    auto source = production::MakeSerialSource(*spool, "st-1", "run-1");
    EXPECT_EQ(source->Reserve("sn", "A"), "1");
    source->MarkSent("sn", "1");
    Cluster("down", serverDir);
    const Record pass = WithSerial(Board("2026-12-09T07:00:00.000Z"), "1", "used");
    ASSERT_TRUE(spool->Insert(pass));
    EXPECT_EQ(spool->Unsent(), 1);
    // The process dies here (a source straight over the pool gives nothing
    // back when it goes, so its end is as good as a kill).
    source.reset();
    spool.reset();
    Cluster("up", serverDir);
    auto again = Open();
    auto restarted = production::MakeSerialSource(*again, "st-1", "run-2");
    EXPECT_EQ(restarted->Settled().voided, 0);
    EXPECT_EQ(again->Unsent(), 0);
    EXPECT_EQ(again->SetAsideRecords(10).count, 0);
    const auto ledger = PostgresStore(serverUrl).Ledger("sn");
    ASSERT_EQ(ledger.size(), 1u);
    EXPECT_EQ(ledger[0].state, "used");
    EXPECT_EQ(ledger[0].record_id, pass.id);
}

// The outages a line meets. Each: boards inserted, each within its bound;
// records kept (on the server or in the spool); records on the server once
// the spool is synced.
TEST_F(SpoolTest, ASilentServerHoldsNoBoardLongerThanItsBound) {
    SilentServer silent;
    const auto start = std::chrono::steady_clock::now();
    auto spool = Open(silent.Url());
    EXPECT_LT(MsSince(start), kBoardBoundMs) << "opening waits for the server as a board does";
    const auto boards = Run(4);
    EXPECT_EQ(Boards(*spool, boards), 4);
    EXPECT_EQ(spool->Unsent(), 4);
    EXPECT_EQ(spool->List({}).size(), 4u) << "the station's page reads the spool";
    spool.reset();
    EXPECT_EQ(SyncSpool("sqlite:" + localPath, serverUrl), 4);
    EXPECT_EQ(OnServer(), 4u);
}

TEST_F(SpoolTest, AStopAbandonsTheWaitForASilentServerAtOnce) {
    SilentServer silent;
    std::atomic<bool> stopping{false};
    SpoolingStore::Options options;
    options.retryInterval = std::chrono::milliseconds(0);
    options.stop = [&] { return stopping.load(); };
    std::thread ctrlC([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stopping = true;
    });
    const auto start = std::chrono::steady_clock::now();
    SpoolingStore spool(silent.Url(), localPath, options);
    EXPECT_LT(MsSince(start), 300 + 500) << "abandoned within 50 ms of the stop";
    ctrlC.join();
    const auto after = std::chrono::steady_clock::now();
    EXPECT_TRUE(spool.Insert(Run(1)[0]));
    EXPECT_LT(MsSince(after), 500) << "once stopping, the server is not tried";
    EXPECT_EQ(spool.Unsent(), 1);
}

TEST_F(SpoolTest, AServerThatHangsMidRunSpoolsAndCatchesUp) {
    auto spool = Open();
    const auto boards = Run(6);
    EXPECT_EQ(Boards(*spool, {boards[0], boards[1]}), 2);
    // A session holds the records table: the server accepts and answers
    // nothing of ours until it lets go, well past a board's bound.
    PGconn* holder = PQconnectdb(serverUrl.c_str());
    ASSERT_EQ(PQstatus(holder), CONNECTION_OK);
    PQclear(PQexec(holder, "BEGIN; LOCK TABLE records IN ACCESS EXCLUSIVE MODE"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Boards(*spool, {boards[2], boards[3]}), 2);
    EXPECT_LT(MsSince(start), kBoardBoundMs) << "only the first waits its bound; the server is "
                                                "then tried in the background";
    EXPECT_EQ(spool->Unsent(), 2);
    PQclear(PQexec(holder, "ROLLBACK"));
    PQfinish(holder);
    EXPECT_EQ(spool->Sync(), 2);
    EXPECT_EQ(Boards(*spool, {boards[4], boards[5]}), 2);
    EXPECT_EQ(spool->Unsent(), 0);
    EXPECT_EQ(OnServer(), 6u);
}

TEST_F(SpoolTest, ARecordTheServerRefusesIsSetAsideAndHoldsBackNoOther) {
    auto spool = Open();
    ServerSql(serverUrl, "ALTER TABLE records ADD CONSTRAINT no_refuse_me CHECK (operator <> 'refuse-me')");
    auto boards = Run(8);
    boards[1].operator_ = boards[5].operator_ = "refuse-me";
    // Live: the refused one is kept aside at once.
    EXPECT_EQ(Boards(*spool, {boards[0], boards[1], boards[2]}), 3);
    // Spooled while the server is away: at the next insert the batch is
    // refused for one record; the others go through.
    Cluster("down", serverDir);
    EXPECT_EQ(Boards(*spool, {boards[3], boards[4], boards[5], boards[6]}), 4);
    EXPECT_EQ(spool->Unsent(), 4);
    Cluster("up", serverDir);
    EXPECT_EQ(Boards(*spool, {boards[7]}), 1);
    EXPECT_EQ(spool->Unsent(), 0);
    EXPECT_EQ(spool->Sync(), 0);
    EXPECT_EQ(OnServer(), 6u);
    const SetAsideSummary aside = spool->SetAsideRecords(10);
    ASSERT_EQ(aside.count, 2);
    ASSERT_EQ(aside.newest.size(), 2u);
    std::set<std::string> ids;
    for (const auto& a : aside.newest) {
        ids.insert(a.record.id);
        EXPECT_NE(a.reason.find("no_refuse_me"), std::string::npos) << a.reason;
        EXPECT_EQ(a.reason.find('\n'), std::string::npos);
    }
    EXPECT_EQ(ids, (std::set<std::string>{boards[1].id, boards[5].id}));
    const std::string shown = FormatSetAside(aside);
    EXPECT_NE(shown.find("2 records set aside"), std::string::npos) << shown;
    EXPECT_EQ(SetAsideToJson(aside)["count"], 2);
    // The same through records sync: refused ones set aside, never resent.
    spool.reset();
    SqliteStore local(localPath);
    Record later = Board("2026-12-09T08:00:00.000Z");
    later.operator_ = "refuse-me";
    local.InsertUnsent(later);
    local.InsertUnsent(Board("2026-12-09T08:00:01.000Z"));
    EXPECT_EQ(SyncSpool("sqlite:" + localPath, serverUrl), 1);
    EXPECT_EQ(SyncSpool("sqlite:" + localPath, serverUrl), 0);
    EXPECT_EQ(local.SetAsideRecords(10).count, 3);
    EXPECT_EQ(OnServer(), 7u);
}

TEST_F(SpoolTest, ARecordKeptNowhereIsAnErrorNeverAPass) {
    Cluster("down", serverDir);
    auto spool = Open();
    EXPECT_TRUE(spool->Insert(Run(1)[0]));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(localPath.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE unsent", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    try {
        spool->Insert(Run(2, "1")[1]);
        ADD_FAILURE() << "kept a record with neither the server nor the spool";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("unsent"), std::string::npos) << e.what();
    }
    EXPECT_EQ(spool->List({}).size(), 1u) << "nothing half-written";
}

TEST_F(SpoolTest, APlainServerStoreReportsALostConnectionAsUnreachable) {
    PostgresStore server(serverUrl);
    server.Insert(Board("2026-12-09T07:00:00.000Z"));
    Cluster("down", serverDir);
    try {
        server.Insert(Board("2026-12-09T07:00:01.000Z"));
        ADD_FAILURE() << "inserted into a stopped server";
    } catch (const StoreError& e) {
        EXPECT_EQ(e.kind(), StoreError::Kind::kUnreachable) << e.what();
    }
    Cluster("up", serverDir);
    EXPECT_TRUE(server.Insert(Board("2026-12-09T07:00:02.000Z")));
    EXPECT_EQ(server.List({}).size(), 2u);
}

}  // namespace
}  // namespace qmb::store
