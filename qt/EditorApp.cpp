#include "qt/EditorApp.h"

#include <QApplication>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "job/JobFlags.h"
#include "job/StartAbort.h"
#include "link/SerialLink.h"
#include "qt/OperatorPanel.h"

namespace qmb::qt {

namespace {
std::atomic<int> g_liveWorkers{0};

[[noreturn]] void EndProcess(int code) {
    std::fflush(nullptr);
    std::_Exit(code);
}
}  // namespace

bool StartCountedWorker(int (*entry)()) {
    // Counted before the thread exists, so a worker that starts the next job
    // at its end never lets the count touch zero in between.
    g_liveWorkers.fetch_add(1);
    try {
        std::thread([entry] {
            entry();
            g_liveWorkers.fetch_sub(1);
        }).detach();
        return true;
    } catch (...) {
        g_liveWorkers.fetch_sub(1);
        return false;
    }
}

int LiveWorkers() {
    return g_liveWorkers.load();
}

EditorApp::EditorApp() : seam_(window_.Panel(), window_) {
    BindPort(&port_, &ticks_);
    BindPanel(&seam_);
    SetWorkerStarter(&StartCountedWorker);
    ResetControls();
    window_.Panel().StartTimers();
}

EditorApp::~EditorApp() {
    seam_.Close();
    if (LiveWorkers() > 0) EndProcess(EXIT_FAILURE);
    SetWorkerStarter(nullptr);
    BindPanel(nullptr);
    BindPort(nullptr, nullptr);
}

int EditorApp::Run() {
    window_.show();
    return Finish(QApplication::exec());
}

int EditorApp::Finish(int code) {
    seam_.Close();
    if (LiveWorkers() > 0) EndProcess(code);
    return code;
}

}  // namespace qmb::qt
