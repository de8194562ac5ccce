#include "app/OperatorPanel.h"

#include <cstdint>

#include "app/App.h"
#include "app/PanelIndicators.h"
#include "job/JobFlags.h"
#include "job/Panel.h"
#include "job/StartAbort.h"
#include "resource.h"

namespace qmb::app {

namespace {

const char* const kPortNames[] = {"COM1", "COM2", "COM3", "COM4"};
constexpr WPARAM kSectionTextLimit = 3;
const char kInitialSection[] = "11";

// Small font of the clock and the port indicator.
HFONT CreateSmallFont() {
    return CreateFontA(8, 6, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, OEM_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_CHARACTER_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, "Terminal");
}

// Text font of the hex text and the port list.
HFONT CreateTextFont() {
    return CreateFontA(14, 8, 0, 0, FW_THIN, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_CHARACTER_PRECIS, DEFAULT_QUALITY, FIXED_PITCH, "Courier");
}

void SetControlFont(HWND panel, int id, HFONT font, BOOL redraw) {
    SendDlgItemMessageA(panel, id, WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw);
}

void InitialisePanel(HWND panel) {
    PanelWindow = panel;

    HFONT small = CreateSmallFont();
    SetControlFont(panel, IDC_CLOCK, small, TRUE);
    SetControlFont(panel, IDC_PORT_STATUS, small, TRUE);

    for (const char* name : kPortNames) {
        SendDlgItemMessageA(panel, IDC_PORT, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    }
    SendDlgItemMessageA(panel, IDC_PORT, CB_SETCURSEL, 0, 0);

    SetControlFont(panel, IDC_HEX, CreateTextFont(), FALSE);
    SetControlFont(panel, IDC_PORT, CreateTextFont(), FALSE);

    SendDlgItemMessageA(panel, IDC_SECTION, EM_LIMITTEXT, kSectionTextLimit, 0);
    SetDlgItemTextA(panel, IDC_SECTION, kInitialSection);

    ResetControls();
}

// Handled messages return 1; all others go to DefWindowProcA and its result
// is returned.
INT_PTR CALLBACK PanelProc(HWND panel, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            InitialisePanel(panel);
            SetUpIndicators(panel);
            return 1;
        case WM_COMMAND:
            OnPanelCommand(static_cast<uint32_t>(wParam));
            return 1;
        case WM_TIMER:
            OnIndicatorTimer(panel, wParam);
            return 1;
        case WM_CLOSE:
            DestroyWindow(panel);
            return 1;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 1;
        default:
            return DefWindowProcA(panel, message, wParam, lParam);
    }
}

}  // namespace

bool CreateOperatorPanel() {
    return CreateDialogParamA(Instance, MAKEINTRESOURCEA(IDD_PANEL), MainWindow, &PanelProc, 0) !=
           NULL;
}

}  // namespace qmb::app
