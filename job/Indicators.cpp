#include "job/Indicators.h"

#include <cstdio>

#include "job/JobFlags.h"
#include "link/SerialLink.h"

namespace qmb {

namespace {
uint8_t g_minutes = 0;
uint8_t g_seconds = 0;
}  // namespace

bool ClockTick(char* text) {
    if (!ClockRunning.load()) {
        ResetClockCounters();
        return false;
    }
    std::snprintf(text, kClockTextSize, "%.2d:%.2d", g_minutes, g_seconds);
    if (++g_seconds == 60) {
        g_seconds = 0;
        ++g_minutes;  // wraps from 255 to 0
    }
    return true;
}

void ResetClockCounters() {
    g_minutes = 0;
    g_seconds = 0;
}

int TakeReceiveLampCell() {
    return SerialLink::Default().RxLed().exchange(0, std::memory_order_relaxed) ? kLampCellReceive : kLampCellOff;
}

int TakeTransmitLampCell() {
    return SerialLink::Default().TxLed().exchange(0, std::memory_order_relaxed) ? kLampCellTransmit : kLampCellOff;
}

}  // namespace qmb
