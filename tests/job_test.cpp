// Whole jobs in virtual time: the worker's passes, its messages and its ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Harness.h"
#include "job/Indicators.h"
#include "job/JobFlags.h"
#include "job/Worker.h"
#include "link/SerialLink.h"

namespace qmb::test {
namespace {

const Bytes kSection11 = FromHex("A0 A1 A2 A3 A4 A5 A6 A7");
const char kHex11[] = "A0 A1 A2 A3 A4 A5 A6 A7 ";

class JobTest : public CoreTest {
  public:
    // After every end: idle panel, port closed, flags clear, clock stopped.
    void ExpectIdleEnd() {
        EXPECT_TRUE(panel.IsIdle()) << panel.DisabledButtons() << " / " << panel.Text(IDC_STATUS);
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(JobFlags.load(), 0u);
        EXPECT_EQ(ClockRunning.load(), 0);
    }
    // The device's ignition handshake, then each reply in turn.
    void IgniteThenReply(std::vector<Bytes> replies, uint64_t at = 100) {
        port.DeliverAt({'I'}, at);
        auto queue = std::make_shared<std::vector<Bytes>>(std::move(replies));
        port.SetPeer([queue, i = size_t{0}](const Bytes& written, FakePort& p) mutable {
            if (written == Bytes{'O'}) {
                p.Deliver({'O'}, 5);
                p.Deliver(Bytes(13, 0x11), 10);
            } else if (i < queue->size()) {
                p.Deliver((*queue)[i++], 5);
            }
        });
    }
    std::vector<std::string> Statuses() const {
        std::vector<std::string> out;
        for (const auto& op : panel.Ops()) {
            if (op.kind == PanelOp::kSetText && op.id == IDC_STATUS) out.push_back(op.text);
        }
        return out;
    }
};

TEST_F(JobTest, ReadShowsTheSectionItsLengthAndItsNumber) {
    ReplyWith({SectionInfoReply(8), ReadReplyOf(kSection11)});
    EXPECT_EQ(RunWorker(kJobRead), 0);
    EXPECT_EQ(panel.Text(IDC_HEX), kHex11);
    EXPECT_EQ(panel.Text(IDC_LENGTH), "8");
    EXPECT_EQ(panel.Text(IDC_SECTION), "11");
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"Reading EEP section...", "Ready"}));
    EXPECT_EQ(panel.Beeps(), 1);
    EXPECT_TRUE(panel.Messages().empty());
    ExpectIdleEnd();
    ASSERT_EQ(port.Writes().size(), 2u);
    EXPECT_EQ(port.Events().front().name, "COM1");
}

TEST_F(JobTest, ReadOfLeadingZerosShowsTheNumberWithout) {
    panel.Type(IDC_SECTION, "007");
    ReplyWith({SectionInfoReply(1), ReadReplyOf({0x42})});
    EXPECT_EQ(RunWorker(kJobRead), 0);
    EXPECT_EQ(port.Writes().at(0)[14], 7);
    EXPECT_EQ(panel.Text(IDC_SECTION), "7");
    EXPECT_EQ(panel.Text(IDC_HEX), "42 ");
}

TEST_F(JobTest, PortChoiceSelectsTheDevice) {
    panel.SelectPort(3);
    ReplyWith({SectionInfoReply(1), ReadReplyOf({0x42})});
    EXPECT_EQ(RunWorker(kJobRead), 0);
    EXPECT_EQ(port.Events().front().name, "COM4");
}

TEST_F(JobTest, PortChosenDuringAJobTakesEffectAtTheNextJob) {
    ReplyWith({SectionInfoReply(1), ReadReplyOf({0x42})});
    panel.OnOp([&](const PanelOp& op) {
        if (op.kind == PanelOp::kSetText && op.text == "Reading EEP section...") panel.SelectPort(1);
    });
    EXPECT_EQ(RunWorker(kJobRead), 0);
    panel.OnOp(nullptr);
    ReplyWith({SectionInfoReply(1), ReadReplyOf({0x42})});
    EXPECT_EQ(RunWorker(kJobRead), 0);
    std::vector<std::string> opened;
    for (const auto& e : port.Events()) {
        if (e.kind == PortEvent::kOpen) opened.push_back(e.name);
    }
    EXPECT_EQ(opened, (std::vector<std::string>{"COM1", "COM2"}));
}

