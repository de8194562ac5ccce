// qmb-cli as its users run it: the executable against qmb-devsim on a
// pseudo-terminal, judged by its exit code, standard output, standard error,
// the files it leaves and what the device saw.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <algorithm>
#include <map>
#include <set>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DevSim.h"
#include "SilentServer.h"
#include "platform/AtomicFile.h"
#include "store/RecordStore.h"
#include "link/PosixPort.h"

namespace qmb::test {
namespace {

namespace fs = std::filesystem;

struct CliRun {
    int code = -1;
    std::string out, err;
    double ms = 0;
};

std::string Slurp(const std::string& path) {
    std::string bytes;
    ReadWholeFile(path, bytes, nullptr);
    return bytes;
}

// A simulator's counters (requests, commits, handshakes, ...), without the
// ignition state, which its timer changes.
// Polls until ready() holds; false after the limit (sized for sanitizers
// on a busy machine; a quiet one passes at once).
bool WaitFor(const std::function<bool()>& ready, std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string Counters(const std::string& status) {
    return status.substr(0, status.find(" ignition "));
}

// No temporary ("PATH.partial-...") is left beside path.
bool NoTemporaryBeside(const std::string& path) {
    const fs::path p(path);
    for (const auto& entry : fs::directory_iterator(p.parent_path())) {
        if (entry.path().filename().string().rfind(p.filename().string() + ".partial", 0) == 0)
            return false;
    }
    return true;
}

bool ParseUtc(const nlohmann::json& text, std::chrono::system_clock::time_point& t) {
    std::tm tm{};
    int ms = 0;
    if (!text.is_string() ||
        std::sscanf(text.get<std::string>().c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year,
                    &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7)
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    t = std::chrono::system_clock::from_time_t(timegm(&tm)) + std::chrono::milliseconds(ms);
    return true;
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/qmb-cli-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        setenv("SOURCE_DATE_EPOCH", "1765000000", 1);
        setenv("XDG_DATA_HOME", dir_.c_str(), 1);  // the loop's default records
    }
    void TearDown() override {
        sim.Stop();
        fs::remove_all(dir_);
        unsetenv("SOURCE_DATE_EPOCH");
        unsetenv("XDG_DATA_HOME");
    }
    void StartSim(std::vector<std::string> extra = {"--no-pacing"}) {
        ASSERT_TRUE(sim.Start(extra)) << "qmb-devsim did not start";
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    // Runs qmb-cli -p <simulator> args...; SIGINT after interruptMs if >= 0.
    CliRun Run(std::vector<std::string> args, int interruptMs = -1, std::string out = "",
               int signal = SIGINT) {
        args.insert(args.begin(), {QMB_CLI_PATH, "-p", sim.link});
        if (out.empty()) out = Path("stdout");
        const std::string err = Path("stderr");
        const auto start = std::chrono::steady_clock::now();
        CliRun r;
        r.code = RunProgram(args, out, err, interruptMs, signal);
        r.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                   .count();
        r.out = out == "/dev/full" ? "" : Slurp(out);
        r.err = Slurp(err);
        return r;
    }
    size_t Count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }
    std::string Status() { return sim.Control("status"); }
    // The records of a station, as `records --format json` lists them.
    std::vector<nlohmann::json> Records(const std::string& db, const std::string& station) {
        const std::string out = Path("records.json");
        EXPECT_EQ(RunProgram({QMB_CLI_PATH, "records", "--db", db, "--station", station,
                              "--format", "json"},
                             out, ""),
                  0);
        return nlohmann::json::parse(Slurp(out)).get<std::vector<nlohmann::json>>();
    }

    DevSim sim{QMB_DEVSIM_PATH};
    std::string dir_;
};

TEST_F(Cli, BackupVerifyRestoreAndBackupAgainGiveTheSameFile) {
    StartSim();
    const std::string first = Path("first.qmb"), second = Path("second.qmb");
    CliRun r = Run({"backup", first});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string image = Slurp(first);
    EXPECT_NE(image.find("\nsections 126\n"), std::string::npos) << "1-4, 6-127 of the defaults";
    EXPECT_NE(image.find("\nsection 11\naddress 11 22 33\nlength 8\ndata A0 A1 A2 A3 A4 A5 A6 A7\n"),
              std::string::npos);
    EXPECT_EQ(image.find("\nsection 5\n"), std::string::npos) << "absent sections are not saved";
    EXPECT_NE(image.find("\nabsent 5,128-255\n"), std::string::npos) << "but recorded as absent";

    ASSERT_TRUE(sim.ControlOk("set 11 A0 A1 FF A3 A4 A5 A6 00"));
    ASSERT_TRUE(sim.ControlOk("set 2 02 03 04 05 06 55 08 09 0A 0B 0C 0D 0E 0F 10 11"));
    r = Run({"verify", first});
    EXPECT_EQ(r.code, 10) << r.err;
    EXPECT_EQ(r.out,
              "section 2 offset 5: expected 07, actual 55\n"
              "section 11 offset 2: expected A2, actual FF\n"
              "section 11 offset 7: expected A7, actual 00\n");
    EXPECT_NE(r.err.find("2 of 255 sections differ (2 11)"), std::string::npos)
        << "the 129 recorded absent are checked too: " << r.err;

    r = Run({"restore", first});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "restored: 1-4 6-127\nnot restored: none\n");
    EXPECT_NE(Status().find("commits 126"), std::string::npos) << "each section committed";
    ASSERT_EQ(Run({"backup", second}).code, 0);
    EXPECT_EQ(Slurp(second), image);
    EXPECT_TRUE(NoTemporaryBeside(first) && NoTemporaryBeside(second));
}

TEST_F(Cli, RestoreRefusesALengthDifferenceBeforeWritingAnything) {
    StartSim();
    const std::string file = Path("b.qmb"), trace = Path("trace");
    ASSERT_EQ(Run({"backup", file, "--sections", "1-12"}).code, 0);
    ASSERT_TRUE(sim.ControlOk("set 7 01 02 03"));  // section 7: 32 bytes -> 3
    CliRun r = Run({"restore", file, "--trace=" + trace});
    EXPECT_EQ(r.code, 9);
    EXPECT_NE(r.err.find("section 7: the device says length 3, the file 32"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("nothing was written"), std::string::npos) << r.err;
    const std::string frames = Slurp(trace);
    EXPECT_EQ(Count(frames, " tx info "), 11u) << "every section checked first";
    EXPECT_EQ(Count(frames, " tx write ") + Count(frames, " tx commit "), 0u) << frames;
    EXPECT_NE(Status().find("commits 0"), std::string::npos);
    // Restoring only sections that fit goes ahead; --force never covers a length.
    EXPECT_EQ(Run({"restore", file, "--sections", "1-4,6,8-12", "-q"}).code, 0);
    EXPECT_EQ(Run({"restore", file, "--sections", "7", "--force"}).code, 9);
}

TEST_F(Cli, EveryFailureEndsWithTheExitCodeOfItsCause) {
    StartSim();
    PosixPort holder;
    const struct {
        const char* fault;  // simulator control line, or "" for none
        std::vector<std::string> args;
        int code;
        const char* says;
        bool asksNothing;  // not even a query reaches the device
    } cases[] = {
        {"", {"read", "0"}, 2, "Wrong section ID. Must be 1..255", true},
        {"", {"backup", "x", "--sections", "3-1"}, 2, "bad section list", true},
        {"", {"write", "11", "--hex", "A0 G1"}, 9, "Wrong data", true},
        {"", {"write", "11", "--hex", "A0 A1"}, 9, "Incorrect data size for selected section", false},
        {"", {"read", "5"}, 9, "section 5 is absent", false},
        {"fault corrupt 20 on read count 3", {"read", "11"}, 8, "bad checksum reply after 3 attempts", false},
        {"fault silent on info count 3", {"info", "11"}, 7, "no reply after 3 attempts", false},
        {"fault miswrite 3", {"write", "11", "--hex", "10 11 12 13 14 15 16 17"}, 10,
         "1 of 8 bytes of section 11 differ", false},
        {"hold", {"info", "11"}, 4, "Port is busy", true},
        {"", {"loop", "11", "/dev/null", "--operator", "a\tb"}, 2, "control character", true},
        // Text that is not UTF-8 is refused at the door, naming where it was.
        {"", {"loop", "11", "/dev/null", "--operator", "M\xfcller", "--log", "x"}, 2,
         "--operator: not valid UTF-8", true},
        {"", {"loop", "11", "/dev/null", "--batch=W\xe9"}, 2, "--batch: not valid UTF-8", true},
        {"", {"backup", "caf\xe9.qmb"}, 2, "FILE: not valid UTF-8", true},
        {"", {"records", "--db", "sqlite:/dev/null/x"}, 13, "records: ", true},
        {"", {"serial", "create", "sn", "--first", "5", "--last", "1", "--db", "sqlite:" + Path("p.sqlite")},
         2, "last 1 is below first 5", true},
        {"", {"serial", "import", "sn", "/dev/null", "--db", "sqlite:" + Path("p.sqlite")}, 2,
         "/dev/null: the file holds no value (nothing imported)", true},
        {"", {"serial", "ledger", "none", "--db", "sqlite:" + Path("p.sqlite")}, 2,
         "there is no serial pool none", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const std::string before = Status();
        if (std::string(c.fault) == "hold") {
            ASSERT_TRUE(holder.Open(sim.link.c_str()));
        } else if (*c.fault) {
            ASSERT_TRUE(sim.ControlOk(std::string("fault ") + (c.fault + 6)));
        }
        const CliRun r = Run(c.args);
        holder.Close();
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(Count(r.err, "\n"), 1u) << "one line: " << r.err;
        if (c.asksNothing) {
            EXPECT_EQ(Status(), before) << "the device was asked";
        } else if (c.code != 10) {
            EXPECT_NE(Status().find("commits 0"), std::string::npos) << "nothing written";
        }
    }
    const std::string dump = sim.Control("dump 11");
    EXPECT_NE(dump.find("eeprom 101112EC1415"), std::string::npos) << dump;
    const CliRun missing = [&] {
        std::string link = sim.link;
        sim.link = Path("no-such-tty");
        CliRun r = Run({"info", "11"});
        sim.link = link;
        return r;
    }();
    EXPECT_EQ(missing.code, 3);
    EXPECT_NE(missing.err.find("plugged in"), std::string::npos) << missing.err;
    const CliRun full = Run({"read", "11"}, -1, "/dev/full");
    EXPECT_EQ(full.code, 12) << "data that never reached stdout is no success";
    EXPECT_NE(full.err.find("cannot write standard output"), std::string::npos) << full.err;
}

TEST_F(Cli, CtrlCDuringABackupLeavesNoFileAndReleasesThePort) {
    StartSim({"--latency", "20"});  // about 10 s for a whole backup
    const std::string file = Path("b.qmb");
    const CliRun r = Run({"backup", file}, 700);
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_LT(r.ms, 700 + 1500) << "stopped at the next transfer";
    EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(NoTemporaryBeside(file));
    // The reply to the abandoned request may still be on its way; once it is
    // on the line, the next program's purge at open takes it, and the port
    // must be free and answering at once.
    EXPECT_TRUE(WaitFor([&] { return Status().find(" sending 0") != std::string::npos; }))
        << Status();
    const CliRun again = Run({"info", "11"});
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_LT(again.ms, 1000);
}

TEST_F(Cli, AHangUpDuringARestoreNamesWhatWasRestored) {
    StartSim();
    const std::string file = Path("b.qmb");
    ASSERT_EQ(Run({"backup", file, "--sections", "1-4,11"}).code, 0);
    ASSERT_TRUE(sim.ControlOk("fault hangup 5 on write skip 2"));
    const CliRun r = Run({"restore", file});
    EXPECT_EQ(r.code, 11) << r.err;
    EXPECT_EQ(r.out, "restored: 1-2\nnot restored: 3-4 11\n");
    EXPECT_NE(r.err.find("went away"), std::string::npos) << r.err;
    EXPECT_LT(r.ms, 5000) << "no hang, no endless retries";
}

// diff and patch: the patch between two contents, checked byte by byte on
// the device before anything is written, then only its changed sections
// written; refusals touch nothing.
TEST_F(Cli, DiffMakesThePatchThatPatchChecksThenWritesOnlyWhereBytesChange) {
    StartSim();
    const std::string before = Path("before.qmb"), after = Path("after.qmb"),
                      patch = Path("p.patch"), trace = Path("trace");
    ASSERT_EQ(Run({"backup", before}).code, 0);
    ASSERT_TRUE(sim.ControlOk("set 11 A0 A1 00 01 A4 A5 A6 A7"));
    ASSERT_EQ(Run({"backup", after}).code, 0);
    CliRun r = Run({"diff", after, before}, -1, patch);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(Slurp(patch).find("\nqmb-patch 1\nsection 11 offset 2 old 00 01 new A2 A3\n"),
              std::string::npos) << Slurp(patch);
    r = Run({"diff", "device", before});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, Slurp(patch)) << "the device reads as its backup does";

    r = Run({"patch", patch, "--dry-run"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "would write: 11\n");
    EXPECT_NE(Status().find("commits 0"), std::string::npos);
    r = Run({"patch", patch, "--trace=" + trace});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "written: 11\nnot written: none\n");
    std::string frames = Slurp(trace);
    EXPECT_EQ(Count(frames, " tx write "), 1u) << frames;
    EXPECT_EQ(Count(frames, " tx commit "), 1u);
    EXPECT_NE(sim.Control("dump 11").find("eeprom A0A1A2A3A4A5A6A7"), std::string::npos);
    r = Run({"diff", "device", before});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find("\nsection "), std::string::npos) << "no change left: " << r.out;

    // Applied again, its old bytes no longer fit: every one listed, nothing sent.
    const std::string again = Path("trace2");
    r = Run({"patch", patch, "--trace=" + again});
    EXPECT_EQ(r.code, 10) << r.err;
    EXPECT_EQ(r.out,
              "section 11 offset 2: the patch says 00, the device holds A2\n"
              "section 11 offset 3: the patch says 01, the device holds A3\n");
    EXPECT_NE(r.err.find("patch refused, nothing was written"), std::string::npos) << r.err;
    frames = Slurp(again);
    EXPECT_EQ(Count(frames, " tx write ") + Count(frames, " tx commit "), 0u) << frames;

    // A file that is no patch is refused before the device is asked; a
    // difference of layout is named and never hidden in a success.
    const std::string status = Status();
    ASSERT_TRUE(WriteFileAtomically(Path("bad.patch"), "qmb-patch 1\nsection 11 offset 9 old 00\n",
                                    false, nullptr));
    r = Run({"patch", Path("bad.patch")});
    EXPECT_EQ(r.code, 9);
    EXPECT_NE(r.err.find("bad.patch: line 2: expected"), std::string::npos) << r.err;
    EXPECT_EQ(Status(), status) << "the device was asked";
    EXPECT_EQ(Run({"diff", "device", "device"}).code, 2);
    EXPECT_EQ(Run({"diff", before, Path("none.qmb")}).code, 12);
    ASSERT_TRUE(sim.ControlOk("set 7 01 02 03"));
    r = Run({"diff", before, "device"});
    EXPECT_EQ(r.code, 9) << r.err;
    EXPECT_NE(r.err.find("section 7: length 32 against 3"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("# section 7: length 32 against 3 (not in the patch)"), std::string::npos);
}

TEST_F(Cli, JsonResultsParseAndTheTraceShowsTheBadAttemptAndTheGoodOne) {
    StartSim();
    const std::string trace = Path("trace");
    ASSERT_TRUE(sim.ControlOk("fault corrupt 20 on read"));
    CliRun r = Run({"--json", "read", "11", "--trace", trace});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto result = nlohmann::json::parse(r.out);
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(result["hex"], "A0 A1 A2 A3 A4 A5 A6 A7");
    EXPECT_EQ(result["address"], "11 22 33");
    EXPECT_EQ(result["length"], 8);
    const std::string frames = Slurp(trace);
    EXPECT_NE(frames.find(" rx read     1/3 25/25 bad checksum  AA 03 00 14"), std::string::npos)
        << frames;
    EXPECT_NE(frames.find(" rx read     2/3 25/25 sound  AA 03 00 14"), std::string::npos);
    EXPECT_EQ(Count(frames, " tx read "), 2u);

    r = Run({"--json", "write", "11", "--hex", "A0"});
    const auto failure = nlohmann::json::parse(r.out);
    EXPECT_EQ(failure["ok"], false);
    EXPECT_EQ(failure["exit_code"], 9);
    EXPECT_EQ(failure["result"], "data");
    EXPECT_EQ(r.code, 9);

    // The port map: a name written once, then used by -p (and the windows).
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    EXPECT_EQ(Run({"ports", "--map", "COM12", sim.link}).code, 0);
    EXPECT_EQ(Run({"-p", "COM12", "info", "11"}).out, "section 11 address 11 22 33 length 8\n");
    const auto ports = nlohmann::json::parse(Run({"--json", "ports"}).out);
    EXPECT_EQ(ports["com"][4]["name"], "COM12");
    EXPECT_EQ(ports["com"][4]["source"], "port map");
    EXPECT_EQ(Run({"ports", "--map", "COM0", "/dev/x"}).code, 2);
    // Only COM1 to COM4 have variables: COM5 comes from the map, whatever QMB_COM5 says.
    setenv("QMB_COM5", "/dev/null", 1);
    EXPECT_EQ(Run({"ports", "--map", "COM5", sim.link}).code, 0);
    nlohmann::json five;
    const auto listed = nlohmann::json::parse(Run({"--json", "ports"}).out);
    for (const auto& com : listed["com"])
        if (com["name"] == "COM5") five = com;
    EXPECT_EQ(five["source"], "port map");
    EXPECT_EQ(five["device"], sim.link);
    unsetenv("QMB_COM5");
    const std::string table = Run({"ports"}).out;
    EXPECT_EQ(table.rfind("NAME", 0), 0u) << table;
    EXPECT_NE(table.find("DEVICE"), std::string::npos) << "both tables have headers: " << table;
    EXPECT_EQ(table.find("serial serial"), std::string::npos) << table;
    unsetenv("XDG_CONFIG_HOME");
}

// A pool from nothing, as a line engineer makes one, and a board that got
// one of its values found by it.
TEST_F(Cli, SerialPoolsAreMadeShownAndTheirBoardsFound) {
    StartSim();
    const std::string db = "sqlite:" + Path("line.sqlite");
    EXPECT_EQ(Run({"serial", "create", "sn", "--first", "1000", "--last", "1009", "--low", "3", "--db", db}).code, 0);
    std::ofstream(Path("macs.txt")) << "# block 7\n00:1A:2B:3C:4D:5E\n00:1A:2B:3C:4D:5F\n";
    EXPECT_EQ(Run({"serial", "import", "mac", Path("macs.txt"), "--db", db}).code, 0);
    const CliRun again = Run({"serial", "import", "mac", Path("macs.txt"), "--db", db});
    EXPECT_EQ(again.code, 2);
    EXPECT_NE(again.err.find("00:1A:2B:3C:4D:5E is in the pool already"), std::string::npos) << again.err;
    const auto shown = nlohmann::json::parse(Run({"--json", "serial", "show", "--db", db}).out);
    ASSERT_EQ(shown["pools"].size(), 2u);
    EXPECT_EQ(shown["pools"][1]["pool"], "sn");
    EXPECT_EQ(shown["pools"][1]["free"], 10);
    EXPECT_EQ(shown["pools"][0]["free"], 2);

    // A board of slot B that got 1000 (the loop's record, brought in by import).
    nlohmann::json board = {
        {"id", "6f1c2d3e-4b5a-4c6d-8e7f-0a1b2c3d4e5f"}, {"station", "st-1"}, {"slot", 1},
        {"port", "COM2"}, {"device", "/dev/ttyUSB1"}, {"operator", "ana"}, {"batch", ""},
        {"mode", "production"}, {"board", 1}, {"section", 11}, {"image_sha256", std::string(64, 'a')},
        {"image_length", 8}, {"tool_version", "1.1.0"}, {"started_at", "2026-12-09T07:00:00.000Z"},
        {"ended_at", "2026-12-09T07:00:03.000Z"}, {"duration_ms", 3000}, {"status", "complete"},
        {"result", "pass"}, {"failure_code", nullptr}, {"failure_phase", nullptr}, {"retries", 0},
        {"dut_id", nullptr}, {"reason", ""}, {"slot_name", "B"}, {"recipe_sha256", std::string(64, 'b')},
        {"serials", {{{"pool", "sn"}, {"value", "1000"}, {"state", "used"}}}}};
    std::ofstream(Path("board.jsonl")) << board.dump() << "\n";
    EXPECT_EQ(Run({"records", "import", Path("board.jsonl"), "--db", db}).code, 0);
    for (const std::vector<std::string>& filter :
         {std::vector<std::string>{"--serial", "1000"}, {"--slot", "B"}, {"--slot", "1"}}) {
        std::vector<std::string> args{"records", "--db", db, "--format", "json"};
        args.insert(args.end(), filter.begin(), filter.end());
        const auto found = nlohmann::json::parse(Run(args).out);
        ASSERT_EQ(found.size(), 1u) << filter[0];
        EXPECT_EQ(found[0], board);
    }
    EXPECT_EQ(nlohmann::json::parse(Run({"records", "--db", db, "--format", "json", "--serial", "1001"}).out).size(), 0u);
    const std::string ledger = Run({"serial", "ledger", "sn", "--db", db, "--format", "csv"}).out;
    EXPECT_EQ(ledger, "value,state,record,station,slot,run,reserved_at,ended_at\r\n"
                      "1000,used,6f1c2d3e-4b5a-4c6d-8e7f-0a1b2c3d4e5f,st-1,B,,,2026-12-09T07:00:03.000Z\r\n");
}

TEST_F(Cli, LoopProgramsThreeBoardsAndLogsEach) {
    StartSim({"--no-pacing", "--ignition-every", "1500"});
    const std::string data = Path("data.hex"), log = Path("boards.log");
    std::ofstream(data) << "C0 C1 C2 C3 C4 C5 C6 C7\n";
    const CliRun r = Run({"loop", "11", data, "--count", "3", "--log", log});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "passed 3, failed 0\n");
    EXPECT_NE(r.err.find("passed 3, failed 0"), std::string::npos);
    std::istringstream lines(Slurp(log));
    std::string line;
    int boards = 0;
    while (std::getline(lines, line)) {
        const auto board = nlohmann::json::parse(line);
        ++boards;
        EXPECT_EQ(board["board"], boards);
        EXPECT_EQ(board["pass"], true);
        EXPECT_EQ(board["section"], 11);
        EXPECT_GE(board["duration_s"].get<double>(), 0.99) << "the 1 s pause before each write";
    }
    EXPECT_EQ(boards, 3);
    EXPECT_NE(Status().find("handshakes 3"), std::string::npos);
    EXPECT_NE(sim.Control("dump 11").find("eeprom C0C1C2C3C4C5C6C7"), std::string::npos);

    // A log that cannot be written (a full disk) stops the loop after the
    // board it could not log.
    CliRun full = Run({"loop", "11", data, "--count", "3", "--log", "/dev/full"});
    EXPECT_EQ(full.code, 12) << full.err;
    EXPECT_NE(full.err.find("cannot write the log /dev/full"), std::string::npos) << full.err;
    EXPECT_NE(Status().find("handshakes 4"), std::string::npos) << "one board more, not three";

    // A DUT id read from an absent section, and a write to one: each failure
    // is recorded with its own code and phase.
    const std::string absentLog = Path("absent.log");
    for (const auto& args : {std::vector<std::string>{"loop", "11", data, "--dut-id-section", "5"},
                             std::vector<std::string>{"loop", "5", data}}) {
        std::vector<std::string> run = args;
        run.insert(run.end(), {"--count", "1", "--log", absentLog});
        EXPECT_EQ(Run(run).code, 9);
    }
    std::istringstream failed(Slurp(absentLog));
    for (const char* phase : {"dut-id", "write"}) {
        ASSERT_TRUE(std::getline(failed, line));
        const auto board = nlohmann::json::parse(line);
        EXPECT_EQ(board["failure_code"], "absent") << line;
        EXPECT_EQ(board["failure_phase"], phase) << line;
    }
}

// What a user tripped on: each case one line of the tool as it is run.
TEST_F(Cli, OperatorsAreNeitherSurprisedNorLeftWithoutTheirBackups) {
    StartSim();
    const std::string file = Path("b.qmb"), partial = file + ".partial-0000000000000000-1";
    ASSERT_EQ(Run({"backup", file, "--sections", "1-4,11"}).code, 0);
    const std::string first = Slurp(file);
    // Another backup's temporary beside it is never touched.
    std::ofstream(partial) << "another process is writing this";
    CliRun r = Run({"backup", file, "--sections", "11"});
    EXPECT_EQ(r.code, 12) << "an existing backup is never replaced silently";
    EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(file), first);
    r = Run({"backup", file, "--sections", "11", "--force"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("backup: 1 section (11), 8 bytes"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(partial), "another process is writing this");
    // A range takes what the file holds (5 was absent); a single number must be in it.
    ASSERT_EQ(Run({"backup", Path("all.qmb"), "--sections", "1-20"}).code, 0);
    EXPECT_EQ(Run({"verify", Path("all.qmb"), "--sections", "1-20", "-q"}).code, 0);
    EXPECT_EQ(Run({"verify", Path("all.qmb"), "--sections", "5"}).code, 0) << "still absent";
    r = Run({"verify", file, "--sections", "12"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("holds no section 12"), std::string::npos) << r.err;
    // A section that appears where the backup recorded none is a layout difference.
    ASSERT_TRUE(sim.ControlOk("set 5 01 02"));
    r = Run({"verify", Path("all.qmb"), "--sections", "1-20"});
    EXPECT_EQ(r.code, 10);
    EXPECT_EQ(r.out, "section 5: absent in the file, present on the device (length 2)\n");
    // Lower case is hex too, and a read's lines end without a space.
    EXPECT_EQ(Run({"write", "11", "--hex", "a0 a1 a2 a3 a4 a5 a6 a7"}).code, 0);
    EXPECT_EQ(Run({"read", "11"}).out, "A0 A1 A2 A3 A4 A5 A6 A7\n");
    // A commit that was sent but never answered may or may not have been stored.
    ASSERT_TRUE(sim.ControlOk("fault silent on commit"));
    r = Run({"restore", file});
    EXPECT_EQ(r.code, 7) << r.err;
    EXPECT_EQ(r.out,
              "restored: none\nuncertain (the device may or may not have stored it): 11\n"
              "not restored: none\n");
}

// The gang: one loop per port at once, each on its own simulator.
class Gang : public Cli {
  protected:
    void TearDown() override {
        if (!pgDir_.empty()) PgCluster("stop");
        Cli::TearDown();
    }
    void StartGang(size_t ports, const std::string& ignitionMs = "700") {
        for (size_t i = 0; i < ports; ++i) {
            sims.push_back(std::make_unique<DevSim>(QMB_DEVSIM_PATH));
            ASSERT_TRUE(sims.back()->Start({"--no-pacing", "--ignition-every", ignitionMs}));
        }
        std::ofstream(Path("data.hex")) << "C0 C1 C2 C3 C4 C5 C6 C7\n";
    }
    // A server of the test's own (scripts/pg-cluster): start (returns its
    // URL), down, up, stop; stopped at the end of the test.
    std::string PgCluster(const std::string& command) {
        if (pgDir_.empty()) {
            char dir[] = "/tmp/qmb-cli-pg-XXXXXX";
            if (!mkdtemp(dir)) ADD_FAILURE() << "no folder for the server";
            pgDir_ = dir;
        }
        const std::string line = std::string(QMB_PG_CLUSTER) + " " + command + " " + pgDir_ +
                                 (command == "start" ? " --fast" : "") + " 2>&1";
        FILE* out = popen(line.c_str(), "r");
        std::string text;
        char buffer[512];
        while (out && fgets(buffer, sizeof buffer, out)) text += buffer;
        EXPECT_EQ(out ? pclose(out) : -1, 0) << line << ": " << text;
        if (command == "stop") pgDir_.clear();
        return text.substr(0, text.find('\n'));
    }
    // Waits (polling) until done() or limit; done()'s last answer.
    static bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return done();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }
    // Section 2's first four bytes on a simulator, as the u32be number a
    // recipe's serial field wrote there.
    static std::string SerialOn(DevSim& device) {
        const std::string dump = device.Control("dump 2");
        const size_t at = dump.find("eeprom ");
        if (at == std::string::npos) return "";
        return std::to_string(std::stoul(dump.substr(at + 7, 8), nullptr, 16));
    }
    std::vector<std::string> LoopArgs(std::vector<std::string> extra) {
        std::vector<std::string> args = {"loop", "11", Path("data.hex"), "--log", Path("log")};
        for (const auto& one : sims)
            args.insert(args.end(), {"--port", one->link});
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    // The log's lines, each parsed (a half-written line fails the test).
    std::vector<nlohmann::json> Log(const std::string& name = "log") {
        std::vector<nlohmann::json> lines;
        std::istringstream in(Slurp(Path(name)));
        for (std::string line; std::getline(in, line);)
            lines.push_back(nlohmann::json::parse(line));
        return lines;
    }
    std::vector<std::unique_ptr<DevSim>> sims;
    std::string pgDir_;
};

TEST_F(Gang, AnUnpluggedPortEndsAloneWhileTheOthersFinish) {
    StartGang(4);
    CliRun r;
    std::thread run([&] { r = Run(LoopArgs({"--count", "3"})); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1800));
    sims[2]->Stop();  // the adapter pulled out
    run.join();
    EXPECT_EQ(r.code, 11) << "a port failure: " << r.err;
    std::map<std::string, int> passes;
    for (const auto& line : Log()) {
        EXPECT_EQ(line["port"], sims[line["slot"].get<int>()]->link);
        EXPECT_FALSE(line["device"].get<std::string>().empty());
        if (line["pass"] == true) ++passes[line["port"]];
        if (line["pass"] == false) {
            EXPECT_EQ(line["failure_code"], "port_lost");
        }
    }
    for (size_t i : {0, 1, 3}) {
        EXPECT_EQ(passes[sims[i]->link], 3) << "slot " << i;
        EXPECT_NE(sims[i]->Control("dump 11").find("eeprom C0C1C2C3C4C5C6C7"), std::string::npos);
    }
    EXPECT_NE(r.out.find(sims[2]->link + ": passed "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("went away"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("total: passed "), std::string::npos) << r.out;
}

TEST_F(Gang, CtrlCStopsEveryPortAndLeavesWholeLogLines) {
    StartGang(4);
    const CliRun r = Run(LoopArgs({}), 2500);
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_LT(r.ms, 2500 + 2000) << "every port stopped at its next transfer";
    EXPECT_FALSE(Log().empty());
    for (const auto& one : sims) {
        PosixPort port;
        EXPECT_TRUE(port.Open(one->link.c_str())) << "released: " << one->link;
    }
}

TEST_F(Gang, APortNamedTwiceOrTwoNamesOfOneDeviceAreRefusedBeforeAnyOpens) {
    StartGang(1);
    const std::string alias = Path("alias");
    fs::create_symlink(sims[0]->link, alias);
    const std::string before = Counters(sims[0]->Control("status"));
    for (const auto& extra : {std::vector<std::string>{"--port", sims[0]->link},
                              std::vector<std::string>{"--port", alias}}) {
        const CliRun r = Run(LoopArgs(extra));
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_NE(r.err.find(extra[1] == alias ? "are the same device" : "named twice"),
                  std::string::npos)
            << r.err;
    }
    EXPECT_EQ(Counters(sims[0]->Control("status")), before);
}

TEST_F(Gang, EveryBoardIsRecordedOnceInEachStoreAsPlainText) {
    StartGang(2);
    const char* server = std::getenv("QMB_TEST_PG_URL");
    ASSERT_NE(server, nullptr) << "the store.pg-start fixture hands the server's URL";
    const std::string station = "st'); DROP TABLE records; -- " + std::to_string(getpid());
    const std::string who = "<img src=x onerror=alert(1)><script>alert(2)</script>";
    for (const std::string& db : {"sqlite:" + Path("records.sqlite"), std::string(server)}) {
        SCOPED_TRACE(db);
        fs::remove(Path("log"));
        const CliRun r = Run(LoopArgs({"--count", "2", "--db", db, "--station", station,
                                       "--operator", who, "--dut-id-section", "1"}));
        ASSERT_EQ(r.code, 0) << r.err;
        const auto records = Records(db, station);
        const auto log = Log();
        ASSERT_EQ(records.size(), 4u) << "one record a board";
        ASSERT_EQ(log.size(), 4u);
        for (const auto& line : log) {
            auto same = std::find_if(records.begin(), records.end(),
                                     [&](const nlohmann::json& x) { return x["id"] == line["id"]; });
            ASSERT_NE(same, records.end()) << line.dump();
            for (const char* field : {"station", "operator", "port", "device", "slot", "board",
                                      "result", "status", "image_sha256", "dut_id", "started_at"})
                EXPECT_EQ((*same)[field], line[field]) << field;
            EXPECT_EQ((*same)["operator"], who) << "stored as the text it is";
            EXPECT_EQ((*same)["result"], "pass");
            EXPECT_EQ((*same)["image_length"], 8);
            EXPECT_EQ((*same)["dut_id"], "01") << "section 1's byte";
        }
        const auto stats = nlohmann::json::parse(
            Run({"records", "stats", "--db", db, "--station", station, "--format", "json"}).out);
        EXPECT_EQ(stats["total"], 4);
        EXPECT_EQ(stats["passes"], 4);
        EXPECT_EQ(stats["slots"].size(), 2u);
    }
    // A database that is not one of ours is refused before any board.
    std::ofstream(Path("foreign.sqlite")) << "not a database";
    const std::string before = Counters(sims[0]->Control("status"));
    const CliRun refused = Run(LoopArgs({"--count", "1", "--db", "sqlite:" + Path("foreign.sqlite")}));
    EXPECT_EQ(refused.code, 13) << refused.err;
    EXPECT_EQ(Counters(sims[0]->Control("status")), before) << "the device was never asked";
}

TEST_F(Gang, AServerThatGoesAwayMidRunLosesNothingAndDoublesNothing) {
    StartGang(2);
    auto cluster = [&](const std::string& command) { return PgCluster(command); };
    const std::string url = cluster("start");
    const std::string station = "spool-" + std::to_string(getpid());
    CliRun r;
    std::thread run([&] { r = Run(LoopArgs({"--count", "4", "--db", url, "--station", station})); });
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    cluster("down");
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    cluster("up");
    run.join();
    EXPECT_EQ(r.code, 0) << "a server away is no failure of the boards: " << r.err;
    EXPECT_EQ(Run({"records", "sync", "--db", url}).code, 0);
    const auto records = Records(url, station);
    std::set<std::string> ids;
    for (const auto& x : records)
        ids.insert(x["id"].get<std::string>());
    EXPECT_EQ(records.size(), 8u);
    EXPECT_EQ(ids.size(), 8u) << "none twice";
    for (const auto& line : Log())
        EXPECT_EQ(ids.count(line["id"].get<std::string>()), 1u);
    cluster("stop");
}

// A database server that accepts and never answers (a hung server, a
// partitioned network): the boards go on, each record spools within the
// board's bound, Ctrl-C ends the loop within a second, and records sync
// later puts every board on a server.
TEST_F(Gang, ASilentDatabaseServerHoldsNoBoardAndCtrlCEndsAtOnce) {
    StartGang(2);
    std::optional<SilentServer> silentServer(std::in_place);
    const std::string silent = silentServer->Url();
    const std::string station = "silent-" + std::to_string(getpid());
    const int interruptMs = 9000;
    const CliRun r = Run(LoopArgs({"--db", silent, "--station", station}), interruptMs);
    silentServer.reset();
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_LT(r.ms, interruptMs + 1000) << "Ctrl-C ends the loop within a second";
    std::map<int, std::vector<nlohmann::json>> bySlot;
    for (const auto& line : Log()) {
        if (line["status"] == "aborted") continue;
        EXPECT_EQ(line["pass"], true) << "a spooled record is a kept one: " << line.dump();
        bySlot[line["slot"].get<int>()].push_back(line);
    }
    // Store open 2 s, then a board each 1 s pause + up to 0.7 s for the
    // ignition; one board now and then waits its 2 s for the server.
    size_t boards = 0;
    for (size_t slot = 0; slot < 2; ++slot) {
        const auto& lines = bySlot[static_cast<int>(slot)];
        EXPECT_GE(lines.size(), 3u) << "slot " << slot << " kept programming";
        boards += lines.size();
        for (size_t i = 1; i < lines.size(); ++i) {
            std::chrono::system_clock::time_point ended, started;
            ASSERT_TRUE(ParseUtc(lines[i - 1]["ended_at"], ended));
            ASSERT_TRUE(ParseUtc(lines[i]["started_at"], started));
            const double gapMs = std::chrono::duration<double, std::milli>(started - ended).count();
            EXPECT_LT(gapMs, 2000 + 700 + 800)
                << "slot " << slot << " board " << i + 1 << ": the bound, the ignition, slack";
        }
    }
    const char* server = std::getenv("QMB_TEST_PG_URL");
    ASSERT_NE(server, nullptr);
    const CliRun sync = Run({"records", "sync", "--db", server});
    EXPECT_EQ(sync.code, 0) << sync.err;
    size_t passes = 0;
    for (const auto& x : Records(server, station)) passes += x["result"] == "pass";
    EXPECT_EQ(passes, boards) << "every board on the server after records sync";
}

// No kept record, no pass: a board whose record cannot be stored anywhere
// is neither shown nor logged as passed, and the loop ends with exit 13.
TEST_F(Gang, ABoardWhoseRecordCannotBeKeptIsNoPass) {
    StartGang(1);
    const std::string db = "sqlite:" + Path("records.sqlite");
    ASSERT_EQ(Run({"records", "--db", db, "-q"}).code, 0);  // makes the file
    sqlite3* file = nullptr;
    ASSERT_EQ(sqlite3_open(Path("records.sqlite").c_str(), &file), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(file, "DROP TABLE record_counts", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(file);
    const CliRun r = Run(LoopArgs({"--count", "3", "--db", db}));
    EXPECT_EQ(r.code, 13) << r.err;
    EXPECT_EQ(r.out, "passed 0, failed 1\n");
    EXPECT_NE(r.err.find("could not be kept"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("PASS"), std::string::npos) << r.err;
    const auto log = Log();
    ASSERT_EQ(log.size(), 1u) << "the slot ended at the board it could not keep";
    EXPECT_EQ(log[0]["pass"], false);
    EXPECT_NE(log[0]["not_kept"].get<std::string>().find("record_counts"), std::string::npos);
}

// A recipe from nothing, as a line runs it: the whole image and a number of
// its own on each board, every value by the rule (used on a pass, back to the
// pool before its section was sent, void after), a reworked board keeping
// its number, release control before any port opens, and an empty pool.
TEST_F(Cli, ARecipeGivesEachBoardTheWholeImageAndANumberOfItsOwnByTheRule) {
    StartSim({"--no-pacing", "--ignition-every", "300"});
    ASSERT_EQ(Run({"backup", Path("golden.qmb"), "--sections", "1-4,11"}).code, 0);
    const std::string db = "sqlite:" + Path("line.sqlite");
    std::ofstream(Path("bx.recipe")) << "product = BX-100\nimage = golden.qmb\n"
                                        "serial = sn at 2:0 u32be\n";
    CliRun r = Run({"recipe", "check", Path("bx.recipe"), "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string identity = nlohmann::json::parse(r.out)["identity"];
    ASSERT_EQ(identity.size(), 64u);
    auto loop = [&](int count) {
        return Run({"loop", "--recipe", Path("bx.recipe"), "--db", db, "--station", "r", "--count",
                    std::to_string(count)});
    };
    // Not released: refused before the port is opened.
    const std::string before = Counters(Status());
    r = loop(1);
    EXPECT_EQ(r.code, 16) << r.err;
    EXPECT_NE(r.err.find("recipe " + identity + " is not released for BX-100 (released: none)"),
              std::string::npos) << r.err;
    EXPECT_EQ(Counters(Status()), before) << "the device was never asked";

    ASSERT_EQ(Run({"recipe", "release", Path("bx.recipe"), "--db", db, "--by", "anna"}).code, 0);
    auto store = store::OpenRecordStore(db);
    ASSERT_EQ(store->CreatePool("sn", 1000, 1005, 1, 0), 6);
    // Two boards: 1000 and 1001, each in section 2 and in its board's record.
    r = loop(2);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(sim.Control("dump 2").find("eeprom 000003E9060708090A0B0C0D0E0F1011"), std::string::npos)
        << sim.Control("dump 2");
    EXPECT_NE(sim.Control("dump 11").find("eeprom A0A1A2A3A4A5A6A7"), std::string::npos);
    auto records = Records(db, "r");
    ASSERT_EQ(records.size(), 2u);
    for (const auto& x : records) {
        EXPECT_EQ(x["recipe_sha256"], identity);
        EXPECT_EQ(x["slot_name"], "A");
        EXPECT_EQ(x["section"], 11) << "the image's last section";
        EXPECT_EQ(x["image_length"], 1 + 16 + 17 + 255 + 8);
    }
    // A write that fails in section 1, before the field's section: the value
    // goes back. One that fails in section 3, after it: the value is void.
    ASSERT_TRUE(sim.ControlOk("fault miswrite 0 on write"));
    EXPECT_EQ(loop(1).code, 10);
    EXPECT_EQ(store->SerialState("sn", "1002"), "free");
    ASSERT_TRUE(sim.ControlOk("fault miswrite 0 on write skip 2"));
    EXPECT_EQ(loop(1).code, 10);
    EXPECT_EQ(store->SerialState("sn", "1002"), "void");
    records = Records(db, "r");
    ASSERT_EQ(records.size(), 4u);
    std::map<std::string, std::string> stateOf;  // value: state, over every record
    size_t noSerial = 0;
    for (const auto& x : records) {
        noSerial += x["serials"].empty();
        for (const auto& v : x["serials"]) {
            EXPECT_EQ(v["pool"], "sn");
            EXPECT_EQ(stateOf.count(v["value"]), 0u) << "no value on two boards";
            stateOf[v["value"]] = v["state"];
            EXPECT_EQ(x["result"], v["state"] == "used" ? "pass" : "fail") << x.dump();
        }
    }
    EXPECT_EQ(noSerial, 1u) << "the board that failed before section 2";
    EXPECT_EQ(stateOf, (std::map<std::string, std::string>{{"1000", "used"}, {"1001", "used"},
                                                           {"1002", "void"}}));

    // Rework: a board that carries a used number keeps it; one that carries
    // the void 1002 gets a new one (engineering mode: this recipe is not released).
    std::ofstream(Path("rework.recipe")) << "product = BX-100\nimage = golden.qmb\n"
                                            "serial = sn at 2:0 u32be\nkeep-existing = yes\n";
    auto rework = [&] {
        return Run({"loop", "--recipe", Path("rework.recipe"), "--db", db, "--station", "r",
                    "--count", "1", "--mode", "engineering", "--log", Path("rework.log")});
    };
    ASSERT_EQ(rework().code, 0);
    ASSERT_EQ(rework().code, 0);
    std::vector<nlohmann::json> lines;
    std::istringstream in(Slurp(Path("rework.log")));
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["serials"], nlohmann::json::parse(R"([{"pool":"sn","value":"1003","state":"used"}])"));
    EXPECT_EQ(lines[1]["serials"], nlohmann::json::parse(R"([{"pool":"sn","value":"1003","state":"kept"}])"));
    EXPECT_EQ(lines[1]["mode"], "engineering");
    EXPECT_EQ(store->SerialState("sn", "1004"), "free") << "a kept number takes none";

    // The pool runs out: 1004 and 1005, then the slot stops with the reason.
    r = loop(3);
    EXPECT_EQ(r.code, 14) << r.err;
    EXPECT_NE(r.err.find("pool sn is empty"), std::string::npos) << r.err;
    EXPECT_EQ(store->ShowPool("sn").free, 0);
    r = loop(1);
    EXPECT_EQ(r.code, 14) << "an empty pool is refused before any board";

    // One byte of the image changed: another identity, refused in production
    // mode (naming both), run in engineering mode.
    ASSERT_TRUE(sim.ControlOk("set 3 FF 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13"));
    ASSERT_EQ(Run({"backup", Path("golden.qmb"), "--sections", "1-4,11", "--force"}).code, 0);
    std::ofstream(Path("plain.recipe")) << "product = BX-100\nimage = golden.qmb\n";
    const std::string changed =
        nlohmann::json::parse(Run({"recipe", "check", Path("plain.recipe"), "--json"}).out)["identity"];
    r = Run({"loop", "--recipe", Path("plain.recipe"), "--db", db, "--count", "1"});
    EXPECT_EQ(r.code, 16);
    EXPECT_NE(r.err.find(changed + " is not released for BX-100 (released: " + identity + ")"),
              std::string::npos) << r.err;
    EXPECT_EQ(Run({"loop", "--recipe", Path("plain.recipe"), "--db", db, "--count", "1", "--mode",
                   "engineering"}).code, 0);
}

// Two stations of 4 slots each, two processes on one PostgreSQL pool, 200
// boards with some failing before and some after the field's section: no
// value given twice (in the ledger, the records and on the devices), every
// used value on exactly one passed record, every void one on a failed one.
TEST_F(Gang, TwoStationsOnOnePoolNeverGiveAValueTwice) {
    const char* server = std::getenv("QMB_TEST_PG_URL");
    ASSERT_NE(server, nullptr) << "the store.pg-start fixture hands the server's URL";
    for (int i = 0; i < 8; ++i) {  // an ignition every 300 ms: 25 boards a port in about 35 s
        sims.push_back(std::make_unique<DevSim>(QMB_DEVSIM_PATH));
        ASSERT_TRUE(sims.back()->Start({"--no-pacing", "--ignition-every", "300"}));
    }
    ASSERT_EQ(Run({"-p", sims[0]->link, "backup", Path("golden.qmb"), "--sections", "1-4,11"}).code, 0);
    const std::string tag = std::to_string(getpid());
    const std::string pool = "sn" + tag;
    std::ofstream(Path("r.recipe")) << "product = two-stations " << tag
                                    << "\nimage = golden.qmb\nserial = " << pool << " at 2:0 u32be\n";
    ASSERT_EQ(Run({"recipe", "release", Path("r.recipe"), "--db", server}).code, 0);
    auto store = store::OpenRecordStore(server);
    ASSERT_EQ(store->CreatePool(pool, 5000000, 5000299, 1, 10), 300);
    // Five writes a board (sections 1-4, 11): skip 12 fails a board in
    // section 3, after the field's; skip 15 fails one in section 1, before it.
    for (size_t i = 0; i < sims.size(); ++i)
        ASSERT_TRUE(sims[i]->ControlOk(std::string("fault miswrite 0 on write skip ") +
                                       (i % 2 ? "15" : "12")));
    int codes[2] = {-1, -1};
    std::vector<std::thread> stations;
    for (int st = 0; st < 2; ++st) {
        stations.emplace_back([&, st] {
            std::vector<std::string> args = {QMB_CLI_PATH, "loop", "--recipe", Path("r.recipe"),
                                             "--db", server, "--station", "st" + std::to_string(st) + "-" + tag,
                                             "--count", "25"};
            for (size_t i = 0; i < 4; ++i)
                args.insert(args.end(), {"--port", sims[4 * st + i]->link});
            codes[st] = RunProgram(args, Path("out" + std::to_string(st)), Path("err" + std::to_string(st)));
        });
    }
    for (auto& t : stations) t.join();
    for (int st = 0; st < 2; ++st)
        EXPECT_EQ(codes[st], 10) << Slurp(Path("err" + std::to_string(st)));
    std::map<std::string, nlohmann::json> recordById;
    std::map<std::string, std::string> onRecord;  // value: the record carrying it
    size_t boards = 0, passes = 0;
    for (int st = 0; st < 2; ++st) {
        for (const auto& x : Records(server, "st" + std::to_string(st) + "-" + tag)) {
            ++boards;
            passes += x["result"] == "pass";
            recordById[x["id"]] = x;
            for (const auto& v : x["serials"]) {
                EXPECT_EQ(onRecord.count(v["value"]), 0u) << "given twice: " << v.dump();
                onRecord[v["value"]] = x["id"];
                EXPECT_EQ(v["state"], x["result"] == "pass" ? "used" : "void") << x.dump();
            }
        }
    }
    EXPECT_EQ(boards, 200u);
    EXPECT_EQ(passes, 192u) << "one board failed on each port";
    size_t used = 0, voided = 0;
    for (const auto& e : store->Ledger(pool)) {
        ASSERT_TRUE(e.state == "used" || e.state == "void") << e.value << " left " << e.state;
        (e.state == "used" ? used : voided) += 1;
        ASSERT_EQ(onRecord.count(e.value), 1u) << e.value;
        EXPECT_EQ(onRecord[e.value], e.record_id);
        EXPECT_EQ(recordById[e.record_id]["result"], e.state == "used" ? "pass" : "fail");
    }
    EXPECT_EQ(used, 192u);
    EXPECT_EQ(voided, 4u) << "the boards that failed after section 2 was sent";
    EXPECT_EQ(store->ShowPool(pool).free, 300 - 196) << "the others' values went back";
    // What the devices hold: the last board's number on each, all different.
    std::set<std::string> onDevices;
    for (const auto& device : sims) {
        const std::string dump = device->Control("dump 2");
        const size_t at = dump.find("eeprom ");
        ASSERT_NE(at, std::string::npos) << dump;
        const std::string value = std::to_string(std::stoul(dump.substr(at + 7, 8), nullptr, 16));
        EXPECT_TRUE(onDevices.insert(value).second) << value << " on two devices";
        EXPECT_EQ(onRecord.count(value), 1u) << value;
    }
}

// A station's lease through an outage of its server, in the real program:
// the boards go on out of the lease alone; once it is used up with the
// server still away, the slots stop with the reason (no number invented).
// With the server back and the spool sent, and one more run that ends with
// its server, every number is where it belongs: used once, by its passed
// record, on the device that record names; none doubled; the unused rest
// of the lease back in the pool.
TEST_F(Gang, ALeaseCarriesTheBoardsThroughAnOutageAndEveryNumberEndsByTheRule) {
    StartGang(2, "300");
    const std::string url = PgCluster("start");
    ASSERT_EQ(Run({"-p", sims[0]->link, "backup", Path("golden.qmb"), "--sections", "1-4,11"}).code, 0);
    const int lease = 6;
    std::ofstream(Path("l.recipe")) << "product = L\nimage = golden.qmb\nserial = sn at 2:0 u32be\n"
                                    << "lease = " << lease << "\n";
    ASSERT_EQ(Run({"recipe", "release", Path("l.recipe"), "--db", url}).code, 0);
    auto store = store::OpenRecordStore(url);
    ASSERT_EQ(store->CreatePool("sn", 7000, 7099, 1, 0), 100);
    const std::string station = "lease-" + std::to_string(getpid());
    auto loop = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {QMB_CLI_PATH, "loop", "--recipe", Path("l.recipe"), "--db",
                                         url, "--station", station, "--log", Path("log")};
        for (const auto& one : sims) args.insert(args.end(), {"--port", one->link});
        args.insert(args.end(), extra.begin(), extra.end());
        CliRun r;
        r.code = RunProgram(args, Path("stdout"), Path("stderr"));
        r.out = Slurp(Path("stdout"));
        r.err = Slurp(Path("stderr"));
        return r;
    };
    CliRun first;
    // A count well past the lease: a lease that never ran out ends the run
    // with exit 0 rather than hold the test.
    std::thread run([&] { first = loop({"--count", "20"}); });
    const bool twoPassed = WaitUntil([&] { return Count(Slurp(Path("log")), "\"pass\":true") >= 2; },
                                     std::chrono::seconds(60));
    PgCluster("down");
    const auto down = std::chrono::system_clock::now();
    run.join();  // ends on its own once the lease is used up
    EXPECT_TRUE(twoPassed) << "two boards with the server there";
    EXPECT_EQ(first.code, 14) << first.err;
    EXPECT_NE(first.err.find("pool sn: no serial number: no lease left and the database does not answer"),
              std::string::npos) << first.err;
    const auto firstRun = Log();
    PgCluster("up");
    const CliRun sync = Run({"records", "sync", "--db", url});
    EXPECT_EQ(sync.code, 0) << sync.err;
    const CliRun second = loop({"--count", "2"});
    EXPECT_EQ(second.code, 0) << second.err;

    std::map<std::string, store::LedgerEntry> ledger;
    for (const auto& e : store->Ledger("sn")) ledger[e.value] = e;
    std::map<std::string, nlohmann::json> byId;
    std::map<std::string, std::string> onRecord;  // value: its record
    size_t stopped = 0;
    for (const auto& x : Records(url, station)) {
        byId[x["id"]] = x;
        if (x["result"] != "pass") {
            // The board each slot stopped at: no number, none invented.
            EXPECT_EQ(x["failure_phase"], "serial") << x.dump();
            EXPECT_TRUE(x["serials"].empty()) << x.dump();
            ++stopped;
            continue;
        }
        ASSERT_EQ(x["serials"].size(), 1u) << x.dump();
        const std::string value = x["serials"][0]["value"];
        EXPECT_EQ(x["serials"][0]["state"], "used");
        EXPECT_TRUE(onRecord.emplace(value, x["id"]).second) << value << " on two records";
    }
    const auto log = Log();
    EXPECT_EQ(stopped, sims.size()) << "each slot of the first run stopped at one board";
    EXPECT_EQ(byId.size(), log.size()) << "every board on the server once its spool was sent";
    for (const auto& line : log) EXPECT_EQ(byId.count(line["id"]), 1u) << line.dump();
    // The boards started with the server away took numbers reserved before.
    size_t duringOutage = 0;
    for (const auto& line : firstRun) {
        std::chrono::system_clock::time_point started, reserved;
        ASSERT_TRUE(ParseUtc(line["started_at"], started));
        if (started <= down || line["pass"] != true) continue;
        ++duringOutage;
        const std::string value = line["serials"][0]["value"];
        ASSERT_EQ(ledger.count(value), 1u) << value;
        ASSERT_TRUE(ParseUtc(ledger[value].reserved_at, reserved)) << ledger[value].reserved_at;
        EXPECT_LT(reserved, down) << value << ": out of the lease, reserved before the outage";
    }
    EXPECT_GE(duringOutage, 1u) << "boards went on through the outage";
    EXPECT_LE(duringOutage, static_cast<size_t>(lease)) << "no more than the lease held";
    // The ledger: nothing left reserved or sent, each value used by its record.
    for (const auto& [value, e] : ledger) {
        EXPECT_EQ(e.state, "used") << value;
        EXPECT_EQ(onRecord[value], e.record_id) << value;
    }
    EXPECT_EQ(ledger.size(), onRecord.size());
    EXPECT_EQ(store->ShowPool("sn").free, 100 - static_cast<int64_t>(ledger.size()))
        << "the lease's unused values went back at the run's end";
    // Each device's number: once in the ledger, by the record of that device.
    std::set<std::string> onDevices;
    for (const auto& device : sims) {
        const std::string value = SerialOn(*device);
        EXPECT_TRUE(onDevices.insert(value).second) << value << " on two devices";
        ASSERT_EQ(ledger.count(value), 1u) << value;
        EXPECT_EQ(byId[ledger[value].record_id]["port"], device->link) << value;
    }
}

// A release's quota reached by two stations at once: both stop with exit
// 15 and the reason. Each station counts the passes every station has
// finished and its own boards under way, not the other's under way
// (production/Release.h): so with k slots a station, the passes end between
// the quota and the quota + k, the boards the other station had under way
// when the last one was let through. And no board starts once the quota's
// last pass is on the server and each station has asked again (within a
// board's record bound, 2 s, plus a second for a loaded machine).
TEST_F(Gang, AQuotaReachedAcrossTwoStationsStopsBothAtItsBound) {
    const char* server = std::getenv("QMB_TEST_PG_URL");
    ASSERT_NE(server, nullptr) << "the store.pg-start fixture hands the server's URL";
    const int quota = 5, slots = 2;
    StartGang(2 * slots, "300");
    ASSERT_EQ(Run({"-p", sims[0]->link, "backup", Path("golden.qmb"), "--sections", "1-4,11"}).code, 0);
    const std::string tag =
        std::to_string(getpid()) + "-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    std::ofstream(Path("q.recipe")) << "product = quota " << tag << "\nimage = golden.qmb\n";
    ASSERT_EQ(Run({"recipe", "release", Path("q.recipe"), "--db", server, "--quota",
                   std::to_string(quota)}).code, 0);
    const std::string identity =
        nlohmann::json::parse(Run({"recipe", "check", Path("q.recipe"), "--json"}).out)["identity"];
    int codes[2] = {-1, -1};
    std::vector<std::thread> stations;
    for (int st = 0; st < 2; ++st)
        stations.emplace_back([&, st] {
            const std::string n = std::to_string(st + 1);
            // Two stations: a spool each. A count well past the quota: a
            // quota that never stops them ends the run with exit 0 rather
            // than hold the test.
            std::vector<std::string> args = {"/usr/bin/env", "XDG_DATA_HOME=" + Path("data" + n),
                                             QMB_CLI_PATH,   "loop",
                                             "--recipe",     Path("q.recipe"),
                                             "--db",         server,
                                             "--station",    "s" + n,
                                             "--log",        Path("log" + n),
                                             "--count",      "10"};
            for (int i = 0; i < slots; ++i)
                args.insert(args.end(), {"--port", sims[static_cast<size_t>(slots * st + i)]->link});
            codes[st] = RunProgram(args, Path("out" + n), Path("err" + n));
        });
    for (auto& t : stations) t.join();
    std::vector<nlohmann::json> records;
    for (int st = 0; st < 2; ++st) {
        const std::string n = std::to_string(st + 1);
        const std::string err = Slurp(Path("err" + n));
        EXPECT_EQ(codes[st], 15) << err;
        const std::string reason =
            "the release's quota of " + std::to_string(quota) + " boards is reached";
        EXPECT_NE(err.find(reason), std::string::npos) << err;
        size_t mine = 0;
        for (const auto& x : Records(server, "s" + n)) {
            if (x["recipe_sha256"] != identity) continue;
            EXPECT_EQ(x["result"], "pass") << x.dump();
            records.push_back(x);
            ++mine;
        }
        EXPECT_EQ(mine, Log("log" + n).size()) << "station s" << n << ": every board recorded";
    }
    ASSERT_GE(records.size(), static_cast<size_t>(quota));
    EXPECT_LE(records.size(), static_cast<size_t>(quota + slots));
    std::vector<std::chrono::system_clock::time_point> ended;
    for (const auto& x : records) {
        ended.emplace_back();
        ASSERT_TRUE(ParseUtc(x["ended_at"], ended.back()));
    }
    std::sort(ended.begin(), ended.end());
    const auto reached = ended[static_cast<size_t>(quota) - 1];
    for (const auto& x : records) {
        std::chrono::system_clock::time_point started;
        ASSERT_TRUE(ParseUtc(x["started_at"], started));
        EXPECT_LT(started, reached + std::chrono::seconds(3)) << x.dump();
    }
}

// A station killed mid-board leaves its number reserved; its next start
// settles it by the rule: back to the pool when the field's section was not
// yet sent, void once it was. The kill lands when the ledger shows the state.
TEST_F(Cli, AStationKilledMidBoardSettlesItsNumberAtTheNextStart) {
    std::ofstream(Path("k.recipe")) << "product = K\nimage = golden.qmb\nserial = sn at 2:0 u32be\n";
    const std::string db = "sqlite:" + Path("k.sqlite");
    auto store = store::OpenRecordStore(db);
    ASSERT_EQ(store->CreatePool("sn", 1, 10, 1, 0), 10);
    std::vector<std::string> loop = {"loop", "--recipe", Path("k.recipe"), "--db", db,
                                     "--station", "k", "--mode", "engineering"};
    const struct {
        const char *killAt, *settled, *counts;
    } cases[] = {{"sent", "void", "0 back to their pools, 1 void"},
                 {"reserved", "free", "1 back to their pools, 0 void"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.killAt);
        // Each reply 300 ms late (within the time limits): a board takes
        // long enough to be caught in either state.
        StartSim({"--no-pacing", "--latency", "300", "--ignition-every", "300"});
        if (!fs::exists(Path("golden.qmb"))) {
            ASSERT_EQ(Run({"backup", Path("golden.qmb"), "--sections", "1-4,11"}).code, 0);
        }
        const auto level = store->ShowPool("sn");
        const std::string value = std::to_string(level.used + level.voided + 1);
        ASSERT_EQ(level.free, 10 - level.used - level.voided);
        std::vector<std::string> args = {QMB_CLI_PATH, "-p", sim.link};
        args.insert(args.end(), loop.begin(), loop.end());
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            if (!freopen(Path("killed.err").c_str(), "w", stderr)) _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (store->SerialState("sn", value) != c.killAt &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_EQ(store->SerialState("sn", value), c.killAt) << Slurp(Path("killed.err"));
        // A fresh device (no late reply of the killed run on the line); the
        // station's next start settles the number before any board.
        sim.Stop();
        StartSim({"--no-pacing", "--ignition-every", "300"});
        std::vector<std::string> restart = loop;
        restart.insert(restart.end(), {"--count", "1"});
        const CliRun r = Run(restart);
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.err.find(c.counts), std::string::npos) << r.err;
        const std::string next = std::to_string(std::stoi(value) + 1);
        if (std::string(c.settled) == "free") {
            EXPECT_EQ(store->SerialState("sn", value), "used") << "a freed number is the next one given";
        } else {
            EXPECT_EQ(store->SerialState("sn", value), "void");
            EXPECT_EQ(store->SerialState("sn", next), "used");
        }
        sim.Stop();
    }
}

TEST_F(Cli, AProcessKilledDuringABoardNeverRecordsAPassForIt) {
    StartSim({"--no-pacing", "--latency", "600", "--ignition-every", "500"});
    std::ofstream(Path("data.hex")) << "C0 C1 C2 C3 C4 C5 C6 C7\n";
    const std::string db = "sqlite:" + Path("records.sqlite");
    // The first board takes about 1 s of pause and 2.4 s of replies; the kill
    // lands in its write.
    const CliRun r = Run({"loop", "11", Path("data.hex"), "--db", db, "--station", "k"}, 2200, "",
                         SIGKILL);
    EXPECT_EQ(r.code, 1000 + SIGKILL);
    const auto records = Records(db, "k");
    for (const auto& x : records)
        EXPECT_NE(x["result"], "pass") << x.dump();
    EXPECT_TRUE(records.empty()) << "a board that never ended has no record";
    EXPECT_EQ(Run({"records", "--db", db, "-q"}).code, 0) << "the file is whole";
}

}  // namespace
}  // namespace qmb::test
