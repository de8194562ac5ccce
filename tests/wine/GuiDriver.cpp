// Replays one scenario of the panel scenario table against a running
// qmb-edit.exe: finds its main window by class, the panel and its controls by
// id, clicks with BM_CLICK, types with WM_CHAR, reads texts with WM_GETTEXT and
// styles with GetWindowLongA, and finds, reads and dismisses its error boxes.
// What only the application's own process can read (class brush and icon,
// fonts) comes from window-probe.dll, hooked into its UI thread. It can close
// the application, check how its process ended, and start it again.
//
// With --class=QMB_DEVICE it drives qmb-device.exe instead: its controls are
// the main window's descendants (bench-win32/BenchIds.h), its list views are
// read across the process boundary, its dialogs (the file dialogs, the write
// plan) are filled in and answered, and "$DIR" in a step's words is the
// folder the harness gives in QMB_TEST_DIR.
//
// Usage: gui-driver SCENARIO_FILE NAME [--keep-open] [--class=CLASS]
// Prints one line per step and "PASS" or "FAIL ..." at the end; exit code 0
// when the scenario passed. A "sim" step prints "@sim COMMAND" and waits for
// the harness to answer with one line on standard input.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ScenarioFile.h"
#include "WindowProbe.h"
#include "bench-win32/BenchIds.h"
#include "bench-win32/DeviceJobs.h"
#include "job/Indicators.h"
#include "job/Panel.h"

