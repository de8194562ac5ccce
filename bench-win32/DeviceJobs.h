// The device work of qmb-device.exe, each job on a worker thread of its own
// with a Device of its own (the port opened by name, mapped as qmb-edit maps
// it): a read-all or a write of the plan. The UI thread starts and cancels;
// the worker never waits for the UI thread: it posts its progress and its end
// to the window (PostMessageW), so the message loop is never held by a
// transfer.
//
// Threads: Start*, CancelJob and JobRunning on the UI thread; the messages
// arrive there. One job at a time.
#pragma once

#include <windows.h>

#include <string>

#include "device/Bench.h"

namespace qmb::benchwin {

// Posted to the window: wParam and lParam as said.
constexpr UINT kMsgReadProgress = WM_APP + 1;   // wParam done, lParam the section under way
constexpr UINT kMsgReadDone = WM_APP + 2;       // lParam: ReadOutcome*, the receiver deletes it
constexpr UINT kMsgWriteProgress = WM_APP + 3;  // wParam done, lParam the section under way
constexpr UINT kMsgWriteDone = WM_APP + 4;      // lParam: WriteOutcome*, the receiver deletes it
// Sent by a test: the longest any one message kept the UI thread while a job
// ran, since the last reset (wParam 1 resets): LOWORD its wall time, HIWORD
// the thread's CPU time in it, each in ms (at most 65535).
constexpr UINT kMsgLoopFigures = WM_APP + 30;

struct ReadOutcome {
    std::string port;
    device::ReadResult result;
};

struct WriteOutcome {
    std::string port;
    size_t planned = 0;
    device::WriteResult result;
};

// Starts a read-all of port; false when a job runs or no thread starts.
bool StartReadAll(HWND window, const std::string& port);
// Starts writing job's plan on port; false as above.
bool StartWrite(HWND window, const std::string& port, device::WriteJob job);
// A read-all stops at its next transfer; a write before its next section.
void CancelJob();
bool JobRunning();
// Workers still running (a job's thread lives a moment past its message).
int LiveWorkers();

// QMB_TRACE=FILE: every frame of every job into FILE (opened once, never
// closed). UI thread, before the first job.
void TraceFromEnvironment();

}  // namespace qmb::benchwin
