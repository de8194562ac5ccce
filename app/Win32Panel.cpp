#include "app/Win32Panel.h"

#include <windows.h>

#include <climits>

#include "app/App.h"

namespace qmb::app {

namespace {
const char kErrorCaption[] = "Error";

HWND Control(int id) {
    return GetDlgItem(PanelWindow, id);
}
}  // namespace

void Win32Panel::SetText(int id, const char* text) {
    SetWindowTextA(Control(id), text);
}

size_t Win32Panel::GetText(int id, char* buf, size_t maxChars) {
    buf[0] = '\0';
    const int room =
        maxChars < static_cast<size_t>(INT_MAX) ? static_cast<int>(maxChars) + 1 : INT_MAX;
    const int copied = GetWindowTextA(Control(id), buf, room);
    return copied > 0 ? static_cast<size_t>(copied) : 0;
}

void Win32Panel::SetDisabled(int id, bool disabled) {
    HWND control = Control(id);
    LONG style = GetWindowLongA(control, GWL_STYLE);
    style = disabled ? (style | WS_DISABLED) : (style & ~WS_DISABLED);
    SetWindowLongA(control, GWL_STYLE, style);
}

void Win32Panel::Invalidate(int id) {
    InvalidateRect(Control(id), NULL, TRUE);
}

int Win32Panel::SelectedPort() {
    return static_cast<int>(SendDlgItemMessageA(PanelWindow, IDC_PORT, CB_GETCURSEL, 0, 0));
}

void Win32Panel::ErrorBox(const char* message) {
    MessageBoxA(MainWindow, message, kErrorCaption, MB_ICONERROR | MB_OK);
}

void Win32Panel::Beep() {
    MessageBeep(0);
}

}  // namespace qmb::app