namespace qmb::test {
namespace {

constexpr DWORD kDefaultWaitMs = 20000;
constexpr DWORD kPollMs = 2;
constexpr UINT kReplyTimeoutMs = 5000;  // longer means the UI thread is stuck
constexpr int kMainWindowId = -2;       // the name MAIN
// A posted click, key or command is handled after the step that posts it:
// the rows and cell steps wait this long for what they expect.
constexpr DWORD kCellWaitMs = 5000;

const std::map<std::string, int> kControls = {
    {"MAIN", kMainWindowId},      {"IDC_PORT_STATUS", IDC_PORT_STATUS},
    {"IDC_TAT", IDC_TAT},         {"IDC_WRITE", IDC_WRITE},
    {"IDC_READ", IDC_READ},       {"IDC_LOOP", IDC_LOOP},
    {"IDC_STATUS", IDC_STATUS},   {"IDC_CLOCK", IDC_CLOCK},
    {"IDC_PORT", IDC_PORT},       {"IDC_HEX", IDC_HEX},
    {"IDC_SECTION", IDC_SECTION}, {"IDC_LENGTH", IDC_LENGTH},
};

// qmb-device.exe's controls, its dialogs' and its commands.
const std::map<std::string, int> kBenchControls = {
    {"MAIN", kMainWindowId},
    {"IDC_DEV_PORT", IDC_DEV_PORT},
    {"IDC_DEV_READ", IDC_DEV_READ},
    {"IDC_DEV_CANCEL", IDC_DEV_CANCEL},
    {"IDC_DEV_SAVE", IDC_DEV_SAVE},
    {"IDC_DEV_REFERENCE", IDC_DEV_REFERENCE},
    {"IDC_DEV_WRITE", IDC_DEV_WRITE},
    {"IDC_DEV_PROGRESS", IDC_DEV_PROGRESS},
    {"IDC_DEV_STATUS", IDC_DEV_STATUS},
    {"IDC_DEV_SUMMARY", IDC_DEV_SUMMARY},
    {"IDC_DEV_REFLABEL", IDC_DEV_REFLABEL},
    {"IDC_DEV_SECTIONS", IDC_DEV_SECTIONS},
    {"IDC_DEV_HEX", IDC_DEV_HEX},
    {"IDC_DEV_INPLACE", IDC_DEV_INPLACE},
};
const std::map<std::string, int> kDialogControls = {
    {"IDOK", IDOK},
    {"IDCANCEL", IDCANCEL},
    {"IDYES", IDYES},
    {"IDNO", IDNO},
    {"IDC_PLAN_TEXT", IDC_PLAN_TEXT},
    {"IDC_PLAN_BACKUP", IDC_PLAN_BACKUP},
    {"IDC_PLAN_WHERE", IDC_PLAN_WHERE},
};
const std::map<std::string, int> kBenchCommands = {
    {"IDM_READ_ALL", IDM_READ_ALL},
    {"IDM_CANCEL", IDM_CANCEL},
    {"IDM_SAVE_BACKUP", IDM_SAVE_BACKUP},
    {"IDM_OPEN_REFERENCE", IDM_OPEN_REFERENCE},
    {"IDM_EXPORT_EDITS", IDM_EXPORT_EDITS},
    {"IDM_EXPORT_DIFFERENCE", IDM_EXPORT_DIFFERENCE},
    {"IDM_APPLY_PATCH", IDM_APPLY_PATCH},
    {"IDM_UNDO", IDM_UNDO},
    {"IDM_REDO", IDM_REDO},
    {"IDM_TAKE_SELECTION", IDM_TAKE_SELECTION},
    {"IDM_TAKE_SECTION", IDM_TAKE_SECTION},
    {"IDM_TAKE_ALL", IDM_TAKE_ALL},
    {"IDM_REVERT_SECTION", IDM_REVERT_SECTION},
    {"IDM_NEXT_DIFFERENCE", IDM_NEXT_DIFFERENCE},
    {"IDM_PREVIOUS_DIFFERENCE", IDM_PREVIOUS_DIFFERENCE},
    {"IDM_WRITE_CHANGES", IDM_WRITE_CHANGES},
};

// Keys by name, for the key and press steps.
const std::map<std::string, WORD> kKeys = {
    {"RETURN", VK_RETURN}, {"ESCAPE", VK_ESCAPE}, {"F2", VK_F2},     {"F6", VK_F6},
    {"LEFT", VK_LEFT},     {"RIGHT", VK_RIGHT},   {"UP", VK_UP},     {"DOWN", VK_DOWN},
    {"TAB", VK_TAB},       {"Z", 'Z'},            {"Y", 'Y'},        {"T", 'T'},
    {"1", '1'},            {"2", '2'},
};

// Window style bits by name, for the style step.
struct StyleBit {
    const char* name;
    bool extended;
    DWORD bit;
};
const StyleBit kStyleBits[] = {
    {"WS_DLGFRAME", false, WS_DLGFRAME},
    {"WS_BORDER", false, WS_BORDER},
    {"WS_SYSMENU", false, WS_SYSMENU},
    {"WS_MINIMIZEBOX", false, WS_MINIMIZEBOX},
    {"WS_MAXIMIZEBOX", false, WS_MAXIMIZEBOX},
    {"WS_THICKFRAME", false, WS_THICKFRAME},
    {"WS_CHILD", false, WS_CHILD},
    {"WS_POPUP", false, WS_POPUP},
    {"WS_EX_DLGMODALFRAME", true, WS_EX_DLGMODALFRAME},
    {"WS_EX_TOOLWINDOW", true, WS_EX_TOOLWINDOW},
    {"WS_EX_TOPMOST", true, WS_EX_TOPMOST},
};

struct Failure {
    std::string message;
};

[[noreturn]] void Fail(const std::string& message) {
    throw Failure{message};
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

class Driver {
  public:
    // Finds the application's window (of process pid, when not 0).
    void Attach(DWORD pid = 0);
    void Run(const Step& step);
    // Closes the application unless a step already did.
    void CloseApplication();
    void CheckNoErrorBox();
    void SetBenchClass(const std::string& cls) { benchClass_ = cls; }

  private:
    bool Bench() const { return !benchClass_.empty(); }
    // qmb-device.exe's steps; false when verb is none of them.
    bool RunBench(const Step& step);
    HWND FindDialog(const std::string& title, DWORD ms);
    // A list view's item count and cell text, read in the application.
    int ItemCount(HWND list);
    std::string CellText(HWND list, int row, int column);
    std::string TraceFile();
    std::string benchClass_;
    // Posts WM_CLOSE to MAIN; the process must end within ms with exit code
    // 0, showing no window of its own meanwhile.
    void CloseAndCheckEnd(DWORD ms);
    // A visible top-level window of the application other than MAIN, or "".
    std::string StrayWindow();
    void StartAgain();
    // window-probe.dll's report from inside the application; the rest of the
    // line after key and a space ("" with found false when there is none).
    std::string Probe(const std::string& key, bool* found);
    HWND Window(const std::string& name);
    std::string Text(HWND window);
    LONG Style(HWND window) { return GetWindowLongA(window, GWL_STYLE); }
    void Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND FindErrorBox();
    std::string ErrorBoxText(HWND box);
    // Waits until done() holds; fails with what() after ms, or at once when an
    // error box shows up (unless waiting for one).
    template <typename Done, typename What>
    void WaitFor(DWORD ms, Done done, What what, bool errorBoxExpected = false);
    bool IsIdle(std::string* why);

    HWND main_ = NULL;
    HWND panel_ = NULL;
    DWORD process_ = 0;
    bool closed_ = false;
    std::string appPath_;  // the application's executable, to start it again
};

// The panel among main's children: the child holding IDC_READ.
HWND FindPanel(HWND main) {
    HWND panel = NULL;
    for (HWND child = GetWindow(main, GW_CHILD); child != NULL;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetDlgItem(child, IDC_READ) != NULL) panel = child;
    }
    return panel;
}

void Driver::Attach(DWORD pid) {
    // The main window is shown just before the panel: wait for both, so that
    // an application started a moment ago is found whole.
    const DWORD start = GetTickCount();
    if (Bench()) {
        for (;;) {
            main_ = FindWindowA(benchClass_.c_str(), NULL);
            process_ = 0;
            if (main_ != NULL) GetWindowThreadProcessId(main_, &process_);
            if (main_ != NULL && IsWindowVisible(main_) && (pid == 0 || process_ == pid)) break;
            if (GetTickCount() - start > 30000) Fail("no visible window of class " + benchClass_);
            Sleep(50);
        }
        panel_ = main_;
        closed_ = false;
        return;
    }
    for (;;) {
        main_ = FindWindowA("QMB_EDIT", NULL);
        process_ = 0;
        if (main_ != NULL) GetWindowThreadProcessId(main_, &process_);
        if (main_ != NULL && IsWindowVisible(main_) && (pid == 0 || process_ == pid)) {
            panel_ = FindPanel(main_);
            if (panel_ != NULL && IsWindowVisible(panel_)) break;
        }
        if (GetTickCount() - start > 30000) break;
        Sleep(50);
    }
    if (main_ == NULL || !IsWindowVisible(main_)) Fail("no visible window of class QMB_EDIT");
    if (panel_ == NULL) Fail("the main window holds no panel with IDC_READ");
    if (!IsWindowVisible(panel_)) Fail("the panel is not visible");
    closed_ = false;
    if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_)) {
        char path[MAX_PATH];
        DWORD size = sizeof path;
        if (QueryFullProcessImageNameA(process, 0, path, &size)) appPath_.assign(path, size);
        CloseHandle(process);
    }
}

struct IdSearch {
    int id;
    HWND found;
};

BOOL CALLBACK FindIdProc(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<IdSearch*>(param);
    if (GetDlgCtrlID(window) != search->id) return TRUE;
    search->found = window;
    return FALSE;
}

HWND Driver::Window(const std::string& name) {
    if (Bench()) {
        auto it = kBenchControls.find(name);
        if (it == kBenchControls.end()) Fail("unknown control " + name);
        if (it->second == kMainWindowId) return main_;
        // A control made by a posted key (the row editor) may come a moment
        // after the step that posted it.
        IdSearch search{it->second, NULL};
        const DWORD start = GetTickCount();
        for (;;) {
            EnumChildWindows(main_, &FindIdProc, reinterpret_cast<LPARAM>(&search));
            if (search.found != NULL) return search.found;
            if (GetTickCount() - start >= kCellWaitMs) Fail("the window has no control " + name);
            Sleep(kPollMs);
        }
    }
    auto it = kControls.find(name);
    if (it == kControls.end()) Fail("unknown control " + name);
    if (it->second == kMainWindowId) return main_;
    HWND control = GetDlgItem(panel_, it->second);
    if (control == NULL) Fail("the panel has no control " + name);
    return control;
}

