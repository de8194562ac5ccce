// Process-wide handles of the Windows application. Set during start-up and
// panel initialisation on the UI thread; they live until the process ends.
#pragma once

#include <windows.h>

namespace qmb::app {

extern HINSTANCE Instance;
extern HWND MainWindow;     // the frame window, class QMB_EDIT
extern HWND PanelWindow;    // the operator panel, dialog template 102
extern HBITMAP LampBitmap;  // bitmap 103: the three lamp cells
extern HDC LampDc;          // memory drawing context holding LampBitmap

}  // namespace qmb::app
