// qmb-station as a fixture runs it: the executable on qmb-devsim slots,
// judged through its HTTP API (and the change feed) and by what the devices
// hold.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DevSim.h"

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

    const json slots = Get("/api/slots");
    const json stats = Get("/api/stats");
    EXPECT_EQ(stats["passes"], slots[0]["passed"].get<int>() + slots[1]["passed"].get<int>());
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

TEST_F(Station, TokenIsMadeOnceOwnerOnlyAndAuthGuardsTheViews) {
    ASSERT_NO_FATAL_FAILURE(Run(1, {"--auth"}));
    struct stat st {};
    ASSERT_EQ(stat(Path("token").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(token.size(), 64u);
    EXPECT_NE(Slurp(Path("stderr")).find(token), std::string::npos) << "shown at creation";

    Get("/api/slots", 401);
    Get("/api/slots?token=" + token, 200);
    auto header = client->Get("/api/records", {{"Authorization", "Bearer " + token}});
    ASSERT_TRUE(header);
    EXPECT_EQ(header->status, 200);
    auto page = client->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200) << "the page itself asks for the token";
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"),
              std::string::npos);
    EXPECT_EQ(Post("/api/stop-all?token=" + token, "").first, 401) << "no control by URL";
    EXPECT_EQ(Get("/api/slots?token=" + token)[0]["running"], true) << "nothing was stopped";

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
        {"slot S = " + sims[0]->link + "\noperator = tab\there", "operator holds a control character"},
        {"slot L = " + sims[0]->link + "\nslot R = " + sims[0]->link, "are the same device"},
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

}  // namespace
}  // namespace qmb::test
