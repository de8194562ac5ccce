// Fixture for real-time tests: a headless panel, the real POSIX port and
// tick counter, and a qmb-devsim process whose terminal is COM1 (QMB_COM1).
// The including target defines QMB_DEVSIM_PATH, the simulator executable.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "DevSim.h"
#include "Harness.h"
#include "HeadlessPanel.h"
#include "job/StartAbort.h"
#include "link/PosixPort.h"
#include "link/SerialLink.h"

namespace qmb::test {

class RealtimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetCoreGlobals();
        BindPanel(&panel);
        BindPort(&port, &ticks);
        SetWorkerStarter(&StartJoinableWorker);
        ASSERT_TRUE(sim.Start()) << "qmb-devsim did not start";
        setenv("QMB_COM1", sim.link.c_str(), 1);
    }
    void TearDown() override {
        port.Close();
        JoinWorkers();
        SetWorkerStarter(nullptr);
        BindPort(nullptr, nullptr);
        BindPanel(nullptr);
        unsetenv("QMB_COM1");
    }

    HeadlessPanel panel;
    PosixPort port;
    PosixTickCounter ticks;
    DevSim sim{QMB_DEVSIM_PATH};
};

}  // namespace qmb::test
