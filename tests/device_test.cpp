// The device library without a real device: the backup file, section lists,
// and the device as its link's host in virtual time.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
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
#include "production/Recipe.h"
#include "production/Release.h"
#include "store/MemoryStore.h"
#include "production/SerialFormat.h"

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

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
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
        {Fault::kNoSerial, "no_serial", false, true, 14},
        {Fault::kQuota, "quota", false, true, 15},
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


// Serial layouts: each value's bytes, the text they read back as, and every
// value that does not fit refused (never cut to fit).
TEST(SerialFormat, ValuesBecomeTheirBytesAndReadBackCanonical) {
    using production::DecodeSerial;
    using production::EncodeSerial;
    using production::ParseSerialFormat;
    using production::SerialFormat;
    const struct {
        const char *layout, *value, *hex, *canonical;
    } good[] = {
        {"u8", "255", "FF", "255"},
        {"u16le", "258", "02 01", "258"},
        {"u16be", "258", "01 02", "258"},
        {"u32be", "1000042", "00 0F 42 6A", "1000042"},
        {"u32le", "0001000042", "6A 42 0F 00", "1000042"},
        {"u48be", "1", "00 00 00 00 00 01", "1"},
        {"u64le", "18446744073709551615", "FF FF FF FF FF FF FF FF", "18446744073709551615"},
        {"bcd3", "12345", "01 23 45", "12345"},
        {"bcd10", "98765432109876543210", "98 76 54 32 10 98 76 54 32 10", "98765432109876543210"},
        {"ascii6", "42", "30 30 30 30 34 32", "42"},
        {"bytes6", "00:1a:2B:3c:4D:5e", "00 1A 2B 3C 4D 5E", "00:1A:2B:3C:4D:5E"},
        {"bytes3", "0A-0B-0C", "0A 0B 0C", "0A:0B:0C"},
        {"bytes2", "abcd", "AB CD", "AB:CD"},
    };
    for (const auto& c : good) {
        SerialFormat f;
        std::string error;
        ASSERT_TRUE(ParseSerialFormat(c.layout, f, &error)) << c.layout << ": " << error;
        EXPECT_EQ(f.Name(), c.layout);
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(EncodeSerial(f, c.value, bytes, &error)) << c.layout << " " << c.value << ": " << error;
        EXPECT_EQ(test::ToHex(bytes), c.hex) << c.layout << " " << c.value;
        std::string back;
        ASSERT_TRUE(DecodeSerial(f, bytes, back)) << c.layout;
        EXPECT_EQ(back, c.canonical);
        EXPECT_EQ(production::CanonicalSerial(f, c.value), c.canonical);
    }
    const struct {
        const char *layout, *value;
    } tooBig[] = {
        {"u8", "256"}, {"u16be", "65536"}, {"u64be", "18446744073709551616"},
        {"u64le", "99999999999999999999999"}, {"bcd2", "12345"}, {"ascii3", "1000"},
        {"ascii4", "-1"}, {"u32be", ""}, {"u32be", "12a"}, {"u32be", " 1"}, {"bytes2", "00:11:22"},
        {"bytes2", "0:11"}, {"bytes2", "00:11:"}, {"bytes3", "00:11-22"}, {"bytes2", "0g11"},
        {"bytes1", "1"}, {"bcd4", "1.5"},
    };
    for (const auto& c : tooBig) {
        SerialFormat f;
        ASSERT_TRUE(ParseSerialFormat(c.layout, f, nullptr)) << c.layout;
        std::vector<uint8_t> bytes = {0xEE};
        std::string error;
        EXPECT_FALSE(EncodeSerial(f, c.value, bytes, &error)) << c.layout << " " << c.value;
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(bytes, std::vector<uint8_t>{0xEE}) << "unchanged on refusal";
    }
    for (const char* bad : {"u12be", "u0le", "u72le", "u8le", "u16", "u016be", "bcd0", "bcd33",
                            "ascii", "bytes07", "U32BE", "u32be ", ""}) {
        SerialFormat f;
        std::string error;
        EXPECT_FALSE(ParseSerialFormat(bad, f, &error)) << bad;
        EXPECT_NE(error.find("layout"), std::string::npos) << error;
    }
    // What a board carries that is no value of the layout reads as none.
    SerialFormat bcd, ascii;
    ASSERT_TRUE(ParseSerialFormat("bcd2", bcd, nullptr) && ParseSerialFormat("ascii2", ascii, nullptr));
    std::string value = "unchanged";
    EXPECT_FALSE(DecodeSerial(bcd, {0x12, 0x3A}, value));
    EXPECT_FALSE(DecodeSerial(ascii, {'1', ' '}, value));
    EXPECT_FALSE(DecodeSerial(ascii, {'1', '2', '3'}, value)) << "wrong length";
    EXPECT_EQ(value, "unchanged");
}

