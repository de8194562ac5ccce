// The simulated device's model: requests and replies, resynchronisation,
// refusals, commits, faults, the control language and the image file. Pure
// bytes in and out; no time, no I/O except the image file tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "VirtualTime.h"
#include "protocol/Commands.h"
#include "protocol/Frame.h"
#include "sim/Control.h"
#include "sim/DeviceModel.h"
#include "sim/ImageFile.h"

namespace qmb::test {
namespace {

using sim::DeviceModel;
using sim::Emission;
using sim::Fault;
using sim::FaultKind;
using sim::RequestKind;

const char kWorkedInfo[] = "AA 03 00 0C 00 0C 00 0C 00 2C 2C 05 2C 12 0B 00 33";
const char kWorkedRead[] =
    "AA 03 00 14 00 14 00 0C 00 2C 2C 05 2C 02 00 08 00 11 22 33 01 00 00 00 CF";
const char kWorkedWrite[] =
    "AA 03 00 1C 00 1C 00 0C 00 2C 2C 05 2C 02 00 08 00 11 22 33 02 11 22 33 "
    "A0 A1 A2 A3 A4 A5 A6 A7 3C";
const char kWorkedCommit[] = "AA 03 00 0C 00 0C 00 0C 00 2C 2C 05 2C 22 01 0B 22";

std::vector<Emission> Feed(DeviceModel& model, const Bytes& bytes) {
    return model.Feed(bytes.data(), bytes.size());
}

// All emitted bytes, joined.
Bytes Sent(const std::vector<Emission>& emissions) {
    Bytes all;
    for (const Emission& e : emissions)
        all.insert(all.end(), e.bytes.begin(), e.bytes.end());
    return all;
}

Bytes InfoRequest(int section) {
    Bytes r(kSectionInfoRequestSize);
    BuildSectionInfoRequest(r.data(), section);
    return r;
}

Bytes ReadRequest(const uint8_t address[3], uint8_t n) {
    Bytes r(kReadRequestSize);
    BuildReadRequest(r.data(), address, n);
    return r;
}

Bytes WriteRequest(const uint8_t address[3], const Bytes& data) {
    Bytes r(kWriteRequestBufferSize);
    r.resize(BuildWriteRequest(r.data(), address, data.data(), static_cast<uint8_t>(data.size())));
    return r;
}

Bytes CommitRequest(int section) {
    Bytes r(kCommitRequestSize);
    BuildCommitRequest(r.data(), section);
    return r;
}

const uint8_t kAddress11[3] = {0x11, 0x22, 0x33};

Bytes Working(const DeviceModel& model, int section) {
    const sim::Section* s = model.GetSection(section);
    return Bytes(s->working.begin(), s->working.begin() + s->length);
}

Bytes Eeprom(const DeviceModel& model, int section) {
    const sim::Section* s = model.GetSection(section);
    return Bytes(s->eeprom.begin(), s->eeprom.begin() + s->length);
}

bool SumsToZero(const Bytes& frame) {
    uint8_t sum = 0;
    for (size_t i = 1; i < frame.size(); ++i)
        sum = static_cast<uint8_t>(sum + frame[i]);
    return sum == 0;
}

// --- Requests and replies ---------------------------------------------------

TEST(SimModel, WorkedRequestsGetSoundRepliesOfTheExpectedLengths) {
    DeviceModel model;
    const Bytes info = Sent(Feed(model, FromHex(kWorkedInfo)));
    ASSERT_EQ(info.size(), kSectionInfoReplySize);
    EXPECT_TRUE(ValidateReply(info.data(), info.size()));
    EXPECT_EQ(info[kSectionInfoLengthOffset], 8);
    EXPECT_EQ(Bytes(info.begin() + 21, info.begin() + 24), FromHex("11 22 33"));

    const Bytes read = Sent(Feed(model, FromHex(kWorkedRead)));
    ASSERT_EQ(read.size(), 8 + kReadReplyOverhead);
    EXPECT_TRUE(ValidateReply(read.data(), read.size()));
    EXPECT_EQ(Bytes(read.begin() + 16, read.begin() + 24), FromHex("A0 A1 A2 A3 A4 A5 A6 A7"));

    const Bytes write = Sent(Feed(model, FromHex(kWorkedWrite)));
    ASSERT_EQ(write.size(), kWriteReplySize);
    EXPECT_TRUE(ValidateReply(write.data(), write.size()));

    const Bytes commit = Sent(Feed(model, FromHex(kWorkedCommit)));
    ASSERT_EQ(commit.size(), kCommitReplySize);
    EXPECT_TRUE(ValidateReply(commit.data(), commit.size()));
    EXPECT_EQ(model.Stats().requests, 4u);
}

TEST(SimModel, DefaultTableHasLengthsZeroOneSixteenSeventeenAndTwoFiftyFive) {
    DeviceModel model;
    const std::pair<int, uint8_t> expected[] = {{1, 1},  {2, 16}, {3, 17},   {4, 255}, {5, 0},
                                                {11, 8}, {6, 32}, {127, 32}, {128, 0}, {255, 0}};
    for (const auto& [section, length] : expected) {
        const Bytes reply = Sent(Feed(model, InfoRequest(section)));
        ASSERT_EQ(reply.size(), kSectionInfoReplySize) << "section " << section;
        EXPECT_TRUE(ValidateReply(reply.data(), reply.size())) << "section " << section;
        EXPECT_EQ(reply[kSectionInfoLengthOffset], length) << "section " << section;
    }
    const sim::Section* s4 = model.GetSection(4);
    const Bytes read = Sent(Feed(model, ReadRequest(s4->address.data(), 255)));
    ASSERT_EQ(read.size(), 272u);
    EXPECT_TRUE(ValidateReply(read.data(), read.size()));
    EXPECT_EQ(Bytes(read.begin() + 16, read.end() - 1), Working(model, 4));
}

TEST(SimModel, WriteThenReadReturnsTheWrittenBytesFirstByteIncluded) {
    DeviceModel model;
    const Bytes data = FromHex("5A 01 02 03 04 05 06 C7");
    EXPECT_EQ(Sent(Feed(model, WriteRequest(kAddress11, data))).size(), kWriteReplySize);
    EXPECT_EQ(Working(model, 11), data);
    EXPECT_EQ(Eeprom(model, 11), FromHex("A0 A1 A2 A3 A4 A5 A6 A7")) << "EEPROM before commit";
    const Bytes read = Sent(Feed(model, ReadRequest(kAddress11, 8)));
    ASSERT_EQ(read.size(), 25u);
    EXPECT_EQ(Bytes(read.begin() + 16, read.begin() + 24), data);
}

TEST(SimModel, CommitCopiesOnlyItsSectionToTheEepromAndFlagsTheChangeOnce) {
    DeviceModel model;
    const Bytes one = FromHex("EE");
    Feed(model, WriteRequest(model.GetSection(1)->address.data(), one));
    Feed(model, WriteRequest(kAddress11, Bytes(8, 0x42)));
    EXPECT_FALSE(model.TakeEepromChanged());
    EXPECT_EQ(Sent(Feed(model, CommitRequest(11))).size(), kCommitReplySize);
    EXPECT_EQ(Eeprom(model, 11), Bytes(8, 0x42));
    EXPECT_EQ(Eeprom(model, 1), FromHex("01")) << "section 1 was not committed";
    EXPECT_TRUE(model.TakeEepromChanged());
    EXPECT_FALSE(model.TakeEepromChanged());
    EXPECT_EQ(model.Stats().commits, 1u);
}

TEST(SimModel, RequestSplitIntoSingleBytesIsAnsweredOnceAfterItsLastByte) {
    DeviceModel model;
    const Bytes request = FromHex(kWorkedRead);
    for (size_t i = 0; i + 1 < request.size(); ++i) {
        EXPECT_TRUE(Feed(model, Bytes{request[i]}).empty()) << "byte " << i;
    }
    EXPECT_EQ(Sent(Feed(model, Bytes{request.back()})).size(), 25u);
}

TEST(SimModel, ResynchronisesOnTheNextStartByteAfterGarbageAndBadFrames) {
    DeviceModel model;
    Bytes stream = FromHex("00 FF 4F AA AA 03 13");  // noise, false starts
    Bytes bad = FromHex(kWorkedInfo);
    bad.back() ^= 0x01;  // bad checksum
    Bytes cut = FromHex(kWorkedRead);
    cut.resize(10);  // a request cut short
    for (const Bytes& part : {bad, cut, FromHex(kWorkedInfo), FromHex(kWorkedCommit)}) {
        stream.insert(stream.end(), part.begin(), part.end());
    }
    const std::vector<Emission> out = Feed(model, stream);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes.size(), kSectionInfoReplySize);
    EXPECT_EQ(out[1].bytes.size(), kCommitReplySize);
    EXPECT_GE(model.Stats().badFrames, 1u);
    EXPECT_GT(model.Stats().garbageBytes, 0u);
}

TEST(SimModel, BadChecksumUnknownCommandAndBadLayoutGetNoReply) {
    DeviceModel model;
    Bytes badChecksum = FromHex(kWorkedRead);
    badChecksum[18] ^= 0x10;
    Bytes unknownCommand = FromHex(kWorkedInfo);
    unknownCommand[13] = 0x13;
    SealFrame(unknownCommand.data(), unknownCommand.size());
    Bytes badDirection = FromHex(kWorkedRead);
    badDirection[20] = 0x03;
    SealFrame(badDirection.data(), badDirection.size());
    Bytes writeLengthMismatch = FromHex(kWorkedWrite);
    writeLengthMismatch[15] = 7;  // n says 7, the frame carries 8
    SealFrame(writeLengthMismatch.data(), writeLengthMismatch.size());
    Bytes badHeader = FromHex(kWorkedInfo);
    badHeader[11] = 0x06;
    SealFrame(badHeader.data(), badHeader.size());
    Bytes commitWithoutOne = FromHex(kWorkedCommit);
    commitWithoutOne[14] = 0x00;
    SealFrame(commitWithoutOne.data(), commitWithoutOne.size());
    const std::pair<const char*, Bytes> cases[] = {
        {"bad checksum", badChecksum},   {"unknown command", unknownCommand},
        {"bad direction", badDirection}, {"write length mismatch", writeLengthMismatch},
        {"bad header", badHeader},       {"commit without 01", commitWithoutOne},
        {"section 0", InfoRequest(0)},   {"commit of section 0", CommitRequest(0)},
    };
    for (const auto& [what, request] : cases) {
        EXPECT_TRUE(Feed(model, request).empty()) << what;
    }
    EXPECT_EQ(model.Stats().requests, 0u);
    EXPECT_EQ(Sent(Feed(model, FromHex(kWorkedInfo))).size(), 33u) << "still answers after";
}

TEST(SimModel, WriteOrReadNotMatchingASectionIsRefusedAndChangesNothing) {
    DeviceModel model;
    const uint8_t nowhere[3] = {0x11, 0x22, 0x34};
    EXPECT_TRUE(Feed(model, WriteRequest(nowhere, Bytes(8, 0x55))).empty());
    EXPECT_TRUE(Feed(model, WriteRequest(kAddress11, Bytes(7, 0x55))).empty()) << "short";
    EXPECT_TRUE(Feed(model, WriteRequest(kAddress11, Bytes(9, 0x55))).empty()) << "long";
    EXPECT_EQ(Working(model, 11), FromHex("A0 A1 A2 A3 A4 A5 A6 A7"));
    EXPECT_TRUE(Feed(model, ReadRequest(nowhere, 8)).empty());
    EXPECT_TRUE(Feed(model, ReadRequest(kAddress11, 9)).empty()) << "past the end";
    EXPECT_EQ(model.Stats().refused, 5u);
}

TEST(SimModel, IgnitionSendsIAndAnswersOWithOAndThirteenBytes) {
    DeviceModel model;
    EXPECT_TRUE(Feed(model, FromHex("4F")).empty()) << "no handshake under way";
    const std::vector<Emission> i = model.Ignite();
    ASSERT_EQ(Sent(i), Bytes{'I'});
    EXPECT_TRUE(model.AwaitingIgnitionAnswer());
    const Bytes answer = Sent(Feed(model, FromHex("00 4F")));
    ASSERT_EQ(answer.size(), 14u);
    EXPECT_EQ(answer[0], 'O');
    EXPECT_FALSE(model.AwaitingIgnitionAnswer());
    EXPECT_TRUE(Feed(model, FromHex("4F")).empty()) << "answered once";

    model.Ignite();
    model.AbandonIgnition();
    EXPECT_TRUE(Feed(model, FromHex("4F")).empty()) << "abandoned";
}

// --- Faults -------------------------------------------------------------------

// The reply a fault-free device sends to request.
Bytes CleanReply(const Bytes& request) {
    DeviceModel clean;
    return Sent(Feed(clean, request));
}

Fault MakeFault(FaultKind kind, RequestKind request = RequestKind::kAny) {
    Fault f;
    f.kind = kind;
    f.request = request;
    return f;
}

TEST(SimModelFaults, SilentLosesTheRequestBeforeItTakesEffect) {
    DeviceModel model;
    model.AddFault(MakeFault(FaultKind::kSilent));
    EXPECT_TRUE(Feed(model, WriteRequest(kAddress11, Bytes(8, 0x33))).empty());
    EXPECT_EQ(Working(model, 11), FromHex("A0 A1 A2 A3 A4 A5 A6 A7"));
    EXPECT_TRUE(model.PendingFaults().empty());
}

TEST(SimModelFaults, TruncateSendsTheFirstKBytesAndTheRequestStillTakesEffect) {
    DeviceModel model;
    Fault f = MakeFault(FaultKind::kTruncate, RequestKind::kWrite);
    f.offset = 0;
    model.AddFault(f);
    EXPECT_TRUE(Feed(model, WriteRequest(kAddress11, Bytes(8, 0x33))).empty());
    EXPECT_EQ(Working(model, 11), Bytes(8, 0x33)) << "written although the reply was lost";

    f.offset = 10;
    f.request = RequestKind::kSectionInfo;
    model.AddFault(f);
    const Bytes clean = CleanReply(InfoRequest(11));
    EXPECT_EQ(Sent(Feed(model, InfoRequest(11))), Bytes(clean.begin(), clean.begin() + 10));
}

TEST(SimModelFaults, CorruptInvertsTheByteAtKOrTheLastByteBeyondTheEnd) {
    for (size_t k : {size_t{0}, size_t{3}, size_t{15}, size_t{32}, size_t{500}}) {
        DeviceModel model;
        Fault f = MakeFault(FaultKind::kCorrupt);
        f.offset = k;
        model.AddFault(f);
        Bytes expected = CleanReply(InfoRequest(11));
        expected[std::min<size_t>(k, 32)] ^= 0xFF;
        const Bytes got = Sent(Feed(model, InfoRequest(11)));
        EXPECT_EQ(got, expected) << "K = " << k;
        EXPECT_FALSE(ValidateReply(got.data(), got.size())) << "K = " << k;
    }
}

TEST(SimModelFaults, MiswriteStoresOneWrittenByteWrongAndAnswersSoundly) {
    DeviceModel model;
    Fault f = MakeFault(FaultKind::kMiswrite);
    f.offset = 500;  // past the end: the last byte
    model.AddFault(f);
    EXPECT_EQ(Sent(Feed(model, InfoRequest(11))), CleanReply(InfoRequest(11))) << "writes only";
    const Bytes reply = Sent(Feed(model, WriteRequest(kAddress11, Bytes(8, 0x33))));
    EXPECT_TRUE(ValidateReply(reply.data(), reply.size()));
    EXPECT_EQ(Working(model, 11), FromHex("33 33 33 33 33 33 33 CC"));
    EXPECT_TRUE(model.PendingFaults().empty());
}

TEST(SimModelFaults, LengthPlusOneKeepsTheChecksumRightButFailsValidation) {
    DeviceModel model;
    model.AddFault(MakeFault(FaultKind::kLengthPlusOne));
    const Bytes clean = CleanReply(ReadRequest(kAddress11, 8));
    const Bytes got = Sent(Feed(model, ReadRequest(kAddress11, 8)));
    ASSERT_EQ(got.size(), clean.size());
    EXPECT_EQ(got[2] * 256 + got[3], clean[2] * 256 + clean[3] + 1);
    EXPECT_TRUE(SumsToZero(got));
    EXPECT_EQ(CheckReply(got.data(), got.size()), ReplyFault::kLength);
    EXPECT_EQ(Bytes(got.begin() + 4, got.end() - 1), Bytes(clean.begin() + 4, clean.end() - 1));
}

TEST(SimModelFaults, TrailingAppendsItsBytesAfterTheWholeReply) {
    DeviceModel model;
    Fault f = MakeFault(FaultKind::kTrailing, RequestKind::kCommit);
    f.trailing = FromHex("AA 00 FF");
    model.AddFault(f);
    Bytes expected = CleanReply(CommitRequest(11));
    expected.insert(expected.end(), f.trailing.begin(), f.trailing.end());
    EXPECT_EQ(Sent(Feed(model, CommitRequest(11))), expected);
}

TEST(SimModelFaults, PiecesSplitTheReplyWithTheGivenPausesTheLastOneRepeating) {
    DeviceModel model;
    Fault f = MakeFault(FaultKind::kPieces);
    f.pieceSizes = {10, 5, 5};
    f.pauseMs = {50, 70};
    model.AddFault(f);
    const Bytes clean = CleanReply(InfoRequest(11));
    const std::vector<Emission> out = Feed(model, InfoRequest(11));
    ASSERT_EQ(out.size(), 4u);
    const size_t sizes[] = {10, 5, 5, 13};
    const uint32_t delays[] = {0, 50, 70, 70};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(out[i].bytes.size(), sizes[i]) << "piece " << i;
        EXPECT_EQ(out[i].delayMs, delays[i]) << "piece " << i;
        EXPECT_FALSE(out[i].hangUp);
    }
    EXPECT_EQ(Sent(out), clean);
}