void Driver::Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, kReplyTimeoutMs,
                             &result)) {
        Fail("the application did not answer a message within 5 s");
    }
}

std::string Driver::Text(HWND window) {
    char buf[20000];
    buf[0] = '\0';
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf),
                             SMTO_NORMAL, kReplyTimeoutMs, &length)) {
        Fail("the application did not answer WM_GETTEXT within 5 s");
    }
    return std::string(buf, length < sizeof buf ? length : sizeof buf - 1);
}

struct BoxSearch {
    DWORD process;
    HWND box;
};

BOOL CALLBACK FindErrorBoxProc(HWND window, LPARAM param) {
    BoxSearch* search = reinterpret_cast<BoxSearch*>(param);
    char cls[64] = "", title[64] = "";
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    GetClassNameA(window, cls, sizeof cls);
    GetWindowTextA(window, title, sizeof title);
    if (process == search->process && std::string(cls) == "#32770" &&
        std::string(title) == "Error" && IsWindowVisible(window)) {
        search->box = window;
        return FALSE;
    }
    return TRUE;
}

HWND Driver::FindErrorBox() {
    BoxSearch search{process_, NULL};
    EnumWindows(&FindErrorBoxProc, reinterpret_cast<LPARAM>(&search));
    return search.box;
}

std::string Driver::ErrorBoxText(HWND box) {
    std::string text;
    for (HWND child = GetWindow(box, GW_CHILD); child != NULL;
         child = GetWindow(child, GW_HWNDNEXT)) {
        char cls[64] = "";
        GetClassNameA(child, cls, sizeof cls);
        if (lstrcmpiA(cls, "Static") != 0) continue;
        std::string t = Text(child);
        if (!t.empty()) text += t;
    }
    return text;
}

void Driver::CheckNoErrorBox() {
    if (HWND box = FindErrorBox()) Fail("unexpected error box: " + Quote(ErrorBoxText(box)));
}

template <typename Done, typename What>
void Driver::WaitFor(DWORD ms, Done done, What what, bool errorBoxExpected) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (done()) return;
        if (!errorBoxExpected) CheckNoErrorBox();
        if (GetTickCount() - start >= ms) Fail(what());
        Sleep(kPollMs);
    }
}

bool Driver::IsIdle(std::string* why) {
    const std::pair<int, const char*> expected[] = {
        {IDC_TAT, kCaptionTat}, {IDC_LOOP, kCaptionLoop},   {IDC_READ, "Read"},
        {IDC_WRITE, "Write"},   {IDC_STATUS, kStatusReady}, {IDC_PORT_STATUS, kPortClosed},
    };
    for (const auto& e : expected) {
        HWND control = GetDlgItem(panel_, e.first);
        std::string text = Text(control);
        if (text != e.second) {
            *why = "control " + std::to_string(e.first) + " shows " + Quote(text);
            return false;
        }
        if (Style(control) & WS_DISABLED) {
            *why = "control " + std::to_string(e.first) + " is disabled";
            return false;
        }
    }
    return true;
}

struct StraySearch {
    DWORD process;
    HWND main;
    std::string found;
};

BOOL CALLBACK FindStrayWindowProc(HWND window, LPARAM param) {
    StraySearch* search = reinterpret_cast<StraySearch*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != search->process || window == search->main || !IsWindowVisible(window)) {
        return TRUE;
    }
    char cls[64] = "", title[128] = "";
    GetClassNameA(window, cls, sizeof cls);
    GetWindowTextA(window, title, sizeof title);
    search->found = std::string("class ") + cls + ", title " + Quote(title);
    return FALSE;
}

std::string Driver::StrayWindow() {
    StraySearch search{process_, main_, {}};
    EnumWindows(&FindStrayWindowProc, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void Driver::CloseAndCheckEnd(DWORD ms) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_);
    if (process == NULL) Fail("cannot open the application's process");
    PostMessageA(main_, WM_CLOSE, 0, 0);
    const DWORD start = GetTickCount();
    std::string failure;
    while (failure.empty() && WaitForSingleObject(process, kPollMs) == WAIT_TIMEOUT) {
        const std::string stray = StrayWindow();
        if (!stray.empty()) {
            failure = "a window appeared while the application ended: " + stray;
        } else if (GetTickCount() - start >= ms) {
            failure = "the application did not end within " + std::to_string(ms) + " ms";
        }
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    closed_ = true;
    if (!failure.empty()) Fail(failure);
    if (code != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "the application ended with exit code 0x%lX",
                      static_cast<unsigned long>(code));
        Fail(text);
    }
}

void Driver::StartAgain() {
    if (!closed_) Fail("start: the application still runs");
    if (appPath_.empty()) Fail("start: the application's executable is not known");
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    if (!CreateProcessA(appPath_.c_str(), NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                        &info)) {
        Fail("cannot start " + appPath_);
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    Attach(info.dwProcessId);
}

std::string Driver::Probe(const std::string& key, bool* found) {
    static HMODULE dll = LoadLibraryA("window-probe.dll");  // next to the driver
    HOOKPROC hook = dll ? reinterpret_cast<HOOKPROC>(
                              reinterpret_cast<void*>(GetProcAddress(dll, "ProbeHook")))
                        : NULL;
    if (hook == NULL) Fail("cannot load window-probe.dll");
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, kProbeSize,
                                        kProbeMapping);
    HANDLE done = CreateEventA(NULL, TRUE, FALSE, kProbeDone);
    char* view = mapping ? static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0))
                         : NULL;
    std::string report;
    DWORD waited = WAIT_FAILED;
    if (view != NULL && done != NULL) {
        std::memset(view, 0, kProbeSize);
        ResetEvent(done);
        HHOOK hooked =
            SetWindowsHookExA(WH_GETMESSAGE, hook, dll, GetWindowThreadProcessId(main_, NULL));
        if (hooked != NULL) {
            PostMessageA(main_, WM_NULL, kProbeRequest, 0);
            waited = WaitForSingleObject(done, 10000);
            UnhookWindowsHookEx(hooked);
            report.assign(view, strnlen(view, kProbeSize));
        }
    }
    if (view != NULL) UnmapViewOfFile(view);
    if (done != NULL) CloseHandle(done);
    if (mapping != NULL) CloseHandle(mapping);
    if (waited != WAIT_OBJECT_0) Fail("the window probe gave no report");
    if (report.rfind("error ", 0) == 0) Fail("window probe: " + report);
    size_t at = 0;
    while (at < report.size()) {
        size_t end = report.find('\n', at);
        if (end == std::string::npos) end = report.size();
        const std::string line = report.substr(at, end - at);
        if (line.rfind(key + " ", 0) == 0) {
            *found = true;
            return line.substr(key.size() + 1);
        }
        at = end + 1;
    }
    *found = false;
    return "";
}

