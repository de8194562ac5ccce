// The service bench's model against the simulated device in virtual time
// (SimPeer): the whole device read, compared with a reference, edited with
// undo and redo, and written back only where bytes change, with the frames
// the device saw; and the patch file, in both directions.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "SimPeer.h"
#include "device/Bench.h"
#include "platform/AtomicFile.h"

namespace qmb::device {
namespace {

namespace fs = std::filesystem;
using test::FromHex;
using test::ToHex;

// A frame the tool sent, by its command: "info 11", "read 11", "write 11",
// "commit 11" (the simulator's default addresses: 01 NN 00, and 11 22 33 for
// section 11).
std::string FrameKind(const Bytes& f) {
    if (f.size() < 17 || f[0] != 0xAA) return "other";
    if (f[13] == 0x12) return "info " + std::to_string(f[14]);
    if (f[13] == 0x22) return "commit " + std::to_string(f[15]);
    if (f.size() < 21 || f[13] != 0x02) return "other";
    const int section = f[17] == 0x11 && f[18] == 0x22 ? 11 : f[18];
    return (f[20] == 0x02 ? "write " : "read ") + std::to_string(section);
}

std::string Repeat(const std::string& text, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += text;
    return out;
}

// The line-time floor of a read-all: every frame's bytes x 10 / 38400 s.
double ReadAllFloorMs(const Snapshot& s) {
    double bytes = 255.0 * (17 + 33);
    for (int n = 1; n <= 255; ++n) {
        if (s.At(n).presence == Presence::kPresent) bytes += 25 + s.At(n).bytes.size() + 17;
    }
    return bytes * 10 / 38400 * 1000;
}

class BenchModel : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/qmb-bench-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        device.Open("COM1");
    }
    void TearDown() override { fs::remove_all(dir); }

    Snapshot Read() {
        const ReadResult r = ReadAll(device, {});
        EXPECT_FALSE(r.failure.Failed()) << r.failure.message;
        return r.snapshot;
    }
    // The device's content read, and the frames from here on counted.
    void ReadInto(Bench& bench) {
        bench.SetDevice(Read());
        mark = port.Writes().size();
    }
    // The kinds of the frames sent since `mark`, those of one kind only
    // when `only` is given.
    std::vector<std::string> Frames(const std::string& only = "") const {
        std::vector<std::string> kinds;
        const auto writes = port.Writes();
        for (size_t i = mark; i < writes.size(); ++i) {
            const std::string k = FrameKind(writes[i]);
            if (only.empty() || k.rfind(only, 0) == 0) kinds.push_back(k);
        }
        return kinds;
    }
    Bytes Eeprom(int n) const {
        const sim::Section* s = sim.model.GetSection(n);
        return Bytes(s->eeprom.begin(), s->eeprom.begin() + s->length);
    }
    void AddFault(sim::FaultKind kind, sim::RequestKind on, uint32_t skip, size_t offset = 0) {
        sim::Fault f;
        f.kind = kind;
        f.request = on;
        f.skip = skip;
        f.offset = offset;
        sim.model.AddFault(f);
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        if (!fs::exists(dir + "/backups")) return names;
        for (const auto& e : fs::directory_iterator(dir + "/backups"))
            names.push_back(e.path().filename().string());
        return names;
    }

    test::VirtualClock clock;
    test::FakePort port{clock};
    test::SimPeer sim{port, clock};
    Device device{port, clock};
    std::string dir;
    size_t mark = 0;
};

