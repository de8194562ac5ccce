// Whole jobs end to end in real time: button clicks start workers that talk to
// the qmb-devsim executable through PosixPort on a pseudo-terminal.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "RealtimeTest.h"
#include "job/JobFlags.h"
#include "protocol/Frame.h"
#include "job/StartAbort.h"
#include "link/PosixPort.h"
#include "link/SerialLink.h"
#include "protocol/TraceFile.h"

namespace qmb::test {
namespace {

class JobsRealtime : public RealtimeTest {
  protected:
    // Clicks a job button as the UI thread does and waits for the job's end.
    void ClickAndWait(int button) {
        OnPanelCommand(static_cast<uint32_t>(button));
        JoinWorkers();
    }
    // The device starts its handshake whenever the job begins to wait for it.
    void IgniteWhenWaited(int times) {
        ignitionsLeft = times;
        panel.OnOp([this](const PanelOp& op) {
            if (op.kind == PanelOp::kSetText && op.text == "Waiting for ignition ..." &&
                ignitionsLeft.fetch_sub(1) > 0) {
                sim.Control("ignition");
            }
        });
    }
    void ExpectIdle() {
        EXPECT_TRUE(panel.IsIdle());
        EXPECT_EQ(JobFlags.load(), 0u);
        EXPECT_EQ(ClockRunning.load(), 0);
    }

    std::atomic<int> ignitionsLeft{0};
};

TEST_F(JobsRealtime, ReadOfSection11) {
    ClickAndWait(IDC_READ);
    EXPECT_EQ(panel.Text(IDC_HEX), "A0 A1 A2 A3 A4 A5 A6 A7 ");
    EXPECT_EQ(panel.Text(IDC_LENGTH), "8");
    EXPECT_TRUE(panel.Messages().empty());
    EXPECT_EQ(panel.Beeps(), 1);
    ExpectIdle();
}

TEST_F(JobsRealtime, WriteThenReadBackGivesTheSameBytesFirstIncluded) {
    const std::string written = "5A 01 02 03 04 05 06 C3 ";
    panel.Type(IDC_HEX, written);
    ClickAndWait(IDC_WRITE);
    ASSERT_TRUE(panel.Messages().empty()) << panel.Messages().front();
    EXPECT_NE(sim.Control("dump 11").find("eeprom 5A010203040506C3"), std::string::npos);
    panel.Type(IDC_HEX, "");
    ClickAndWait(IDC_READ);
    EXPECT_EQ(panel.Text(IDC_HEX), written);
    ExpectIdle();
}

TEST_F(JobsRealtime, TatCompletesTheHandshakeAndQmbTraceRecordsIt) {
    char trace[] = "/tmp/qmb-trace-XXXXXX";
    close(mkstemp(trace));
    setenv("QMB_TRACE", trace, 1);
    ASSERT_TRUE(TraceFromEnvironment("qmb-edit", nullptr));
    IgniteWhenWaited(1);
    ClickAndWait(IDC_TAT);
    ExchangeContext::Default().SetTraceSink(nullptr);
    unsetenv("QMB_TRACE");
    std::ifstream in(trace);
    const std::string frames((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(trace);
    EXPECT_NE(frames.find("frame trace of qmb-edit"), std::string::npos) << frames;
    EXPECT_NE(frames.find(" rx ignition 1/1 1/1 sound  49\n"), std::string::npos) << frames;
    EXPECT_NE(frames.find(" tx ignition 1/1 1 bytes  4F\n"), std::string::npos) << frames;
    EXPECT_NE(frames.find(" rx ignition 1/1 1/1 sound  4F\n"), std::string::npos) << frames;
    EXPECT_NE(frames.find(" rx ignition 1/1 13/13 sound "), std::string::npos) << frames;
    EXPECT_TRUE(panel.Messages().empty());
    EXPECT_EQ(panel.Beeps(), 1);
    EXPECT_NE(sim.Control("status").find("handshakes 1"), std::string::npos);
    ExpectIdle();
}

TEST_F(JobsRealtime, LoopRunsAPassPerIgnitionUntilAborted) {
    panel.Type(IDC_HEX, "11 22 33 44 55 66 77 88");
    IgniteWhenWaited(3);
    OnPanelCommand(IDC_LOOP);
    const auto start = SteadyClock::now();
    while (panel.Beeps() < 3 && MsSince(start) < 30000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(panel.Beeps(), 3);
    EXPECT_EQ(panel.Text(IDC_LOOP), "Abort");
    const auto abortAt = SteadyClock::now();
    OnPanelCommand(IDC_LOOP);  // "Abort"
    JoinWorkers();
    EXPECT_LT(MsSince(abortAt), 1000) << "the wait for ignition ends within a read attempt";
    EXPECT_TRUE(panel.Messages().empty());
    EXPECT_NE(sim.Control("status").find("commits 3"), std::string::npos);
    EXPECT_NE(sim.Control("dump 11").find("eeprom 1122334455667788"), std::string::npos);
    ExpectIdle();
}

TEST_F(JobsRealtime, SilentDeviceGivesErrorReadingSectionParamsAfterThreeAttempts) {
    ASSERT_TRUE(sim.ControlOk("fault silent on info count 3"));
    const auto start = SteadyClock::now();
    ClickAndWait(IDC_READ);
    const double ms = MsSince(start);
    EXPECT_EQ(panel.Messages(), (std::vector<std::string>{"Error reading section params"}));
    // Three attempts of three 400 ms reads, each followed by a 2 s pause.
    EXPECT_GE(ms, 3 * 3200 - 100);
    EXPECT_LE(ms, 3 * 3200 + 2000);
    RecordProperty("elapsed_ms", std::to_string(ms));
    ExpectIdle();
}

}  // namespace
}  // namespace qmb::test