TEST(SimModelFaults, DelayHoldsTheWholeReplyBack) {
    DeviceModel model;
    Fault f = MakeFault(FaultKind::kDelay);
    f.delayMs = 1500;
    model.AddFault(f);
    const std::vector<Emission> out = Feed(model, InfoRequest(11));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].delayMs, 1500u);
    EXPECT_EQ(out[0].bytes, CleanReply(InfoRequest(11)));
}

TEST(SimModelFaults, ZeroLengthHitsOnlySectionInfoOfItsSectionWithASoundFrame) {
    DeviceModel model;
    Fault f = MakeFault(FaultKind::kZeroLength, RequestKind::kSectionInfo);
    f.section = 11;
    model.AddFault(f);
    EXPECT_EQ(Sent(Feed(model, ReadRequest(kAddress11, 8))),
              CleanReply(ReadRequest(kAddress11, 8)));
    EXPECT_EQ(Sent(Feed(model, InfoRequest(2))), CleanReply(InfoRequest(2)));
    const Bytes got = Sent(Feed(model, InfoRequest(11)));
    ASSERT_EQ(got.size(), 33u);
    EXPECT_EQ(got[kSectionInfoLengthOffset], 0);
    EXPECT_TRUE(ValidateReply(got.data(), got.size()));
    EXPECT_TRUE(model.PendingFaults().empty());
}

