// qmb-edit for Windows: the program's entry and its message loop.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "app/App.h"
#include "app/MainWindow.h"
#include "app/OperatorPanel.h"
#include "app/Win32Panel.h"
#include "app/WorkerThread.h"
#include "job/CommandLine.h"
#include "link/SerialLink.h"
#include "link/Win32Port.h"
#include "platform/WindowAnswer.h"
#include "protocol/TraceFile.h"
#include "resource.h"

namespace qmb::app {

HINSTANCE Instance = NULL;
HWND MainWindow = NULL;
HWND PanelWindow = NULL;
HBITMAP LampBitmap = NULL;
HDC LampDc = NULL;

namespace {
// An object built in static storage on first use and never destroyed. The
// panel seam, the port and the tick counter are used by the worker, which may
// still be inside a read, a pause or a panel call when the window closes: had
// they static lifetime, the runtime would destroy them under it at exit (a
// closed handle under a pending read, a pure virtual call).
template <typename T>
T& Everlasting() {
    alignas(T) static unsigned char storage[sizeof(T)];
    static T* const object = new (storage) T();
    return *object;
}

// Binds the core to the real panel, the COM ports and Win32 threads.
void BindPlatform() {
    BindPanel(&Everlasting<Win32Panel>());
    BindPort(&Everlasting<Win32Port>(), &Everlasting<Win32TickCounter>());
    SetWorkerStarter(&StartWorkerThread);
}

// Ends the process at once with code, taking every thread with it: no
// destructor, exit handler or DLL detach runs, so nothing can wait on a lock
// that a stopped worker held. The port is released with the process.
[[noreturn]] void EndProcessNow(UINT code) {
    TerminateProcess(GetCurrentProcess(), code);
    ExitProcess(code);  // not reached: TerminateProcess ends this thread too
}
}  // namespace

}  // namespace qmb::app

// The start-up show state is not used; of the command line, only --help and
// --version (answered with exit code 0, no window) and an unknown option
// (refused with 2). Returns 1 when the class cannot be registered or a window
// cannot be created, otherwise 0 when the message loop ends.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    using namespace qmb::app;
    std::vector<std::string> args;
    for (int i = 1; __argv != nullptr && i < __argc; ++i)
        args.emplace_back(__argv[i]);
    const qmb::CommandLineAnswer answer = qmb::AnswerCommandLine(args, true);
    if (answer.answered) {
        qmb::TellFromWindowProgram(answer.out, STD_OUTPUT_HANDLE, false, "qmb-edit");
        qmb::TellFromWindowProgram(answer.err, STD_ERROR_HANDLE, true, "qmb-edit");
        return answer.code;
    }
    BindPlatform();
    // QMB_TRACE=FILE: every frame of every job into FILE, for support. A file
    // that cannot be opened leaves the trace off (there is no console to say so).
    qmb::TraceFromEnvironment("qmb-edit.exe", nullptr);

    Instance = instance;
    HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APP));
    LampBitmap = LoadBitmapA(instance, MAKEINTRESOURCEA(IDB_LAMPS));
    if (!RegisterMainWindowClass(icon)) return 1;
    if (!CreateMainWindow()) return 1;
    InitCommonControls();  // COMCTL32 export 17
    if (!CreateOperatorPanel()) return 1;
    ShowWindow(MainWindow, SW_SHOW);
    ShowWindow(PanelWindow, SW_SHOW);
    UpdateWindow(MainWindow);

    // No IsDialogMessage: Tab and Enter reach the focused control as keys.
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    // The window is gone. Closing it ends a running job with the process:
    // a worker still running ends here, wherever it is.
    if (LiveWorkerThreads() > 0) EndProcessNow(0);
    return 0;
}
