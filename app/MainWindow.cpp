#include "app/MainWindow.h"

#include "app/App.h"

namespace qmb::app {

namespace {

// Half the window's size, rounded down.
constexpr int kCentreOffsetX = 210;
constexpr int kCentreOffsetY = 193;

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

bool RegisterMainWindowClass(HICON icon) {
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.style = 0;
    wc.lpfnWndProc = &MainWindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = Instance;
    wc.hIcon = icon;
    wc.hCursor = NULL;
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszMenuName = NULL;
    wc.lpszClassName = kMainWindowClass;
    return RegisterClassA(&wc) != 0;
}

bool CreateMainWindow() {
    RECT desktop;
    GetWindowRect(GetDesktopWindow(), &desktop);
    const int left = (desktop.right - desktop.left) / 2 - kCentreOffsetX;
    const int top = (desktop.bottom - desktop.top) / 2 - kCentreOffsetY;
    MainWindow = CreateWindowExA(WS_EX_DLGMODALFRAME, kMainWindowClass, kMainWindowCaption,
                                 WS_DLGFRAME | WS_SYSMENU | WS_MINIMIZEBOX, left, top,
                                 kMainWindowWidth, kMainWindowHeight, NULL, NULL, Instance, NULL);
    return MainWindow != NULL;
}

}  // namespace qmb::app
