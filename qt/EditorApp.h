// The program around the window: the POSIX port behind the serial link, the
// main window, the panel seam bound to its controls, worker threads that are
// counted, and the end of the process.
#pragma once

#include "link/PosixPort.h"
#include "qt/MainWindow.h"
#include "qt/QtPanel.h"

namespace qmb::qt {

// Starts a detached worker thread running entry and counts it until entry
// returns (the worker starter of this program).
bool StartCountedWorker(int (*entry)());
// Worker threads started by StartCountedWorker that have not ended yet.
int LiveWorkers();

class EditorApp {
  public:
    // Needs a QApplication. Binds the port and the panel seam, puts the
    // panel in its idle state and starts its timers; the window is not shown.
    EditorApp();
    // Must not run while a worker runs (Run and Finish see to it); if one
    // does, the process ends here rather than free what it uses.
    ~EditorApp();
    EditorApp(const EditorApp&) = delete;
    EditorApp& operator=(const EditorApp&) = delete;

    MainWindow& Window() { return window_; }
    QtPanel& Seam() { return seam_; }

    // Shows the window, runs the event loop until the window is closed, and
    // returns Finish of the loop's code.
    int Run();

    // After the event loop: panel calls become no-ops. When a worker still
    // runs (a job, or a worker waiting in a panel call), the process ends at
    // once with code and takes the worker with it, as closing the window ends
    // a running job; the port is released with the process. Otherwise
    // returns code.
    int Finish(int code);

  private:
    PosixPort port_;
    PosixTickCounter ticks_;
    MainWindow window_;
    QtPanel seam_;
};

}  // namespace qmb::qt
