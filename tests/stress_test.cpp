// Random clicks of the four buttons against running and ending jobs, on real
// threads: the UI side clicks while workers run in virtual time. Run under
// ThreadSanitizer in CI. After every quiet point the system must be idle, no
// job may start without a mode bit, and no job may find the panel undone.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "Harness.h"
#include "job/JobFlags.h"
#include "job/StartAbort.h"
#include "link/SerialLink.h"

namespace qmb::test {
namespace {

constexpr int kClicks = 10'000;
// Every this many clicks the test lets the running job end and checks the
// idle state; each round then begins with a click on an idle system, so at
// least kClicks / kRound jobs start however slow threads are to start.
constexpr int kRound = 50;
const int kButtons[] = {IDC_READ, IDC_WRITE, IDC_TAT, IDC_LOOP};

class ClickStressTest : public CoreTest {
  public:
    // A device that answers everything about a 1-byte section, now and then
    // stays silent, and announces ignition every 300 ms of virtual time.
    void RunDevice() {
        port.SetPeer([this](const Bytes& written, FakePort& p) {
            if (written == Bytes{'O'}) {
                p.Deliver({'O'}, 1);
                p.Deliver(Bytes(13, 0), 2);
                return;
            }
            if (written.size() < 17 || ++requests_ % 37 == 0) return;  // silent
            if (written[13] == 0x12) {
                p.Deliver(SectionInfoReply(1), 3);
            } else if (written.size() == 25) {
                p.Deliver(ReadReplyOf({0x5A}), 3);
            } else {
                p.Deliver(MakeReply(17), 3);
            }
        });
        Ignite(300);
    }
    void Ignite(uint64_t at) {
        clock.At(at, [this, at] {
            port.Deliver({'I'});
            Ignite(at + 300);
        });
    }

    // Runs on each worker as it opens the port: the job must have a mode bit
    // and the panel must show this job's busy state.
    void CheckJobStart(const PanelOp& op) {
        if (op.kind != PanelOp::kSelectedPort) return;
        const uint32_t flags = JobFlags.load();
        if (!(flags & (kJobTat | kJobRead | kJobWrite | kJobLoop))) ++jobsWithoutMode;
        const bool loop = panel.Text(IDC_LOOP) == kCaptionAbort;
        const bool other = panel.Text(IDC_TAT) == kCaptionAbort;
        const std::string disabled = panel.DisabledButtons();
        if (!(loop ? disabled == "Read Write TAT" : other && disabled == "Read Write Loop")) {
            ++jobsWithUndonePanel;
        }
        ++jobsStarted;
    }

    // Aborts whatever runs and waits for every worker to finish.
    void Quiesce() {
        while (JobFlags.load() & kJobBusy) {
            OnPanelCommand(IDC_TAT);
            OnPanelCommand(IDC_LOOP);  // sets abort; a busy system starts nothing
            std::this_thread::yield();
        }
        JoinWorkers();
    }

    std::atomic<int> jobsWithoutMode{0};
    std::atomic<int> jobsWithUndonePanel{0};
    std::atomic<int> jobsStarted{0};

  private:
    int requests_ = 0;  // worker side only
};

TEST_F(ClickStressTest, RandomClicksNeverLeaveABrokenState) {
    panel.Type(IDC_HEX, "5A");
    RunDevice();
    panel.OnOp([this](const PanelOp& op) { CheckJobStart(op); });
    std::mt19937 random(2026);
    for (int click = 0; click < kClicks; ++click) {
        OnPanelCommand(kButtons[random() % 4]);
        const unsigned pause = random() % 200;
        if (pause > 20) std::this_thread::sleep_for(std::chrono::microseconds(pause));
        if (click % kRound == kRound - 1) {
            Quiesce();
            ASSERT_EQ(JobFlags.load(), 0u) << "after click " << click;
            ASSERT_TRUE(panel.IsIdle()) << "after click " << click;
            ASSERT_FALSE(port.IsOpen());
            ASSERT_EQ(ClockRunning.load(), 0);
        }
    }
    Quiesce();
    EXPECT_EQ(jobsWithoutMode.load(), 0);
    EXPECT_EQ(jobsWithUndonePanel.load(), 0);
    EXPECT_GE(jobsStarted.load(), kClicks / kRound);
    RecordProperty("jobs", jobsStarted.load());
    RecordProperty("messages", static_cast<int>(panel.Messages().size()));
    int handedOver = 0;  // starts carried out by an ending worker
    for (const auto& op : panel.Ops()) {
        handedOver += op.kind == PanelOp::kSetText && op.text == kCaptionAbort &&
                      op.thread != std::this_thread::get_id();
    }
    RecordProperty("handed_over", handedOver);
    for (const auto& message : panel.Messages()) {
        EXPECT_NE(message, "Port is busy") << "two jobs used the port at once";
    }
    EXPECT_TRUE(panel.IsIdle());
    EXPECT_EQ(JobFlags.load(), 0u);
}

}  // namespace
}  // namespace qmb::test
