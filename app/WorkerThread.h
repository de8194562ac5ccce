// Worker threads of the Windows application.
#pragma once

#include "job/StartAbort.h"

namespace qmb::app {

// The WorkerStarter of the application: CreateThread with the default stack
// size and priority, started at once, running entry; the thread's exit code is
// entry's result. The newest thread's handle and id are kept (the previous
// handle is closed then); nothing waits on them.
bool StartWorkerThread(WorkerEntry entry);

// Workers started and not yet returned from their entry.
int LiveWorkerThreads();

}  // namespace qmb::app