// The clock as the 1000 ms timer shows it: one text per tick that finds it
// running.
class ClockTest : public JobTest {
  public:
    // Ticks at every whole second of virtual time up to untilMs.
    void TickEverySecond(uint64_t untilMs) {
        for (uint64_t t = 1000; t <= untilMs; t += kClockPeriodMs)
            clock.At(t, [this] { Tick(); });
    }
    bool Tick() {
        char text[kClockTextSize];
        if (!ClockTick(text)) return false;
        shown.push_back(text);
        return true;
    }
    static std::string Time(int seconds) {
        char text[kClockTextSize];
        std::snprintf(text, sizeof text, "%.2d:%.2d", seconds / 60 % 256, seconds % 60);
        return text;
    }
    std::vector<std::string> shown;
};

TEST_F(ClockTest, MinutesGoOnPastTheHourToThreeDigitsAndWrapAfter255) {
    ClockRunning.store(1);
    for (int i = 0; i < 256 * 60 + 2; ++i)
        ASSERT_TRUE(Tick());
    EXPECT_EQ(shown[59], "00:59");
    EXPECT_EQ(shown[60], "01:00");
    EXPECT_EQ(shown[99 * 60 + 59], "99:59");
    EXPECT_EQ(shown[100 * 60], "100:00");
    EXPECT_EQ(shown[255 * 60 + 59], "255:59");
    EXPECT_EQ(shown[256 * 60], "00:00");
    EXPECT_EQ(shown[256 * 60 + 1], "00:01");
}

TEST_F(ClockTest, AJobStartedBeforeTheNextTickCarriesOnTheCount) {
    // Two jobs back to back on a silent device, with no tick between them:
    // the second counts on from the first. A tick that finds the clock
    // stopped resets it, and the third job starts from 00:00.
    TickEverySecond(60'000);
    EXPECT_EQ(RunWorker(kJobRead), 1);
    const size_t firstJobTicks = shown.size();
    ASSERT_GE(firstJobTicks, 3u);
    EXPECT_EQ(RunWorker(kJobRead), 1);
    ASSERT_GT(shown.size(), firstJobTicks + 2);
    for (size_t i = 0; i < shown.size(); ++i)
        EXPECT_EQ(shown[i], Time(static_cast<int>(i))) << i;

    EXPECT_FALSE(Tick());
    shown.clear();
    EXPECT_EQ(RunWorker(kJobRead), 1);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.front(), "00:00");
    EXPECT_EQ(panel.Messages().size(), 3u);
}

TEST_F(JobTest, WriteSendsEveryByteThenCommits) {
    panel.Type(IDC_HEX, kHex11);
    ReplyWith({SectionInfoReply(8), MakeReply(17), MakeReply(17)});
    EXPECT_EQ(RunWorker(kJobWrite), 0);
    auto writes = port.Writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(ToHex(writes[1]),
              "AA 03 00 1C 00 1C 00 0C 00 2C 2C 05 2C 02 00 08 00 11 22 33 02 11 22 33 "
              "A0 A1 A2 A3 A4 A5 A6 A7 3C");
    EXPECT_EQ(ToHex(writes[2]), "AA 03 00 0C 00 0C 00 0C 00 2C 2C 05 2C 22 01 0B 22");
    EXPECT_EQ(Statuses().front(), "Writing EEP section ...");
    EXPECT_EQ(panel.Beeps(), 1);
    ExpectIdleEnd();
}

TEST_F(JobTest, NormalEndRestoresThePanelInItsOrder) {
    ReplyWith({SectionInfoReply(1), ReadReplyOf({0x42})});
    JobFlags.store(kJobBusy | kJobRead);
    std::vector<std::string> tail;
    panel.OnOp([&](const PanelOp& op) {
        if (op.kind == PanelOp::kBeep) tail.clear();
        tail.push_back(Describe(op) + (JobFlags.load() ? " busy" : ""));
    });
    EXPECT_EQ(JobWorker(), 0);
    EXPECT_EQ(tail,
              (std::vector<std::string>{
                  "Beep busy", "SetText 1018 \"Ready\" busy", "SetText 1009 \"CLOSED\" busy",
                  "SetText 1009 \"CLOSED\"", "SetText 1010 \"TAT Mode\"",
                  "SetText 1013 \"Loop TAT&&Write\"", "SetDisabled 1012 off",
                  "SetDisabled 1011 off", "SetDisabled 1010 off", "SetDisabled 1013 off",
                  "Invalidate 1011", "Invalidate 1012", "Invalidate 1010", "Invalidate 1013"}));
}

// Every message of the worker, raised by its cause. Each one ends the job
// idle and leaves the section's texts as they were.
struct MessageCase {
    const char* name;
    uint32_t mode;
    std::function<void(JobTest&)> arrange;
    const char* message;
};

