// Shared fixture for logic tests: binds a headless panel and a fake port in
// virtual time, and puts every global of the core back to its start-up state.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "HeadlessPanel.h"
#include "VirtualTime.h"
#include "Workers.h"

namespace qmb::test {

// Puts every global of the core back to its start-up state.
void ResetCoreGlobals();
// Runs body as a job's worker would (on this thread) and returns its exit
// code: 0 when it returned, FailJob's code when that ended it.
int RunAsJob(std::function<void()> body);
// Runs the whole worker on this thread with JobFlags = busy | modeBits.
int RunWorker(uint32_t modeBits);

class CoreTest : public ::testing::Test {
  public:  // open to table-driven cases that arrange a test
    CoreTest();
    ~CoreTest() override;

    // Start-up state for the core and the panel again; the port keeps its log.
    void ResetForNextJob();

    int RunAsJob(std::function<void()> body) { return test::RunAsJob(std::move(body)); }
    int RunWorker(uint32_t modeBits) { return test::RunWorker(modeBits); }

    // Answers each write with the next reply in the list (whole, at once).
    void ReplyWith(std::vector<Bytes> replies);

    VirtualClock clock;
    FakePort port{clock};
    HeadlessPanel panel;
};

}  // namespace qmb::test
