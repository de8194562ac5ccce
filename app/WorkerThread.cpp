#include "app/WorkerThread.h"

#include <windows.h>

#include <atomic>

namespace qmb::app {

namespace {

std::atomic<HANDLE> g_workerHandle{NULL};
std::atomic<DWORD> g_workerId{0};

DWORD WINAPI WorkerMain(LPVOID parameter) {
    WorkerEntry entry = reinterpret_cast<WorkerEntry>(parameter);
    return static_cast<DWORD>(entry());
}

}  // namespace

bool StartWorkerThread(WorkerEntry entry) {
    DWORD id = 0;
    HANDLE thread = CreateThread(NULL, 0, &WorkerMain, reinterpret_cast<LPVOID>(entry), 0, &id);
    if (thread == NULL) return false;
    g_workerId.store(id);
    HANDLE previous = g_workerHandle.exchange(thread);
    if (previous != NULL) CloseHandle(previous);
    return true;
}

}  // namespace qmb::app
