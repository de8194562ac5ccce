// The serial link and the request/reply exchange, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>

#include "Harness.h"
#include "job/Indicators.h"
#include "job/JobFlags.h"
#include "link/SerialLink.h"
#include "protocol/Frame.h"
#include "protocol/Trace.h"

namespace qmb::test {
namespace {

class LinkTest : public CoreTest {
  protected:
    void SetUp() override { ASSERT_TRUE(OpenPort('1')); }

    // Receives count bytes into a buffer pre-filled with 0xEE.
    bool Receive(size_t count) {
        buf.assign(count + 4, 0xEE);
        return ReceiveBytes(buf.data(), count);
    }
    std::vector<uint64_t> ReadTimes() const {
        std::vector<uint64_t> times;
        for (const auto& e : port.Events()) {
            if (e.kind == PortEvent::kRead) times.push_back(e.at);
        }
        return times;
    }

    Bytes buf;
};

TEST_F(LinkTest, OpenPortAppliesTheFixedSettingsAndShowsTheBaudRate) {
    const auto& e = port.Events();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].kind, PortEvent::kOpen);
    EXPECT_EQ(e[0].name, "COM1");
    EXPECT_EQ(e[1].kind, PortEvent::kSettings);
    EXPECT_EQ(e[2].kind, PortEvent::kLimits);
    EXPECT_EQ(e[3].kind, PortEvent::kPurge);
    const LineSettings& s = port.Settings();
    EXPECT_EQ(s.baudRate, 38400u);
    EXPECT_EQ(s.byteSize, 8);
    EXPECT_EQ(s.parity, kParityNone);
    EXPECT_EQ(s.stopBits, kOneStopBit);
    EXPECT_TRUE(s.binary);
    EXPECT_FALSE(s.parityCheck || s.ctsOutputFlow || s.dsrOutputFlow || s.dsrSensitivity ||
                 s.txContinueOnXoff || s.xonXoffInput || s.xonXoffOutput || s.errorCharReplace ||
                 s.nullStrip || s.abortOnError);
    EXPECT_EQ(s.dtrControl, kLineControlOn);
    EXPECT_EQ(s.rtsControl, kLineControlOn);
    EXPECT_EQ(s.xonLimit + s.xoffLimit, 0);
    EXPECT_EQ(s.xonChar | s.xoffChar | s.errorChar | s.eofChar | s.eventChar, 0);
    const TimeLimits& t = port.Limits();
    EXPECT_EQ(t.readTotalConstant, 400u);
    EXPECT_EQ(
        t.readInterval + t.readTotalMultiplier + t.writeTotalMultiplier + t.writeTotalConstant, 0u);
    EXPECT_EQ(panel.Text(IDC_PORT_STATUS), "38400");
}

TEST_F(LinkTest, OpenFailureOrRejectedSettingsReturnFalseAndShowClosed) {
    ClosePort();
    port.failOpen = true;
    panel.Type(IDC_PORT_STATUS, "junk");
    EXPECT_FALSE(OpenPort('4'));
    EXPECT_EQ(port.Events().back().kind, PortEvent::kOpen);
    EXPECT_EQ(port.Events().back().name, "COM4");
    EXPECT_EQ(panel.Text(IDC_PORT_STATUS), "CLOSED");

    port.failOpen = false;
    port.failSettings = true;
    EXPECT_FALSE(OpenPort('2'));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(panel.Text(IDC_PORT_STATUS), "CLOSED");
}

// A caller other than the panel's jobs: every stop reaches its host with the
// reason, and so does the port indicator; the panel is never touched.
struct Stopped {
    LinkStop why;
};
class RecordingHost : public LinkHost {
  public:
    bool StopRequested() override { return stop; }
    [[noreturn]] void Stop(LinkStop why) override { throw Stopped{why}; }
    void ShowPortState(const char* text) override { states.push_back(text); }
    bool stop = false;
    std::vector<std::string> states;
};

