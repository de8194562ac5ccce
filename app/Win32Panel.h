// The panel seam bound to the real controls of the operator panel
// (PanelWindow). Called from the worker thread as well as the UI thread: the
// worker's calls send messages to the panel and so wait until the UI thread
// has carried them out; the UI thread never waits for the worker.
#pragma once

#include "job/Panel.h"

namespace qmb::app {

class Win32Panel : public Panel {
  public:
    // SetWindowTextA on the control.
    void SetText(int id, const char* text) override;
    // GetWindowTextA on the control, at most maxChars characters and a NUL.
    size_t GetText(int id, char* buf, size_t maxChars) override;
    // WS_DISABLED in the control's GWL_STYLE word (not EnableWindow).
    void SetDisabled(int id, bool disabled) override;
    // InvalidateRect over the whole control, background erased.
    void Invalidate(int id) override;
    // CB_GETCURSEL of IDC_PORT.
    int SelectedPort() override;
    // MessageBoxA owned by the main window: "Error", error icon, OK.
    void ErrorBox(const char* message) override;
    // MessageBeep(0).
    void Beep() override;
};

}  // namespace qmb::app