// The colours of a lamp cell that tell it apart: its face and its top-left
// and bottom-right bevel corners.
struct LampCell {
    COLORREF face = CLR_INVALID, topLeft = CLR_INVALID, bottomRight = CLR_INVALID;
    bool operator==(const LampCell& o) const {
        return face == o.face && topLeft == o.topLeft && bottomRight == o.bottomRight;
    }
};

LampCell LampCellAt(int cell) {
    const COLORREF faces[] = {RGB(0, 0, 0), RGB(0, 255, 0), RGB(255, 0, 0)};
    return LampCell{faces[cell], RGB(128, 128, 128), RGB(255, 255, 255)};
}

// What the screen shows at a lamp's place (its top-left corner).
LampCell ReadLamp(POINT place) {
    HDC screen = GetDC(NULL);
    LampCell seen;
    seen.face = GetPixel(screen, place.x + kLampSize / 2, place.y + kLampSize / 2);
    seen.topLeft = GetPixel(screen, place.x, place.y);
    seen.bottomRight = GetPixel(screen, place.x + kLampSize - 1, place.y + kLampSize - 1);
    ReleaseDC(NULL, screen);
    return seen;
}

COLORREF LampFace(POINT place) {
    HDC screen = GetDC(NULL);
    const COLORREF face = GetPixel(screen, place.x + kLampSize / 2, place.y + kLampSize / 2);
    ReleaseDC(NULL, screen);
    return face;
}

std::string Describe(const LampCell& cell) {
    char text[80];
    std::snprintf(text, sizeof text, "face %06lX, corners %06lX %06lX",
                  static_cast<unsigned long>(cell.face), static_cast<unsigned long>(cell.topLeft),
                  static_cast<unsigned long>(cell.bottomRight));
    return text;
}

DWORD Milliseconds(const Step& step, size_t index, DWORD fallback) {
    return step.args.size() > index ? static_cast<DWORD>(std::atoi(step.args[index].c_str()))
                                    : fallback;
}

// "$DIR" in a word: the harness's folder for the scenario's files.
std::string Expand(const std::string& word) {
    const size_t at = word.find("$DIR");
    if (at == std::string::npos) return word;
    const char* dir = std::getenv("QMB_TEST_DIR");
    return word.substr(0, at) + (dir ? dir : "") + Expand(word.substr(at + 4));
}

std::wstring Wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, NULL, 0);
    std::wstring wide(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], n);
    wide.resize(wide.size() - 1);
    return wide;
}

std::string Narrow(const std::wstring& wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, NULL, 0, NULL, NULL);
    std::string text(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &text[0], n, NULL, NULL);
    text.resize(text.size() - 1);
    return text;
}

struct DialogSearch {
    DWORD process;
    std::string title;
    HWND found;
};

BOOL CALLBACK FindDialogProc(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<DialogSearch*>(param);
    char cls[64] = "", title[128] = "";
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    GetClassNameA(window, cls, sizeof cls);
    GetWindowTextA(window, title, sizeof title);
    if (process == search->process && std::string(cls) == "#32770" && search->title == title &&
        IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND Driver::FindDialog(const std::string& title, DWORD ms) {
    DialogSearch search{process_, title, NULL};
    WaitFor(
        ms,
        [&] {
            search.found = NULL;
            EnumWindows(&FindDialogProc, reinterpret_cast<LPARAM>(&search));
            return search.found != NULL;
        },
        [&] { return "no dialog " + Quote(title); });
    Sleep(100);  // let the dialog finish its initialisation
    return search.found;
}

int Driver::ItemCount(HWND list) {
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutA(list, LVM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, kReplyTimeoutMs, &count)) {
        Fail("the application did not answer LVM_GETITEMCOUNT within 5 s");
    }
    return static_cast<int>(count);
}

// The item and its text buffer live in the application's memory, where the
// list view reads and writes them.
std::string Driver::CellText(HWND list, int row, int column) {
    constexpr int kChars = 512;
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                                 process_);
    if (process == NULL) Fail("cannot open the application's memory");
    const SIZE_T size = sizeof(LVITEMW) + kChars * sizeof(wchar_t);
    auto* remote = static_cast<char*>(
        VirtualAllocEx(process, NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    std::wstring text;
    bool ok = false;
    if (remote != NULL) {
        LVITEMW item = {};
        item.iSubItem = column;
        item.cchTextMax = kChars;
        item.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(LVITEMW));
        wchar_t buffer[kChars] = {};
        DWORD_PTR length = 0;
        ok = WriteProcessMemory(process, remote, &item, sizeof item, NULL) &&
             SendMessageTimeoutW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                                 reinterpret_cast<LPARAM>(remote), SMTO_NORMAL, kReplyTimeoutMs,
                                 &length) &&
             ReadProcessMemory(process, remote + sizeof(LVITEMW), buffer, sizeof buffer, NULL);
        buffer[kChars - 1] = L'\0';
        text = buffer;
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    CloseHandle(process);
    if (!ok) Fail("cannot read a list view's cell in the application");
    return Narrow(text);
}

std::string Driver::TraceFile() {
    const char* dir = std::getenv("QMB_TEST_DIR");
    std::ifstream in(std::string(dir ? dir : ".") + "\\trace.txt");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Lines of the trace holding every word of pattern, in order.
int CountTraceLines(const std::string& trace, const std::vector<std::string>& words) {
    int count = 0;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        size_t at = 0;
        bool all = true;
        for (const std::string& w : words) {
            at = line.find(w, at);
            if (at == std::string::npos) {
                all = false;
                break;
            }
            at += w.size();
        }
        if (all) ++count;
    }
    return count;
}

void PressKeys(const std::string& combination) {
    std::vector<WORD> keys;
    std::string rest = combination;
    for (size_t plus; (plus = rest.find('+')) != std::string::npos; rest = rest.substr(plus + 1)) {
        const std::string modifier = rest.substr(0, plus);
        keys.push_back(modifier == "ctrl" ? VK_CONTROL : modifier == "shift" ? VK_SHIFT : VK_MENU);
    }
    auto key = kKeys.find(rest);
    if (key == kKeys.end()) Fail("unknown key " + rest);
    keys.push_back(key->second);
    std::vector<INPUT> inputs;
    for (WORD k : keys) {
        INPUT in = {};
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = k;
        inputs.push_back(in);
    }
    for (auto k = keys.rbegin(); k != keys.rend(); ++k) {
        INPUT in = {};
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = *k;
        in.ki.dwFlags = KEYEVENTF_KEYUP;
        inputs.push_back(in);
    }
    if (SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT)) != inputs.size()) {
        Fail("SendInput refused " + combination);
    }
}

