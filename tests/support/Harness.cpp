#include "Harness.h"

#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "job/Indicators.h"
#include "job/JobFlags.h"
#include "job/StartAbort.h"
#include "job/Worker.h"
#include "link/SerialLink.h"

namespace qmb::test {

namespace {}  // namespace

void ResetCoreGlobals() {
    JobFlags.store(0);
    ClockRunning.store(0);
    SerialLink::Default().RxLed().store(0);
    SerialLink::Default().TxLed().store(0);
    HeldSectionNumber = kInitialSectionNumber;
    ResetClockCounters();
}

namespace {
std::function<void()> g_body;
void RunStoredBody() {
    g_body();
}
}  // namespace

CoreTest::CoreTest() {
    ResetCoreGlobals();
    BindPanel(&panel);
    BindPort(&port, &clock);
    SetWorkerStarter(&StartJoinableWorker);
}

CoreTest::~CoreTest() {
    JoinWorkers();
    SetWorkerStarter(nullptr);
    BindPort(nullptr, nullptr);
    BindPanel(nullptr);
}

void CoreTest::ResetForNextJob() {
    ResetCoreGlobals();
    panel.Reset();
}

int RunAsJob(std::function<void()> body) {
    g_body = std::move(body);
    int code = RunJob(&RunStoredBody);
    g_body = nullptr;
    return code;
}

int RunWorker(uint32_t modeBits) {
    JobFlags.store(kJobBusy | modeBits);
    return JobWorker();
}

void CoreTest::ReplyWith(std::vector<Bytes> replies) {
    auto queue = std::make_shared<std::deque<Bytes>>(replies.begin(), replies.end());
    port.SetPeer([queue](const Bytes&, FakePort& p) {
        if (queue->empty()) return;
        p.Deliver(queue->front());
        queue->pop_front();
    });
}

}  // namespace qmb::test
