// Device commands over the fake port: the bytes on the wire and the replies.
#include <gtest/gtest.h>

#include "Harness.h"
#include "job/JobFlags.h"
#include "link/SerialLink.h"
#include "protocol/Commands.h"
#include "protocol/Frame.h"

namespace qmb::test {
namespace {

const uint8_t kAddress[3] = {0x11, 0x22, 0x33};

Bytes InfoReply(uint8_t length, const uint8_t address[3] = kAddress) {
    return SectionInfoReply(length, Bytes(address, address + 3));
}
Bytes ReadReply(const Bytes& data) {
    return ReadReplyOf(data);
}

class CommandsTest : public CoreTest {
  protected:
    void SetUp() override { ASSERT_TRUE(OpenPort('1')); }
};

TEST_F(CommandsTest, QueryFillsInfoFromTheReply) {
    ReplyWith({InfoReply(8)});
    SectionInfo info{};
    EXPECT_TRUE(QuerySectionInfo(11, info));
    EXPECT_EQ(info.length, 8);
    EXPECT_EQ(Bytes(info.address, info.address + 3), (Bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(ToHex(port.Writes().at(0)), "AA 03 00 0C 00 0C 00 0C 00 2C 2C 05 2C 12 0B 00 33");
}

TEST_F(CommandsTest, QuerySendsTheLowEightBitsOfTheSectionNumber) {
    ReplyWith({InfoReply(1)});
    SectionInfo info{};
    EXPECT_TRUE(QuerySectionInfo(0x10B, info));
    EXPECT_EQ(port.Writes().at(0)[14], 0x0B);
}

TEST_F(CommandsTest, QueryReportingLengthZeroIsAFailure) {
    const uint8_t other[3] = {9, 8, 7};
    ReplyWith({InfoReply(0, other)});
    SectionInfo info{};
    EXPECT_FALSE(QuerySectionInfo(11, info));
    EXPECT_EQ(port.Writes().size(), 1u) << "a valid reply ends the attempts";
    EXPECT_EQ(info.length, 0);
}

TEST_F(CommandsTest, QueryFailingEveryAttemptLeavesInfoUnchanged) {
    SectionInfo info{{1, 2, 3}, 44};
    EXPECT_FALSE(QuerySectionInfo(11, info));
    EXPECT_EQ(port.Writes().size(), 3u);
    EXPECT_EQ(info.length, 44);
    EXPECT_EQ(info.address[2], 3);
    EXPECT_EQ(clock.Elapsed(), 3u * (1200 + 2000));
}

TEST_F(CommandsTest, ReadCopiesTheDataAndSendsTheWorkedRequest) {
    ReplyWith({ReadReply({0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7})});
    uint8_t dest[8] = {};
    EXPECT_TRUE(ReadSectionMemory(dest, kAddress, 8));
    EXPECT_EQ(Bytes(dest, dest + 8), FromHex("A0 A1 A2 A3 A4 A5 A6 A7"));
    EXPECT_EQ(ToHex(port.Writes().at(0)),
              "AA 03 00 14 00 14 00 0C 00 2C 2C 05 2C 02 00 08 00 11 22 33 01 00 00 00 CF");
}

TEST_F(CommandsTest, ReadOf255BytesExpectsA272ByteReply) {
    Bytes data(255);
    for (int i = 0; i < 255; ++i)
        data[i] = static_cast<uint8_t>(255 - i);
    Bytes reply = ReadReply(data);
    ASSERT_EQ(reply.size(), 272u);
    ReplyWith({reply});
    uint8_t dest[255] = {};
    EXPECT_TRUE(ReadSectionMemory(dest, kAddress, 255));
    EXPECT_EQ(Bytes(dest, dest + 255), data);
}

TEST_F(CommandsTest, ReadFailureLeavesTheDestinationAlone) {
    ReplyWith({ReadReply({1, 2, 3})});  // too short for 8
    uint8_t dest[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(ReadSectionMemory(dest, kAddress, 8));
    EXPECT_EQ(Bytes(dest, dest + 8), Bytes(8, 9));
}

TEST_F(CommandsTest, WriteSendsEveryByteThenCommitOnce) {
    ReplyWith({MakeReply(17), MakeReply(17)});
    const uint8_t bytes[8] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    EXPECT_TRUE(WriteSectionMemory(bytes, kAddress, 8));
    EXPECT_TRUE(CommitSection(11));
    auto writes = port.Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(ToHex(writes[0]),
              "AA 03 00 1C 00 1C 00 0C 00 2C 2C 05 2C 02 00 08 00 11 22 33 02 11 22 33 "
              "A0 A1 A2 A3 A4 A5 A6 A7 3C");
    EXPECT_EQ(ToHex(writes[1]), "AA 03 00 0C 00 0C 00 0C 00 2C 2C 05 2C 22 01 0B 22");
}

TEST_F(CommandsTest, WriteAndCommitMakeOneAttemptWithAOneSecondPause) {
    const uint8_t bytes[1] = {1};
    EXPECT_FALSE(WriteSectionMemory(bytes, kAddress, 1));
    EXPECT_EQ(clock.Elapsed(), 1200u + 1000u);
    EXPECT_FALSE(CommitSection(11));
    EXPECT_EQ(clock.Elapsed(), 2u * 2200u);
    EXPECT_EQ(port.Writes().size(), 2u);
    EXPECT_EQ(port.Count(PortEvent::kPurge), 3u);  // the open's, and one after each
}

TEST_F(CommandsTest, IgnitionSkipsOtherBytesAnswersOAndDropsThirteen) {
    port.Deliver({'x', 0x00}, 100);
    port.Deliver({'I'}, 5000);
    port.SetPeer([](const Bytes& written, FakePort& p) {
        if (written == Bytes{'O'}) {
            p.Deliver({'?', 'O'}, 20);
            p.Deliver(Bytes(13, 0x55), 40);
            p.Deliver({0xAA}, 60);  // the next reply's first byte stays unread
        }
    });
    WaitForIgnition();
    EXPECT_EQ(port.Writes(), (std::vector<Bytes>{{'O'}}));
    EXPECT_EQ(port.Writes().size(), 1u);
    EXPECT_EQ(clock.Elapsed(), 5040u);
}

TEST_F(CommandsTest, IgnitionTrailerMayBeShort) {
    port.Deliver({'I'}, 0);
    port.SetPeer([](const Bytes&, FakePort& p) { p.Deliver({'O', 1, 2}, 0); });
    WaitForIgnition();
    EXPECT_EQ(clock.Elapsed(), 1200u) << "one ReceiveBytes of 13, its three attempts";
}

TEST_F(CommandsTest, IgnitionWaitEndsOnlyByAbort) {
    clock.At(60 * 60 * 1000, [] { JobFlags.fetch_or(kJobAbort); });
    int code = RunAsJob([] { WaitForIgnition(); });
    EXPECT_EQ(code, 1);
    EXPECT_LE(clock.Elapsed(), 60u * 60 * 1000 + 400);
    EXPECT_TRUE(port.Writes().empty());
}

}  // namespace
}  // namespace qmb::test