bool Driver::RunBench(const Step& step) {
    const std::string& verb = step.verb;
    const std::vector<std::string>& a = step.args;
    auto need = [&](size_t n) {
        if (a.size() < n) Fail(verb + " needs " + std::to_string(n) + " arguments");
    };
    if (verb == "click") {
        // Posted: a click may open a modal dialog, whose loop runs inside it.
        need(1);
        PostMessageA(Window(a[0]), BM_CLICK, 0, 0);
    } else if (verb == "rows") {
        need(2);
        HWND list = Window(a[0]);
        const int want = std::atoi(a[1].c_str());
        int got = -1;
        WaitFor(
            Milliseconds(step, 2, kCellWaitMs), [&] { return (got = ItemCount(list)) == want; },
            [&] { return a[0] + " has " + std::to_string(got) + " rows, expected " + a[1]; });
    } else if (verb == "cell") {
        need(4);
        HWND list = Window(a[0]);
        std::string got;
        WaitFor(
            Milliseconds(step, 4, kCellWaitMs),
            [&] {
                return (got = CellText(list, std::atoi(a[1].c_str()), std::atoi(a[2].c_str()))) ==
                       a[3];
            },
            [&] {
                return a[0] + " row " + a[1] + " column " + a[2] + " shows " + Quote(got) +
                       ", expected " + Quote(a[3]);
            });
    } else if (verb == "contains") {
        need(2);
        HWND control = Window(a[0]);
        std::string last;
        WaitFor(
            Milliseconds(step, 2, kDefaultWaitMs),
            [&] { return (last = Text(control)).find(a[1]) != std::string::npos; },
            [&] { return a[0] + " shows " + Quote(last) + ", which lacks " + Quote(a[1]); });
    } else if (verb == "command") {
        need(1);
        auto it = kBenchCommands.find(a[0]);
        if (it == kBenchCommands.end()) Fail("unknown command " + a[0]);
        PostMessageA(main_, WM_COMMAND, MAKEWPARAM(it->second, 0), 0);
    } else if (verb == "key") {
        need(2);
        auto it = kKeys.find(a[1]);
        if (it == kKeys.end()) Fail("unknown key " + a[1]);
        HWND control = Window(a[0]);
        // Posted, as the keyboard does, so the message loop sees them.
        PostMessageA(control, WM_KEYDOWN, it->second, 1);
        PostMessageA(control, WM_KEYUP, it->second, 0xC0000001);
    } else if (verb == "press") {
        need(1);
        SetForegroundWindow(main_);
        PressKeys(a[0]);
        Sleep(50);
        Send(main_, WM_NULL, 0, 0);
    } else if (verb == "selectrow") {
        need(2);
        HWND list = Window(a[0]);
        const int row = std::atoi(a[1].c_str());
        // The list view's state and item live in the application: a click
        // on the row, as the operator selects it.
        RECT r = {};
        r.left = LVIR_BOUNDS;
        HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE,
                                     FALSE, process_);
        void* remote = process ? VirtualAllocEx(process, NULL, sizeof r, MEM_COMMIT, PAGE_READWRITE)
                               : NULL;
        DWORD_PTR found = 0;
        const bool ok =
            remote != NULL && WriteProcessMemory(process, remote, &r, sizeof r, NULL) &&
            SendMessageTimeoutA(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE,
                                SMTO_NORMAL, kReplyTimeoutMs, &found) &&
            SendMessageTimeoutA(list, LVM_GETITEMRECT, static_cast<WPARAM>(row),
                                reinterpret_cast<LPARAM>(remote), SMTO_NORMAL, kReplyTimeoutMs,
                                &found) &&
            ReadProcessMemory(process, remote, &r, sizeof r, NULL);
        if (remote != NULL) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
        if (process != NULL) CloseHandle(process);
        if (!ok) Fail("cannot find row " + a[1] + " of " + a[0]);
        const LPARAM at = MAKELPARAM(r.left + 4, (r.top + r.bottom) / 2);
        Send(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
        Send(list, WM_LBUTTONUP, 0, at);
    } else if (verb == "filedialog") {
        need(2);
        HWND dialog = FindDialog(a[0], kDefaultWaitMs);
        // The file name box: a combo box (cmb13) in the Explorer-style
        // dialog, an edit (edt1) in the older one.
        HWND name = GetDlgItem(dialog, 0x47C);
        if (name == NULL) name = GetDlgItem(dialog, 0x480);
        if (name == NULL) Fail("the dialog " + Quote(a[0]) + " has no file name box");
        const std::wstring path = Wide(a[1]);
        DWORD_PTR result = 0;
        SendMessageTimeoutW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()),
                            SMTO_NORMAL, kReplyTimeoutMs, &result);
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
        WaitFor(
            kDefaultWaitMs, [&] { return !IsWindow(dialog); },
            [&] { return "the dialog " + Quote(a[0]) + " stays open"; });
    } else if (verb == "dialog") {
        // dialog "TITLE" expect|contains|click|check|uncheck ID ["T"]
        need(3);
        HWND dialog = FindDialog(a[0], kDefaultWaitMs);
        auto it = kDialogControls.find(a[2]);
        if (it == kDialogControls.end()) Fail("unknown dialog control " + a[2]);
        HWND control = GetDlgItem(dialog, it->second);
        if (control == NULL) Fail("the dialog has no " + a[2]);
        const std::string& what = a[1];
        if (what == "expect" || what == "contains") {
            need(4);
            const std::string text = Text(control);
            if (what == "expect" ? text != a[3] : text.find(a[3]) == std::string::npos) {
                Fail(a[2] + " shows " + Quote(text) + ", expected " + what + " " + Quote(a[3]));
            }
        } else if (what == "checked" || what == "unchecked") {
            DWORD_PTR state = 0;
            SendMessageTimeoutA(control, BM_GETCHECK, 0, 0, SMTO_NORMAL, kReplyTimeoutMs, &state);
            if ((state == BST_CHECKED) != (what == "checked")) Fail(a[2] + " is not " + what);
        } else if (what == "click") {
            PostMessageA(control, BM_CLICK, 0, 0);
            if (it->second == IDOK || it->second == IDCANCEL || it->second == IDYES ||
                it->second == IDNO) {
                WaitFor(
                    kDefaultWaitMs, [&] { return !IsWindow(dialog); },
                    [&] { return "the dialog " + Quote(a[0]) + " stays open"; });
            } else {
                Send(dialog, WM_NULL, 0, 0);
            }
        } else {
            Fail("dialog TITLE expect|contains|checked|unchecked|click ID [TEXT]");
        }
    } else if (verb == "focused") {
        // The keyboard's focus in the application's UI thread is on ID.
        need(1);
        HWND want = Window(a[0]);
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        WaitFor(
            kCellWaitMs,
            [&] {
                return GetGUIThreadInfo(GetWindowThreadProcessId(main_, NULL), &info) &&
                       info.hwndFocus == want;
            },
            [&] { return "the focus is not on " + a[0]; });
    } else if (verb == "simhas") {
        need(2);
        std::printf("@sim %s\n", a[0].c_str());
        std::fflush(stdout);
        char answer[4096];
        if (!std::fgets(answer, sizeof answer, stdin)) Fail("no answer from the harness");
        if (std::string(answer).find(a[1]) == std::string::npos) {
            Fail("simulator: " + std::string(answer) + " lacks " + Quote(a[1]));
        }
    } else if (verb == "trace") {
        // trace N WORD...: N lines of the application's frame trace hold
        // the words, in order.
        need(2);
        const std::vector<std::string> words(a.begin() + 1, a.end());
        const int got = CountTraceLines(TraceFile(), words);
        if (got != std::atoi(a[0].c_str())) {
            Fail("the trace has " + std::to_string(got) + " such lines, expected " + a[0]);
        }
    } else if (verb == "responsive") {
        // responsive MS ID "T": until ID's text holds T, the UI thread answers
        // every message within MS; prints the longest wait.
        need(3);
        HWND control = Window(a[1]);
        const DWORD limit = Milliseconds(step, 0, 50);
        DWORD_PTR figures = 0;
        SendMessageTimeoutA(main_, benchwin::kMsgLoopFigures, 1, 0, SMTO_NORMAL, kReplyTimeoutMs, &figures);
        DWORD longest = 0, longestAt = 0, answers = 0, over20 = 0;
        const DWORD start = GetTickCount();
        while (Text(control).find(a[2]) == std::string::npos) {
            LARGE_INTEGER before, after, frequency;
            QueryPerformanceFrequency(&frequency);
            QueryPerformanceCounter(&before);
            Send(main_, WM_NULL, 0, 0);
            QueryPerformanceCounter(&after);
            const DWORD ms = static_cast<DWORD>((after.QuadPart - before.QuadPart) * 1000 /
                                                frequency.QuadPart);
            if (ms > longest) {
                longest = ms;
                longestAt = GetTickCount() - start;
            }
            ++answers;
            if (ms > 20) ++over20;
            CheckNoErrorBox();
            if (GetTickCount() - start > 120000) Fail(a[1] + " never showed " + Quote(a[2]));
            Sleep(5);
        }
        // The application's own figures: the longest one message kept its
        // UI thread, in wall time and in that thread's CPU time. The round
        // trips seen from here add the machine's scheduling (the tests share
        // it), so the bound is on what the application itself spends.
        if (!SendMessageTimeoutA(main_, benchwin::kMsgLoopFigures, 0, 0, SMTO_NORMAL, kReplyTimeoutMs,
                                 &figures)) {
            Fail("the application did not answer kMsgLoopFigures within 5 s");
        }
        const unsigned long wall = LOWORD(figures), cpu = HIWORD(figures);
        std::printf("  one message kept the UI thread at most %lu ms (%lu ms of its CPU); "
                    "%lu round trips from here in %lu ms: the longest %lu ms (%lu ms in), "
                    "%lu over 20 ms\n",
                    wall, cpu, static_cast<unsigned long>(answers),
                    static_cast<unsigned long>(GetTickCount() - start),
                    static_cast<unsigned long>(longest), static_cast<unsigned long>(longestAt),
                    static_cast<unsigned long>(over20));
        if (cpu > limit) Fail("a message kept the UI thread " + std::to_string(cpu) + " ms");
    } else if (verb == "fits") {
        // Every visible child lies inside MAIN's client area, and the
        // columns of the section table and of the hex rows fit their lists
        // (no scrolling sideways to see a row whole).
        for (const char* name : {"IDC_DEV_SECTIONS", "IDC_DEV_HEX"}) {
            HWND list = Window(name);
            RECT inside;
            GetClientRect(list, &inside);
            long total = 0;
            for (int column = 0;; ++column) {
                DWORD_PTR width = 0;
                if (!SendMessageTimeoutA(list, LVM_GETCOLUMNWIDTH, column, 0, SMTO_NORMAL,
                                         kReplyTimeoutMs, &width) ||
                    width == 0) {
                    break;
                }
                total += static_cast<long>(width);
            }
            if (total > inside.right) {
                Fail(std::string(name) + "'s columns take " + std::to_string(total) +
                     " pixels of its " + std::to_string(inside.right));
            }
        }
        RECT client;
        GetClientRect(main_, &client);
        for (HWND child = GetWindow(main_, GW_CHILD); child != NULL;
             child = GetWindow(child, GW_HWNDNEXT)) {
            if (!IsWindowVisible(child)) continue;
            RECT r;
            GetWindowRect(child, &r);
            MapWindowPoints(NULL, main_, reinterpret_cast<POINT*>(&r), 2);
            if (r.left < 0 || r.top < 0 || r.right > client.right || r.bottom > client.bottom) {
                Fail("control " + std::to_string(GetDlgCtrlID(child)) + " lies outside MAIN");
            }
        }
        RECT window;
        GetWindowRect(main_, &window);
        if (window.right - window.left > GetSystemMetrics(SM_CXSCREEN) ||
            window.bottom - window.top > GetSystemMetrics(SM_CYSCREEN)) {
            Fail("MAIN is larger than the screen");
        }
    } else {
        return false;
    }
    return true;
}

