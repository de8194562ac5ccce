// The panel's timer-driven displays: the elapsed-time clock in IDC_CLOCK and
// the receive and transmit lamps, painted straight onto the panel. UI thread.
#pragma once

#include <windows.h>

namespace qmb::app {

// Starts the clock timer (1000 ms) and the lamp timer (10 ms) on the panel
// and makes the lamp memory drawing context (LampDc) holding LampBitmap.
void SetUpIndicators(HWND panel);

// A timer message of the panel: the clock or the lamps; other ids are ignored.
void OnIndicatorTimer(HWND panel, WPARAM timerId);

}  // namespace qmb::app
