// The operator panel: dialog template 102 as a modeless child of the main
// window, its initialisation and its dialog procedure.
#pragma once

#include <windows.h>

namespace qmb::app {

// Creates the panel (hidden, as the template says) inside MainWindow; the
// panel's initialisation keeps it in PanelWindow. False when it cannot be
// created.
bool CreateOperatorPanel();

}  // namespace qmb::app
