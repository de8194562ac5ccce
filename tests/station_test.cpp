// qmb-station as a fixture runs it: the executable on qmb-devsim slots,
// judged through its HTTP API (and the change feed) and by what the devices
// hold.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DevSim.h"
#include "fuzz/StationWorld.h"
#include "station/PoolLevels.h"
#include "station/StationConfig.h"
#include "station/Token.h"
#include "station/WebServer.h"
#include "store/MemoryStore.h"

extern char** environ;

namespace qmb::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const char kImage[] = "C0 C1 C2 C3 C4 C5 C6 C7\n";
const char kImageSha256[] = "2d16485c5853ff9f54e013685aff6c7a2147b9a6a934e02bcbdff83e507e0c6e";

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Whether a raw answer is whole: its header and Content-Length bytes.
bool WholeAnswer(const std::string& answer) {
    const size_t end = answer.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    std::smatch m;
    const std::string head = answer.substr(0, end);
    static const std::regex length("\r\nContent-Length: ([0-9]+)", std::regex::icase);
    const size_t body = std::regex_search(head, m, length) ? std::stoul(m[1]) : 0;
    return answer.size() - end - 4 >= body;
}

// Sends bytes to 127.0.0.1:port in pieces of `piece` bytes (0: at once),
// pauseMs apart; the answer, read until it is whole or the station closes
// (10 s at most). The sending side stays open: cpp-httplib takes a
// half-closed connection for a gone client and does not answer it.
std::string RawExchange(int port, const std::string& bytes, size_t piece = 0, int pauseMs = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return "";
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const size_t step = piece ? piece : bytes.size();
        for (size_t at = 0; at < bytes.size(); at += step) {
            if (send(fd, bytes.data() + at, std::min(step, bytes.size() - at), MSG_NOSIGNAL) < 0) break;
            if (pauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
        char buf[4096];
        for (ssize_t n; !WholeAnswer(answer) && (n = recv(fd, buf, sizeof buf, 0)) > 0;)
            answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return answer;
}

// A simulator's counters (requests, commits, ...), without the ignition
// state, which its timer changes.
std::string Counters(const std::string& status) {
    return status.substr(0, status.find(" ignition "));
}

// One qmb-station process, stopped with SIGTERM (SIGKILL after 5 s) when
// destroyed.
class StationProcess {
  public:
    bool Start(std::vector<std::string> args, const std::string& errPath) {
        args.insert(args.begin(), {QMB_STATION_PATH, "--listen", "127.0.0.1:0"});
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) return false;
        const std::regex page("page at http://127\\.0\\.0\\.1:([0-9]+)/");
        const auto start = SteadyClock::now();
        while (MsSince(start) < 5000) {
            std::smatch m;
            const std::string err = Slurp(errPath);
            if (std::regex_search(err, m, page)) {
                port = std::stoi(m[1]);
                return true;
            }
            if (waitpid(pid_, &status_, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // SIGTERM; the exit code, or -1 when it had to be killed.
    int Stop(int waitMs = 5000) {
        if (pid_ <= 0) return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
        kill(pid_, SIGTERM);
        const auto start = SteadyClock::now();
        while (waitpid(pid_, &status_, WNOHANG) == 0) {
            if (MsSince(start) > waitMs) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status_, 0);
                pid_ = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    ~StationProcess() { Stop(); }
    int port = 0;

  private:
    pid_t pid_ = -1;
    int status_ = 0;
};

class Station : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/qmb-station-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        std::ofstream(Path("image.hex")) << kImage;
    }
    void TearDown() override {
        station.Stop();
        sims.clear();
        fs::remove_all(dir_);
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    // Simulators igniting every everyMs, then the station on them (slots A,
    // B, ...) with extra arguments.
    void Run(int slots, std::vector<std::string> extra = {}, int everyMs = 1200,
             std::vector<std::string> simExtra = {}) {
        std::vector<std::string> args = {"--section", "11", "--image", Path("image.hex"),
                                         "--token-file", Path("token"), "--station", "st-test",
                                         "--operator", "op 1", "--db", "sqlite:" + Path("records.sqlite")};
        for (int i = 0; i < slots; ++i) {
            sims.push_back(std::make_unique<DevSim>(QMB_DEVSIM_PATH));
            std::vector<std::string> simArgs = {"--no-pacing", "--ignition-every",
                                                std::to_string(everyMs)};
            simArgs.insert(simArgs.end(), simExtra.begin(), simExtra.end());
            ASSERT_TRUE(sims.back()->Start(simArgs));
            args.push_back("--slot");
            args.push_back(std::string(1, static_cast<char>('A' + i)) + "=" + sims.back()->link);
        }
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(station.Start(args, Path("stderr"))) << Slurp(Path("stderr"));
        client = std::make_unique<httplib::Client>("127.0.0.1", station.port);
        client->set_read_timeout(5, 0);
        client->set_connection_timeout(2, 0);
        token = Slurp(Path("token")).substr(0, 64);
    }
    json Get(const std::string& path, int expect = 200) {
        auto res = client->Get(path.c_str());
        if (!res) return json{{"no answer", path}};
        EXPECT_EQ(res->status, expect) << path << ": " << res->body;
        return json::parse(res->body, nullptr, false);
    }
    // A control action: the status and the body.
    std::pair<int, std::string> Post(const std::string& path, const std::string& bearer) {
        httplib::Headers headers;
        if (!bearer.empty()) headers.emplace("Authorization", "Bearer " + bearer);
        auto res = client->Post(path.c_str(), headers, "", "text/plain");
        return res ? std::make_pair(res->status, res->body) : std::make_pair(-1, std::string());
    }
    // A qmb-cli run; its standard output.
    std::string Cli(std::vector<std::string> args, int expect = 0) {
        args.insert(args.begin(), QMB_CLI_PATH);
        const int code = RunProgram(args, Path("cli.out"), Path("cli.err"));
        EXPECT_EQ(code, expect) << Slurp(Path("cli.err"));
        return Slurp(Path("cli.out"));
    }
    // Simulators igniting every everyMs, a backup of sections 1-4 and 11 of
    // the first as golden.qmb, and a recipe of it (with extra lines); its
    // identity.
    std::string MakeRecipe(int simCount, const std::string& name, const std::string& extra,
                           int everyMs = 600) {
        for (int i = 0; i < simCount; ++i) {
            sims.push_back(std::make_unique<DevSim>(QMB_DEVSIM_PATH));
            EXPECT_TRUE(sims.back()->Start({"--no-pacing", "--ignition-every", std::to_string(everyMs)}));
        }
        if (!fs::exists(Path("golden.qmb")))
            Cli({"-p", sims[0]->link, "backup", Path("golden.qmb"), "--sections", "1-4,11"});
        std::ofstream(Path(name)) << "image = golden.qmb\n" << extra;
        return json::parse(Cli({"recipe", "check", Path(name), "--json"}), nullptr, false)
            .value("identity", "");
    }
    // The station's arguments for the recipe on slots A, B, ... (one a simulator).
    std::vector<std::string> RecipeArgs(const std::string& recipe, const std::string& db,
                                        std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--recipe", Path(recipe), "--db", db, "--token-file",
                                         Path("token"), "--station", "st-recipe"};
        for (size_t i = 0; i < sims.size(); ++i)
            args.insert(args.end(), {"--slot", std::string(1, static_cast<char>('A' + i)) + "=" +
                                                   sims[i]->link});
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    void Connect() {
        client = std::make_unique<httplib::Client>("127.0.0.1", station.port);
        client->set_read_timeout(5, 0);
        client->set_connection_timeout(2, 0);
    }
    // Waits (timeoutMs at most) until the view's answer satisfies the test.
    template <typename Test>
    bool WaitFor(const std::string& path, int timeoutMs, Test test) {
        const auto start = SteadyClock::now();
        while (MsSince(start) < timeoutMs) {
            if (test(Get(path))) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    json Slot(const std::string& name) {
        for (const auto& s : Get("/api/slots")) {
            if (s["name"] == name) return s;
        }
        return json();
    }
    // Waits (timeoutMs at most) until the slot's state satisfies the test.
    template <typename Test>
    bool WaitSlot(const std::string& name, int timeoutMs, Test test) {
        const auto start = SteadyClock::now();
        while (MsSince(start) < timeoutMs) {
            if (test(Slot(name))) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::string dir_, token;
    std::vector<std::unique_ptr<DevSim>> sims;
    StationProcess station;
    std::unique_ptr<httplib::Client> client;
};

TEST_F(Station, EveryPhaseComesLiveAndEveryBoardIsRecorded) {
    // Replies 150 ms late: each phase of a board lasts long enough to be seen.
    ASSERT_NO_FATAL_FAILURE(Run(2, {"--dut-id-section", "2"}, 1200, {"--latency", "150"}));
    ASSERT_TRUE(sims[1]->ControlOk("set 2 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"));
    // The change feed for 4.5 s: slot snapshots as phases change, and boards.
    std::vector<std::string> phases;
    int boardEvents = 0;
    std::string buffer;
    httplib::Client feed("127.0.0.1", station.port);
    feed.set_read_timeout(5, 0);
    const auto start = SteadyClock::now();
    feed.Get("/api/events", [&](const char* data, size_t n) {
        buffer.append(data, n);
        for (size_t end; (end = buffer.find("\n\n")) != std::string::npos; buffer.erase(0, end + 2)) {
            const std::string event = buffer.substr(0, end);
            if (event.rfind("event: board\n", 0) == 0) ++boardEvents;
            if (event.rfind("event: slots\n", 0) != 0) continue;
            const json slots = json::parse(event.substr(event.find("data: ") + 6));
            const std::string phase = slots[0]["phase"];
            if (phases.empty() || phases.back() != phase) phases.push_back(phase);
        }
        return MsSince(start) < 4500;
    });
    const std::vector<std::string> cycle = {"waiting for ignition", "pause", "writing",
                                            "committing", "verifying"};
    auto at = std::search(phases.begin(), phases.end(), cycle.begin(), cycle.end());
    EXPECT_NE(at, phases.end()) << "a board's phases in order";
    EXPECT_GE(boardEvents, 2);

    ASSERT_TRUE(WaitSlot("B", 3000, [](const json& s) { return s["passed"] >= 2; }));
    const json records = Get("/api/records?slot=B&limit=2");
    ASSERT_EQ(records.size(), 2u);
    for (const auto& r : records) {
        EXPECT_EQ(r["station"], "st-test");
        EXPECT_EQ(r["slot"], 1);
        EXPECT_EQ(r["port"], sims[1]->link);
        EXPECT_EQ(r["operator"], "op 1");
        EXPECT_EQ(r["result"], "pass");
        EXPECT_EQ(r["section"], 11);
        EXPECT_EQ(r["image_sha256"], kImageSha256);
        EXPECT_GE(r["duration_ms"].get<int>(), 990) << "the 1 s pause";
        EXPECT_EQ(r["id"].get<std::string>().size(), 36u);
    }
    EXPECT_GT(records[0]["started_at"].get<std::string>(), records[1]["started_at"].get<std::string>())
        << "newest first";
    const std::string dut = records[0]["dut_id"];
    EXPECT_NE(dut.find("00112233"), std::string::npos) << dut;
    const json same = Get("/api/records?dut_id=" + dut);
    EXPECT_GE(same.size(), 1u);
    for (const auto& r : same)
        EXPECT_EQ(r["slot"], 1);
    EXPECT_NE(sims[1]->Control("dump 11").find("eeprom C0C1C2C3C4C5C6C7"), std::string::npos);

    // Boards go on between two reads: the figures are held against the
    // slots' counts read before and after them, once no board ended between.
    const auto passedSum = [&] {
        const json slots = Get("/api/slots");
        return slots[0]["passed"].get<int>() + slots[1]["passed"].get<int>();
    };
    json stats;
    int passed = -1;
    const auto readStart = SteadyClock::now();
    while (MsSince(readStart) < 30000) {
        const int before = passedSum();
        stats = Get("/api/stats");
        if (passedSum() == before) {
            passed = before;
            break;
        }
    }
    EXPECT_EQ(stats["passes"], passed);
    EXPECT_EQ(stats["fails"], 0);
    EXPECT_EQ(stats["yield"], 1.0);
    auto csv = client->Get("/api/records?format=csv&result=pass&limit=3");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
    EXPECT_EQ(csv->body.rfind("id,station,slot,port,", 0), 0u);
    EXPECT_EQ(std::count(csv->body.begin(), csv->body.end(), '\n'), 4) << "header and 3 rows";
}

TEST_F(Station, FailuresInARowLockASlotUntilAcknowledged) {
    // Slot C has no device at all: port faults count as failures too.
    ASSERT_NO_FATAL_FAILURE(Run(2, {"--lockout", "3", "--slot", "C=" + Path("no-such-tty")}));
    ASSERT_TRUE(sims[0]->ControlOk("fault miswrite 3 count 3"));
    ASSERT_TRUE(WaitSlot("A", 8000, [](const json& s) { return s["locked"] == true; }));
    json a = Slot("A");
    EXPECT_EQ(a["lock_reason"], "locked: 3 failures in a row, last: verify mismatch");
    EXPECT_EQ(a["failed"], 3);
    EXPECT_EQ(a["last"]["result"], "fail");
    EXPECT_EQ(a["last"]["reason"], "verify failed: 1 of 8 bytes of section 11 differ after writing");
    ASSERT_TRUE(WaitSlot("A", 2000, [](const json& s) { return s["running"] == false; }));
    ASSERT_TRUE(WaitSlot("C", 8000, [](const json& s) { return s["locked"] == true; }));
    EXPECT_EQ(Slot("C")["lock_reason"], "locked: 3 failures in a row, last: port absent");
    EXPECT_EQ(Slot("B")["running"], true) << "the other slots go on";
    EXPECT_EQ(Slot("B")["failed"], 0);

    // Stays locked: no start before the acknowledgement, and that needs the token.
    const std::string wrong(64, '0');
    const struct {
        std::string path, bearer;
        int status;
    } steps[] = {
        {"/api/slots/A/start", token, 409},
        {"/api/slots/A/ack", "", 401},
        {"/api/slots/A/ack", wrong, 401},
        {"/api/slots/A/ack", token, 200},
        {"/api/slots/A/ack", token, 409},
        {"/api/slots/A/start", token, 200},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.path + (step.bearer.empty() ? " without token" : ""));
        const auto [status, body] = Post(step.path, step.bearer);
        EXPECT_EQ(status, step.status) << body;
        if (status >= 400) {
            EXPECT_NE(json::parse(body)["error"].get<std::string>(), "");
        }
        if (status == 401) {
            EXPECT_EQ(Slot("A")["locked"], true) << "refused: nothing changed";
        }
    }
    EXPECT_TRUE(WaitSlot("A", 5000, [](const json& s) { return s["passed"] >= 1; }))
        << "programs boards again";
    EXPECT_EQ(Slot("A")["failures_in_row"], 0);
}

TEST_F(Station, BadRequestsAreRefusedWithAReasonAndChangeNothing) {
    ASSERT_NO_FATAL_FAILURE(Run(1));
    ASSERT_TRUE(WaitSlot("A", 4000, [](const json& s) { return s["passed"] >= 1; }));
    const struct {
        bool post;
        std::string path;
        int status;
        const char* says;
    } cases[] = {
        {false, "/api/records?limit=0", 400, "limit"},
        {false, "/api/records?limit=x", 400, "limit"},
        {false, "/api/records?since=2026-02-30", 400, "since"},
        {false, "/api/records?result=maybe", 400, "result"},
        {false, "/api/records?section=256", 400, "section"},
        {false, "/api/records?slot=-1", 400, "slot"},
        {false, "/api/records?format=xml", 400, "format"},
        {false, "/api/records?colour=red", 400, "unknown parameter"},
        {false, "/api/records?since=2026-12-10&until=2026-12-09", 400, "before"},
        {false, "/api/stats?limit=5", 400, "unknown parameter"},
        {false, "/api/slots?x=1", 400, "no parameters"},
        {false, "/api/nothing", 404, "no such resource"},
        {true, "/api/slots/A/stop?now=1", 400, "no parameters"},
        {true, "/api/slots/Z/stop", 404, "no such slot: Z"},
        {true, "/api/slots/A/explode", 404, "no such resource"},
    };
    const int passedBefore = Slot("A")["passed"];
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto res = c.post ? client->Post(c.path.c_str(), {{"Authorization", "Bearer " + token}}, "",
                                         "text/plain")
                          : client->Get(c.path.c_str());
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status);
        const json body = json::parse(res->body, nullptr, false);
        ASSERT_TRUE(body.is_object()) << res->body;
        EXPECT_NE(body["error"].get<std::string>().find(c.says), std::string::npos) << res->body;
        EXPECT_EQ(std::count(res->body.begin(), res->body.end(), '\n'), 1) << "one line";
    }
    auto rebound = client->Get("/api/slots", {{"Host", "evil.example:8080"}});
    ASSERT_TRUE(rebound);
    EXPECT_EQ(rebound->status, 400) << "a name pointed at 127.0.0.1 by another site";
    auto big = client->Post("/api/stop-all", {{"Authorization", "Bearer " + token}},
                            std::string(100000, 'x'), "text/plain");
    EXPECT_TRUE(!big || big->status == 413);
    const json a = Slot("A");
    EXPECT_EQ(a["running"], true) << "nothing was stopped";
    EXPECT_GE(a["passed"].get<int>(), passedBefore);
}

// Raw requests a network sends, against the running station: after each it
// still answers, and its slot goes on programming boards throughout.
TEST_F(Station, HostileRequestsLeaveTheStationAnsweringAndProgramming) {
    ASSERT_NO_FATAL_FAILURE(Run(1));
    ASSERT_TRUE(WaitSlot("A", 8000, [](const json& s) { return s["passed"] >= 1; }));
    const int passedBefore = Slot("A")["passed"];
    const std::string host = "Host: 127.0.0.1:" + std::to_string(station.port) + "\r\n";
    const std::string bearer = "Authorization: Bearer " + token + "\r\n";
    std::string manyHeaders, tlsHello = std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03", 11);
    for (int i = 0; i < 100; ++i)
        manyHeaders += "X-H" + std::to_string(i) + ": v\r\n";
    for (int i = 0; i < 160; ++i)
        tlsHello += static_cast<char>(i * 37 + 11);
    std::string junk;
    for (int i = 0; i < 512; ++i)
        junk += static_cast<char>((i * 131 + 7) & 0xFF);
    // 0: no answer, the connection closed (cpp-httplib's parser refused it).
    const struct {
        const char* name;
        std::string bytes;
        std::vector<int> statuses;
    } cases[] = {
        {"bad escape in path", "GET /%zz%4 HTTP/1.1\r\n" + host + "\r\n", {404}},
        {"escape to invalid UTF-8 in path", "GET /%FF HTTP/1.1\r\n" + host + "\r\n", {404}},
        {"raw invalid UTF-8 in path", "GET /\xff\xfe/api HTTP/1.1\r\n" + host + "\r\n", {404}},
        {"bad escape in query", "GET /api/records?limit=%G1 HTTP/1.1\r\n" + host + "\r\n", {400}},
        {"escape to invalid UTF-8 in a query name", "GET /api/records?%FF=1 HTTP/1.1\r\n" + host + "\r\n", {400}},
        {"raw invalid UTF-8 in a query value", "GET /api/records?station=\xc3\x28 HTTP/1.1\r\n" + host + "\r\n", {400}},
        {"invalid UTF-8 in a header value", "GET /api/slots HTTP/1.1\r\n" + host + "X-Name: \xff\xfe\r\n\r\n", {200}},
        {"invalid UTF-8 in the Host", "GET /api/slots HTTP/1.1\r\nHost: 127.0.0.1\xff\r\n\r\n", {400}},
        {"invalid UTF-8 in the token", "POST /api/stop-all HTTP/1.1\r\n" + host +
             "Authorization: Bearer \xff\r\nContent-Length: 0\r\n\r\n", {401}},
        {"invalid UTF-8 body", "POST /api/stop-all HTTP/1.1\r\n" + host + bearer +
             "Content-Length: 3\r\n\r\n\xff\xfe\xfd", {400}},
        {"invalid UTF-8 slot name", "POST /api/slots/%FF/stop HTTP/1.1\r\n" + host + bearer +
             "Content-Length: 0\r\n\r\n", {404}},
        {"a header of 100 kB", "GET /api/slots HTTP/1.1\r\n" + host + "X-Big: " + std::string(100000, 'a') +
             "\r\n\r\n", {0, 400, 431}},
        {"a request line of 20 kB", "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\n" + host + "\r\n",
         {0, 400, 414}},
        {"100 header fields", "GET /api/slots HTTP/1.1\r\n" + host + manyHeaders + "\r\n", {431}},
        {"two Host fields", "GET /api/slots HTTP/1.1\r\n" + host + "Host: evil.example\r\n\r\n", {400}},
        {"two Content-Length fields", "POST /api/slots/A/stop HTTP/1.1\r\n" + host +
             "Content-Length: 0\r\nContent-Length: 4\r\n\r\nabcd", {0, 400, 401}},
        {"an absurd Content-Length", "POST /api/stop-all HTTP/1.1\r\n" + host + bearer +
             "Content-Length: 99999999999999999999999\r\n\r\n", {0, 400, 413}},
        {"a negative Content-Length", "POST /api/stop-all HTTP/1.1\r\n" + host + bearer +
             "Content-Length: -5\r\n\r\n", {0, 400, 413}},
        {"a body shorter than its Content-Length", "POST /api/stop-all HTTP/1.1\r\n" + host + bearer +
             "Content-Length: 50\r\n\r\nab", {0, 400}},
        {"a bad chunk size", "POST /api/stop-all HTTP/1.1\r\n" + host + bearer +
             "Transfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n", {0, 400}},
        {"binary junk", junk, {0, 400}},
        {"a TLS ClientHello", tlsHello, {0, 400}},
        {"NUL bytes only", std::string(64, '\0'), {0, 400}},
        {"a NUL in the request line", std::string("GET /api/slots\0 HTTP/1.1\r\n", 27) + host + "\r\n",
         {0, 400, 404}},
        {"a NUL escaped in the query", "GET /api/records?station=a%00b HTTP/1.1\r\n" + host + "\r\n", {400}},
        {"a NUL in a header", "GET /api/slots HTTP/1.1\r\n" + host + std::string("X-A: a\0b\r\n\r\n", 11),
         {0, 200, 400}},
        {"a rebinding name", "GET /api/records HTTP/1.1\r\nHost: 127.0.0.1.nip.io\r\n\r\n", {400}},
        {"an unknown method", "BREW /api/slots HTTP/1.1\r\n" + host + "\r\n", {0, 400, 404, 405}},
        {"no version", "GET /api/slots\r\n" + host + "\r\n", {0, 400}},
        {"a header without a colon", "GET /api/slots HTTP/1.1\r\n" + host + "no colon here\r\n\r\n",
         {0, 200, 400}},
    };
    // All at once, each on a connection of its own (the ones the parser
    // waits on end at the station's 5 s read limit); after each, a request
    // of its own must be answered.
    const size_t count = sizeof cases / sizeof cases[0];
    std::vector<std::string> answers(count);
    std::vector<int> afterwards(count, -1);
    std::vector<std::thread> senders;
    for (size_t i = 0; i < count; ++i) {
        senders.emplace_back([&, i] {
            answers[i] = RawExchange(station.port, cases[i].bytes);
            httplib::Client after("127.0.0.1", station.port);
            after.set_read_timeout(30, 0);
            if (auto res = after.Get("/api/slots")) afterwards[i] = res->status;
        });
    }
    for (auto& t : senders)
        t.join();
    int tried = 0;
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(cases[i].name);
        ++tried;
        const int status = fuzz::StatusOf(answers[i]);
        const auto& ok = cases[i].statuses;
        EXPECT_NE(std::find(ok.begin(), ok.end(), status), ok.end())
            << "status " << status << ": " << answers[i].substr(0, 300);
        if (status >= 400) {
            EXPECT_TRUE(json::accept(fuzz::BodyOf(answers[i]))) << answers[i];
        }
        EXPECT_EQ(afterwards[i], 200) << "the station answers after it";
    }
    ASSERT_EQ(Slot("A")["running"], true);
    // A slow sender, one byte every 25 ms, while others are answered.
    std::string slow;
    std::thread sender([&] {
        slow = RawExchange(station.port, "GET /api/slots HTTP/1.1\r\n" + host + "\r\n", 1, 25);
    });
    const auto start = SteadyClock::now();
    int answeredMeanwhile = 0;
    while (MsSince(start) < 1000) {
        if (client->Get("/api/info")) ++answeredMeanwhile;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    sender.join();
    ++tried;
    EXPECT_EQ(fuzz::StatusOf(slow), 200) << slow;
    EXPECT_GE(answeredMeanwhile, 5);
    EXPECT_TRUE(WaitSlot("A", 10000, [&](const json& s) { return s["passed"] >= passedBefore + 2; }))
        << "boards keep completing";
    EXPECT_EQ(Slot("A")["failed"], 0);
    RecordProperty("hostile_requests", tried);
    std::printf("hostile requests tried: %d\n", tried);
}

TEST_F(Station, TokenIsMadeOnceOwnerOnlyAndAuthGuardsTheViews) {
    ASSERT_NO_FATAL_FAILURE(Run(1, {"--auth"}));
    struct stat st {};
    ASSERT_EQ(stat(Path("token").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(token.size(), 64u);
    EXPECT_NE(Slurp(Path("stderr")).find(token), std::string::npos) << "shown at creation";

    Get("/api/slots", 401);
    Get("/api/slots?token=" + token, 401);  // the token by URL is for the change feed only
    Get("/api/records?token=" + token, 401);
    int feedStatus = 0;  // the change feed's headers are enough
    client->Get(("/api/events?token=" + token).c_str(), httplib::Headers{},
                [&](const httplib::Response& r) { return feedStatus = r.status, false; },
                [](const char*, size_t) { return false; });
    EXPECT_EQ(feedStatus, 200) << "the change feed takes ?token=";
    auto header = client->Get("/api/records", {{"Authorization", "Bearer " + token}});
    ASSERT_TRUE(header);
    EXPECT_EQ(header->status, 200);
    auto page = client->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200) << "the page itself asks for the token";
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"),
              std::string::npos);
    EXPECT_EQ(Post("/api/stop-all?token=" + token, "").first, 401) << "no control by URL";
    auto slots = client->Get("/api/slots", {{"Authorization", "Bearer " + token}});
    ASSERT_TRUE(slots);
    EXPECT_EQ(json::parse(slots->body)[0]["running"], true) << "nothing was stopped";

    // A restart keeps the token and does not show it again; SIGTERM ends it cleanly.
    EXPECT_EQ(station.Stop(), 0);
    ASSERT_TRUE(station.Start({"--section", "11", "--image", Path("image.hex"), "--token-file",
                               Path("token"), "--slot", "A=" + sims[0]->link, "--db", "none"},
                              Path("stderr2")));
    EXPECT_EQ(Slurp(Path("token")).substr(0, 64), token);
    EXPECT_EQ(Slurp(Path("stderr2")).find(token), std::string::npos);
}

TEST_F(Station, SettingsComeFromTheFileAndTheCommandLineWins) {
    sims.push_back(std::make_unique<DevSim>(QMB_DEVSIM_PATH));
    sims.push_back(std::make_unique<DevSim>(QMB_DEVSIM_PATH));
    for (auto& sim : sims)
        ASSERT_TRUE(sim->Start({"--no-pacing"}));
    fs::create_directory(Path("etc"));
    std::ofstream(Path("etc/fw.hex")) << kImage;
    std::ofstream(Path("etc/line.conf"))
        << "# station 2 of line 1\n"
           "station = from-file\n"
           "section = 11\n"
           "image = fw.hex   # beside this file\n"
           "lockout = 5\n"
           "operator = op from file\n"
           "batch = B#12   # a # inside a value is kept\n"
           "db = none\n"
           "slot left = " << sims[0]->link << "\n"
           "slot right = " << sims[1]->link << "\n";
    ASSERT_TRUE(station.Start({"--config", Path("etc/line.conf"), "--station", "from-flag"},
                              Path("stderr")))
        << Slurp(Path("stderr"));
    client = std::make_unique<httplib::Client>("127.0.0.1", station.port);
    const json info = Get("/api/info");
    EXPECT_EQ(info["station"], "from-flag");
    EXPECT_EQ(info["lockout"], 5);
    EXPECT_EQ(info["operator"], "op from file");
    EXPECT_EQ(info["batch"], "B#12");
    EXPECT_EQ(info["image_sha256"], kImageSha256);
    const json slots = Get("/api/slots");
    ASSERT_EQ(slots.size(), 2u);
    EXPECT_EQ(slots[1]["name"], "right");
    EXPECT_EQ(slots[1]["port"], sims[1]->link);
    EXPECT_TRUE(fs::exists(Path("etc/station.token"))) << "the token beside the file";

    const struct {
        std::string line;
        std::string says;
    } bad[] = {
        {"colour = red", "line.conf:3: unknown key: colour"},
        {"section = 300", "line.conf:3: section: 1 to 255 expected"},
        {"slot = /dev/x", "line.conf:3: slot NAME = PORT expected"},
        {"slot a/b = /dev/x", "line.conf:3: bad slot name"},
        {"just words", "line.conf:3: key = value expected"},
        {"station = Gr\xfcn", "line.conf:3: not UTF-8 text"},
        {"slot S = " + sims[0]->link + "\noperator = tab\there", "operator holds a control character"},
        {"slot L = " + sims[0]->link + "\nslot R = " + sims[0]->link, "are the same device"},
        // Records carry the slot's own name: one they could not keep is refused
        // before any port opens, not at the first board.
        {"slot left-fixture-nest-1 = " + sims[0]->link,
         "slot left-fixture-nest-1: slot_name is longer than 16 characters"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.line);
        std::ofstream(Path("etc/line.conf")) << "image = fw.hex\ndb = none\n" << b.line << "\nsection = 11\n";
        const int code = RunProgram({QMB_STATION_PATH, "--config", Path("etc/line.conf"), "--listen",
                                     "127.0.0.1:0"},
                                    "", Path("bad.err"));
        EXPECT_EQ(code, 2);
        EXPECT_NE(Slurp(Path("bad.err")).find(b.says), std::string::npos) << Slurp(Path("bad.err"));
    }
    // An argument that is not UTF-8 is refused before anything opens.
    std::ofstream(Path("etc/line.conf")) << "image = fw.hex\ndb = none\nsection = 11\n";
    for (const auto& [option, value] : {std::pair<std::string, std::string>{"--operator", "M\xfcller"},
                                        {"--slot", "A=/dev/tty\xff"}}) {
        const int code = RunProgram({QMB_STATION_PATH, "--config", Path("etc/line.conf"), "--listen",
                                     "127.0.0.1:0", option, value},
                                    "", Path("bad.err"));
        EXPECT_EQ(code, 2) << option;
        EXPECT_EQ(Slurp(Path("bad.err")), "qmb-station: " + option + ": not valid UTF-8\n");
    }
}

TEST_F(Station, OnPostgreSqlThePageShowsEveryStationOfTheLine) {
    const char* url = std::getenv("QMB_TEST_PG_URL");
    if (!url || !*url) GTEST_SKIP() << "no PostgreSQL server (QMB_TEST_PG_URL)";
    setenv("XDG_DATA_HOME", Path("data").c_str(), 1);  // the spool of each station
    const std::string one = "line-a-" + std::to_string(getpid()), two = "line-b-" + std::to_string(getpid());
    ASSERT_NO_FATAL_FAILURE(Run(1, {"--db", url, "--station", one}));
    sims.push_back(std::make_unique<DevSim>(QMB_DEVSIM_PATH));
    ASSERT_TRUE(sims.back()->Start({"--no-pacing", "--ignition-every", "1200"}));
    StationProcess other;
    ASSERT_TRUE(other.Start({"--section", "11", "--image", Path("image.hex"), "--token-file",
                             Path("token2"), "--station", two, "--db", url, "--slot",
                             "A=" + sims.back()->link},
                            Path("stderr-two")))
        << Slurp(Path("stderr-two"));
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(Get("/api/info")["line_view"], true);
    auto both = [&] {
        int seen = 0;
        const json line = Get("/api/line");  // kept: the loop walks a part of it
        for (const auto& s : line["stations"]) {
            const std::string name = s["station"];
            if ((name == one || name == two) && s["passes"].get<int>() >= 1) ++seen;
        }
        return seen == 2;
    };
    const auto start = SteadyClock::now();
    while (!both() && MsSince(start) < 8000)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(both()) << Get("/api/line").dump();
    const json theirs = Get("/api/records?station=" + two);
    ASSERT_FALSE(theirs.empty()) << "the other station's boards, read through this one";
    EXPECT_EQ(theirs[0]["station"], two);
    EXPECT_EQ(other.Stop(), 0);
}

// A recipe as a line runs it on the station: refused in production mode
// until released (before any port opens), then the whole image and a number
// of its own on each board, the pool's level on the page falling to its
// low-water mark and below, and the slot stopping with the reason once the
// pool is empty (the station itself goes on serving).
TEST_F(Station, ARecipeRunsOnceReleasedAndGivesEachBoardANumberTillThePoolIsEmpty) {
    const std::string identity = MakeRecipe(1, "bx.recipe", "product = BX-100\nserial = sn at 2:0 u32be\n");
    ASSERT_EQ(identity.size(), 64u);
    const std::string db = "sqlite:" + Path("line.sqlite");
    ASSERT_EQ(store::OpenRecordStore(db)->CreatePool("sn", 1000, 1004, 1, 3), 5);

    std::vector<std::string> refused = RecipeArgs("bx.recipe", db, {"--listen", "127.0.0.1:0"});
    refused.insert(refused.begin(), QMB_STATION_PATH);
    const std::string before = Counters(sims[0]->Control("status"));
    EXPECT_EQ(RunProgram(refused, "", Path("refused.err")), 16);
    EXPECT_EQ(Slurp(Path("refused.err")),
              "qmb-station: recipe " + identity + " is not released for BX-100 (released: none); "
              "release it with qmb-cli recipe release, or run with --mode engineering\n");
    EXPECT_EQ(Counters(sims[0]->Control("status")), before) << "the device was never asked";
    EXPECT_FALSE(fs::exists(Path("token"))) << "refused before anything was made";

    Cli({"recipe", "release", Path("bx.recipe"), "--db", db, "--by", "anna"});
    ASSERT_TRUE(station.Start(RecipeArgs("bx.recipe", db), Path("stderr"))) << Slurp(Path("stderr"));
    Connect();
    const json info = Get("/api/info");
    EXPECT_EQ(info["recipe"], identity);
    EXPECT_EQ(info["product"], "BX-100");
    EXPECT_EQ(info["mode"], "production");
    EXPECT_EQ(info["sections"], json::parse("[1,2,3,4,11]"));
    EXPECT_EQ(info["pools"], json::parse(R"([{"pool":"sn","remaining":5,"low_water":3,"low":false,"error":""}])"));

    // The level falls as boards take numbers (read again every few seconds),
    // "low" below the mark of 3.
    int last = 5;
    auto fallsTo = [&](int to) {
        return [&last, to](const json& i) {
            const json& p = i["pools"][0];
            const int remaining = p["remaining"];
            EXPECT_LE(remaining, last) << "never rises";
            EXPECT_EQ(p["low"], remaining < 3) << p.dump();
            last = remaining;
            return remaining <= to;
        };
    };
    EXPECT_TRUE(WaitFor("/api/info", 30000, fallsTo(2))) << Get("/api/info").dump();
    ASSERT_TRUE(WaitSlot("A", 60000, [](const json& s) { return !s["running"].get<bool>(); }))
        << Slot("A").dump();
    const json a = Slot("A");
    EXPECT_EQ(a["passed"], 5);
    EXPECT_EQ(a["note"], "stopped: pool sn is empty: no serial number left");
    EXPECT_FALSE(a["locked"].get<bool>()) << "an empty pool is no failure of the slot's boards";
    EXPECT_TRUE(WaitFor("/api/info", 15000, fallsTo(0))) << Get("/api/info").dump();
    EXPECT_NE(sims[0]->Control("dump 2").find("eeprom 000003EC"), std::string::npos)
        << "the last number on the last board: " << sims[0]->Control("dump 2");
    EXPECT_NE(sims[0]->Control("status").find("commits 25 "), std::string::npos)
        << "five sections on each of five boards, none on the board without a number: "
        << sims[0]->Control("status");

    const json records = Get("/api/records?limit=20");
    ASSERT_EQ(records.size(), 6u) << records.dump();
    std::set<std::string> values;
    for (const auto& r : records) {
        SCOPED_TRACE(r.dump());
        EXPECT_EQ(r["recipe_sha256"], identity);
        EXPECT_EQ(r["mode"], "production");
        EXPECT_EQ(r["slot_name"], "A");
        if (r["result"] == "pass") {
            ASSERT_EQ(r["serials"].size(), 1u);
            EXPECT_EQ(r["serials"][0]["state"], "used");
            values.insert(r["serials"][0]["value"].get<std::string>());
        } else {
            EXPECT_EQ(r["failure_code"], "no_serial");
            EXPECT_TRUE(r["serials"].empty());
        }
    }
    EXPECT_EQ(values, (std::set<std::string>{"1000", "1001", "1002", "1003", "1004"}));
    EXPECT_EQ(station.Stop(), 0) << "the station served on";
}

// The release's quota stops every slot with its reason, counted over both;
// engineering mode runs a recipe that is not released and says so; a recipe
// and the station's own image, lockout or DUT id section are refused together.
TEST_F(Station, TheQuotaStopsEverySlotAndEngineeringModeRunsUnreleased) {
    const std::string identity = MakeRecipe(2, "q.recipe", "product = BX-200\n", 400);
    const std::string db = "sqlite:" + Path("line.sqlite");
    Cli({"recipe", "release", Path("q.recipe"), "--db", db, "--quota", "3"});
    ASSERT_TRUE(station.Start(RecipeArgs("q.recipe", db), Path("stderr"))) << Slurp(Path("stderr"));
    Connect();
    for (const char* name : {"A", "B"}) {
        ASSERT_TRUE(WaitSlot(name, 60000, [](const json& s) { return !s["running"].get<bool>(); }))
            << Slot(name).dump();
        const std::string note = Slot(name)["note"];
        EXPECT_EQ(note.rfind("stopped: the release's quota of 3 boards is reached", 0), 0u) << note;
    }
    EXPECT_EQ(Slot("A")["passed"].get<int>() + Slot("B")["passed"].get<int>(), 3);
    EXPECT_EQ(Get("/api/info")["pools"], json::array()) << "a recipe without serial fields";
    EXPECT_EQ(station.Stop(), 0);

    // Another identity, never released: engineering mode runs it.
    MakeRecipe(0, "eng.recipe", "product = BX-200\nlockout = 2\ndut-id-section = 1\n");
    ASSERT_TRUE(station.Start(RecipeArgs("eng.recipe", db, {"--mode", "engineering", "--station", "st-eng"}),
                              Path("stderr")))
        << Slurp(Path("stderr"));
    Connect();
    EXPECT_NE(Slurp(Path("stderr")).find("engineering mode: recipe"), std::string::npos);
    const json info = Get("/api/info");
    EXPECT_EQ(info["mode"], "engineering");
    EXPECT_EQ(info["lockout"], 2);
    EXPECT_EQ(info["dut_id_section"], 1);
    const std::string passes = "/api/records?station=st-eng&result=pass&limit=1";
    ASSERT_TRUE(WaitFor(passes, 30000, [](const json& r) { return r.size() == 1; }));
    const json record = Get(passes)[0];
    EXPECT_EQ(record["mode"], "engineering");
    EXPECT_FALSE(record["dut_id"].is_null()) << "the recipe's DUT id section was read";
    EXPECT_EQ(station.Stop(), 0);

    const struct {
        std::vector<std::string> extra;
        std::string says;
    } bad[] = {
        {{"--section", "11"}, "--recipe gives the image: no --section or --image"},
        {{"--image", Path("image.hex")}, "--recipe gives the image"},
        {{"--lockout", "4"}, "the recipe names the lockout: no --lockout"},
        {{"--dut-id-section", "3"}, "the recipe names the DUT id section: no --dut-id-section"},
        {{"--mode", "fast"}, "--mode"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.says);
        std::vector<std::string> args = RecipeArgs("eng.recipe", db, b.extra);
        args.insert(args.begin(), {QMB_STATION_PATH, "--listen", "127.0.0.1:0"});
        EXPECT_EQ(RunProgram(args, "", Path("bad.err")), 2);
        EXPECT_NE(Slurp(Path("bad.err")).find(b.says), std::string::npos) << Slurp(Path("bad.err"));
    }
}

// Requests handed to the real routes in process (the request fuzz target's
// station): every one of these once ended the station or answered wrong.
// Each answer is a valid JSON line, and a refusal changes nothing.
TEST(StationRequests, HostileRequestsInProcessAreRefusedAndChangeNothing) {
    fuzz::StationWorld world;
    const std::string host = "Host: 127.0.0.1:8080\r\n";
    const std::string bearer = std::string("Authorization: Bearer ") + fuzz::StationWorld::kToken + "\r\n";
    const struct {
        std::string request;
        int status;
        const char* says;  // in the error; "" for an answer that is no error
    } cases[] = {
        // Invalid UTF-8 decoded from the path or the query, echoed into JSON.
        {"GET /%FF HTTP/1.1\r\n" + host + "\r\n", 404, "no such resource"},
        {"GET /api/%C3%28 HTTP/1.1\r\n" + host + "\r\n", 404, "no such resource"},
        {"GET /api/records?%FF=1 HTTP/1.1\r\n" + host + "\r\n", 400, "unknown parameter"},
        {"GET /api/records?station=%FF HTTP/1.1\r\n" + host + "\r\n", 400, "station"},
        {"GET /api/records?dut_id=%ED%A0%80 HTTP/1.1\r\n" + host + "\r\n", 400, "dut_id"},
        {"POST /api/slots/%FF/stop HTTP/1.1\r\n" + host + bearer + "Content-Length: 0\r\n\r\n", 404,
         "no such slot"},
        {"POST /api/slots/%C3%BC/stop HTTP/1.1\r\n" + host + bearer + "Content-Length: 0\r\n\r\n", 404,
         "no such slot"},
        // Names that only begin like this machine, or another port.
        {"GET /api/slots HTTP/1.1\r\nHost: 127.0.0.1.rebind.example\r\n\r\n", 400, "Host"},
        {"GET /api/slots HTTP/1.1\r\nHost: 127.0.0.1.nip.io:8080\r\n\r\n", 400, "Host"},
        {"GET /api/slots HTTP/1.1\r\nHost: 127.0.0.1:8081\r\n\r\n", 400, "Host"},
        {"GET /api/slots HTTP/1.1\r\nHost: localhost.example\r\n\r\n", 400, "Host"},
        {"GET /api/slots HTTP/1.1\r\n\r\n", 400, "Host"},
        {"GET /api/slots HTTP/1.1\r\n" + host + "Host: evil.example\r\n\r\n", 400, "Host"},
        // The token by URL is taken by the change feed alone.
        {"GET /api/slots?token=" + std::string(fuzz::StationWorld::kToken) + " HTTP/1.1\r\n" + host +
             "\r\n",
         400, "no parameters"},
        {"POST /api/stop-all?token=" + std::string(fuzz::StationWorld::kToken) + " HTTP/1.1\r\n" + host +
             "Content-Length: 0\r\n\r\n",
         401, "token"},
        {"POST /api/stop-all HTTP/1.1\r\n" + host + "Authorization: Bearer \xff\xfe\r\nContent-Length: 0\r\n\r\n",
         401, "wrong token"},
        {"POST /api/stop-all HTTP/1.1\r\n" + host + bearer + "Content-Length: 1\r\n\r\n\xff", 400,
         "no body"},
        {"GET /api/records?since=2026-12-09T07:40:00Z%FF HTTP/1.1\r\n" + host + "\r\n", 400, "since"},
        {"GET /api/records?slot=%00 HTTP/1.1\r\n" + host + "\r\n", 400, "slot"},
        // Times the system clock cannot hold (found by the request fuzz
        // target: an overflow converting them).
        {"GET /api/records?since=2026-12-09&until=1013-12-10T07:40:00Z HTTP/1.1\r\n" + host + "\r\n", 400,
         "until"},
        {"GET /api/stats?since=9999-12-31 HTTP/1.1\r\n" + host + "\r\n", 400, "since"},
        {"GET /api/line?until=0000-01-01 HTTP/1.1\r\n" + host + "\r\n", 400, "until"},
        {"GET /api/slots HTTP/1.1\r\n" + host + "\r\n", 200, ""},
        {"GET /api/info HTTP/1.1\r\nHost: LOCALHOST\r\n\r\n", 200, ""},
        {"GET /api/records HTTP/1.1\r\nHost: [::1]:8080\r\n\r\n", 200, ""},
    };
    const std::string before = world.Snapshot();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        const std::string answer = world.Handle(c.request);
        ASSERT_EQ(fuzz::StatusOf(answer), c.status) << answer;
        const std::string body = fuzz::BodyOf(answer);
        ASSERT_TRUE(json::accept(body)) << body;
        EXPECT_EQ(std::count(body.begin(), body.end(), '\n'), 1) << "one line";
        if (*c.says) {
            EXPECT_NE(json::parse(body)["error"].get<std::string>().find(c.says), std::string::npos) << body;
        }
        EXPECT_EQ(world.Snapshot(), before) << "nothing changed";
    }
}

TEST(StationRequests, OnlyAnExactLoopbackHostIsThisMachine) {
    const struct {
        const char* host;
        bool own;
    } cases[] = {
        {"127.0.0.1", true},          {"127.0.0.1:8080", true},     {"127.1.2.3:8080", true},
        {"127.255.255.255", true},    {"localhost:8080", true},     {"LocalHost", true},
        {"[::1]", true},              {"[::1]:8080", true},         {"127.0.0.1:80", false},
        {"127.0.0.1:", false},        {"127.0.0.1:08080x", false},  {"127.0.0.1.nip.io", false},
        {"127.0.0.1.rebind.example", false}, {"127.0.0.1.", false}, {"127.0.0", false},
        {"127.0.0.256", false},       {"127.0.0.1.1", false},       {"0127.0.0.1", false},
        {"127.0.0.-1", false},        {"127..0.1", false},          {"localhost.", false},
        {"localhost.example", false}, {"[::1]x", false},            {"[::2]", false},
        {"[::1", false},              {"", false},                  {"evil.example:8080", false},
        {"127.0.0.1 :8080", false},   {"[::1]:8081", false},        {"127.0.0.1:99999999999999", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(station::IsOwnHost(c.host, 8080), c.own) << c.host;
}

// The settings as text: what a comment is, what is refused, and a refused
// file leaves the settings as they were.
TEST(StationSettings, CommentsValuesAndRefusalsOfTheFile) {
    const struct {
        std::string text;
        std::string station, db;  // what is read; "" on a refusal
        std::string says;         // the reason of a refusal
    } cases[] = {
        {"station = st#2\ndb = postgresql://u:pa#ss@h/qmb\n", "st#2", "postgresql://u:pa#ss@h/qmb", ""},
        {"# a whole line\n  # indented\nstation = a # a note\ndb = none\t# tab\n", "a", "none", ""},
        {"station = a#b #c#\n", "a#b", "", ""},
        {"station = Gr\xc3\xbcn\n", "Gr\xc3\xbcn", "", ""},
        {"db = none\nstation = Gr\xfcn\n", "", "", "line.conf:2: not UTF-8 text"},
        {"station = x\n\xc0\xaf = 1\n", "", "", "line.conf:2: not UTF-8 text"},
        {"station = \xed\xa0\x80\n", "", "", "line.conf:1: not UTF-8 text"},
        {"station = x\nsection = 11\nlockout = 0\n", "", "", "line.conf:3: lockout"},
        {"st\x01tion = x\n", "", "", "line.conf:1: unknown key"},
        {"station = x\nrecipe = bx.recipe\nmode = Production\n", "", "", "line.conf:3: mode: production or engineering"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        station::StationConfig config;
        config.station = "kept";
        std::istringstream in(c.text);
        if (c.says.empty()) {
            ASSERT_NO_THROW(station::ReadConfigText(in, "line.conf", "", config));
            EXPECT_EQ(config.station, c.station);
            EXPECT_EQ(config.db, c.db);
            continue;
        }
        try {
            station::ReadConfigText(in, "line.conf", "", config);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.says, 0), 0u) << e.what();
        }
        EXPECT_EQ(config.station, "kept") << "a refused file changes nothing";
        EXPECT_EQ(config.section, 0);
    }
    // A recipe is taken from the file's folder, as the image is.
    station::StationConfig config;
    std::istringstream in("recipe = bx.recipe\nmode = engineering\nlockout = 4\n");
    station::ReadConfigText(in, "line.conf", "/etc/qmb", config);
    EXPECT_EQ(config.recipe, "/etc/qmb/bx.recipe");
    EXPECT_EQ(config.mode, "engineering");
    EXPECT_TRUE(config.lockoutSet) << "a recipe's lockout must not meet it";
}

// The pools' levels as the page gets them, over a real pool: read at most
// once per interval however often asked, low below the mark, and a pool
// that cannot be read says why.
TEST(StationPools, LevelsAreReadAtMostOncePerIntervalAndSayLowAndWhy) {
    store::MemoryStore store;
    ASSERT_EQ(store.CreatePool("sn", 1, 4, 1, 3), 4);
    const auto source = production::MakeSerialSource(store, "st", "run-1");
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    station::PoolLevels levels(source.get(), {"sn", "gone"}, std::chrono::seconds(3),
                               [&now] { return now; });
    json l = levels.Json();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0], json::parse(R"({"pool":"sn","remaining":4,"low_water":3,"low":false,"error":""})"));
    EXPECT_TRUE(l[1]["remaining"].is_null());
    EXPECT_NE(l[1]["error"].get<std::string>().find("gone"), std::string::npos) << l[1].dump();

    source->Reserve("sn", "A");
    source->Reserve("sn", "A");
    now += std::chrono::milliseconds(2999);
    EXPECT_EQ(levels.Json()[0]["remaining"], 4) << "not read again within the interval";
    now += std::chrono::milliseconds(1);
    l = levels.Json();
    EXPECT_EQ(l[0]["remaining"], 2);
    EXPECT_EQ(l[0]["low"], true);

    station::PoolLevels none(nullptr, {});
    EXPECT_EQ(none.Json(), json::array());
}

TEST(StationToken, AFailedWriteNamesItsOwnCauseAndLeavesNoFile) {
    char dir[] = "/tmp/qmb-token-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/station.token";
    bool created = false;
    // No file may grow: the write fails (EFBIG), the close and the removal
    // after it succeed and must not hide that.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit none = old;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_FSIZE, &none);
    std::string why;
    try {
        station::LoadOrCreateToken(path, created);
    } catch (const std::runtime_error& e) {
        why = e.what();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(why, "cannot write token file " + path + ": " + std::strerror(EFBIG));
    EXPECT_FALSE(fs::exists(path)) << "no half-written token";
    EXPECT_FALSE(created);

    why.clear();
    try {
        station::LoadOrCreateToken(std::string(dir) + "/no/such/folder/t", created);
    } catch (const std::runtime_error& e) {
        why = e.what();
    }
    EXPECT_NE(why.find(std::strerror(ENOENT)), std::string::npos) << why;
    const std::string token = station::LoadOrCreateToken(path, created);
    EXPECT_TRUE(created);
    EXPECT_EQ(station::LoadOrCreateToken(path, created), token);
    EXPECT_FALSE(created);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace qmb::test