TEST_F(BenchModel, ReadAllAsksEachSectionOnceReadsThePresentOnesAndStaysNearTheLineFloor) {
    std::vector<ReadProgress> seen;
    const ReadResult r = ReadAll(device, [&](const ReadProgress& p) { seen.push_back(p); });
    ASSERT_FALSE(r.failure.Failed()) << r.failure.message;
    EXPECT_TRUE(r.snapshot.Complete());
    EXPECT_EQ(r.snapshot.PresentCount(), 126) << "1-4, 6-127 of the defaults";
    EXPECT_EQ(r.snapshot.At(11).bytes, FromHex("A0 A1 A2 A3 A4 A5 A6 A7"));
    EXPECT_EQ(ToHex(Bytes(r.snapshot.At(11).address, r.snapshot.At(11).address + 3)), "11 22 33");
    EXPECT_EQ(r.snapshot.At(4).bytes.size(), 255u);
    EXPECT_EQ(r.snapshot.At(5).presence, Presence::kAbsent);
    EXPECT_EQ(Frames("info").size(), 255u);
    EXPECT_EQ(Frames("read").size(), 126u);
    EXPECT_EQ(Frames().size(), 255u + 126u) << "no other exchange than a backup's";
    ASSERT_EQ(seen.size(), 256u);
    for (int i = 0; i < 255; ++i)
        EXPECT_TRUE(seen[i].done == i && seen[i].section == i + 1) << i;
    EXPECT_TRUE(seen.back().done == 255 && seen.back().section == 0);
    // No wait beyond the line: the virtual clock counts whole milliseconds,
    // so each of the 381 replies may end up to 1 ms after its last byte.
    // (The real-time figure against 1.05 x the floor: qmb-bench-backup.)
    const double floor = ReadAllFloorMs(r.snapshot);
    EXPECT_GE(static_cast<double>(clock.Elapsed()), floor);
    EXPECT_LE(static_cast<double>(clock.Elapsed()), floor + 381.0) << "floor " << floor << " ms";

    // A stop asked for from another thread ends it at the next transfer,
    // keeping what was read.
    const size_t before = port.Writes().size();
    const ReadResult stopped = ReadAll(device, [&](const ReadProgress& p) {
        if (p.section == 100) device.RequestStop();
    });
    EXPECT_EQ(stopped.failure.fault, Fault::kInterrupted);
    EXPECT_EQ(stopped.snapshot.At(99).presence, Presence::kPresent);
    EXPECT_EQ(stopped.snapshot.At(100).presence, Presence::kNotRead);
    EXPECT_EQ(port.Writes().size() - before, 99u + 98u) << "nothing sent after the stop";
    device.ClearStopRequest();
    EXPECT_EQ(device.Info(11).length, 8) << "the device serves again once the stop is cleared";
}

