// Starting and aborting jobs: the four job buttons, StartOrAbort, the worker
// thread, and the hand-over between a job that is ending and a click that
// starts the next one.
#pragma once

#include <cstdint>

namespace qmb {

// Starts a thread running entry() at once, at the default priority and stack
// size, and keeps its handle or id; nothing waits on it. entry's result is the
// thread's exit code. False if no thread could be created.
using WorkerEntry = int (*)();
using WorkerStarter = bool (*)(WorkerEntry entry);

// Replaces the way worker threads are started (default: a detached
// std::thread). The Win32 application uses CreateThread; tests join theirs.
void SetWorkerStarter(WorkerStarter starter);

// UI thread. A command from the panel: for the four job buttons, ORs the
// button's mode bit into JobFlags and calls StartOrAbort; other controls are
// ignored. Only the low 16 bits of commandParam (the control id) are looked at.
void OnPanelCommand(uint32_t commandParam);

// UI thread. With modeBit already part of the request: if a job is running,
// asks it to stop (abort bit); otherwise marks a job busy, relabels and
// disables the buttons, and starts a new worker running JobWorker.
void StartOrAbort(uint32_t modeBit);

// Worker thread, at a job's end (normal or failed), in place of the plain
// clearing of JobFlags: clears every bit atomically and opens the window in
// which a click may start the next job while this worker still restores the
// panel.
void ClearJobFlagsAtEnd();

// Worker thread, after its last panel change of the job's end. If a click
// started a job meanwhile, carries out that job's start (captions, disabled
// buttons, new worker) now, so that the restoration never undoes it.
void FinishJobEnd();

}  // namespace qmb
