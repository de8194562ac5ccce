#include "Workers.h"

#include <mutex>
#include <thread>
#include <vector>

namespace qmb::test {

namespace {
std::mutex g_workersMutex;
std::vector<std::thread> g_workers;
}  // namespace

bool StartJoinableWorker(int (*entry)()) {
    std::lock_guard<std::mutex> lock(g_workersMutex);
    g_workers.emplace_back([entry] { entry(); });
    return true;
}

void JoinWorkers() {
    for (;;) {
        std::thread worker;
        {
            std::lock_guard<std::mutex> lock(g_workersMutex);
            if (g_workers.empty()) return;
            worker = std::move(g_workers.front());
            g_workers.erase(g_workers.begin());
        }
        worker.join();
    }
}

}  // namespace qmb::test
