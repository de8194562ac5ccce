// The device library without a real device: the backup file, section lists,
// and the device as its link's host in virtual time.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <system_error>
#include <thread>

#include "VirtualTime.h"
#include "cli/Common.h"
#include "cli/ExitCodes.h"
#include "device/BackupFile.h"
#include "device/Device.h"
#include "platform/Utf8.h"
#include "platform/Utf8Options.h"
#include "production/Production.h"

namespace qmb::device {
namespace {

Backup Sample() {
    Backup b;
    b.tool = "qmb-cli 9.9.9";
    b.time = "2026-01-02T03:04:05Z";
    b.port = "/dev/ttyUSB0";
    BackupSection one{1, {0x01, 0x01, 0x00}, {0x01}};
    BackupSection seventeen{3, {0x01, 0x03, 0x00}, {}};
    for (int i = 0; i < 17; ++i)
        seventeen.bytes.push_back(static_cast<uint8_t>(3 + i));
    BackupSection full{4, {0x01, 0x04, 0x00}, std::vector<uint8_t>(255, 0xA5)};
    b.sections = {one, seventeen, full};
    b.absentKnown = true;
    b.absent = {2, 5, 6, 7};
    return b;
}

std::string ToHexForTest(const std::string& text) {
    return test::ToHex(test::Bytes(text.begin(), text.end()));
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(BackupFile, FormatThenParseGivesBackEverySectionWithAKnownCrc) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32(check, sizeof check), 0xCBF43926u) << "CRC-32/IEEE check value";
    const Backup b = Sample();
    const std::string text = FormatBackup(b);
    EXPECT_NE(text.find("\nsection 3\naddress 01 03 00\nlength 17\n"
                        "data 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12\ndata 13\ncrc32 "),
              std::string::npos)
        << text;
    Backup back;
    std::string error;
    ASSERT_TRUE(ParseBackup(text, back, &error)) << error;
    EXPECT_EQ(back.tool, b.tool);
    EXPECT_EQ(back.port, b.port);
    ASSERT_EQ(back.sections.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(back.sections[i].number, b.sections[i].number);
        EXPECT_EQ(back.sections[i].bytes, b.sections[i].bytes);
        EXPECT_EQ(SectionCrc(back.sections[i]), SectionCrc(b.sections[i]));
    }
    EXPECT_EQ(back.absent, b.absent);
    EXPECT_TRUE(back.WasAbsent(5) && !back.WasAbsent(4));
    EXPECT_EQ(FormatBackup(back), text);
    EXPECT_TRUE(ParseBackup(Replace(text, "\n", "\r\n# a comment\n\n"), back, &error)) << error;
    // A file of the first format, which did not record absent sections, still reads.
    ASSERT_TRUE(ParseBackup(Replace(Replace(text, "qmb-backup 2", "qmb-backup 1"),
                                    "absent 2,5-7\n", ""),
                            back, &error))
        << error;
    EXPECT_FALSE(back.absentKnown);
    EXPECT_EQ(back.sections.size(), 3u);
}

TEST(BackupFile, EveryDamageIsRefusedWithItsLine) {
    const std::string good = FormatBackup(Sample());
    const struct {
        std::string text;
        const char* says;
    } cases[] = {
        {Replace(good, "data 03 04 05", "data 03 04 06"), "section 3 fails its checksum"},
        {Replace(good, "address 01 01 00", "address 01 01 01"), "section 1 fails its checksum"},
        {good.substr(0, good.find("\nsection 4")), "header says 3 sections, the file holds 2"},
        {good.substr(0, good.find("data 03 04")), "the next 16 bytes of section 3"},
        {Replace(good, "section 3\n", "section 1\n"), "out of order or twice"},
        {Replace(good, "qmb-backup 2", "qmb-backup 3"), "format 3 is not known"},
        {Replace(good, "absent 2,5-7\n", ""), "expected \"absent\""},
        {Replace(good, "absent 2,5-7", "absent 2-4"), "section 3 is listed as absent too"},
        {"hello\n", "not a qmb-edit backup"},
        {"", "not a qmb-edit backup"},
        {Replace(good, "length 1\n", "length 0\n"), "length N"},
        {Replace(good, "section 1\n", "section 256\n"), "section N"},
        {Replace(good, "address 01 01 00", "address 01 01"), "address XX XX XX"},
        {Replace(good, "data 01\n", "data 1\n"), "the next 1 bytes of section 1"},
        {Replace(good, "data 01\n", "data 01 02\n"), "the next 1 bytes of section 1"},
        // A header value that would not read back as it was written.
        {Replace(good, "qmb-cli 9.9.9\n", "qmb-cli 9.9.9\r\r\n"), "\"tool ...\" (one line of text)"},
        {Replace(good, "port /dev/ttyUSB0", "port /dev/tty\x1b[2J"), "\"port ...\" (one line of text)"},
    };
    for (const auto& c : cases) {
        Backup b = Sample();
        std::string error;
        EXPECT_FALSE(ParseBackup(c.text, b, &error)) << c.says;
        EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(FormatBackup(b), good) << "a refused file changes nothing";
    }
}

// Text at the doors: each case is valid UTF-8 or not, as Unicode's table of
// well-formed sequences says.
TEST(Utf8, WellFormedSequencesAloneAreText) {
    const struct {
        const char* text;
        bool valid;
    } cases[] = {
        {"", true},
        {"Müller", true},
        {"Dvořák", true},
        {"\xe2\x82\xac \xef\xbf\xbf", true},  // U+20AC, U+FFFF
        {"\xf0\x9f\x98\x80", true},             // U+1F600
        {"\xf4\x8f\xbf\xbf", true},             // U+10FFFF, the last
        {"\xed\x9f\xbf \xee\x80\x80", true},  // U+D7FF, U+E000: beside the surrogates
        {"M\xfcller", false},                  // Latin-1
        {"\x80", false},                       // a continuation byte alone
        {"\xc0\xaf", false},                   // overlong '/'
        {"\xc1\xbf", false},                   // overlong
        {"\xe0\x9f\xbf", false},               // overlong U+07FF
        {"\xf0\x8f\xbf\xbf", false},           // overlong U+FFFF
        {"\xed\xa0\x80", false},               // U+D800, a surrogate
        {"\xed\xbf\xbf", false},               // U+DFFF
        {"\xf4\x90\x80\x80", false},           // U+110000
        {"\xf5\x80\x80\x80", false},
        {"\xff", false},
        {"ab\xc3", false},                      // cut at the end
        {"\xe2\x82", false},
        {"\xf0\x9f\x98", false},
        {"\xe2\x28\xa1", false},               // a bad second byte
        {"\xf0\x9f\x28\x80", false},           // a bad third byte
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsValidUtf8(c.text), c.valid) << ToHexForTest(c.text);
    EXPECT_TRUE(IsValidUtf8(std::string("a\0b", 3))) << "NUL is a character";
}

TEST(Utf8, TheDoorNamesTheFirstOptionOrArgumentThatIsNotText) {
    const struct {
        std::vector<std::string> args;  // last first, as CLI11 takes them
        const char* names;
    } cases[] = {
        {{"M\xfcller", "--operator", "f.hex", "11", "loop"}, "--operator"},
        {{"--operator=Dvořák", "f\xe9.hex", "11", "loop"}, "FILE"},
        {{"loop", "\xff", "-p"}, "--port"},
        {{"--operator=Dvořák", "Jürgen.hex", "11", "loop"}, ""},
    };
    for (const auto& c : cases) {
        CLI::App app;
        std::string port, op, section, file;
        app.add_option("-p,--port", port);
        auto* loop = app.add_subcommand("loop");
        loop->add_option("N", section);
        loop->add_option("FILE", file);
        loop->add_option("--operator", op);
        std::vector<std::string> args = c.args;
        app.parse(args);
        EXPECT_EQ(qmb::NonUtf8Option(app), c.names);
    }
}

// A gang whose second thread cannot start: the first is stopped and joined
// (never left joinable, which is std::terminate), and the gang says why.
TEST(Gang, AThreadThatCannotStartStopsTheStartedSlotsAndEndsTheGang) {
    using namespace production;
    struct Quiet : SlotObserver {
        void OnPhase(int, BoardPhase, int) override {}
        bool OnBoard(const BoardOutcome&, Fault&, std::string&) override {
            ++boards;
            return true;
        }
        std::atomic<int> boards{0};
    } observer;
    test::VirtualClock clocks[3];
    std::vector<std::unique_ptr<test::FakePort>> ports;
    std::vector<std::unique_ptr<ProductionSlot>> slots;
    for (int i = 0; i < 3; ++i) {
        ports.push_back(std::make_unique<test::FakePort>(clocks[i]));
        slots.push_back(std::make_unique<ProductionSlot>(
            i, "COM" + std::to_string(i + 1), std::make_unique<Device>(*ports[i], clocks[i])));
    }
    int starts = 0;
    const ThreadStarter start = [&](std::function<void()> run) {
        if (++starts == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(run));
    };
    LoopSettings settings;
    settings.section = 11;
    settings.image = {1, 2};
    const auto summaries = RunGang(slots, settings, observer, start);
    ASSERT_EQ(summaries.size(), 3u);
    EXPECT_EQ(summaries[0].end, Fault::kInterrupted) << summaries[0].endReason;
    for (int i : {1, 2}) {
        EXPECT_EQ(summaries[i].end, Fault::kSystem);
        EXPECT_EQ(summaries[i].port, "COM" + std::to_string(i + 1));
        EXPECT_NE(summaries[i].endReason.find("no thread could be started"), std::string::npos);
    }
    EXPECT_EQ(observer.boards, 0);
    EXPECT_FALSE(ports[0]->IsOpen()) << "the started slot closed its port";
    EXPECT_EQ(cli::GangExitCode(summaries, false), cli::kExitSystem);
}

// The gang's exit code: Ctrl-C, else the first slot's own end (a slot merely
// stopped for another's end says nothing), else the last failed board.
TEST(Gang, ExitCodeIsTheCauseNotTheSlotsStoppedForIt) {
    using namespace cli;
    auto Ended = [](Fault end, Fault lastFail = Fault::kNone) {
        production::SlotSummary s;
        s.end = end;
        s.lastFail = lastFail;
        return s;
    };
    const struct {
        std::vector<production::SlotSummary> slots;
        bool interrupted;
        int code;
    } cases[] = {
        {{Ended(Fault::kNone), Ended(Fault::kNone)}, false, kExitOk},
        {{Ended(Fault::kNone), Ended(Fault::kPortLost)}, true, kExitInterrupted},
        {{Ended(Fault::kInterrupted), Ended(Fault::kFile)}, false, kExitFile},
        {{Ended(Fault::kInterrupted), Ended(Fault::kSystem)}, false, kExitSystem},
        {{Ended(Fault::kNone, Fault::kMismatch), Ended(Fault::kPortLost)}, false, kExitPortLost},
        {{Ended(Fault::kNone, Fault::kMismatch), Ended(Fault::kInterrupted)}, false, kExitMismatch},
        {{Ended(Fault::kNone), Ended(Fault::kInterrupted)}, false, kExitInterrupted},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GangExitCode(c.slots, c.interrupted), c.code);
}

TEST(SectionList, RangesAndNumbersAreAcceptedAndAnythingElseRefused) {
    std::vector<int> s;
    std::string error;
    ASSERT_TRUE(ParseSectionList("11,1-4,3,255", s, &error)) << error;
    EXPECT_EQ(s, (std::vector<int>{1, 2, 3, 4, 11, 255}));
    EXPECT_EQ(FormatSectionList(s), "1-4 11 255");
    EXPECT_EQ(FormatSectionList({}), "none");
    for (const char* bad : {"", "0", "256", "4-1", "1,,2", "1-", "-3", "a", "1,", "1-4x", " 1"}) {
        EXPECT_FALSE(ParseSectionList(bad, s, &error)) << bad;
        EXPECT_NE(error.find("section list"), std::string::npos) << error;
    }
}


// Each reason a command stops gives its own fault, before the next transfer
// and with nothing more sent.
bool g_interrupt = false;
bool InterruptFlag() {
    return g_interrupt;
}

TEST(DeviceHost, InterruptLostLineDeadlineAndRefusedWriteEachGiveTheirOwnCode) {
    const struct {
        const char* what;
        Fault fault;
        const char* says;
    } cases[] = {
        {"interrupt", Fault::kInterrupted, "interrupted"},
        {"stop", Fault::kInterrupted, "interrupted"},
        {"hang-up", Fault::kPortLost, "went away"},
        {"refused write", Fault::kPortLost, "went away"},
        {"deadline", Fault::kNoReply, "no ignition handshake within 2 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::VirtualClock clock;
        test::FakePort port(clock);
        Device device(port, clock, &InterruptFlag);
        device.Open("COM1");
        const std::string what = c.what;
        g_interrupt = what == "interrupt";
        if (what == "stop") device.RequestStop();
        if (what == "hang-up") port.HangUp();
        if (what == "refused write") port.failWrites = true;
        const size_t writes = port.Writes().size();
        try {
            if (what == "deadline") {
                device.WaitForHandshake(2000);
            } else {
                device.Info(11);
            }
            ADD_FAILURE() << "no stop";
        } catch (const DeviceFault& e) {
            EXPECT_EQ(e.Kind(), c.fault) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
        EXPECT_EQ(port.Writes().size(), writes + (what == "refused write" ? 1 : 0))
            << "nothing tried after the stop";
        if (what == "deadline") {
            EXPECT_GE(clock.Elapsed(), 2000u);
            EXPECT_LE(clock.Elapsed(), 2000u + 400u) << "at the next read attempt";
        }
        g_interrupt = false;
    }
}

// The one table of faults: what a board's record says, whether the slot can
// go on, and the exit code qmb-cli documents for it.
TEST(Faults, EachKindHasItsRecordCodeEndOfSlotAndExitCode) {
    const struct {
        Fault fault;
        const char* record;
        bool portFault, endsSlot;
        int exitCode;
    } cases[] = {
        {Fault::kNone, "", false, false, 0},
        {Fault::kPortAbsent, "port_absent", true, true, 3},
        {Fault::kPortBusy, "port_busy", true, true, 4},
        {Fault::kPortDenied, "port_denied", true, true, 5},
        {Fault::kPortUnusable, "port_unusable", true, true, 6},
        {Fault::kNoReply, "no_reply", false, false, 7},
        {Fault::kBadReply, "bad_reply", false, false, 8},
        {Fault::kData, "size", false, false, 9},
        {Fault::kAbsent, "absent", false, false, 9},
        {Fault::kMismatch, "verify_mismatch", false, false, 10},
        {Fault::kPortLost, "port_lost", true, true, 11},
        {Fault::kNotKept, "error", false, true, 13},
        {Fault::kFile, "file", false, true, 12},
        {Fault::kSystem, "error", false, true, 1},
        {Fault::kInterrupted, "interrupted", false, true, 130},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        EXPECT_STREQ(FaultCode(c.fault), c.record);
        EXPECT_EQ(IsPortFault(c.fault), c.portFault);
        EXPECT_EQ(production::EndsTheSlot(c.fault), c.endsSlot);
        EXPECT_EQ(cli::ExitCodeOf(c.fault), c.exitCode);
    }
}

// The gang's exit code: Ctrl-C first, then the first slot (in slot order)
// that ended on its port or a lost record, then the first failed board.
TEST(Faults, GangExitCodeTakesInterruptThenSlotEndThenFailedBoard) {
    auto slot = [](Fault end, Fault lastFail) {
        production::SlotSummary s;
        s.end = end;
        s.lastFail = lastFail;
        return s;
    };
    const struct {
        const char* what;
        std::vector<production::SlotSummary> slots;
        bool interrupted;
        int code;
    } cases[] = {
        {"all passed", {slot(Fault::kNone, Fault::kNone), slot(Fault::kNone, Fault::kNone)}, false, 0},
        {"Ctrl-C", {slot(Fault::kPortLost, Fault::kMismatch)}, true, 130},
        {"port before board",
         {slot(Fault::kNone, Fault::kMismatch), slot(Fault::kPortLost, Fault::kNone),
          slot(Fault::kPortBusy, Fault::kNone)},
         false, 11},
        {"stop-on-fail is a board", {slot(Fault::kMismatch, Fault::kMismatch)}, false, 10},
        {"first failed board",
         {slot(Fault::kNone, Fault::kNone), slot(Fault::kNone, Fault::kNoReply),
          slot(Fault::kNone, Fault::kMismatch)},
         false, 7},
        {"record not kept", {slot(Fault::kNone, Fault::kBadReply), slot(Fault::kNotKept, Fault::kNone)},
         false, 13},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cli::GangExitCode(c.slots, c.interrupted), c.code) << c.what;
}

}  // namespace
}  // namespace qmb::device
