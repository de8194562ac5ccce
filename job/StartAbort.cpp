#include "job/StartAbort.h"

#include <atomic>
#include <thread>

#include "job/JobFlags.h"
#include "job/Panel.h"
#include "job/Worker.h"

namespace qmb {

namespace {

bool StartStdThread(WorkerEntry entry) {
    try {
        std::thread([entry] { entry(); }).detach();
        return true;
    } catch (...) {
        return false;
    }
}

std::atomic<WorkerStarter> g_starter{&StartStdThread};

// The hand-over between an ending worker and the next job.
//
// The worker clears JobFlags before it has finished restoring the panel
// (captions, enabled buttons, "CLOSED", clock). A click in that window claims
// the busy bit and would start a new job whose captions, disabled buttons,
// port indicator and clock the ending worker would then undo. A lock cannot
// close the window: the worker's panel calls wait for the UI thread, so the UI
// thread must never wait for the worker.
//
// Instead the ending worker marks itself kEnding before it clears JobFlags. A
// click that claims the busy bit while the mark is kEnding turns it into
// kStartDeferred and leaves the start to the ending worker, which carries it
// out in FinishJobEnd after its own last panel change. Whichever of the two
// atomic steps (the click's compare-exchange, the worker's exchange) comes
// first decides who starts the job; never both, never neither.
enum EndState : int { kNotEnding = 0, kEnding = 1, kStartDeferred = 2 };
std::atomic<int> g_endState{kNotEnding};

uint32_t ModeBitOf(int controlId) {
    switch (controlId) {
        case IDC_TAT:
            return kJobTat;
        case IDC_WRITE:
            return kJobWrite;
        case IDC_READ:
            return kJobRead;
        case IDC_LOOP:
            return kJobLoop;
        default:
            return 0;
    }
}

// The panel changes of a job's start, and the new worker.
void LaunchJob() {
    if (JobFlags.load() & kJobLoop) {
        SetControlText(IDC_LOOP, kCaptionAbort);
        SetControlDisabled(IDC_TAT, true);
    } else {
        SetControlText(IDC_TAT, kCaptionAbort);
        SetControlDisabled(IDC_LOOP, true);
    }
    SetControlDisabled(IDC_READ, true);
    SetControlDisabled(IDC_WRITE, true);
    InvalidateControl(IDC_READ);
    InvalidateControl(IDC_WRITE);
    InvalidateControl(IDC_TAT);
    InvalidateControl(IDC_LOOP);
    if (!g_starter.load()(&JobWorker)) {
        // No thread: nothing will end this job, so end it here.
        SetControlText(IDC_TAT, kCaptionTat);
        SetControlText(IDC_LOOP, kCaptionLoop);
        JobFlags.exchange(0);
        ResetControls();
    }
}

}  // namespace

void SetWorkerStarter(WorkerStarter starter) {
    g_starter.store(starter ? starter : &StartStdThread);
}

void OnPanelCommand(uint32_t commandParam) {
    uint32_t bit = ModeBitOf(static_cast<int>(commandParam & 0xFFFF));
    if (bit != 0) StartOrAbort(bit);
}

void StartOrAbort(uint32_t modeBit) {
    // The mode bit and the busy-or-abort decision go in with one
    // compare-exchange: a separate OR of the mode bit could be wiped by an
    // ending worker's clear just before the busy bit is claimed, and a job
    // would start without a mode bit.
    uint32_t old = JobFlags.load();
    uint32_t next;
    do {
        next = old | modeBit | ((old & kJobBusy) ? kJobAbort : kJobBusy);
    } while (!JobFlags.compare_exchange_weak(old, next));
    if (old & kJobBusy) return;  // a job runs: it sees the abort at its next transfer

    int ending = kEnding;
    if (g_endState.compare_exchange_strong(ending, kStartDeferred)) return;
    LaunchJob();
}

void ClearJobFlagsAtEnd() {
    g_endState.store(kEnding);
    JobFlags.exchange(0);
}

void FinishJobEnd() {
    if (g_endState.exchange(kNotEnding) == kStartDeferred) LaunchJob();
}

}  // namespace qmb