void PrintTo(const MessageCase& c, std::ostream* os) {
    *os << c.name;
}

class JobMessageTest : public JobTest, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(JobMessageTest, ShowsItsMessageAndEndsIdle) {
    const MessageCase& c = GetParam();
    panel.Type(IDC_LENGTH, "len");
    panel.Type(IDC_HEX, kHex11);
    c.arrange(*this);
    const std::string section = panel.Text(IDC_SECTION);
    const std::string hex = panel.Text(IDC_HEX);
    bool portOpenDuringBox = false;
    uint8_t clockDuringBox = 0;
    panel.OnErrorBox([&](const std::string&) {
        portOpenDuringBox = port.IsOpen();
        clockDuringBox = ClockRunning.load();
    });
    EXPECT_EQ(RunWorker(c.mode), 1);
    EXPECT_EQ(panel.Messages(), (std::vector<std::string>{c.message}));
    EXPECT_EQ(clockDuringBox, 1) << "the clock counts while the message is shown";
    if (std::string(c.message) != "Port is busy") {
        EXPECT_TRUE(portOpenDuringBox) << "the port closes after the message";
    }
    EXPECT_EQ(panel.Beeps(), 0);
    EXPECT_EQ(panel.Text(IDC_HEX), hex);
    EXPECT_EQ(panel.Text(IDC_LENGTH), "len");
    EXPECT_EQ(panel.Text(IDC_SECTION), section);
    ExpectIdleEnd();
}

const Bytes kNine = FromHex("A0 A1 A2 A3 A4 A5 A6 A7 A8");

INSTANTIATE_TEST_SUITE_P(
    Worker, JobMessageTest,
    ::testing::Values(
        MessageCase{"PortBusy", kJobRead, [](JobTest& j) { j.port.failOpen = true; },
                    "Port is busy"},
        MessageCase{"PortSettingsRejected", kJobWrite,
                    [](JobTest& j) { j.port.failSettings = true; }, "Port is busy"},
        MessageCase{"SectionZero", kJobRead, [](JobTest& j) { j.panel.Type(IDC_SECTION, "0"); },
                    "Wrong section ID. Must be 1..255"},
        MessageCase{"Section256", kJobWrite, [](JobTest& j) { j.panel.Type(IDC_SECTION, "256"); },
                    "Wrong section ID. Must be 1..255"},
        MessageCase{"SectionNegative", kJobRead,
                    [](JobTest& j) { j.panel.Type(IDC_SECTION, "-1"); },
                    "Wrong section ID. Must be 1..255"},
        MessageCase{"QuerySilentOnRead", kJobRead, [](JobTest&) {}, "Error reading section params"},
        MessageCase{"QueryLengthZeroOnWrite", kJobWrite,
                    [](JobTest& j) { j.ReplyWith({SectionInfoReply(0)}); },
                    "Error reading section params"},
        MessageCase{"ReadSilent", kJobRead, [](JobTest& j) { j.ReplyWith({SectionInfoReply(8)}); },
                    "Error reading memory"},
        MessageCase{"ReadShort", kJobRead,
                    [](JobTest& j) {
                        j.ReplyWith({SectionInfoReply(8), ReadReplyOf({1}), ReadReplyOf({1}),
                                     ReadReplyOf({1})});
                    },
                    "Error reading memory"},
        MessageCase{"LowerCaseHex", kJobWrite,
                    [](JobTest& j) {
                        j.panel.Type(IDC_HEX, "a0");
                        j.ReplyWith({SectionInfoReply(1)});
                    },
                    "Wrong data"},
        MessageCase{"OddDigits", kJobWrite,
                    [](JobTest& j) {
                        j.panel.Type(IDC_HEX, "A0 A");
                        j.ReplyWith({SectionInfoReply(1)});
                    },
                    "Wrong data"},
        MessageCase{"NineBytesForEight", kJobWrite,
                    [](JobTest& j) {
                        j.panel.Type(IDC_HEX, ToHex(kNine));
                        j.ReplyWith({SectionInfoReply(8)});
                    },
                    "Incorrect data size for selected section"},
        MessageCase{"EmptyHex", kJobWrite,
                    [](JobTest& j) {
                        j.panel.Type(IDC_HEX, "");
                        j.ReplyWith({SectionInfoReply(8)});
                    },
                    "Incorrect data size for selected section"},
        MessageCase{"WriteUnanswered", kJobWrite,
                    [](JobTest& j) { j.ReplyWith({SectionInfoReply(8)}); }, "Error writing memory"},
        MessageCase{"CommitUnanswered", kJobWrite,
                    [](JobTest& j) {
                        j.ReplyWith({SectionInfoReply(8), MakeReply(17)});
                    },
                    "Error updating EEPROM"}),
    [](const ::testing::TestParamInfo<MessageCase>& p) { return p.param.name; });

