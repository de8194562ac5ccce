// qmb-device.exe's main window: the port, the jobs' buttons and progress,
// the section table and the hex rows of the chosen section, the summary. It
// shows the model (device/Bench.h) and hands every edit to it; the rules are
// the model's.
//
// Threads: everything here runs on the UI thread.
#pragma once

#include <windows.h>

#include <string>

#include "device/Bench.h"

namespace qmb::benchwin {

constexpr wchar_t kMainWindowClass[] = L"QMB_DEVICE";
constexpr wchar_t kProgramTitle[] = L"qmb-device";

// The window's state. One instance (App()), built on first use.
struct Ui {
    HINSTANCE instance = NULL;
    HWND main = NULL;
    HWND port = NULL, read = NULL, cancel = NULL, save = NULL, reference = NULL, write = NULL;
    HWND progress = NULL, status = NULL, summary = NULL, referenceLabel = NULL;
    HWND sections = NULL, hex = NULL, editor = NULL;
    HMENU menu = NULL;
    HACCEL accelerators = NULL;
    HFONT uiFont = NULL, monoFont = NULL, monoEdited = NULL;
    UINT dpi = 96;
    int monoWidth = 8, monoHeight = 16;  // pixels of a character of monoFont

    device::Bench bench;
    std::string devicePort;  // where the device's snapshot was read
    int section = 0;         // the section shown in the hex rows (0: none)
    size_t cursor = 0;       // the byte under the cursor in it
    bool busy = false;       // a job runs
    bool writing = false;    // the job is a write
    bool closeWhenDone = false;
    bool errorShown = false;  // an error box is up (the editor keeps its text)
};
Ui& App();

// Registers the class and creates the window; false when either fails.
bool CreateBenchWindow(HINSTANCE instance, HICON icon);

// Pixels for a length in 96-dpi units at the window's DPI.
int Scale(int units);

// A list view's LVN_GETDISPINFO answer: text into out (size wide characters
// with its end), cut to fit; nothing when out is null or size is 0.
void CopyText(const std::string& text, wchar_t* out, int size);

// Main.cpp: the answer to kMsgLoopFigures (reset 1: start anew).
LRESULT LoopFiguresAnswer(WPARAM reset);

// The whole view from the model: table, hex rows, summary, buttons.
void Refresh();
// Shows a place: its section chosen, its byte under the cursor and in view.
void Show(const device::Position& place);
// An error box owned by the main window ("Error", one OK button).
void ShowError(const std::string& text);
void SetStatus(const std::string& text);

// hex view (HexView.cpp)
void CreateHexView(HWND parent);
void SetHexColumns();
void RefreshHexView();
// WM_NOTIFY of the hex view; true when handled, with *result.
bool OnHexNotify(NMHDR* header, LRESULT* result);
// Opens the in-place editor on the cursor's row, with `typed` (0: none)
// typed into the cursor's byte.
void BeginRowEdit(wchar_t typed);
void EndRowEdit(bool commit);
bool Editing();
// The selected rows' bytes in the shown section: first and count (0: none).
size_t SelectedBytes(size_t* first);

// commands (Commands.cpp)
// The menu bar and its keys (F6, Shift+F6, Ctrl+Z, ...).
HMENU BuildMenu();
HACCEL BuildAccelerators();
void OnCommand(int id);
void OnReadProgress(WPARAM done, LPARAM section);
void OnReadDone(LPARAM outcome);
void OnWriteProgress(WPARAM done, LPARAM section);
// WM_TIMER: the latest progress shown (at most ten times a second).
void OnProgressTimer();
void OnWriteDone(LPARAM outcome);
// WM_CLOSE: true when the window may be destroyed now.
bool MayClose();

// dialogs (Dialogs.cpp)
// A file name from the open or save dialog, UTF-8; "" when cancelled.
std::string AskOpenPath(const wchar_t* title, const wchar_t* filter);
std::string AskSavePath(const wchar_t* title, const wchar_t* filter, const wchar_t* extension,
                        const std::wstring& suggested);
// The write plan's confirmation: true to write, with *backup whether the
// automatic backup is taken (folder "" when there is no data folder).
bool ConfirmWrite(const std::string& planText, const std::string& port,
                  const std::string& folder, bool* backup);
// A yes/no question owned by the main window; true for yes.
bool AskYesNo(const std::string& text);

}  // namespace qmb::benchwin