TEST(SimModelFaults, HangUpSendsTheFirstKBytesThenHangsUp) {
    DeviceModel model;
    Fault f = MakeFault(FaultKind::kHangUp, RequestKind::kRead);
    f.offset = 7;
    model.AddFault(f);
    const Bytes clean = CleanReply(ReadRequest(kAddress11, 8));
    const std::vector<Emission> out = Feed(model, ReadRequest(kAddress11, 8));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].hangUp);
    EXPECT_EQ(out[0].bytes, Bytes(clean.begin(), clean.begin() + 7));
}

TEST(SimModelFaults, SkipAndCountTargetExactlyTheSecondAndThirdQueries) {
    DeviceModel model;
    Fault f = MakeFault(FaultKind::kSilent, RequestKind::kSectionInfo);
    f.skip = 1;
    f.count = 2;
    model.AddFault(f);
    const Bytes read = ReadRequest(kAddress11, 8);
    EXPECT_EQ(Sent(Feed(model, InfoRequest(11))).size(), 33u) << "1st query passes";
    EXPECT_EQ(Sent(Feed(model, read)).size(), 25u) << "reads do not count";
    EXPECT_TRUE(Feed(model, InfoRequest(11)).empty()) << "2nd query hit";
    EXPECT_TRUE(Feed(model, InfoRequest(11)).empty()) << "3rd query hit";
    EXPECT_EQ(Sent(Feed(model, InfoRequest(11))).size(), 33u) << "4th query passes";
    EXPECT_TRUE(model.PendingFaults().empty());
    EXPECT_EQ(model.Stats().faultsApplied, 2u);
}

