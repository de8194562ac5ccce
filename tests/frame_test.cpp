// Frame layout, checksum and reply validation.
#include <gtest/gtest.h>

#include "Harness.h"
#include "protocol/Commands.h"
#include "protocol/Frame.h"

namespace qmb::test {
namespace {

const uint8_t kAddress[3] = {0x11, 0x22, 0x33};
const uint8_t kSectionBytes[8] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};

TEST(FrameChecksum, SectionInfoQueryExampleIs33) {
    Bytes query = FromHex("AA 03 00 0C 00 0C 00 0C 00 2C 2C 05 2C 12 0B 00 00");
    EXPECT_EQ(FrameChecksum(query.data(), query.size()), 0x33);
}

TEST(FrameChecksum, SoundFrameSumsToZeroFromOffsetOne) {
    Bytes frame = MakeFrame({1, 2, 3, 0xFF, 0x80});
    uint8_t sum = 0;
    for (size_t i = 1; i < frame.size(); ++i)
        sum = static_cast<uint8_t>(sum + frame[i]);
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(frame.back(), FrameChecksum(frame.data(), frame.size()));
}

TEST(WorkedRequests, BuildersReproduceEveryByte) {
    uint8_t out[kWriteRequestBufferSize];
    size_t n = BuildSectionInfoRequest(out, 11);
    EXPECT_EQ(ToHex(Bytes(out, out + n)), "AA 03 00 0C 00 0C 00 0C 00 2C 2C 05 2C 12 0B 00 33");
    n = BuildReadRequest(out, kAddress, 8);
    EXPECT_EQ(ToHex(Bytes(out, out + n)),
              "AA 03 00 14 00 14 00 0C 00 2C 2C 05 2C 02 00 08 00 11 22 33 01 00 00 00 CF");
    n = BuildWriteRequest(out, kAddress, kSectionBytes, 8);
    EXPECT_EQ(ToHex(Bytes(out, out + n)),
              "AA 03 00 1C 00 1C 00 0C 00 2C 2C 05 2C 02 00 08 00 11 22 33 02 11 22 33 "
              "A0 A1 A2 A3 A4 A5 A6 A7 3C");
    n = BuildCommitRequest(out, 11);
    EXPECT_EQ(ToHex(Bytes(out, out + n)), "AA 03 00 0C 00 0C 00 0C 00 2C 2C 05 2C 22 01 0B 22");
}

TEST(WorkedRequests, WriteFrameCarriesEveryByteAndASoundChecksum) {
    uint8_t out[kWriteRequestBufferSize];
    const uint8_t one[1] = {0x5A};
    size_t n = BuildWriteRequest(out, kAddress, one, 1);
    ASSERT_EQ(n, 26u);
    EXPECT_EQ(out[24], 0x5A);
    EXPECT_EQ(out[25], FrameChecksum(out, n));
    EXPECT_TRUE(ValidateReply(out, n));  // a request obeys the same frame rules

    uint8_t changed[8];
    std::copy(kSectionBytes, kSectionBytes + 8, changed);
    changed[0] = 0x00;
    uint8_t other[kWriteRequestBufferSize];
    BuildWriteRequest(other, kAddress, changed, 8);
    BuildWriteRequest(out, kAddress, kSectionBytes, 8);
    EXPECT_NE(Bytes(out, out + 33), Bytes(other, other + 33))
        << "the section's first byte must reach the wire";

    uint8_t full[255];
    for (int i = 0; i < 255; ++i)
        full[i] = static_cast<uint8_t>(i * 7);
    n = BuildWriteRequest(out, kAddress, full, 255);
    ASSERT_EQ(n, 280u);
    EXPECT_EQ(out[2] * 256 + out[3], 275);
    EXPECT_EQ(out[4] * 256 + out[5], 275);
    EXPECT_TRUE(ValidateReply(out, n));
}

TEST(WorkedRequests, AnEmptyWriteIsAWellFormedFrame) {
    uint8_t out[kWriteRequestBufferSize];
    EXPECT_EQ(BuildWriteRequest(out, kAddress, nullptr, 0), 25u);
    EXPECT_TRUE(ValidateReply(out, 25));
}

TEST(ValidateReply, AcceptsASoundReply) {
    Bytes reply = MakeReply(33, 0x5C);
    EXPECT_EQ(CheckReply(reply.data(), reply.size()), ReplyFault::kNone);
}

TEST(ValidateReply, LengthFieldOneTooLargeFailsEvenWithRightChecksum) {
    Bytes reply = MakeReply(33);
    reply[3] += 1;
    reply.back() = FrameChecksum(reply.data(), reply.size());
    EXPECT_EQ(CheckReply(reply.data(), reply.size()), ReplyFault::kLength);
}

TEST(ValidateReply, EverySingleAlteredByteFailsWithItsReason) {
    for (size_t len : {17u, 33u, 272u}) {
        const Bytes sound = MakeReply(len, 0x42);
        for (size_t at = 0; at < len; ++at) {
            for (uint8_t delta : {0x01, 0x80, 0xFF}) {
                Bytes reply = sound;
                reply[at] = static_cast<uint8_t>(reply[at] + delta);
                ReplyFault want = at == 0   ? ReplyFault::kStartByte
                                  : at == 1 ? ReplyFault::kTypeByte
                                  : at <= 3 ? ReplyFault::kLength
                                            : ReplyFault::kChecksum;
                ReplyFault got = CheckReply(reply.data(), len);
                ASSERT_EQ(got, want) << "len " << len << " offset " << at << " +" << int(delta)
                                     << ": " << ReplyFaultName(got);
            }
        }
    }
}

TEST(ValidateReply, TooShortToBeAFrame) {
    Bytes reply = MakeReply(5);
    for (size_t len = 0; len < 5; ++len) {
        EXPECT_EQ(CheckReply(reply.data(), len), ReplyFault::kLength) << len;
    }
    EXPECT_TRUE(ValidateReply(reply.data(), 5));
}

}  // namespace
}  // namespace qmb::test