// The reference against the device: every kind of section state, the byte
// marks, the differences in order and the summary.
TEST_F(BenchModel, StatesMarksDifferencesAndSummaryFollowTheReferenceAndTheEdits) {
    Bench bench;
    ReadInto(bench);
    EXPECT_EQ(bench.State(11), SectionState::kUncompared);
    EXPECT_EQ(bench.State(5), SectionState::kAbsent);
    EXPECT_EQ(bench.SummaryText(), "no reference");
    EXPECT_FALSE(bench.NextDifference({0, 0}));

    Snapshot ref = bench.DeviceSnapshot();
    ref.SetBytes(11, FromHex("A0 A1 00 A3 A4 A5 A6 00"));  // 2 bytes
    ref.SetBytes(2, Bytes(8, 0x02));                        // another length: 8 of 16
    const uint8_t other[3] = {9, 9, 9};
    ref.SetPresent(5, other, {1, 2});                       // only in the file
    ref.SetAbsent(12);                                      // only on the device
    ref.SetPresent(13, other, bench.Working(13));           // the address alone
    ref.SetNotRead(14);                                     // a file that does not say
    bench.SetReference(ref, "good.qmb");
    const struct {
        int section;
        SectionState state;
    } states[] = {
        {1, SectionState::kSame},        {2, SectionState::kDifferent},
        {5, SectionState::kOnlyFile},    {11, SectionState::kDifferent},
        {12, SectionState::kOnlyDevice}, {13, SectionState::kDifferent},
        {14, SectionState::kOnlyDevice}, {200, SectionState::kSame},
    };
    for (const auto& s : states)
        EXPECT_EQ(bench.State(s.section), s.state) << s.section;
    EXPECT_EQ(bench.Marks(11), (std::vector<uint8_t>{0, 0, kMarkDiffers, 0, 0, 0, 0, kMarkDiffers}));
    const std::vector<uint8_t> two = bench.Marks(2);
    EXPECT_EQ(std::count(two.begin(), two.end(), kMarkDiffers), 8 + 7)
        << "7 of the first 8 differ (02 equals), the last 8 lie past the reference's end";
    EXPECT_EQ(bench.Row(5).length, 2u) << "an only-in-the-file section shows the file's";
    EXPECT_EQ(bench.Row(5).presence, Presence::kAbsent);

    const std::vector<Position> all = bench.Differences();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front(), (Position{2, 1}));
    EXPECT_EQ(*bench.NextDifference({2, 15}), (Position{5, 0}));
    EXPECT_EQ(*bench.NextDifference({5, 0}), (Position{11, 2}));
    EXPECT_EQ(*bench.PreviousDifference({11, 2}), (Position{5, 0}));
    EXPECT_EQ(*bench.PreviousDifference({256, 0}), (Position{14, 0}));
    EXPECT_FALSE(bench.NextDifference({14, 0}));
    EXPECT_FALSE(bench.PreviousDifference({2, 1}));
    EXPECT_EQ(bench.SummaryText(), "6 sections differ, 17 bytes");

    // An edit is marked apart from the difference, and wins the state.
    std::string error;
    ASSERT_TRUE(bench.EnterHex(11, 7, "55", &error)) << error;
    ASSERT_TRUE(bench.EnterHex(1, 0, "55", &error)) << error;
    EXPECT_EQ(bench.Marks(11)[7], kMarkDiffers | kMarkEdited);
    EXPECT_EQ(bench.Marks(1)[0], kMarkDiffers | kMarkEdited);
    EXPECT_EQ(bench.State(11), SectionState::kEdited);
    EXPECT_EQ(bench.SummaryText(), "7 sections differ, 18 bytes; 2 sections edited, 2 bytes");
    const BackupSection edited{1, {0x01, 0x01, 0x00}, {0x55}};
    EXPECT_EQ(bench.Row(1).crc32, SectionCrc(edited)) << "the table shows the working copy's";
}