TEST(SimModelFaults, QueuedFaultsHitOneRequestEachInOrder) {
    DeviceModel model;
    Fault truncate = MakeFault(FaultKind::kTruncate);
    truncate.offset = 4;
    Fault corrupt = MakeFault(FaultKind::kCorrupt);
    corrupt.offset = 20;
    model.AddFault(truncate);
    model.AddFault(corrupt);
    EXPECT_EQ(Sent(Feed(model, InfoRequest(11))).size(), 4u);
    const Bytes second = Sent(Feed(model, InfoRequest(11)));
    ASSERT_EQ(second.size(), 33u);
    EXPECT_EQ(CheckReply(second.data(), 33), ReplyFault::kChecksum);
    EXPECT_TRUE(ValidateReply(Sent(Feed(model, InfoRequest(11))).data(), 33));
}

TEST(SimModelFaults, RefusedAndBadRequestsDoNotUseUpAFault) {
    DeviceModel model;
    model.AddFault(MakeFault(FaultKind::kSilent));
    Feed(model, InfoRequest(0));
    Feed(model, WriteRequest(kAddress11, Bytes(3, 0)));
    EXPECT_EQ(model.PendingFaults().size(), 1u);
}

// --- Control language ---------------------------------------------------------------

TEST(SimControl, FaultSyntaxParsesEveryKindAndItsOptions) {
    Fault f;
    std::string error;
    ASSERT_TRUE(sim::ParseFault("truncate 10 on read skip 1 count 2", f, error)) << error;
    EXPECT_EQ(f.kind, FaultKind::kTruncate);
    EXPECT_EQ(f.offset, 10u);
    EXPECT_EQ(f.request, RequestKind::kRead);
    EXPECT_EQ(f.skip, 1u);
    EXPECT_EQ(f.count, 2u);
    ASSERT_TRUE(sim::ParseFault("pieces 11,11 50,60 on info", f, error)) << error;
    EXPECT_EQ(f.pieceSizes, (std::vector<size_t>{11, 11}));
    EXPECT_EQ(f.pauseMs, (std::vector<uint32_t>{50, 60}));
    ASSERT_TRUE(sim::ParseFault("trailing AA00", f, error)) << error;
    EXPECT_EQ(f.trailing, FromHex("AA 00"));
    ASSERT_TRUE(sim::ParseFault("zero-length 11", f, error)) << error;
    EXPECT_EQ(f.section, 11);
    EXPECT_EQ(f.request, RequestKind::kSectionInfo);
    for (const char* ok : {"silent", "corrupt 0", "length+1 on write", "delay 1500 on commit",
                           "hangup 5", "zero-length", "miswrite 3"}) {
        EXPECT_TRUE(sim::ParseFault(ok, f, error)) << ok << ": " << error;
    }
    for (const char* bad : {"", "explode", "truncate", "truncate x", "delay -1", "pieces 0,3",
                            "trailing XY", "silent on nothing", "silent count 0", "silent skip",
                            "zero-length on read", "zero-length 256"}) {
        EXPECT_FALSE(sim::ParseFault(bad, f, error)) << "accepted: " << bad;
    }
}