// A recipe in a folder of its own, with the backup it names.
class RecipeFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        // A fresh folder on every system (the Windows build runs these too).
        std::random_device random;
        std::filesystem::path dir;
        do
            dir = std::filesystem::temp_directory_path() /
                  ("qmb-recipe-test-" + std::to_string(random()));
        while (!std::filesystem::create_directory(dir));
        dir_ = dir.generic_string();
        Write("image.qmb", FormatBackup(Sample()));
        Write("one.hex", "C0 C1 C2 C3 C4 C5 C6 C7\n");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string dir_;
};

TEST_F(RecipeFiles, AWholeImageLimitedToItsSectionsWithFieldsInside) {
    const std::string path = Write("r.recipe",
                                   "product = BX-100 rev C\n"
                                   "image = image.qmb   # the golden board\n"
                                   "sections = 4,3\n"
                                   "serial = sn at 3:0 u32be\n"
                                   "serial = mac at 4:249 bytes6\n"
                                   "keep-existing = yes\nlease = 50\ndut-id-section = 2\nlockout = 3\n");
    const production::LoadedRecipe r = production::LoadRecipe(path);
    EXPECT_EQ(r.recipe.product, "BX-100 rev C");
    ASSERT_EQ(r.image.size(), 2u);
    EXPECT_EQ(r.image[0].number, 3);
    EXPECT_EQ(r.image[1].number, 4);
    EXPECT_EQ(r.imageLength, 17 + 255);
    ASSERT_EQ(r.recipe.serials.size(), 2u);
    EXPECT_EQ(r.recipe.serials[1].Describe(), "mac at 4:249 bytes6");
    EXPECT_TRUE(r.recipe.keepExisting);
    EXPECT_EQ(r.recipe.lease, 50);
    EXPECT_EQ(r.recipe.dutIdSection, 2);
    EXPECT_EQ(r.recipe.lockout, 3);
    EXPECT_EQ(r.identity.size(), 64u);

    // Fields patched into their sections, and nothing else.
    const auto patched = production::PatchImage(r.image, r.recipe.serials,
                                                {{0, 0, 0, 7}, {1, 2, 3, 4, 5, 6}});
    EXPECT_EQ(test::ToHex({patched[0].bytes.begin(), patched[0].bytes.begin() + 5}), "00 00 00 07 07");
    EXPECT_EQ(test::ToHex({patched[1].bytes.end() - 7, patched[1].bytes.end()}), "A5 01 02 03 04 05 06");
    EXPECT_EQ(patched[1].bytes.size(), 255u);

    // The identity covers the recipe and its image, not where they lie.
    const std::string image = FormatBackup(Sample());
    std::filesystem::create_directory(dir_ + "/copy");
    std::filesystem::copy_file(path, dir_ + "/copy/r.recipe");
    std::filesystem::copy_file(dir_ + "/image.qmb", dir_ + "/copy/image.qmb");
    EXPECT_EQ(production::LoadRecipe(dir_ + "/copy/r.recipe").identity, r.identity);
    Backup changed = Sample();
    changed.sections[2].bytes[100] ^= 1;  // one bit of one section
    Write("image.qmb", FormatBackup(changed));
    EXPECT_NE(production::LoadRecipe(path).identity, r.identity);
    Write("image.qmb", image);
    EXPECT_EQ(production::LoadRecipe(path).identity, r.identity);
    Write("r.recipe", Slurp(path) + "\n");
    EXPECT_NE(production::LoadRecipe(path).identity, r.identity) << "a byte more in the recipe";
    // Framing: bytes moved from the recipe's end to the image's start differ.
    EXPECT_NE(production::RecipeIdentity("ab", {"c"}), production::RecipeIdentity("a", {"bc"}));

    // The one-section form of the station's settings stays valid.
    const auto one = production::LoadRecipe(
        Write("one.recipe", "product = P\nsection = 11\ndata = one.hex\nserial = sn at 11:4 bcd2\n"));
    ASSERT_EQ(one.image.size(), 1u);
    EXPECT_EQ(one.image[0].number, 11);
    EXPECT_EQ(test::ToHex(one.image[0].bytes), "C0 C1 C2 C3 C4 C5 C6 C7");
}

