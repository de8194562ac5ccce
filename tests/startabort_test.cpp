// The job buttons: starting a worker, aborting it, and the hand-over between
// a job that is ending and a click that starts the next one.
#include <gtest/gtest.h>

#include <atomic>

#include "Harness.h"
#include "job/JobFlags.h"
#include "job/StartAbort.h"

namespace qmb::test {
namespace {

class StartAbortTest : public CoreTest {
  public:
    // A device that answers a 1-byte section's query and read at once.
    void AnswerReads() {
        port.SetPeer([](const Bytes& written, FakePort& p) {
            if (written.size() == 17 && written[13] == 0x12) p.Deliver(SectionInfoReply(1));
            if (written.size() == 25) p.Deliver(ReadReplyOf({0x42}));
        });
    }
    std::string BusyLook() const {
        return panel.Text(IDC_TAT) + "|" + panel.Text(IDC_LOOP) + "|" + panel.DisabledButtons();
    }
    size_t IndexOf(const std::string& described, size_t from = 0) const {
        auto ops = panel.Ops();
        for (size_t i = from; i < ops.size(); ++i) {
            if (Describe(ops[i]) == described) return i;
        }
        return ops.size();
    }
};

TEST_F(StartAbortTest, ReadClickRelabelsTatDisablesTheRestAndRunsOnAWorker) {
    AnswerReads();
    std::string duringJob;
    std::thread::id workerThread;
    panel.OnOp([&](const PanelOp& op) {
        if (op.kind == PanelOp::kSelectedPort) {
            duringJob = BusyLook();
            workerThread = op.thread;
        }
    });
    OnPanelCommand(IDC_READ);
    JoinWorkers();
    EXPECT_EQ(duringJob, "Abort|Loop TAT&&Write|Read Write Loop");
    EXPECT_NE(workerThread, std::this_thread::get_id());
    EXPECT_EQ(panel.Text(IDC_HEX), "42 ");
    EXPECT_TRUE(panel.IsIdle());
    EXPECT_EQ(JobFlags.load(), 0u);
}

TEST_F(StartAbortTest, StartOrAbortChangesThePanelInItsOrder) {
    OnPanelCommand(IDC_LOOP);
    JobFlags.fetch_or(kJobAbort);  // let the job end at its first transfer
    JoinWorkers();
    std::vector<std::string> start;
    for (const auto& op : panel.Ops()) {
        if (op.thread != std::this_thread::get_id()) break;
        start.push_back(Describe(op));
    }
    EXPECT_EQ(start, (std::vector<std::string>{"SetText 1013 \"Abort\"", "SetDisabled 1010 on",
                                               "SetDisabled 1012 on", "SetDisabled 1011 on",
                                               "Invalidate 1012", "Invalidate 1011",
                                               "Invalidate 1010", "Invalidate 1013"}));
}

TEST_F(StartAbortTest, ClickWhileBusyOnlyRequestsTheAbort) {
    JobFlags.store(kJobBusy | kJobRead);
    OnPanelCommand(IDC_TAT);
    EXPECT_EQ(JobFlags.load(), kJobBusy | kJobRead | kJobTat | kJobAbort);
    OnPanelCommand(IDC_TAT);
    EXPECT_EQ(JobFlags.load(), kJobBusy | kJobRead | kJobTat | kJobAbort);
    EXPECT_TRUE(panel.Ops().empty());
}

TEST_F(StartAbortTest, OtherControlsAreIgnoredAndTheNotificationCodeIsNot) {
    OnPanelCommand(IDC_SECTION);
    OnPanelCommand(IDC_PORT | (1u << 16));
    EXPECT_EQ(JobFlags.load(), 0u);
    EXPECT_TRUE(panel.Ops().empty());
    AnswerReads();
    OnPanelCommand(IDC_READ | (0x0300u << 16));  // any notification code
    JoinWorkers();
    EXPECT_EQ(port.Count(PortEvent::kOpen), 1u);
    EXPECT_EQ(panel.Text(IDC_HEX), "42 ");
}

TEST_F(StartAbortTest, AbortDuringTheIgnitionWaitEndsTheJobWithNoMessage) {
    clock.At(5000, [] { OnPanelCommand(IDC_TAT); });  // the "Abort" button
    OnPanelCommand(IDC_TAT);
    JoinWorkers();
    EXPECT_LE(clock.Elapsed(), 5400u);
    EXPECT_TRUE(panel.Messages().empty());
    EXPECT_TRUE(panel.IsIdle());
    EXPECT_EQ(JobFlags.load(), 0u);
}

// The hand-over: a click that lands after the ending worker cleared JobFlags
// but before it restored the panel.

TEST_F(StartAbortTest, ClickDuringANormalEndStartsTheNextJobAfterTheRestoration) {
    AnswerReads();
    std::atomic<int> clicks{0};
    panel.OnOp([&](const PanelOp& op) {
        // The normal end shows "CLOSED" twice; the second comes after the clear.
        if (Describe(op) == "SetText 1009 \"CLOSED\"" && JobFlags.load() == 0 &&
            clicks.fetch_add(1) == 0) {
            OnPanelCommand(IDC_LOOP);
            EXPECT_EQ(JobFlags.load(), kJobBusy | kJobLoop);
            JobFlags.fetch_or(kJobAbort);  // so that the Loop job ends at once
        }
    });
    OnPanelCommand(IDC_READ);
    JoinWorkers();

    // Every panel change of the Read job's end precedes the Loop job's start.
    size_t loopStart = IndexOf("SetText 1013 \"Abort\"");
    size_t lastReadEnd = IndexOf("Invalidate 1013", IndexOf("Invalidate 1011", 8));
    EXPECT_LT(lastReadEnd, loopStart);
    EXPECT_EQ(port.Count(PortEvent::kOpen), 2u) << "the second job ran";
    EXPECT_TRUE(panel.IsIdle());
    EXPECT_EQ(JobFlags.load(), 0u);
}

TEST_F(StartAbortTest, ClickDuringAFailedEndIsNotUndone) {
    // The first job fails on a silent device; a Read click lands right after
    // FailJob clears the flags; the new Read job then finds a device.
    std::atomic<bool> clicked{false};
    std::string lookWhenSecondJobRuns;
    panel.OnOp([&](const PanelOp& op) {
        if (op.kind == PanelOp::kSetDisabled && !op.disabled && JobFlags.load() == 0 &&
            !clicked.exchange(true)) {
            AnswerReads();
            OnPanelCommand(IDC_READ);
        }
        if (op.kind == PanelOp::kSelectedPort && clicked) lookWhenSecondJobRuns = BusyLook();
    });
    OnPanelCommand(IDC_WRITE);
    JoinWorkers();
    EXPECT_EQ(panel.Messages(), (std::vector<std::string>{"Error reading section params"}));
    EXPECT_EQ(lookWhenSecondJobRuns, "Abort|Loop TAT&&Write|Read Write Loop");
    EXPECT_EQ(panel.Text(IDC_HEX), "42 ");
    EXPECT_TRUE(panel.IsIdle());
    EXPECT_EQ(JobFlags.load(), 0u);
    EXPECT_EQ(ClockRunning.load(), 0);
}

TEST_F(StartAbortTest, ClickJustBeforeTheClearLeavesNoStaleBusyBit) {
    AnswerReads();
    std::atomic<bool> clicked{false};
    panel.OnOp([&](const PanelOp& op) {
        if (Describe(op) == "SetText 1018 \"Ready\"" && !clicked.exchange(true)) {
            OnPanelCommand(IDC_TAT);  // still busy: only the abort bit
        }
    });
    OnPanelCommand(IDC_READ);
    JoinWorkers();
    EXPECT_TRUE(clicked);
    EXPECT_EQ(JobFlags.load(), 0u);
    EXPECT_TRUE(panel.IsIdle());
    EXPECT_EQ(port.Count(PortEvent::kOpen), 1u);
}

bool NoThread(int (*)()) {
    return false;
}

TEST_F(StartAbortTest, AJobWhoseThreadCannotStartEndsAtOnce) {
    SetWorkerStarter(&NoThread);
    OnPanelCommand(IDC_READ);
    EXPECT_EQ(JobFlags.load(), 0u);
    EXPECT_TRUE(panel.IsIdle());
    SetWorkerStarter(&StartJoinableWorker);
    AnswerReads();
    OnPanelCommand(IDC_READ);
    JoinWorkers();
    EXPECT_EQ(panel.Text(IDC_HEX), "42 ");
}

}  // namespace
}  // namespace qmb::test