TEST(SimControl, EveryCommandIsAnsweredWithOneLine) {
    DeviceModel model;
    bool ignited = false, quit = false;
    sim::ControlActions actions;
    actions.startIgnition = [&] { ignited = true; };
    actions.quit = [&] { quit = true; };
    auto run = [&](const std::string& line) {
        const std::string answer = sim::RunControlLine(line, model, actions);
        EXPECT_EQ(answer.find('\n'), std::string::npos) << line;
        return answer;
    };
    EXPECT_EQ(run("set 11 01 02 03"), "ok section 11 length 3");
    EXPECT_EQ(run("dump 11"), "ok section 11 address 112233 length 3 ram 010203 eeprom 010203");
    EXPECT_EQ(run("set 5"), "ok section 5 length 0");
    EXPECT_EQ(run("fault delay 100 on read count 3").rfind("ok fault delay 100 on read", 0), 0u);
    EXPECT_EQ(run("fault list").rfind("ok faults 1; delay 100", 0), 0u);
    EXPECT_EQ(run("fault clear"), "ok faults cleared");
    EXPECT_TRUE(model.PendingFaults().empty());
    EXPECT_EQ(run("status").rfind("ok requests 0 ", 0), 0u);
    EXPECT_EQ(run("ignition"), "ok ignition started");
    EXPECT_TRUE(ignited);
    EXPECT_EQ(run("quit"), "ok bye");
    EXPECT_TRUE(quit);
    EXPECT_EQ(run(""), "");
    for (const char* bad :
         {"dump 0", "dump 256", "set 11 0", "set 11 GG", "frobnicate", "fault nope"}) {
        EXPECT_EQ(run(bad).rfind("error ", 0), 0u) << bad;
    }
}

