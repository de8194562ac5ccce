// Abort everywhere: for every transfer of every kind of job, an abort
// requested just before it ends the job right there, with no message and
// nothing sent afterwards; the next job then runs cleanly.
#include <gtest/gtest.h>

#include "Harness.h"
#include "job/JobFlags.h"
#include "link/SerialLink.h"

namespace qmb::test {
namespace {

struct JobKind {
    const char* name;
    uint32_t mode;
    size_t transfers;  // writes and read attempts of a clean run
};

// Read: query and read, a write and a read each. Write: query, write, commit.
// TAT: "I", "O" answered, "O", the trailer. Loop: two passes of handshake and
// write part, stopped at the second commit's reply.
const JobKind kKinds[] = {
    {"Read", kJobRead, 4}, {"Write", kJobWrite, 6}, {"Tat", kJobTat, 4}, {"Loop", kJobLoop, 19}};

class AbortEverywhereTest : public CoreTest, public ::testing::WithParamInterface<JobKind> {
  public:
    // A sound device for section 11 (8 bytes) that announces ignition before
    // the first pass and after every commit.
    void RunDevice() {
        panel.Type(IDC_HEX, "A0 A1 A2 A3 A4 A5 A6 A7");
        port.DeliverAt({'I'}, clock.Elapsed() + 50);
        port.SetPeer([](const Bytes& written, FakePort& p) {
            if (written == Bytes{'O'}) {
                p.Deliver({'O'}, 5);
                p.Deliver(Bytes(13, 0), 6);
            } else if (written[13] == 0x12) {
                p.Deliver(SectionInfoReply(8), 5);
            } else if (written.size() == 25) {
                p.Deliver(ReadReplyOf(FromHex("A0 A1 A2 A3 A4 A5 A6 A7")), 5);
            } else {
                p.Deliver(MakeReply(17), 5);
                if (written[13] == 0x22) p.Deliver({'I'}, 100);
            }
        });
    }
    static bool IsTransfer(const PortEvent& e) {
        return e.kind == PortEvent::kRead || e.kind == PortEvent::kWrite;
    }
    // Indices in the port's log of the transfers of a job left alone (a Loop
    // job is stopped after its second pass).
    std::vector<size_t> TransfersOfCleanRun(uint32_t mode) {
        RunDevice();
        int commits = 0;
        port.onEvent = [&](const PortEvent& e, size_t) {
            if (e.kind == PortEvent::kWrite && e.bytes.size() == 17 && e.bytes[13] == 0x22 &&
                ++commits == 2) {
                JobFlags.fetch_or(kJobAbort);
            }
        };
        RunWorker(mode);
        port.onEvent = nullptr;
        std::vector<size_t> transfers;
        const auto& events = port.Events();
        for (size_t i = 0; i < events.size(); ++i) {
            if (IsTransfer(events[i])) transfers.push_back(i);
        }
        return transfers;
    }
};

TEST_P(AbortEverywhereTest, AbortJustBeforeEachTransferEndsTheJobThere) {
    const JobKind kind = GetParam();
    const std::vector<size_t> transfers = TransfersOfCleanRun(kind.mode);
    ASSERT_EQ(transfers.size(), kind.transfers);

    for (size_t t = 0; t < transfers.size(); ++t) {
        SCOPED_TRACE(std::string(kind.name) + " transfer " + std::to_string(t));
        ResetForNextJob();
        // The run is deterministic: its log lines up with the clean run's, so
        // the abort goes in right after the event that precedes transfer t.
        const size_t start = port.Events().size();
        const size_t before = start + transfers[t] - 1;
        port.onEvent = [&](const PortEvent&, size_t index) {
            if (index == before) JobFlags.fetch_or(kJobAbort | kJobTat);
        };
        RunDevice();
        EXPECT_EQ(RunWorker(kind.mode), 1);
        port.onEvent = nullptr;
        const auto& events = port.Events();
        for (size_t i = before + 1; i < events.size(); ++i) {
            EXPECT_FALSE(IsTransfer(events[i])) << "event " << i - start << " after the abort";
        }
        EXPECT_TRUE(panel.Messages().empty());
        EXPECT_TRUE(panel.IsIdle());
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(JobFlags.load(), 0u);
        EXPECT_EQ(ClockRunning.load(), 0);

        // The next job starts cleanly.
        ResetForNextJob();
        RunDevice();
        ASSERT_EQ(RunWorker(kJobRead), 0);
        EXPECT_EQ(panel.Text(IDC_HEX), "A0 A1 A2 A3 A4 A5 A6 A7 ");
    }
}

TEST_P(AbortEverywhereTest, AbortAfterTheLastTransferOfAPass) {
    const JobKind kind = GetParam();
    TransfersOfCleanRun(kind.mode);
    // The last transfer of the first pass: the last one of the job, or for a
    // Loop job the read of the first commit's reply.
    const auto clean = port.Events();
    size_t last = clean.size();
    for (size_t i = 0; i < clean.size(); ++i) {
        if (IsTransfer(clean[i])) last = i;
        const bool commit = clean[i].kind == PortEvent::kWrite && clean[i].bytes.size() == 17 &&
                            clean[i].bytes[13] == 0x22;
        if (commit && kind.mode == kJobLoop) {
            last = i + 1;
            break;
        }
    }
    ASSERT_LT(last, clean.size());

    ResetForNextJob();
    const size_t after = port.Events().size() + last;
    port.onEvent = [&](const PortEvent&, size_t index) {
        if (index == after) JobFlags.fetch_or(kJobAbort);
    };
    RunDevice();
    const int code = RunWorker(kind.mode);
    port.onEvent = nullptr;
    // Read, Write and TAT end normally; a Loop job ends at its next pass.
    EXPECT_EQ(code, kind.mode == kJobLoop ? 1 : 0);
    EXPECT_EQ(panel.Beeps(), 1);
    EXPECT_TRUE(panel.Messages().empty());
    EXPECT_TRUE(panel.IsIdle());
}

INSTANTIATE_TEST_SUITE_P(Jobs, AbortEverywhereTest, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<JobKind>& p) { return p.param.name; });

// A failing command: an abort during an earlier attempt's pause ends the job
// without a message; one during the pause after the last attempt comes after
// the command's message.
class AbortFailingCommandTest : public CoreTest {};

TEST_F(AbortFailingCommandTest, OnlyThePauseAfterTheLastAttemptLetsTheMessageThrough) {
    // A silent device: the query's three attempts, each three reads, a pause
    // and a purge. Abort right after each purge in turn.
    for (int purge = 1; purge <= 3; ++purge) {
        SCOPED_TRACE("after purge " + std::to_string(purge));
        ResetForNextJob();
        int purges = -1;  // the open's purge does not count
        port.onEvent = [&](const PortEvent& e, size_t) {
            if (e.kind == PortEvent::kPurge && ++purges == purge) JobFlags.fetch_or(kJobAbort);
        };
        EXPECT_EQ(RunWorker(kJobRead), 1);
        port.onEvent = nullptr;
        const std::vector<std::string> want =
            purge == 3 ? std::vector<std::string>{"Error reading section params"}
                       : std::vector<std::string>{};
        EXPECT_EQ(panel.Messages(), want);
        EXPECT_TRUE(panel.IsIdle());
    }
}

}  // namespace
}  // namespace qmb::test
