// window-probe.dll: reads what only the application's own process can see of
// its main window (the class's brush and icon, the controls' fonts) and hands
// it to the GUI driver. A window's class brush, class icon and font handles
// mean nothing in another process, so the driver hooks the application's UI
// thread with ProbeHook (WH_GETMESSAGE), which Windows runs inside the
// application, and posts it WM_NULL with wParam kProbeRequest; the report goes
// back through shared memory.
//
// Report: one "key value" line each, written as text into the mapping
// kProbeMapping, then the event kProbeDone is set.
#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "WindowProbe.h"
#include "job/Panel.h"

namespace {

void Append(char* out, size_t size, size_t* used, const char* format, ...) {
    if (*used >= size) return;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(out + *used, size - *used, format, args);
    va_end(args);
    if (n > 0) *used += static_cast<size_t>(n);
}

void ReportFont(char* out, size_t size, size_t* used, HWND panel, const char* name, int id) {
    HWND control = GetDlgItem(panel, id);
    const HFONT font = control ? reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0))
                               : NULL;
    LOGFONTA lf;
    ZeroMemory(&lf, sizeof lf);
    if (font == NULL || GetObjectA(font, sizeof lf, &lf) != sizeof lf) {
        Append(out, size, used, "font %s none\n", name);
        return;
    }
    // Face, height, width, weight, character set, clip precision, pitch and
    // family; then every other field, which must all be 0.
    Append(out, size, used, "font %s \"%s\" %ld %ld %ld %u %u %u / %ld %ld %u %u %u %u %u\n", name,
           lf.lfFaceName, lf.lfHeight, lf.lfWidth, lf.lfWeight, lf.lfCharSet, lf.lfClipPrecision,
           lf.lfPitchAndFamily, lf.lfEscapement, lf.lfOrientation, lf.lfItalic, lf.lfUnderline,
           lf.lfStrikeOut, lf.lfOutPrecision, lf.lfQuality);
    Append(out, size, used, "fonthandle %s %p\n", name, static_cast<void*>(font));
}

void WriteReport() {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, qmb::test::kProbeMapping);
    HANDLE done = OpenEventA(EVENT_MODIFY_STATE, FALSE, qmb::test::kProbeDone);
    char* out = mapping ? static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0)) : NULL;
    if (out != NULL) {
        const size_t size = qmb::test::kProbeSize;
        size_t used = 0;
        HWND main = FindWindowA("QMB_EDIT", NULL);
        DWORD process = 0;
        if (main != NULL) GetWindowThreadProcessId(main, &process);
        if (main == NULL || process != GetCurrentProcessId()) {
            Append(out, size, &used, "error no QMB_EDIT window in this process\n");
        } else {
            const HICON icon101 = LoadIconA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(101));
            const ULONG_PTR classIcon = GetClassLongPtrA(main, GCLP_HICON);
            Append(out, size, &used, "classstyle %lu\n", GetClassLongA(main, GCL_STYLE));
            Append(out, size, &used, "brush %lu\n",
                   static_cast<unsigned long>(GetClassLongPtrA(main, GCLP_HBRBACKGROUND)));
            Append(out, size, &used, "icon %d\n",
                   classIcon != 0 && classIcon == reinterpret_cast<ULONG_PTR>(icon101) ? 101 : 0);
            Append(out, size, &used, "cursor %lu\n",
                   static_cast<unsigned long>(GetClassLongPtrA(main, GCLP_HCURSOR)));
            Append(out, size, &used, "extra %lu %lu\n", GetClassLongA(main, GCL_CBCLSEXTRA),
                   GetClassLongA(main, GCL_CBWNDEXTRA));
            HWND panel = NULL;
            for (HWND child = GetWindow(main, GW_CHILD); child != NULL;
                 child = GetWindow(child, GW_HWNDNEXT)) {
                if (GetDlgItem(child, qmb::IDC_READ) != NULL) panel = child;
            }
            ReportFont(out, size, &used, panel, "IDC_CLOCK", qmb::IDC_CLOCK);
            ReportFont(out, size, &used, panel, "IDC_PORT_STATUS", qmb::IDC_PORT_STATUS);
            ReportFont(out, size, &used, panel, "IDC_HEX", qmb::IDC_HEX);
            ReportFont(out, size, &used, panel, "IDC_PORT", qmb::IDC_PORT);
        }
        UnmapViewOfFile(out);
    }
    if (done != NULL) {
        SetEvent(done);
        CloseHandle(done);
    }
    if (mapping != NULL) CloseHandle(mapping);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK ProbeHook(int code, WPARAM wParam,
                                                            LPARAM lParam) {
    const MSG* message = reinterpret_cast<const MSG*>(lParam);
    if (code >= 0 && wParam == PM_REMOVE && message->message == WM_NULL &&
        message->wParam == qmb::test::kProbeRequest) {
        WriteReport();
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}