// --- Image file -----------------------------------------------------------------------

class SimImage : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/qmb-image-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/eeprom.txt";
    }
    void TearDown() override {
        std::remove(path.c_str());
        std::remove((path + ".tmp").c_str());
        rmdir(dir.c_str());
    }
    std::string dir, path, error;
};

TEST_F(SimImage, SavedEepromLoadsBackWithAddressesAndLengths) {
    DeviceModel model;
    Feed(model, WriteRequest(kAddress11, Bytes(8, 0x77)));
    Feed(model, CommitRequest(11));
    Feed(model, WriteRequest(model.GetSection(1)->address.data(), FromHex("99")));  // RAM only
    const uint8_t bytes[3] = {1, 2, 3};
    model.LoadSection(200, {0xAB, 0xCD, 0xEF}, bytes, 3);
    ASSERT_TRUE(sim::SaveImage(path, model, error)) << error;
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0) << "temporary file left behind";

    DeviceModel loaded;
    ASSERT_EQ(sim::LoadImage(path, loaded, error), sim::ImageLoad::kLoaded) << error;
    for (int n = 1; n <= sim::kSectionCount; ++n) {
        EXPECT_EQ(loaded.GetSection(n)->address, model.GetSection(n)->address) << n;
        EXPECT_EQ(Eeprom(loaded, n), Eeprom(model, n)) << n;
        EXPECT_EQ(Working(loaded, n), Eeprom(model, n)) << "RAM starts as EEPROM, " << n;
    }
    EXPECT_EQ(Eeprom(loaded, 11), Bytes(8, 0x77));
    EXPECT_EQ(Eeprom(loaded, 1), FromHex("01"));
}

TEST_F(SimImage, MissingFileIsReportedAndAMalformedOneChangesNothing) {
    DeviceModel model;
    EXPECT_EQ(sim::LoadImage(path, model, error), sim::ImageLoad::kMissing);
    std::ofstream(path) << "# comment\n11 112233 2 0102\n12 010C00 3 0102\n";
    EXPECT_EQ(sim::LoadImage(path, model, error), sim::ImageLoad::kBad);
    EXPECT_NE(error.find(":3:"), std::string::npos) << error;
    EXPECT_EQ(Eeprom(model, 11), FromHex("A0 A1 A2 A3 A4 A5 A6 A7"));
}

}  // namespace
}  // namespace qmb::test