TEST_F(LinkTest, AnotherHostGetsEveryStopWithItsReasonAndThePortIndicator) {
    RecordingHost host;
    BindLinkHost(&host);
    panel.Type(IDC_PORT_STATUS, "untouched");
    ASSERT_TRUE(SerialLink::Default().Open("/dev/ttyUSB7"));
    EXPECT_EQ(port.Events().back().kind, PortEvent::kPurge);
    const uint8_t b[2] = {1, 2};
    auto stopOf = [&](auto transfer) {
        try {
            transfer();
        } catch (const Stopped& s) {
            return static_cast<int>(s.why);
        }
        return -1;
    };
    host.stop = true;
    EXPECT_EQ(stopOf([&] { SendBytes(b, 2); }), static_cast<int>(LinkStop::kStopRequested));
    EXPECT_EQ(stopOf([&] { Receive(2); }), static_cast<int>(LinkStop::kStopRequested));
    EXPECT_TRUE(port.Writes().empty());
    host.stop = false;
    port.failWrites = true;
    EXPECT_EQ(stopOf([&] { SendBytes(b, 2); }), static_cast<int>(LinkStop::kWriteFailed));
    ClosePort();
    port.failWrites = false;
    port.failSettings = true;
    EXPECT_FALSE(SerialLink::Default().Open("COM3"));
    EXPECT_EQ(SerialLink::Default().OpenFailureReason(), OpenFailure::kSettings);
    port.failSettings = false;
    port.failOpen = true;
    EXPECT_FALSE(SerialLink::Default().Open("COM3"));
    EXPECT_EQ(SerialLink::Default().OpenFailureReason(), OpenFailure::kOther) << "a port that gives no reason";
    EXPECT_EQ(host.states, (std::vector<std::string>{"38400", "CLOSED", "CLOSED", "CLOSED"}));
    EXPECT_EQ(panel.Text(IDC_PORT_STATUS), "untouched");
    EXPECT_EQ(JobFlags.load(), 0u);
    BindPanel(&panel);  // back to the panel's jobs for the fixture's end
}

TEST_F(LinkTest, SilentDeviceGivesFalseAfterThreeAttemptsWithZeros) {
    EXPECT_FALSE(Receive(33));
    EXPECT_EQ(SerialLink::Default().ReceivedCount(), 0u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 33), Bytes(33, 0));
    EXPECT_EQ(buf[33], 0xEE) << "zero-fill stops at the requested length";
    EXPECT_EQ(ReadTimes(), (std::vector<uint64_t>{0, 400, 800}));
    EXPECT_EQ(clock.Elapsed(), 1200u);
    EXPECT_EQ(SerialLink::Default().RxLed().load(), 0);
}