TEST_F(JobTest, SizeMismatchWritesNothing) {
    panel.Type(IDC_HEX, ToHex(kNine));
    ReplyWith({SectionInfoReply(8)});
    EXPECT_EQ(RunWorker(kJobWrite), 1);
    EXPECT_EQ(port.Writes().size(), 1u) << "only the query went out";
}

TEST_F(JobTest, Section255IsAccepted) {
    panel.Type(IDC_SECTION, "255");
    ReplyWith({SectionInfoReply(1), ReadReplyOf({7})});
    EXPECT_EQ(RunWorker(kJobRead), 0);
    EXPECT_EQ(port.Writes().at(0)[14], 255);
}

TEST_F(JobTest, EmptySectionUsesElevenAtFirstThenTheLastNumber) {
    panel.Type(IDC_SECTION, "");
    ReplyWith({SectionInfoReply(1), ReadReplyOf({1})});
    EXPECT_EQ(RunWorker(kJobRead), 0);
    EXPECT_EQ(port.Writes().at(0)[14], 11);

    panel.Type(IDC_SECTION, "42");
    ReplyWith({SectionInfoReply(1), ReadReplyOf({1})});
    EXPECT_EQ(RunWorker(kJobRead), 0);
    panel.Type(IDC_SECTION, " ");
    ReplyWith({SectionInfoReply(1), ReadReplyOf({1})});
    EXPECT_EQ(RunWorker(kJobRead), 0);
    auto writes = port.Writes();
    EXPECT_EQ(writes.at(2)[14], 42);
    EXPECT_EQ(writes.at(4)[14], 42);
}

TEST_F(JobTest, TatWithABadSectionPerformsTheHandshakeFirst) {
    panel.Type(IDC_SECTION, "0");
    IgniteThenReply({});
    EXPECT_EQ(RunWorker(kJobTat), 1);
    EXPECT_EQ(port.Writes(), (std::vector<Bytes>{{'O'}}));
    EXPECT_EQ(Statuses().front(), "Waiting for ignition ...");
    EXPECT_EQ(panel.Messages(), (std::vector<std::string>{"Wrong section ID. Must be 1..255"}));
}

TEST_F(JobTest, TatIsHandshakeAndSectionCheckOnly) {
    IgniteThenReply({});
    EXPECT_EQ(RunWorker(kJobTat), 0);
    EXPECT_EQ(port.Writes(), (std::vector<Bytes>{{'O'}}));
    EXPECT_EQ(panel.Beeps(), 1);
    ExpectIdleEnd();
}