// Undo and redo without limit, merging from the reference, reverting, and
// refusals that change nothing.
TEST_F(BenchModel, EditsUndoRedoMergeAndRevertAlwaysLeaveAPlanOfChangedSectionsOnly) {
    Bench bench;
    ReadInto(bench);
    Snapshot ref = bench.DeviceSnapshot();
    ref.SetBytes(11, FromHex("00 01 02 03 04 05 06 07"));
    ref.SetBytes(7, Bytes(32, 0xEE));
    ref.SetBytes(2, Bytes(3, 0));  // another length: never taken
    bench.SetReference(ref, "ref");
    std::string error;

    // Refused: nothing changes and no step is recorded.
    const struct {
        int section;
        size_t offset;
        const char* hex;
        const char* says;
    } refused[] = {
        {11, 6, "01 02 03", "run past its end"},
        {11, 0, "0G", "Wrong data"},
        {11, 0, "0", "Wrong data"},
        {5, 0, "01", "absent"},
        {200, 0, "01", "absent"},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(bench.EnterHex(r.section, r.offset, r.hex, &error)) << r.hex;
        EXPECT_NE(error.find(r.says), std::string::npos) << error;
    }
    EXPECT_FALSE(bench.TakeSectionFromReference(2, &error));
    EXPECT_NE(error.find("a length can never be written"), std::string::npos) << error;
    EXPECT_FALSE(bench.TakeFromReference(11, 6, 3, &error));
    EXPECT_FALSE(bench.CanUndo());
    EXPECT_TRUE(bench.WritePlan().empty());

    ASSERT_TRUE(bench.EnterHex(11, 0, "FF fe", &error)) << error;
    ASSERT_TRUE(bench.TakeFromReference(11, 4, 2, &error)) << error;
    EXPECT_EQ(bench.Working(11), FromHex("FF FE A2 A3 04 05 A6 A7"));
    std::vector<int> skipped;
    EXPECT_EQ(bench.TakeAllFromReference(&skipped), 32u + 6u);
    EXPECT_EQ(skipped, std::vector<int>{2});
    EXPECT_EQ(bench.Working(11), ref.At(11).bytes);
    EXPECT_EQ(bench.SummaryText(), "1 section differs, 16 bytes; 2 sections edited, 40 bytes");

    // Three steps back and forth; a new edit drops what could be redone.
    EXPECT_EQ(*bench.Undo(), (Position{7, 0}));
    EXPECT_EQ(bench.Working(7), bench.DeviceSnapshot().At(7).bytes);
    EXPECT_EQ(*bench.Undo(), (Position{11, 4}));
    EXPECT_EQ(*bench.Undo(), (Position{11, 0}));
    EXPECT_FALSE(bench.Undo());
    EXPECT_EQ(bench.Working(11), bench.DeviceSnapshot().At(11).bytes);
    EXPECT_TRUE(bench.WritePlan().empty());
    EXPECT_EQ(*bench.Redo(), (Position{11, 0}));
    EXPECT_EQ(bench.Working(11), FromHex("FF FE A2 A3 A4 A5 A6 A7"));
    ASSERT_TRUE(bench.SetBytes(12, 0, {0x99}, &error));
    EXPECT_FALSE(bench.CanRedo());

    // Bytes typed back to what the device holds plan nothing; a revert is a
    // step of its own.
    ASSERT_TRUE(bench.EnterHex(11, 0, "A0 A1", &error));
    EXPECT_EQ(bench.State(11), SectionState::kDifferent) << "the reference still differs";
    ASSERT_EQ(bench.WritePlan().size(), 1u);
    EXPECT_EQ(bench.WritePlan()[0].section, 12);
    EXPECT_EQ(bench.WritePlan()[0].changed, 1u);
    EXPECT_TRUE(bench.RevertSection(12));
    EXPECT_FALSE(bench.RevertSection(12)) << "nothing left to revert";
    EXPECT_TRUE(bench.WritePlan().empty());
    EXPECT_EQ(*bench.Undo(), (Position{12, 0}));
    EXPECT_EQ(bench.Working(12)[0], 0x99);
}