TEST_F(LinkTest, ShortReplyCountsWhatArrivedAndZeroFillsTheRest) {
    port.Deliver({1, 2, 3, 4, 5}, 100);
    EXPECT_FALSE(Receive(8));
    EXPECT_EQ(SerialLink::Default().ReceivedCount(), 5u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 8), (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
}

TEST_F(LinkTest, ThreePiecesWithinThreeAttemptsAreOneTransfer) {
    port.Deliver({1, 2}, 10);
    port.Deliver({3, 4, 5}, 500);
    port.Deliver({6}, 1100);
    EXPECT_TRUE(Receive(6));
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 6), (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(SerialLink::Default().ReceivedCount(), 6u);
    EXPECT_EQ(clock.Elapsed(), 1100u) << "returns the moment the last byte arrives";
    EXPECT_EQ(SerialLink::Default().RxLed().load(), 1);
}

TEST_F(LinkTest, OneReadOfManyBytesLightsTheReceiveLampForOneTick) {
    // 255 bytes in pieces over two attempts; the 10 ms lamp timer ticks all along.
    port.Deliver(Bytes(100, 0x11), 5);
    port.Deliver(Bytes(100, 0x22), 200);
    port.Deliver(Bytes(55, 0x33), 650);
    std::vector<int> cells;
    for (uint64_t t = 10; t <= 1500; t += kLampPeriodMs)
        clock.At(t, [&] { cells.push_back(TakeReceiveLampCell()); });
    EXPECT_TRUE(Receive(255));
    clock.AdvanceTo(1500);
    EXPECT_EQ(std::count(cells.begin(), cells.end(), kLampCellReceive), 1);
    EXPECT_EQ(cells.size(), 150u);
}

TEST_F(LinkTest, PiecesWithinOneAttemptDoNotEndItEarly) {
    port.Deliver({1}, 10);
    port.Deliver({2}, 200);
    port.Deliver({3}, 390);
    EXPECT_TRUE(Receive(3));
    EXPECT_EQ(ReadTimes().size(), 1u);
}

TEST_F(LinkTest, AbortIsSeenBeforeTheNextAttemptNeverDuringOne) {
    clock.At(150, [] { JobFlags.fetch_or(kJobAbort); });
    int code = RunAsJob([this] { Receive(4); });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(ReadTimes(), (std::vector<uint64_t>{0})) << "the first attempt ran to its end";
    EXPECT_EQ(clock.Elapsed(), 400u);
    EXPECT_TRUE(panel.Messages().empty());
    EXPECT_EQ(JobFlags.load(), 0u);
}

TEST_F(LinkTest, AbortAfterTheCompletingAttemptEndsTheJobAtTheNextTransfer) {
    port.Deliver({9, 9}, 100);
    clock.At(100, [] { JobFlags.fetch_or(kJobAbort); });  // while the completing read runs
    bool completed = false;
    int code = RunAsJob([&] {
        completed = Receive(2);
        const uint8_t b = 0;
        SendBytes(&b, 1);
    });
    EXPECT_TRUE(completed);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(port.Writes().empty()) << "nothing is sent once the abort is seen";
}

TEST_F(LinkTest, FailedWriteEndsTheJobWithNoMessage) {
    port.failWrites = true;
    bool after = false;
    int code = RunAsJob([&] {
        const uint8_t b[3] = {1, 2, 3};
        SendBytes(b, 3);
        after = true;
    });
    EXPECT_EQ(code, 1);
    EXPECT_FALSE(after);
    EXPECT_TRUE(panel.Messages().empty());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(panel.IsIdle());
    EXPECT_EQ(SerialLink::Default().TxLed().load(), 0);
}

TEST_F(LinkTest, SendLightsTheTransmitLamp) {
    const uint8_t b = 0x4F;
    EXPECT_TRUE(SendBytes(&b, 1));
    EXPECT_EQ(SerialLink::Default().TxLed().load(), 1);
    EXPECT_EQ(port.Writes(), (std::vector<Bytes>{{0x4F}}));
}

TEST_F(LinkTest, BusyWaitLastsItsFullTimeAcrossTheCounterWrap) {
    clock.SetTickBase(0xFFFFFFFFu - 500);
    BusyWait(2000);
    EXPECT_EQ(clock.Elapsed(), 2000u);
    EXPECT_EQ(clock.Sleeps(), 1u) << "a pause is one sleep, not a poll every millisecond";
    BusyWait(0);
    EXPECT_EQ(clock.Elapsed(), 2000u);
    EXPECT_EQ(clock.Sleeps(), 1u);
    // Sleeps that end early: the pause sleeps again for what is left, across
    // the wrap too.
    clock.SetTickBase(0xFFFFFFFFu - 2500);
    clock.SetLongestSleep(300);
    BusyWait(1000);
    EXPECT_EQ(clock.Elapsed(), 3000u);
    EXPECT_EQ(clock.Sleeps(), 1u + 4u);
}

// Exchange: attempts, pauses and purges.

class ExchangeTest : public LinkTest {
  protected:
    bool Run(size_t replyLen, int attempts, uint32_t pause) {
        const Bytes request = MakeFrame({0x11});
        return Exchange(request.data(), request.size(), replyLen, attempts, pause);
    }
    std::vector<PortEvent::Kind> Kinds() const {
        std::vector<PortEvent::Kind> kinds;
        for (const auto& e : port.Events())
            kinds.push_back(e.kind);
        return {kinds.begin() + 4, kinds.end()};  // after the open
    }
};

TEST_F(ExchangeTest, SilentDeviceTakesThreeTimesReadAndPause) {
    EXPECT_FALSE(Run(33, 3, 2000));
    EXPECT_EQ(clock.Elapsed(), 3u * (1200 + 2000));
    EXPECT_EQ(port.Writes().size(), 3u);
    EXPECT_EQ(Bytes(ExchangeContext::Default().Reply(), ExchangeContext::Default().Reply() + 33), Bytes(33, 0));
}

TEST_F(ExchangeTest, PauseAndPurgeFollowEveryFailedAttemptTheLastIncluded) {
    EXPECT_FALSE(Run(17, 2, 1000));
    using K = PortEvent;
    EXPECT_EQ(Kinds(),
              (std::vector<PortEvent::Kind>{K::kWrite, K::kRead, K::kRead, K::kRead, K::kPurge,
                                            K::kWrite, K::kRead, K::kRead, K::kRead, K::kPurge}));
    auto events = port.Events();
    EXPECT_EQ(events[8].at, 2200u) << "purge after the 1000 ms pause";
    EXPECT_EQ(events.back().at, 4400u);
}

TEST_F(ExchangeTest, SameRequestIsSentOnEveryAttempt) {
    ReplyWith({MakeReply(17, 1), MakeReply(16), MakeReply(17, 2)});
    EXPECT_FALSE(Run(33, 3, 2000));  // every reply too short for 33
    auto writes = port.Writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0], writes[1]);
    EXPECT_EQ(writes[1], writes[2]);
}

