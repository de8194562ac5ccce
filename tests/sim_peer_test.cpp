// Whole jobs against the simulated device in virtual time (SimPeer): the
// worker, the link and the commands meet the device model as they would a
// real device.
#include <gtest/gtest.h>

#include "Harness.h"
#include "SimPeer.h"
#include "job/JobFlags.h"
#include "job/Panel.h"

namespace qmb::test {
namespace {

class SimPeerJob : public CoreTest {
  protected:
    SimPeer sim{port, clock};
};

TEST_F(SimPeerJob, ReadOfTheLongestSectionShowsAllItsBytes) {
    panel.Type(IDC_SECTION, "4");
    EXPECT_EQ(RunWorker(kJobRead), 0);
    EXPECT_TRUE(panel.Messages().empty());
    EXPECT_EQ(panel.Text(IDC_LENGTH), "255");
    EXPECT_EQ(panel.Text(IDC_HEX).rfind("04 05 06 07", 0), 0u) << panel.Text(IDC_HEX);
    // 17 + 33 bytes, then 25 + 272 bytes on a 38400-baud line: about 90 ms.
    EXPECT_GE(clock.Elapsed(), 90u);
    EXPECT_LT(clock.Elapsed(), 400u);
}

TEST_F(SimPeerJob, WriteJobReachesTheEepromFirstByteIncluded) {
    panel.Type(IDC_SECTION, "11");
    panel.Type(IDC_HEX, "5A 01 02 03 04 05 06 C7");
    EXPECT_EQ(RunWorker(kJobWrite), 0);
    EXPECT_TRUE(panel.Messages().empty());
    const sim::Section* s = sim.model.GetSection(11);
    EXPECT_EQ(Bytes(s->eeprom.begin(), s->eeprom.begin() + 8), FromHex("5A 01 02 03 04 05 06 C7"));
    EXPECT_EQ(sim.model.Stats().commits, 1u);
}

TEST_F(SimPeerJob, TatJobCompletesWhenTheDeviceIgnitesLater) {
    sim.IgniteAt(3000, 500);
    EXPECT_EQ(RunWorker(kJobTat), 0);
    EXPECT_EQ(sim.model.Stats().handshakes, 1u);
    EXPECT_FALSE(sim.model.AwaitingIgnitionAnswer());
    EXPECT_GE(clock.Elapsed(), 3000u);
    EXPECT_TRUE(panel.IsIdle());
}

TEST_F(SimPeerJob, SilentFirstQueryIsRetriedAndTheReadSucceeds) {
    sim::Fault f;
    f.kind = sim::FaultKind::kSilent;
    f.request = sim::RequestKind::kSectionInfo;
    sim.model.AddFault(f);
    EXPECT_EQ(RunWorker(kJobRead), 0);
    EXPECT_EQ(panel.Text(IDC_LENGTH), "8");
    EXPECT_GE(clock.Elapsed(), 1200u + 2000u) << "three empty read attempts, then the pause";
}

TEST_F(SimPeerJob, HangUpMidReplyEndsTheJobThroughFailJobWithoutAMessage) {
    sim::Fault f;
    f.kind = sim::FaultKind::kHangUp;
    f.request = sim::RequestKind::kSectionInfo;
    f.offset = 10;
    sim.model.AddFault(f);
    EXPECT_EQ(RunWorker(kJobRead), 1);
    EXPECT_EQ(sim.HangUps(), 1);
    EXPECT_TRUE(panel.Messages().empty()) << panel.Messages().front();
    EXPECT_TRUE(panel.IsIdle());
    EXPECT_FALSE(port.IsOpen());

    // The next job finds a working line again.
    EXPECT_EQ(RunWorker(kJobRead), 0);
    EXPECT_EQ(panel.Text(IDC_LENGTH), "8");
}

}  // namespace
}  // namespace qmb::test