// Every mistake a line engineer can make in a recipe is refused with its
// line or its reason, before any board.
TEST_F(RecipeFiles, EveryMistakeIsRefusedWithItsReason) {
    const std::string head = "product = P\nimage = image.qmb\n";
    const struct {
        std::string text, reason;
    } cases[] = {
        {"image = image.qmb\n", "no product"},
        {"product = P\n", "no image"},
        {head + "section = 3\n", "one or the other"},
        {"product = P\nsection = 11\n", "needs both"},
        {"product = P\nsection = 11\ndata = one.hex\nsections = 11\n", "sections: only with image"},
        {head + "format = bin\n", "format: only with data"},
        {head + "product = Q\n", ":3: product is given twice"},
        {head + "colour = red\n", ":3: unknown key: colour"},
        {head + "keep-existing = maybe\n", "keep-existing: yes or no"},
        {head + "lease = -1\n", "lease: 0 to 100000"},
        {head + "lockout = 0\n", "lockout: 1 to 1000"},
        {head + "dut-id-section = 256\n", "dut-id-section: 1 to 255"},
        {head + "sections = 1-x\n", "sections: "},
        {head + "sections = 2\n", "section 2 is not in the image"},
        {head + "serial = sn 3:0 u32be\n", "POOL at SECTION:OFFSET LAYOUT"},
        {head + "serial = sn at 3 u32be\n", "SECTION:OFFSET expected"},
        {head + "serial = sn at 3:0 u33be\n", "unknown layout"},
        {head + "serial = s/n at 3:0 u32be\n", "pool name"},
        {head + "serial = sn at 3:0 u32be extra\n", "POOL at SECTION:OFFSET LAYOUT"},
        {head + "serial = sn at 2:0 u8\n", "section 2 is not written"},
        {head + "sections = 1,4\nserial = sn at 3:0 u8\n", "section 3 is not written"},
        {head + "serial = sn at 3:14 u32be\n", "bytes 14 to 17 lie outside section 3 (17 bytes)"},
        {head + "serial = sn at 1:0 u16le\n", "outside section 1"},
        {head + "serial = sn at 4:0 u32be\nserial = mac at 4:3 bytes6\n", "overlaps serial sn at 4:0"},
        {head + "serial = sn at 4:0 u32be\nserial = sn at 3:0 u8\n", "pool sn is named by two fields"},
        {head + "product2\n", ":3: key = value expected"},
        {head + "batch = \xC3\x28\n", ":3: not UTF-8"},
        {"product = P\nimage = missing.qmb\n", "cannot read"},
        {"product = P\nimage = one.hex\n", "image"},
        {"product = P\nsection = 11\ndata = image.qmb\n", "data"},
        {head + "serial = sn at 3:0 u32be\r\nproduct = Q\r\n", "product is given twice"},
    };
    for (const auto& c : cases) {
        const std::string path = Write("bad.recipe", c.text);
        try {
            production::LoadRecipe(path);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const production::RecipeError& e) {
            const std::string why = e.what();
            EXPECT_NE(why.find(c.reason), std::string::npos) << c.text << " -> " << why;
            EXPECT_EQ(why.find('\n'), std::string::npos) << why;
            EXPECT_EQ(why.rfind(path, 0), 0u) << "names the recipe: " << why;
        }
    }
}

// The quota: passed boards of the release over every station plus the boards
// under way here never pass it; a board that failed frees its place.
TEST(Quota, PassedBoardsAndBoardsUnderWayStayWithinIt) {
    store::MemoryStore records;
    const std::string identity(64, 'a');
    auto pass = [&] {
        store::Record r;
        r.id = store::NewRecordId();
        r.station = "other";
        r.image_sha256 = std::string(64, 'b');
        r.started_at = r.ended_at = "2026-12-09T10:00:00.000Z";
        r.result = "pass";
        r.recipe_sha256 = identity;
        records.Insert(r);
    };
    pass();  // another station's board
    production::QuotaGate gate(records, identity, 3);
    EXPECT_EQ(gate.Enter(), "");
    EXPECT_EQ(gate.Enter(), "");
    const std::string full = gate.Enter();
    EXPECT_NE(full.find("quota of 3 boards is reached (1 passed, 2 under way"), std::string::npos) << full;
    gate.Leave(false);  // a failed board is no pass
    EXPECT_EQ(gate.Enter(), "");
    gate.Leave(true);   // its record is not in the store yet: counted all the same
    gate.Leave(true);
    EXPECT_NE(gate.Enter(), "");
    pass();
    pass();  // the two records arrive: still three, not five
    EXPECT_NE(gate.Enter().find("(3 passed, 0 under way"), std::string::npos);
}

}  // namespace
}  // namespace qmb::device