TEST_F(JobTest, LoopWaitsASecondBeforeEachWriteAndRunsPassAfterPass) {
    panel.Type(IDC_HEX, "5A");
    std::vector<uint64_t> writingAt;
    std::vector<uint64_t> handshakeDoneAt;
    int passes = 0;
    port.DeliverAt({'I'}, 100);
    port.SetPeer([&](const Bytes& written, FakePort& p) {
        if (written == Bytes{'O'}) {
            p.Deliver({'O'}, 0);
            p.Deliver(Bytes(13, 0), 0);
            handshakeDoneAt.push_back(clock.Elapsed());
        } else if (written[13] == 0x12) {
            p.Deliver(SectionInfoReply(1));
        } else {
            p.Deliver(MakeReply(17));
            if (written[13] == 0x22 && ++passes < 3) p.Deliver({'I'}, 50);
        }
    });
    panel.OnOp([&](const PanelOp& op) {
        if (op.kind == PanelOp::kSetText && op.text == "Writing EEP section ...") {
            writingAt.push_back(clock.Elapsed());
        }
        if (op.kind == PanelOp::kBeep) {
            // Between passes the clock runs on and the port stays open; a
            // port chosen now is for the next job.
            EXPECT_EQ(ClockRunning.load(), 1) << passes;
            EXPECT_TRUE(port.IsOpen()) << passes;
            panel.SelectPort(passes);
        }
        if (op.kind == PanelOp::kBeep && passes == 3) JobFlags.fetch_or(kJobAbort);
    });
    std::vector<std::string> clockShown;
    for (uint64_t t = 1000; t <= 10'000; t += kClockPeriodMs) {
        clock.At(t, [&] {
            char text[kClockTextSize];
            if (ClockTick(text)) clockShown.push_back(text);
        });
    }
    EXPECT_EQ(RunWorker(kJobLoop), 1);
    ASSERT_EQ(writingAt.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(writingAt[i] - handshakeDoneAt[i], 1000u) << i;
    EXPECT_EQ(panel.Beeps(), 3);
    EXPECT_EQ(port.Count(PortEvent::kOpen), 1u) << "the port stays open across passes";
    EXPECT_EQ(port.Count(PortEvent::kClose), 1u);
    EXPECT_EQ(port.Events().front().name, "COM1");
    EXPECT_EQ(clockShown, (std::vector<std::string>{"00:00", "00:01", "00:02"}));
    EXPECT_TRUE(panel.Messages().empty());
    ExpectIdleEnd();
}

TEST_F(JobTest, LoopReadsTheSectionNumberAnewEachPass) {
    panel.Type(IDC_HEX, "5A");
    int commits = 0;
    port.DeliverAt({'I'}, 10);  // after the open's purge
    port.SetPeer([&](const Bytes& written, FakePort& p) {
        if (written == Bytes{'O'}) {
            p.Deliver({'O'});
            p.Deliver(Bytes(13, 0));
        } else if (written[13] == 0x12) {
            p.Deliver(SectionInfoReply(1));
        } else {
            p.Deliver(MakeReply(17));
            if (written[13] == 0x22) {
                if (++commits == 1) panel.Type(IDC_SECTION, "12");
                if (commits == 2) JobFlags.fetch_or(kJobAbort);
                p.Deliver({'I'});
            }
        }
    });
    EXPECT_EQ(RunWorker(kJobLoop), 1);
    auto writes = port.Writes();
    std::vector<int> queried;
    for (const auto& w : writes) {
        if (w.size() == 17 && w[13] == 0x12) queried.push_back(w[14]);
    }
    EXPECT_EQ(queried, (std::vector<int>{11, 12}));
}

// Aborts.

TEST_F(JobTest, AbortDuringTheIgnitionWaitEndsWithinOneReadAttempt) {
    clock.At(10'000, [] { JobFlags.fetch_or(kJobAbort | kJobTat); });
    EXPECT_EQ(RunWorker(kJobTat), 1);
    EXPECT_LE(clock.Elapsed(), 10'400u);
    EXPECT_TRUE(panel.Messages().empty());
    EXPECT_TRUE(port.Writes().empty());
    ExpectIdleEnd();
}

TEST_F(JobTest, AbortDuringThePauseAfterTheLastAttemptShowsTheMessageFirst) {
    // Silent device: three attempts of 1200 ms, each followed by a 2000 ms
    // pause; the abort comes in the last pause.
    clock.At(3 * 1200 + 2 * 2000 + 500, [] { JobFlags.fetch_or(kJobAbort | kJobTat); });
    EXPECT_EQ(RunWorker(kJobRead), 1);
    EXPECT_EQ(panel.Messages(), (std::vector<std::string>{"Error reading section params"}));
    ExpectIdleEnd();
}

TEST_F(JobTest, AbortDuringAnEarlierPauseEndsAtTheNextAttemptWithNoMessage) {
    clock.At(1200 + 500, [] { JobFlags.fetch_or(kJobAbort | kJobTat); });
    EXPECT_EQ(RunWorker(kJobRead), 1);
    EXPECT_TRUE(panel.Messages().empty());
    EXPECT_EQ(port.Writes().size(), 1u);
}

TEST_F(JobTest, AbortAfterTheLastTransferOfAReadEndsNormally) {
    ReplyWith({SectionInfoReply(8), ReadReplyOf(kSection11)});
    panel.OnOp([](const PanelOp& op) {
        if (op.kind == PanelOp::kSetText && op.id == IDC_HEX)
            JobFlags.fetch_or(kJobAbort | kJobTat);
    });
    EXPECT_EQ(RunWorker(kJobRead), 0);
    EXPECT_EQ(panel.Text(IDC_HEX), kHex11);
    EXPECT_EQ(panel.Beeps(), 1);
    ExpectIdleEnd();
}

TEST_F(JobTest, FailedWriteEndsTheJobWithNoMessage) {
    port.failWrites = true;
    EXPECT_EQ(RunWorker(kJobRead), 1);
    EXPECT_TRUE(panel.Messages().empty());
    ExpectIdleEnd();
}

}  // namespace
}  // namespace qmb::test
