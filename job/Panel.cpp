#include "job/Panel.h"

#include <atomic>

#include "job/JobFlags.h"
#include "link/SerialLink.h"

namespace qmb {

const char kCaptionTat[] = "TAT Mode";
const char kCaptionLoop[] = "Loop TAT&&Write";
const char kCaptionAbort[] = "Abort";
const char kStatusReady[] = "Ready";
const char kPortClosed[] = "CLOSED";

namespace {
std::atomic<Panel*> g_panel{nullptr};

Panel& P() {
    return *g_panel.load(std::memory_order_acquire);
}
}  // namespace

void BindPanel(Panel* panel) {
    g_panel.store(panel, std::memory_order_release);
    BindLinkHost(panel ? &JobLinkHost() : nullptr);
}
Panel* BoundPanel() {
    return g_panel.load(std::memory_order_acquire);
}

void SetControlText(int id, const char* text) {
    P().SetText(id, text);
}

size_t GetControlText(int id, char* buf, size_t maxChars) {
    return P().GetText(id, buf, maxChars);
}

void SetControlDisabled(int id, bool disabled) {
    P().SetDisabled(id, disabled);
}
void InvalidateControl(int id) {
    P().Invalidate(id);
}
int SelectedPortIndex() {
    return P().SelectedPort();
}
void ShowErrorBox(const char* message) {
    P().ErrorBox(message);
}
void DefaultBeep() {
    P().Beep();
}

}  // namespace qmb