class TraceRecorder : public TraceSink {
  public:
    void OnTrace(const TraceEvent& e) override {
        lines.push_back(std::string(e.sent ? "tx " : "rx ") + e.command + " " +
                        std::to_string(e.attempt) + "/" + std::to_string(e.attempts) + " " +
                        std::to_string(e.count) +
                        (e.sent && e.verdict == ReplyVerdict::kSound
                             ? ""
                             : std::string(" ") + ReplyVerdictName(e.verdict)));
    }
    std::vector<std::string> lines;
};

TEST_F(ExchangeTest, SecondAttemptSucceedsAfterABadChecksum) {
    Bytes bad = MakeReply(17, 5);
    bad[10] ^= 0x01;
    ReplyWith({bad, MakeReply(17, 6)});
    TraceRecorder trace;
    ExchangeContext::Default().SetTraceSink(&trace);
    EXPECT_TRUE(Run(17, 3, 2000));
    ExchangeContext::Default().SetTraceSink(nullptr);
    EXPECT_EQ(port.Writes().size(), 2u);
    EXPECT_EQ(ExchangeContext::Default().Reply()[10], 6);
    EXPECT_EQ(trace.lines,
              (std::vector<std::string>{"tx request 1/3 6", "rx request 1/3 17 bad checksum",
                                        "tx request 2/3 6", "rx request 2/3 17 sound"}));
    EXPECT_EQ(ExchangeContext::Default().Last().attempts, 2);
    EXPECT_EQ(ExchangeContext::Default().Last().lastVerdict, ReplyVerdict::kSound);
}

TEST_F(ExchangeTest, ARefusedRequestIsTracedBeforeTheJobEnds) {
    port.failWrites = true;
    TraceRecorder trace;
    ExchangeContext::Default().SetTraceSink(&trace);
    EXPECT_EQ(RunAsJob([&] { Run(17, 3, 2000); }), 1);
    ExchangeContext::Default().SetTraceSink(nullptr);
    EXPECT_EQ(trace.lines, (std::vector<std::string>{"tx request 1/3 6 write failed"}));
    EXPECT_EQ(ExchangeContext::Default().Last().lastVerdict, ReplyVerdict::kNotSent);
}

