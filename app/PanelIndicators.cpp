#include "app/PanelIndicators.h"

#include "app/App.h"
#include "job/Indicators.h"
#include "job/Panel.h"

namespace qmb::app {

namespace {

void DrawLamp(HDC target, int x, int y, int cell) {
    BitBlt(target, x, y, kLampSize, kLampSize, LampDc, cell * kLampSize, 0, SRCCOPY);
}

void TickClock(HWND panel) {
    char text[kClockTextSize];
    if (ClockTick(text)) SetDlgItemTextA(panel, IDC_CLOCK, text);
}

void PaintLamps(HWND panel) {
    HDC dc = GetDC(panel);
    DrawLamp(dc, kReceiveLampX, kReceiveLampY, TakeReceiveLampCell());
    DrawLamp(dc, kTransmitLampX, kTransmitLampY, TakeTransmitLampCell());
    ReleaseDC(panel, dc);
}

}  // namespace

void SetUpIndicators(HWND panel) {
    SetTimer(panel, kClockTimerId, kClockPeriodMs, NULL);
    SetTimer(panel, kLampTimerId, kLampPeriodMs, NULL);
    HDC dc = GetDC(panel);
    LampDc = CreateCompatibleDC(dc);
    ReleaseDC(panel, dc);
    SelectObject(LampDc, LampBitmap);
}

void OnIndicatorTimer(HWND panel, WPARAM timerId) {
    if (timerId == kClockTimerId) {
        TickClock(panel);
    } else if (timerId == kLampTimerId) {
        PaintLamps(panel);
    }
}

}  // namespace qmb::app