void Driver::Run(const Step& original) {
    Step step = original;
    for (std::string& word : step.args)
        word = Expand(word);
    if (Bench() && RunBench(step)) return;
    const std::string& verb = step.verb;
    const std::vector<std::string>& a = step.args;
    auto need = [&](size_t n) {
        if (a.size() < n) Fail(verb + " needs " + std::to_string(n) + " arguments");
    };

    if (verb == "device" || verb == "display") {
        // Set up by the harness before the application started.
    } else if (verb == "click") {
        need(1);
        Send(Window(a[0]), BM_CLICK, 0, 0);
    } else if (verb == "select") {
        need(2);
        Send(Window(a[0]), CB_SETCURSEL, static_cast<WPARAM>(std::atoi(a[1].c_str())), 0);
    } else if (verb == "settext") {
        need(2);
        Send(Window(a[0]), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(a[1].c_str()));
    } else if (verb == "keys") {
        need(2);
        HWND control = Window(a[0]);
        for (unsigned char c : a[1])
            Send(control, WM_CHAR, c, 1);
    } else if (verb == "expect") {
        need(2);
        std::string text = Text(Window(a[0]));
        if (text != a[1]) Fail(a[0] + " shows " + Quote(text) + ", expected " + Quote(a[1]));
    } else if (verb == "wait") {
        need(2);
        HWND control = Window(a[0]);
        std::string last;
        WaitFor(
            Milliseconds(step, 2, kDefaultWaitMs), [&] { return (last = Text(control)) == a[1]; },
            [&] { return a[0] + " still shows " + Quote(last) + ", expected " + Quote(a[1]); });
    } else if (verb == "limit") {
        need(2);
        DWORD_PTR limit = 0;
        if (!SendMessageTimeoutA(Window(a[0]), EM_GETLIMITTEXT, 0, 0, SMTO_NORMAL, kReplyTimeoutMs,
                                 &limit)) {
            Fail("the application did not answer EM_GETLIMITTEXT within 5 s");
        }
        if (limit != std::strtoul(a[1].c_str(), nullptr, 10)) {
            Fail(a[0] + " takes " + std::to_string(limit) + " characters");
        }
    } else if (verb == "lamp") {
        need(2);
        const bool receive = a[0] == "receive";
        const bool lit = a[1] == "lit";
        if ((!receive && a[0] != "transmit") || (!lit && a[1] != "off")) {
            Fail("lamp receive|transmit off|lit [MS]");
        }
        POINT place =
            receive ? POINT{kReceiveLampX, kReceiveLampY} : POINT{kTransmitLampX, kTransmitLampY};
        ClientToScreen(panel_, &place);
        if (!lit) {
            LampCell seen;
            WaitFor(
                Milliseconds(step, 2, 0),
                [&] { return (seen = ReadLamp(place)) == LampCellAt(kLampCellOff); },
                [&] { return "the " + a[0] + " lamp shows " + Describe(seen); });
            return;
        }
        // A lamp is lit for one 10 ms tick: watch its face closely.
        const COLORREF face = LampCellAt(receive ? kLampCellReceive : kLampCellTransmit).face;
        const DWORD start = GetTickCount();
        while (LampFace(place) != face) {
            if (GetTickCount() - start >= Milliseconds(step, 2, kDefaultWaitMs)) {
                Fail("the " + a[0] + " lamp never lit");
            }
        }
    } else if (verb == "enabled" || verb == "disabled") {
        const bool wantDisabled = verb == "disabled";
        for (const std::string& name : a) {
            const bool disabled = (Style(Window(name)) & WS_DISABLED) != 0;
            if (disabled != wantDisabled) Fail(name + " is not " + verb);
        }
    } else if (verb == "error") {
        need(1);
        HWND box = NULL;
        WaitFor(
            Milliseconds(step, 1, kDefaultWaitMs), [&] { return (box = FindErrorBox()) != NULL; },
            [&] { return "no error box " + Quote(a[0]); }, true);
        Sleep(100);  // let the box finish its initialisation
        const std::string text = ErrorBoxText(box);
        if (text != a[0]) Fail("the error box shows " + Quote(text) + ", expected " + Quote(a[0]));
        if (GetWindow(box, GW_OWNER) != main_) Fail("the error box is not owned by MAIN");
        if (IsWindowEnabled(main_)) Fail("MAIN is enabled while the error box is shown");
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
        WaitFor(
            5000, [&] { return !IsWindow(box); }, [] { return std::string("the box stays open"); },
            true);
    } else if (verb == "noerror") {
        CheckNoErrorBox();
    } else if (verb == "idle") {
        std::string why;
        WaitFor(
            Milliseconds(step, 0, kDefaultWaitMs), [&] { return IsIdle(&why); },
            [&] { return "the panel is not idle: " + why; });
    } else if (verb == "window") {
        need(4);
        RECT r;
        GetWindowRect(main_, &r);
        const long want[] = {std::atol(a[0].c_str()), std::atol(a[1].c_str()),
                             std::atol(a[2].c_str()), std::atol(a[3].c_str())};
        if (r.left != want[0] || r.top != want[1] || r.right - r.left != want[2] ||
            r.bottom - r.top != want[3]) {
            char got[100];
            std::snprintf(got, sizeof got, "%ld %ld %ld %ld", r.left, r.top, r.right - r.left,
                          r.bottom - r.top);
            Fail(std::string("MAIN is at ") + got);
        }
    } else if (verb == "sim") {
        need(1);
        std::string command;
        for (const std::string& w : a)
            command += (command.empty() ? "" : " ") + w;
        std::printf("@sim %s\n", command.c_str());
        std::fflush(stdout);
        char answer[256];
        if (!std::fgets(answer, sizeof answer, stdin)) Fail("no answer from the harness");
        if (std::string(answer).rfind("ok", 0) != 0) Fail(std::string("simulator: ") + answer);
    } else if (verb == "pause") {
        need(1);
        Sleep(Milliseconds(step, 0, 0));
    } else if (verb == "close") {
        CloseAndCheckEnd(Milliseconds(step, 0, 10000));
    } else if (verb == "start") {
        StartAgain();
    } else if (verb == "class") {
        need(4);
        char name[64] = "";
        GetClassNameA(main_, name, sizeof name);
        if (a[0] != name) Fail("MAIN is of class " + Quote(name));
        // Read inside the application: the class style, the background
        // brush, whether the icon is resource 101; no cursor, no extra bytes.
        const std::pair<std::string, std::string> expected[] = {
            {"classstyle", a[1]}, {"brush", a[2]}, {"icon", a[3]}, {"cursor", "0"},
            {"extra", "0 0"}};
        for (const auto& e : expected) {
            bool found = false;
            const std::string value = Probe(e.first, &found);
            if (!found || value != e.second) {
                Fail("class " + e.first + " is " + Quote(value) + ", expected " + Quote(e.second));
            }
        }
    } else if (verb == "style") {
        need(3);
        const bool has = a[1] == "has";
        if (!has && a[1] != "lacks") Fail("style ID has|lacks NAME...");
        HWND window = Window(a[0]);
        for (size_t i = 2; i < a.size(); ++i) {
            const StyleBit* bit = nullptr;
            for (const StyleBit& b : kStyleBits) {
                if (a[i] == b.name) bit = &b;
            }
            if (bit == nullptr) Fail("unknown style " + a[i]);
            const DWORD word =
                static_cast<DWORD>(GetWindowLongA(window, bit->extended ? GWL_EXSTYLE : GWL_STYLE));
            if (((word & bit->bit) == bit->bit) != has) Fail(a[0] + " " + a[1] + " not " + a[i]);
        }
    } else if (verb == "font") {
        need(8);
        Window(a[0]);  // a known control
        std::string want = Quote(a[1]);
        for (size_t i = 2; i < 8; ++i)
            want += " " + a[i];
        want += " / 0 0 0 0 0 0 0";  // every other LOGFONT field
        bool found = false;
        const std::string got = Probe("font " + a[0], &found);
        if (got != want) Fail(a[0] + " has font " + Quote(got) + ", expected " + Quote(want));
    } else if (verb == "ownfonts") {
        need(2);
        std::map<std::string, std::string> owners;
        for (const std::string& name : a) {
            bool found = false;
            const std::string handle = Probe("fonthandle " + name, &found);
            if (!found) Fail(name + " has no font");
            if (owners.count(handle)) Fail(name + " shares its font with " + owners[handle]);
            owners[handle] = name;
        }
    } else {
        Fail("unknown step " + verb);
    }
}