TEST_F(ExchangeTest, TheLastVerdictTellsASilentDeviceFromABadLine) {
    Bytes badStart = MakeReply(17), badLength = MakeReply(17), part = MakeReply(17);
    part.resize(9);
    badStart[0] = 0x55;
    badLength[3] ^= 1;
    const struct {
        std::vector<Bytes> replies;
        ReplyVerdict verdict;
    } cases[] = {
        {{}, ReplyVerdict::kTimeout},
        {{part}, ReplyVerdict::kShort},
        {{badStart}, ReplyVerdict::kBadStart},
        {{badLength}, ReplyVerdict::kBadLength},
    };
    for (const auto& c : cases) {
        ReplyWith(c.replies);
        EXPECT_FALSE(Run(17, 1, 1000));
        EXPECT_EQ(ExchangeContext::Default().Last().attempts, 1);
        EXPECT_EQ(ExchangeContext::Default().Last().lastVerdict, c.verdict) << ReplyVerdictName(c.verdict);
    }
}

TEST_F(ExchangeTest, ExtraBytesAfterAFailedAttemptArePurged) {
    Bytes bad = MakeReply(17);
    bad[16] ^= 0xFF;
    bad.insert(bad.end(), {0xAA, 0x03});  // trailing bytes, arrive with the reply
    ReplyWith({bad, MakeReply(17, 7)});
    EXPECT_TRUE(Run(17, 3, 1000));
    EXPECT_EQ(Bytes(ExchangeContext::Default().Reply(), ExchangeContext::Default().Reply() + 17), MakeReply(17, 7));
}

TEST_F(ExchangeTest, ExtraBytesAfterAGoodReplyStartTheNextReply) {
    Bytes good = MakeReply(17, 1);
    good.insert(good.end(), {0xAA, 0x03});
    ReplyWith({good, MakeReply(17, 2)});
    EXPECT_TRUE(Run(17, 1, 1000));
    EXPECT_FALSE(Run(17, 1, 1000));
    EXPECT_EQ(ExchangeContext::Default().Reply()[0], 0xAA);
    EXPECT_EQ(ExchangeContext::Default().Reply()[1], 0x03);
    EXPECT_EQ(ExchangeContext::Default().Reply()[2], 0xAA) << "the stale bytes shifted the reply";
}

TEST_F(ExchangeTest, ReplyInThreePiecesWithinOneTransferSucceeds) {
    Bytes reply = MakeReply(33, 3);
    port.SetPeer([reply](const Bytes&, FakePort& p) {
        p.Deliver(Bytes(reply.begin(), reply.begin() + 10), 50);
        p.Deliver(Bytes(reply.begin() + 10, reply.begin() + 20), 450);
        p.Deliver(Bytes(reply.begin() + 20, reply.end()), 900);
    });
    EXPECT_TRUE(Run(33, 3, 2000));
    EXPECT_EQ(port.Writes().size(), 1u);
}

TEST_F(ExchangeTest, AbortDuringThePauseAfterTheLastAttemptLetsTheCallerReportFirst) {
    clock.At(1300, [] { JobFlags.fetch_or(kJobAbort); });  // inside the 2000 ms pause
    bool result = true;
    int code = RunAsJob([&] {
        result = Run(17, 1, 2000);
        const uint8_t b = 0;
        SendBytes(&b, 1);  // the job's next transfer
    });
    EXPECT_FALSE(result) << "the exchange returned its failure before the abort ended the job";
    EXPECT_EQ(code, 1);
    EXPECT_EQ(clock.Elapsed(), 3200u);
}

}  // namespace
}  // namespace qmb::test
