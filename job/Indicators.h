// The elapsed-time clock and the activity lamps, as the front-ends' timers
// see them. UI thread only; the flags they read are set by the worker.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qmb {

constexpr uint32_t kClockTimerId = 0;
constexpr uint32_t kClockPeriodMs = 1000;
constexpr uint32_t kLampTimerId = 1;
constexpr uint32_t kLampPeriodMs = 10;

// Lamp bitmap cells (7 x 7 each, side by side in the 21 x 7 bitmap).
constexpr int kLampSize = 7;
constexpr int kLampCellOff = 0;
constexpr int kLampCellReceive = 1;
constexpr int kLampCellTransmit = 2;
// Lamp places in the panel's client area, in pixels.
constexpr int kReceiveLampX = 401, kReceiveLampY = 345;
constexpr int kTransmitLampX = 401, kTransmitLampY = 354;

// One tick of the 1000 ms clock. While a job runs, writes the elapsed time
// before this tick ("%.2d:%.2d" of minutes and seconds) into text (at least
// kClockTextSize bytes) and returns true; then counts one second on. While no
// job runs, resets the counters and returns false (the clock keeps its text).
constexpr size_t kClockTextSize = 16;
bool ClockTick(char* text);

// Resets the minutes and seconds counters (start-up, tests).
void ResetClockCounters();

// One tick of the 10 ms lamp timer for each lamp: the cell to show, clearing
// the flag that lit it.
int TakeReceiveLampCell();
int TakeTransmitLampCell();

}  // namespace qmb
