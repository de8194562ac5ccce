// qmb-edit for Windows: the program's entry and its message loop.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include "app/App.h"
#include "app/MainWindow.h"
#include "app/OperatorPanel.h"
#include "app/Win32Panel.h"
#include "app/WorkerThread.h"
#include "link/SerialLink.h"
#include "link/Win32Port.h"
#include "protocol/TraceFile.h"
#include "resource.h"

namespace qmb::app {

HINSTANCE Instance = NULL;
HWND MainWindow = NULL;
HWND PanelWindow = NULL;
HBITMAP LampBitmap = NULL;
HDC LampDc = NULL;

namespace {
Win32Panel g_panel;
Win32Port g_port;
Win32TickCounter g_ticks;

// Binds the core to the real panel, the COM ports and Win32 threads.
void BindPlatform() {
    BindPanel(&g_panel);
    BindPort(&g_port, &g_ticks);
    SetWorkerStarter(&StartWorkerThread);
}
}  // namespace

}  // namespace qmb::app

// The command line and the start-up show state are not used. Returns 1 when
// the class cannot be registered or a window cannot be created, otherwise 0
// when the message loop ends.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    using namespace qmb::app;
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
    return 0;
}
