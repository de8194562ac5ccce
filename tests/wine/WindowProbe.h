// What the GUI driver and window-probe.dll share (see WindowProbe.cpp).
#pragma once

#include <cstddef>

namespace qmb::test {

constexpr const char* kProbeMapping = "qmb-window-probe";
constexpr const char* kProbeDone = "qmb-window-probe-done";
constexpr size_t kProbeSize = 4096;
// WM_NULL with this wParam asks the hook for a report.
constexpr unsigned kProbeRequest = 0x51B0;

}  // namespace qmb::test
