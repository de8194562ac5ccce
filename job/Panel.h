// The panel seam: the only way the serial link, job control and the worker
// reach the operator panel. A front-end (Win32, Qt, headless for tests) binds
// one Panel at start-up; everything else calls the free functions below.
//
// Threads: every operation may be called from the worker thread. A binding
// must carry the operation out on the panel before it returns (on Win32 the
// worker's calls wait for the UI thread), and must never make the UI thread
// wait for the worker.
#pragma once

#include <cstddef>

namespace qmb {

// Control identifiers of the operator panel (dialog template 102).
enum ControlId : int {
    IDC_PORT_STATUS = 1009,
    IDC_TAT = 1010,
    IDC_WRITE = 1011,
    IDC_READ = 1012,
    IDC_LOOP = 1013,
    IDC_STATUS = 1018,
    IDC_CLOCK = 1019,
    IDC_PORT = 1037,
    IDC_HEX = 1039,
    IDC_SECTION = 1057,
    IDC_LENGTH = 1058,
};

// Texts shared by several modules. In captions "&&" shows one ampersand.
extern const char kCaptionTat[];    // "TAT Mode"
extern const char kCaptionLoop[];   // "Loop TAT&&Write"
extern const char kCaptionAbort[];  // "Abort"
extern const char kStatusReady[];   // "Ready"
extern const char kPortClosed[];    // "CLOSED"

class Panel {
  public:
    virtual ~Panel() = default;
    // Replaces the control's text.
    virtual void SetText(int id, const char* text) = 0;
    // Copies at most maxChars characters of the control's text, then a NUL,
    // into buf (which holds maxChars + 1 bytes). Returns the characters copied.
    virtual size_t GetText(int id, char* buf, size_t maxChars) = 0;
    // Sets (true) or clears (false) the control's disabled style bit.
    virtual void SetDisabled(int id, bool disabled) = 0;
    // Marks the whole control for repainting with its background erased.
    virtual void Invalidate(int id) = 0;
    // Index (0 to 3) of the entry selected in IDC_PORT.
    virtual int SelectedPort() = 0;
    // Modal error box ("Error", error icon, OK) owned by the main window;
    // returns when the operator has dismissed it.
    virtual void ErrorBox(const char* message) = 0;
    // The platform's default beep.
    virtual void Beep() = 0;
};

// Binds the panel used by all operations below; the object outlives all jobs.
// Also makes job control the serial link's host (JobLinkHost in JobFlags.h):
// the link's abort checks read JobFlags, its stops are FailJob, and its port
// indicator is IDC_PORT_STATUS.
void BindPanel(Panel* panel);
Panel* BoundPanel();

void SetControlText(int id, const char* text);
size_t GetControlText(int id, char* buf, size_t maxChars);
void SetControlDisabled(int id, bool disabled);
void InvalidateControl(int id);
int SelectedPortIndex();
void ShowErrorBox(const char* message);
void DefaultBeep();

}  // namespace qmb