void Driver::CloseApplication() {
    if (!closed_) CloseAndCheckEnd(10000);
}

int Main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: gui-driver SCENARIO_FILE NAME [--keep-open] [--class=CLASS]\n");
        return 2;
    }
    bool keepOpen = false;
    std::string benchClass;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--keep-open") keepOpen = true;
        if (arg.rfind("--class=", 0) == 0) benchClass = arg.substr(8);
    }
    std::vector<Scenario> scenarios;
    std::string error;
    if (!LoadScenarios(argv[1], &scenarios, &error)) {
        std::printf("FAIL %s\n", error.c_str());
        return 1;
    }
    const Scenario* scenario = nullptr;
    for (const Scenario& s : scenarios) {
        if (s.name == argv[2]) scenario = &s;
    }
    if (scenario == nullptr) {
        std::printf("FAIL no scenario %s\n", argv[2]);
        return 1;
    }

    Driver driver;
    driver.SetBenchClass(benchClass);
    const Step* current = nullptr;
    try {
        driver.Attach();
        for (const Step& step : scenario->steps) {
            current = &step;
            std::printf("  line %d: %s", step.line, step.verb.c_str());
            for (const std::string& word : step.args)
                std::printf(" %s", Quote(word).c_str());
            std::printf("\n");
            std::fflush(stdout);
            driver.Run(step);
        }
        current = nullptr;
        driver.CheckNoErrorBox();
        if (!keepOpen) driver.CloseApplication();
    } catch (const Failure& failure) {
        if (current != nullptr) {
            std::printf("FAIL line %d (%s): %s\n", current->line, current->verb.c_str(),
                        failure.message.c_str());
        } else {
            std::printf("FAIL %s\n", failure.message.c_str());
        }
        return 1;
    }
    std::printf("PASS %s\n", scenario->name.c_str());
    return 0;
}

}  // namespace
}  // namespace qmb::test

int main(int argc, char** argv) {
    return qmb::test::Main(argc, argv);
}
