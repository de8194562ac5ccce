// What qmb-device.exe's lists and boxes say (bench-win32/BenchText.h): the
// rows of a section whose length is no multiple of 16, the marks, the typed
// row's rules, the section table's cells and the write plan's texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench-win32/BenchText.h"
#include "device/BackupFile.h"

namespace qmb::benchview {
namespace {

using device::Bytes;

TEST(BenchText, HexRowsCoverEveryByteOnceWithItsMarks) {
    Bytes bytes;
    for (int i = 0; i < 17; ++i)
        bytes.push_back(static_cast<uint8_t>(0x1E + i));  // 0x1E..0x2E: around the printable edge
    bytes[15] = 0x7F;
    std::vector<uint8_t> marks(17, device::kMarkNone);
    marks[1] = device::kMarkDiffers;
    marks[2] = device::kMarkEdited;
    marks[3] = device::kMarkDiffers | device::kMarkEdited;
    marks[16] = device::kMarkEdited;
    EXPECT_EQ(RowCount(0), 0u);
    EXPECT_EQ(RowCount(16), 1u);
    EXPECT_EQ(RowCount(17), 2u);
    EXPECT_EQ(RowCount(255), 16u);
    const struct {
        size_t row;
        HexColumn column;
        const char* text;
    } cases[] = {
        {0, HexColumn::kOffset, "0000"},
        {0, HexColumn::kHex, "1E 1F 20 21 22 23 24 25 26 27 28 29 2A 2B 2C 7F"},
        {0, HexColumn::kAscii, ".. !\"#$%&'()*+,."},
        {0, HexColumn::kMarks, ".DE*............"},
        // The last row holds the 17th byte alone.
        {1, HexColumn::kOffset, "0010"},
        {1, HexColumn::kHex, "2E"},
        {1, HexColumn::kAscii, "."},
        {1, HexColumn::kMarks, "E"},
        {2, HexColumn::kHex, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HexRowText(bytes, marks, c.row, c.column), c.text)
            << "row " << c.row << " column " << static_cast<int>(c.column);
    }
    // Marks missing for a byte (a view between two updates) read as none.
    EXPECT_EQ(HexRowText(bytes, {}, 1, HexColumn::kMarks), ".");
}

TEST(BenchText, ATypedRowMustHoldExactlyItsBytes) {
    Bytes bytes = {0xEE};
    std::string error;
    EXPECT_TRUE(ParseRowText("a0 B1\tc2", 3, bytes, &error)) << error;
    EXPECT_EQ(bytes, (Bytes{0xA0, 0xB1, 0xC2}));
    const struct {
        const char* text;
        size_t count;
        const char* error;
    } refused[] = {
        {"A0 B1", 3, "The row holds 3 bytes; 2 bytes were typed."},
        {"A0 B1 C2 D3", 3, "The row holds 3 bytes; 4 bytes were typed."},
        {"", 1, "The row holds 1 byte; 0 bytes were typed."},
        {"A0 B", 2, ""},
        {"A0 XY", 2, ""},
    };
    for (const auto& r : refused) {
        Bytes kept = {0x42};
        error.clear();
        EXPECT_FALSE(ParseRowText(r.text, r.count, kept, &error)) << r.text;
        EXPECT_EQ(kept, Bytes{0x42}) << r.text;  // nothing changed on refusal
        EXPECT_FALSE(error.empty()) << r.text;
        if (*r.error) {
            EXPECT_EQ(error, r.error);
        }
    }
}

TEST(BenchText, SectionCellsShowWhatIsKnownOfEachSection) {
    device::SectionRow present;
    present.number = 11;
    present.presence = device::Presence::kPresent;
    present.address[0] = 0x11;
    present.address[1] = 0x22;
    present.address[2] = 0x33;
    present.length = 8;
    device::BackupSection s{11, {0x11, 0x22, 0x33}, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}};
    present.crc32 = device::SectionCrc(s);
    present.state = device::SectionState::kDifferent;
    device::SectionRow absent;
    absent.number = 5;
    absent.presence = device::Presence::kAbsent;
    absent.state = device::SectionState::kAbsent;
    device::SectionRow unknown;
    unknown.number = 200;
    const struct {
        const device::SectionRow& row;
        SectionColumn column;
        const char* text;
    } cases[] = {
        {present, SectionColumn::kNumber, "11"},
        {present, SectionColumn::kAddress, "11 22 33"},
        {present, SectionColumn::kLength, "8"},
        // CRC-32 (IEEE) over the number, the address, the length and the bytes.
        {present, SectionColumn::kCrc, "1C7BA38F"},
        {present, SectionColumn::kState, "different"},
        {absent, SectionColumn::kAddress, ""},
        {absent, SectionColumn::kLength, "0"},
        {absent, SectionColumn::kCrc, ""},
        {absent, SectionColumn::kState, "absent"},
        {unknown, SectionColumn::kLength, ""},
        {unknown, SectionColumn::kState, "not read"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SectionCell(c.row, c.column), c.text)
            << "section " << c.row.number << " column " << static_cast<int>(c.column);
    }
}

TEST(BenchText, ThePlanAndTheWritesOutcomeNameEverySection) {
    EXPECT_EQ(PlanText({}), "Nothing to write: no byte differs from the device.");
    const std::vector<device::SectionWrite> plan = {
        {11, Bytes(8, 0), 2},
        {12, Bytes(1, 0), 1},
    };
    EXPECT_EQ(PlanText(plan),
              "section 11: 2 of 8 bytes change\r\nsection 12: 1 of 1 byte changes\r\n"
              "2 sections, 3 bytes to write.");

    device::WriteResult done;
    done.written = plan;
    done.backupPath = "C:\\b\\x.qmb";
    EXPECT_EQ(WriteOutcomeText(done), "Written and verified: section 11 12. Backup: C:\\b\\x.qmb");

    device::WriteResult failed;
    failed.written = {plan[0]};
    failed.notWritten = {13, 20};
    failed.uncertain = true;
    failed.failure = {device::Fault::kNoReply, 12, "the device did not answer"};
    EXPECT_EQ(WriteOutcomeText(failed),
              "Section 12: the device did not answer The device may or may not hold its new "
              "bytes. Written: 11. Not sent: 13 20.");
    // A message that names its section already is not prefixed again.
    failed.failure.message = "section 12: read-back differs";
    failed.uncertain = false;
    EXPECT_EQ(WriteOutcomeText(failed),
              "section 12: read-back differs Written: 11. Not sent: 13 20.");
}

}  // namespace
}  // namespace qmb::benchview
