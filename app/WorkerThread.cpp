#include "app/WorkerThread.h"

#include <windows.h>

#include <atomic>

namespace qmb::app {

namespace {

std::atomic<HANDLE> g_workerHandle{NULL};
std::atomic<DWORD> g_workerId{0};
std::atomic<int> g_liveWorkers{0};

DWORD WINAPI WorkerMain(LPVOID parameter) {
    WorkerEntry entry = reinterpret_cast<WorkerEntry>(parameter);
    const DWORD code = static_cast<DWORD>(entry());
    g_liveWorkers.fetch_sub(1);
    return code;
}

}  // namespace

bool StartWorkerThread(WorkerEntry entry) {
    DWORD id = 0;
    // Counted before the thread exists, so a worker that starts the next job
    // at its end never lets the count touch zero in between.
    g_liveWorkers.fetch_add(1);
    HANDLE thread = CreateThread(NULL, 0, &WorkerMain, reinterpret_cast<LPVOID>(entry), 0, &id);
    if (thread == NULL) {
        g_liveWorkers.fetch_sub(1);
        return false;
    }
    g_workerId.store(id);
    HANDLE previous = g_workerHandle.exchange(thread);
    if (previous != NULL) CloseHandle(previous);
    return true;
}

int LiveWorkerThreads() {
    return g_liveWorkers.load();
}

}  // namespace qmb::app