// The write: the device checked, the automatic backup before any write
// frame, then exactly the planned sections, each written, committed, read
// back; the marks clear.
TEST_F(BenchModel, WriteSendsOnlyThePlanAfterTheAutomaticBackupAndClearsTheMarks) {
    Bench bench;
    ReadInto(bench);
    std::string error;
    ASSERT_TRUE(bench.EnterHex(11, 2, "00 01", &error));
    ASSERT_TRUE(bench.EnterHex(3, 16, "FF", &error));
    ASSERT_TRUE(bench.EnterHex(7, 0, "07", &error)) << "the same byte: no change";
    const std::vector<SectionWrite> plan = bench.WritePlan();
    ASSERT_EQ(plan.size(), 2u);
    EXPECT_TRUE(plan[0].section == 3 && plan[0].changed == 1 && plan[1].section == 11 &&
                plan[1].changed == 2);

    WriteJob job = bench.MakeWriteJob(dir + "/backups", "/dev/ttyUSB0");
    job.time = "2026-12-09T10:15:00Z";
    int backupsAtFirstWrite = -1;
    port.onEvent = [&](const test::PortEvent& e, size_t) {
        if (e.kind == test::PortEvent::kWrite && backupsAtFirstWrite < 0 &&
            FrameKind(e.bytes).rfind("write", 0) == 0)
            backupsAtFirstWrite = static_cast<int>(Files().size());
    };
    std::vector<WriteProgress> seen;
    const WriteResult w = WriteSections(device, job, [&](const WriteProgress& p) { seen.push_back(p); });
    port.onEvent = nullptr;
    ASSERT_FALSE(w.failure.Failed()) << w.failure.message;
    EXPECT_EQ(backupsAtFirstWrite, 1) << "the backup is whole before the first write frame";
    EXPECT_EQ(w.backupPath, dir + "/backups/2026-12-09T10-15-00Z_ttyUSB0.qmb");
    Snapshot saved;
    ASSERT_TRUE(LoadBackupFile(w.backupPath, saved, &error)) << error;
    EXPECT_TRUE(saved.Complete());
    EXPECT_EQ(saved.At(11).bytes, FromHex("A0 A1 A2 A3 A4 A5 A6 A7")) << "the content before";
    EXPECT_EQ(Frames(), (std::vector<std::string>{"info 3", "read 3", "info 11", "read 11",
                                                  "info 3", "write 3", "commit 3", "read 3",
                                                  "info 11", "write 11", "commit 11", "read 11"}));
    EXPECT_EQ(Eeprom(11), FromHex("A0 A1 00 01 A4 A5 A6 A7"));
    EXPECT_EQ(Eeprom(3).back(), 0xFF);
    EXPECT_EQ(sim.model.Stats().commits, 2u);
    ASSERT_EQ(w.written.size(), 2u);
    EXPECT_TRUE(w.notWritten.empty());
    EXPECT_EQ(seen.back().done, 2u);

    bench.TakeWritten(w);
    EXPECT_TRUE(bench.WritePlan().empty());
    EXPECT_EQ(bench.State(11), SectionState::kUncompared);
    EXPECT_EQ(bench.SummaryText(), "no reference");
    // A second write in the same second never replaces the first backup.
    EXPECT_EQ(AutomaticBackupPath(dir + "/backups", job.time, "/dev/ttyUSB0"),
              dir + "/backups/2026-12-09T10-15-00Z_ttyUSB0-2.qmb");
    EXPECT_EQ(AutomaticBackupPath(dir, job.time, "\\\\.\\COM3"),
              dir + "/2026-12-09T10-15-00Z_COM3.qmb");
}

