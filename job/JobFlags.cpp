#include "job/JobFlags.h"

#include "job/Panel.h"
#include "job/StartAbort.h"
#include "link/SerialLink.h"

namespace qmb {

std::atomic<uint32_t> JobFlags{0};
std::atomic<uint8_t> ClockRunning{0};

void ResetControls() {
    SetControlDisabled(IDC_READ, false);
    SetControlDisabled(IDC_WRITE, false);
    SetControlDisabled(IDC_TAT, false);
    SetControlDisabled(IDC_LOOP, false);
    SetControlText(IDC_STATUS, kStatusReady);
    SetControlText(IDC_PORT_STATUS, kPortClosed);
    InvalidateControl(IDC_READ);
    InvalidateControl(IDC_WRITE);
    InvalidateControl(IDC_TAT);
    InvalidateControl(IDC_LOOP);
}

void FailJob(int exitCode) {
    ClosePort();
    ClockRunning.store(0);
    SetControlText(IDC_TAT, kCaptionTat);
    SetControlText(IDC_LOOP, kCaptionLoop);
    ClearJobFlagsAtEnd();
    ResetControls();
    FinishJobEnd();
    throw JobEnded{exitCode};
}

namespace {
class PanelJobLinkHost : public LinkHost {
  public:
    bool StopRequested() override { return (JobFlags.load() & kJobAbort) != 0; }
    [[noreturn]] void Stop(LinkStop) override { FailJob(1); }
    void ShowPortState(const char* text) override { SetControlText(IDC_PORT_STATUS, text); }
};
}  // namespace

LinkHost& JobLinkHost() {
    static PanelJobLinkHost host;
    return host;
}

int RunJob(void (*body)()) {
    try {
        body();
    } catch (const JobEnded& end) {
        return end.exitCode;
    }
    return 0;
}

}  // namespace qmb
