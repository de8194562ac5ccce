// The frame window: class QMB_EDIT and the fixed-size window, centred on the
// desktop, that holds the operator panel.
#pragma once

#include <windows.h>

namespace qmb::app {

constexpr char kMainWindowClass[] = "QMB_EDIT";
constexpr char kMainWindowCaption[] = "Varnek_Editor";
constexpr int kMainWindowWidth = 420;
constexpr int kMainWindowHeight = 387;

// Registers QMB_EDIT with the icon. False when registration fails.
bool RegisterMainWindowClass(HICON icon);

// Creates the main window centred on the desktop (left = desktop width / 2
// - 210, top = desktop height / 2 - 193) and keeps it in MainWindow. False
// when it cannot be created.
bool CreateMainWindow();

}  // namespace qmb::app