// Every way a write ends early: what was written stays written, the failed
// section is named, the rest is never sent.
TEST_F(BenchModel, AFailedOrCancelledWriteNamesItsSectionAndLeavesTheRestUntouched) {
    const struct {
        const char* what;
        Fault fault;
        int section;       // named by the failure
        int written;       // sections written and verified
        bool uncertain;
        size_t notWritten;
        bool backup;       // the automatic backup was made
    } cases[] = {
        {"write silent", Fault::kNoReply, 7, 1, false, 2, true},
        {"miswrite", Fault::kMismatch, 7, 1, false, 1, true},
        {"commit hang-up", Fault::kPortLost, 7, 1, true, 1, true},
        {"cancel", Fault::kInterrupted, 0, 2, false, 1, true},
        {"changed since read", Fault::kMismatch, 0, 0, false, 3, false},
        {"backup refused", Fault::kFile, 0, 0, false, 3, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim.model.ClearFaults();
        for (int n : {6, 7, 8}) {
            Bytes defaults(32);
            for (int i = 0; i < 32; ++i)
                defaults[i] = static_cast<uint8_t>(n + i);
            sim.model.SetSection(n, defaults.data(), defaults.size());
        }
        Bench bench;
        ReadInto(bench);
        std::string error;
        for (int n : {6, 7, 8})
            ASSERT_TRUE(bench.SetBytes(n, 0, {0x5A}, &error));
        WriteJob job = bench.MakeWriteJob(dir + "/" + c.what + "/backups", "COM1");
        const std::string what = c.what;
        if (what == "write silent") AddFault(sim::FaultKind::kSilent, sim::RequestKind::kWrite, 1);
        if (what == "miswrite") AddFault(sim::FaultKind::kMiswrite, sim::RequestKind::kWrite, 1);
        if (what == "commit hang-up") AddFault(sim::FaultKind::kHangUp, sim::RequestKind::kCommit, 1, 5);
        if (what == "changed since read") sim.model.SetSection(8, Bytes(32, 1).data(), 32);
        if (what == "backup refused") {
            ASSERT_TRUE(WriteFileAtomically(job.backupFolder, "x", true, nullptr));
        }
        const WriteResult w = WriteSections(device, job, [&](const WriteProgress& p) {
            if (what == "cancel" && p.section == 7) job.cancel->store(true);
        });
        EXPECT_EQ(w.failure.fault, c.fault) << w.failure.message;
        EXPECT_EQ(w.failure.section, c.section);
        EXPECT_EQ(static_cast<int>(w.written.size()), c.written);
        EXPECT_EQ(w.uncertain, c.uncertain);
        EXPECT_EQ(w.notWritten.size(), c.notWritten);
        EXPECT_EQ(!w.backupPath.empty(), c.backup);
        EXPECT_EQ(Eeprom(8)[0], what == "changed since read" ? 1 : 8) << "section 8 never sent";
        EXPECT_EQ(Frames("write 8").size(), 0u);
        EXPECT_EQ(Eeprom(6)[0], c.written ? 0x5A : 6);
        if (what == "changed since read") {
            EXPECT_EQ(w.mismatches.size(), 32u);
            EXPECT_NE(w.mismatches[0].find("section 8 offset 0: read as 08, the device now holds 01"),
                      std::string::npos) << w.mismatches[0];
        }
        if (what == "miswrite") {
            EXPECT_EQ(w.mismatches.size(), 1u);
        }
        if (c.fault == Fault::kFile || what == "changed since read") {
            EXPECT_EQ(Frames("write").size() + Frames("commit").size(), 0u);
        }
        bench.TakeWritten(w);
        EXPECT_EQ(bench.WritePlan().size(), 3u - c.written) << "what is not verified stays marked";
        if (port.IsHungUp()) {
            device.Close();
            device.Open("COM1");
        }
    }
}

// The patch file: written and read back, refused when malformed with the
// line that is wrong, checked against the device, applied as one step.
TEST_F(BenchModel, PatchesRoundTripAreRefusedWhenMalformedAndApplyOnlyWhenEveryOldByteFits) {
    Bench bench;
    ReadInto(bench);
    Snapshot target = bench.DeviceSnapshot();
    Bytes four = target.At(4).bytes;
    for (size_t i = 10; i < 50; ++i)
        four[i] = 0;  // 40 bytes: three lines of at most 16
    target.SetBytes(4, four);
    target.SetBytes(11, FromHex("A0 A1 00 A3 A4 A5 A6 00"));
    target.SetAbsent(12);  // a patch cannot hold it: a note
    std::vector<int> inexpressible;
    const Patch patch = DiffSnapshots(bench.DeviceSnapshot(), target, &inexpressible);
    EXPECT_EQ(inexpressible, std::vector<int>{12});
    const std::string text = FormatPatch(patch);
    EXPECT_NE(text.find("\nqmb-patch 1\nsection 4 offset 10 old 0E 0F"), std::string::npos) << text;
    EXPECT_NE(text.find("\nsection 11 offset 2 old A2 new 00\nsection 11 offset 7 old A7 new 00\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("# section 12: present in the first, absent in the second"),
              std::string::npos) << text;
    Patch back;
    std::string error;
    ASSERT_TRUE(ParsePatch(text, back, &error)) << error;
    EXPECT_EQ(back.changes.size(), 3u + 2u);
    EXPECT_EQ(PatchSections(back), (std::vector<int>{4, 11}));
    EXPECT_EQ(ApplyPatch(back, bench.DeviceSnapshot()).At(4).bytes, four);
    EXPECT_EQ(ParsePatch("qmb-patch 1\r\n\r\n# none\r\n", back, &error), true) << "no change";
    EXPECT_TRUE(back.changes.empty());

    const Patch kept = patch;
    const std::string good = "qmb-patch 1\nsection 11 offset 2 old A2 new 00\n";
    const struct {
        std::string text;
        const char* says;
    } refused[] = {
        {"", "not a qmb-edit patch"},
        {"qmb-backup 2\n", "line 1: not a qmb-edit patch"},
        {"qmb-patch 2\n", "format 2 is not known"},
        {good + "section 11 offset 1 old A1 new 00\n", "line 3: changes must stand in rising order"},
        {good + "section 11 offset 2 old A2 new 00\n", "never overlapping"},
        {good + "section 256 offset 0 old 00 new 01\n", "section must be 1 to 255"},
        {good + "section 12 offset 255 old 00 new 01\n", "offset must be 0 to 254"},
        {good + "section 12 offset 254 old 00 01 new 01 02\n", "run past the end"},
        {good + "section 12 offset 0 old 00 new 01 02\n", "the same number of bytes"},
        {good + "section 12 offset 0 old new\n", "expected \"section N offset N old"},
        {good + "section 12 offset 0 old 0 new 1\n", "expected \"section N"},
        {good + "section 12 offset 0 old 00 new 01 \n", "expected \"section N"},
        {good + "section 12  offset 0 old 00 new 01\n", "expected \"section N"},
        {good + "section 12 offset 0 old" + Repeat(" 00", 17) + " new" + Repeat(" 01", 17) + "\n",
         "1 to 16"},
        {good + "section 12 offset -1 old 00 new 01\n", "offset must be"},
    };
    for (const auto& r : refused) {
        Patch p = kept;
        EXPECT_FALSE(ParsePatch(r.text, p, &error)) << r.text;
        EXPECT_NE(error.find(r.says), std::string::npos) << error;
        EXPECT_EQ(FormatPatch(p), FormatPatch(kept)) << "a refused file changes nothing";
    }

    // Old bytes that are not what the device holds: every one listed, and
    // the working copy untouched.
    Patch wrong;
    ASSERT_TRUE(ParsePatch("qmb-patch 1\nsection 1 offset 0 old 01 02 new 03 04\n"
                           "section 5 offset 0 old 00 new 01\nsection 5 offset 4 old 00 new 01\n"
                           "section 11 offset 1 old A1 00 00 new 01 02 03\n",
                           wrong, &error)) << error;
    std::vector<PatchMismatch> mismatches;
    EXPECT_FALSE(bench.ApplyPatch(wrong, &mismatches));
    ASSERT_EQ(mismatches.size(), 4u);
    EXPECT_NE(mismatches[0].text.find("section 1: the patch changes offsets 0 and on, but the "
                                      "section is only 1 bytes long on the device"),
              std::string::npos) << mismatches[0].text;
    EXPECT_NE(mismatches[1].text.find("section 5: the patch changes offsets 0 and on, but the "
                                      "section is absent (length 0) on the device"),
              std::string::npos) << mismatches[1].text;
    EXPECT_EQ(mismatches[2].text, "section 11 offset 2: the patch says 00, the device holds A2");
    EXPECT_EQ(mismatches[3].offset, 3u);
    EXPECT_FALSE(bench.CanUndo());
    EXPECT_TRUE(bench.WritePlan().empty());

    ASSERT_TRUE(bench.ApplyPatch(patch, &mismatches));
    EXPECT_EQ(bench.EditsPatch().changes.size(), patch.changes.size());
    EXPECT_EQ(FormatPatch(bench.EditsPatch()), FormatPatch(DiffSnapshots(bench.DeviceSnapshot(), bench.WorkingSnapshot())));
    EXPECT_EQ(bench.WritePlan().size(), 2u);
    EXPECT_TRUE(bench.Undo());
    EXPECT_TRUE(bench.WritePlan().empty()) << "the whole patch is one step";
    bench.SetReference(target, "target");
    EXPECT_EQ(FormatPatch(bench.ReferencePatch()), text);
}

}  // namespace
}  // namespace qmb::device
