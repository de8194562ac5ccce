// Job flags and the failure end.
//
// JobFlags is shared by the UI thread (button clicks set bits) and the worker
// (clears them all at the job's end). Every change is an atomic
// read-modify-write, so neither thread can write back a stale copy and lose a
// bit the other one set.
#pragma once

#include <atomic>
#include <cstdint>

#include "link/LinkHost.h"

namespace qmb {

enum JobBit : uint32_t {
    kJobBusy = 0x01,   // a job is running
    kJobAbort = 0x08,  // abort requested
    kJobTat = 0x10,    // perform the ignition handshake
    kJobRead = 0x20,
    kJobWrite = 0x40,
    kJobLoop = 0x80,  // handshake and Write, pass after pass
};

// Upper 24 bits always 0.
extern std::atomic<uint32_t> JobFlags;

// 1 while a job runs: set by the worker at its start, cleared at every end;
// read by the clock timer on the UI thread.
extern std::atomic<uint8_t> ClockRunning;

// Puts the buttons and indicators in their idle form: buttons enabled,
// "Ready", "CLOSED", buttons repainted.
void ResetControls();

// Ends the running job at once, from any depth of the worker: closes the
// port, stops the clock, restores the idle captions, clears JobFlags,
// ResetControls, then unwinds to the worker's top with the exit code.
// Shows no message (the caller has shown one where there is one).
[[noreturn]] void FailJob(int exitCode);

// The serial link's host while the panel's jobs run it: a stop is requested
// by the abort bit, every stop of the link is FailJob(1) with no message, and
// the port indicator is IDC_PORT_STATUS. BindPanel binds it.
LinkHost& JobLinkHost();

// What FailJob throws. Only RunJob catches it; it deliberately does not
// derive from std::exception so that no other handler takes it by accident.
struct JobEnded {
    int exitCode;
};

// The worker's top: runs body and returns 0, or the exit code of the FailJob
// that ended it.
int RunJob(void (*body)());

}  // namespace qmb
