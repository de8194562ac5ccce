// The failure end: FailJob from any depth, and ResetControls.
#include <gtest/gtest.h>

#include "Harness.h"
#include "job/JobFlags.h"
#include "link/SerialLink.h"

namespace qmb::test {
namespace {

class FailJobTest : public CoreTest {};

void Deep(int depth) {
    if (depth < 0) return;
    if (depth > 0) {
        Deep(depth - 1);
    } else {
        FailJob(1);
    }
}

std::vector<std::string> DescribeAll(const std::vector<PanelOp>& ops) {
    std::vector<std::string> out;
    for (const auto& op : ops)
        out.push_back(qmb::test::Describe(op));
    return out;
}

TEST_F(FailJobTest, EndsTheJobFromAnyDepthInItsOrder) {
    JobFlags.store(kJobBusy | kJobRead | kJobAbort);
    ClockRunning.store(1);
    bool after = false;
    int code = RunAsJob([&] {
        ASSERT_TRUE(OpenPort('1'));
        panel.ClearOps();
        Deep(20);
        after = true;
    });
    EXPECT_EQ(code, 1);
    EXPECT_FALSE(after);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(JobFlags.load(), 0u);
    EXPECT_EQ(ClockRunning.load(), 0);
    EXPECT_EQ(DescribeAll(panel.Ops()),
              (std::vector<std::string>{"SetText 1009 \"CLOSED\"", "SetText 1010 \"TAT Mode\"",
                                        "SetText 1013 \"Loop TAT&&Write\"", "SetDisabled 1012 off",
                                        "SetDisabled 1011 off", "SetDisabled 1010 off",
                                        "SetDisabled 1013 off", "SetText 1018 \"Ready\"",
                                        "SetText 1009 \"CLOSED\"", "Invalidate 1012",
                                        "Invalidate 1011", "Invalidate 1010", "Invalidate 1013"}));
    EXPECT_TRUE(panel.IsIdle());
}

TEST_F(FailJobTest, FlagsAreClearedAfterTheCaptionsAndBeforeResetControls) {
    JobFlags.store(kJobBusy | kJobLoop | kJobAbort);
    ClockRunning.store(1);
    std::vector<std::pair<std::string, uint32_t>> seen;
    panel.OnOp([&](const PanelOp& op) { seen.emplace_back(Describe(op), JobFlags.load()); });
    RunAsJob([] { FailJob(1); });
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen[0], std::make_pair(std::string("SetText 1009 \"CLOSED\""), 0x89u));
    EXPECT_EQ(seen[2], std::make_pair(std::string("SetText 1013 \"Loop TAT&&Write\""), 0x89u));
    EXPECT_EQ(seen[3], std::make_pair(std::string("SetDisabled 1012 off"), 0u));
}

TEST_F(FailJobTest, ClosesANeverOpenedPortAndShowsClosed) {
    port.failOpen = true;
    panel.Type(IDC_PORT_STATUS, "?");
    int code = RunAsJob([] {
        if (!OpenPort('3')) FailJob(1);
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(panel.Text(IDC_PORT_STATUS), "CLOSED");
}

TEST_F(FailJobTest, ResetControlsEnablesButtonsAndShowsReadyAndClosed) {
    for (int id : {IDC_READ, IDC_WRITE, IDC_TAT, IDC_LOOP})
        panel.SetDisabled(id, true);
    panel.Type(IDC_STATUS, "busy");
    panel.Type(IDC_PORT_STATUS, "38400");
    ResetControls();
    EXPECT_TRUE(panel.IsIdle());
}

TEST_F(FailJobTest, ANormalReturnIsExitCodeZero) {
    EXPECT_EQ(RunAsJob([] {}), 0);
}

}  // namespace
}  // namespace qmb::test
