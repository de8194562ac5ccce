#include "bench-win32/BenchWindow.h"

#include <commctrl.h>

#include <algorithm>

#include "bench-win32/BenchIds.h"
#include "bench-win32/BenchText.h"
#include "bench-win32/DeviceJobs.h"
#include "platform/Utf8.h"

namespace qmb::benchwin {

namespace {

const wchar_t* const kPortNames[] = {L"COM1", L"COM2", L"COM3", L"COM4"};

// The layout in 96-dpi units.
constexpr int kMargin = 8;
constexpr int kRowHeight = 24;
constexpr int kTextHeight = 20;
constexpr int kSectionsWidth = 340;
constexpr int kInitialWidth = 1016;
constexpr int kInitialHeight = 720;
constexpr int kMinWidth = 640;
constexpr int kMinHeight = 420;

struct Button {
    HWND Ui::*field;
    int id;
    const wchar_t* caption;
    int width;
};
const Button kButtons[] = {
    {&Ui::read, IDC_DEV_READ, L"&Read all", 76},
    {&Ui::cancel, IDC_DEV_CANCEL, L"Cancel", 64},
    {&Ui::save, IDC_DEV_SAVE, L"&Save backup...", 104},
    {&Ui::reference, IDC_DEV_REFERENCE, L"Open r&eference...", 120},
    {&Ui::write, IDC_DEV_WRITE, L"&Write changes...", 116},
};

struct Column {
    const wchar_t* title;
    int width;  // 96-dpi units
    int format;
};
const Column kSectionColumns[] = {
    {L"#", 36, LVCFMT_RIGHT},   {L"Address", 72, LVCFMT_LEFT}, {L"Length", 52, LVCFMT_RIGHT},
    {L"CRC-32", 76, LVCFMT_LEFT}, {L"State", 78, LVCFMT_LEFT},
};

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);

UINT WindowDpi(HWND window) {
    // Windows 10 1607 and later; older systems scale the window themselves.
    static const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpi != nullptr) {
        const UINT dpi = getDpi(window);
        if (dpi != 0) return dpi;
    }
    HDC screen = GetDC(NULL);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(NULL, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

HFONT MakeFont(int points, int weight, bool underline, const wchar_t* face, DWORD pitch) {
    return CreateFontW(-MulDiv(points, static_cast<int>(App().dpi), 72), 0, 0, 0, weight, FALSE,
                       underline, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                       CLEARTYPE_QUALITY, pitch, face);
}

// The fonts at the window's DPI; the old ones are deleted after the controls
// have the new.
void MakeFonts() {
    Ui& ui = App();
    HFONT old[] = {ui.uiFont, ui.monoFont, ui.monoEdited};
    ui.uiFont = MakeFont(9, FW_NORMAL, false, L"MS Shell Dlg 2", DEFAULT_PITCH | FF_SWISS);
    ui.monoFont = MakeFont(8, FW_NORMAL, false, L"Courier New", FIXED_PITCH | FF_MODERN);
    // Edited bytes: bold and underlined, so they never rest on colour alone.
    ui.monoEdited = MakeFont(8, FW_BOLD, true, L"Courier New", FIXED_PITCH | FF_MODERN);
    HDC dc = GetDC(ui.main);
    HGDIOBJ previous = SelectObject(dc, ui.monoEdited);  // the wider of the two
    TEXTMETRICW metrics;
    GetTextMetricsW(dc, &metrics);
    ui.monoWidth = metrics.tmAveCharWidth;
    ui.monoHeight = metrics.tmHeight;
    SelectObject(dc, previous);
    ReleaseDC(ui.main, dc);
    for (HWND child = GetWindow(ui.main, GW_CHILD); child != NULL;
         child = GetWindow(child, GW_HWNDNEXT)) {
        HFONT font = child == ui.hex ? ui.monoFont : ui.uiFont;
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
    if (ui.editor != NULL) {
        SendMessageW(ui.editor, WM_SETFONT, reinterpret_cast<WPARAM>(ui.monoFont), TRUE);
    }
    for (HFONT font : old) {
        if (font != NULL) DeleteObject(font);
    }
}

HWND MakeChild(const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD exStyle = 0) {
    return CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10,
                           App().main, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           App().instance, NULL);
}

void SetSectionColumns() {
    for (int i = 0; i < static_cast<int>(std::size(kSectionColumns)); ++i) {
        SendMessageW(App().sections, LVM_SETCOLUMNWIDTH, i, Scale(kSectionColumns[i].width));
    }
}

void CreateSectionList() {
    Ui& ui = App();
    ui.sections = MakeChild(WC_LISTVIEWW, L"",
                            WS_TABSTOP | WS_BORDER | LVS_REPORT | LVS_OWNERDATA | LVS_SINGLESEL |
                                LVS_SHOWSELALWAYS,
                            IDC_DEV_SECTIONS);
    ListView_SetExtendedListViewStyle(ui.sections, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    for (int i = 0; i < static_cast<int>(std::size(kSectionColumns)); ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        column.fmt = kSectionColumns[i].format;
        column.cx = Scale(kSectionColumns[i].width);
        column.pszText = const_cast<wchar_t*>(kSectionColumns[i].title);
        SendMessageW(ui.sections, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    }
    SendMessageW(ui.sections, LVM_SETITEMCOUNT, device::kLastSection, 0);
}

void CreateControls() {
    Ui& ui = App();
    ui.port = MakeChild(WC_COMBOBOXW, L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, IDC_DEV_PORT);
    for (const wchar_t* name : kPortNames)
        SendMessageW(ui.port, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    SendMessageW(ui.port, CB_SETCURSEL, 0, 0);
    for (const Button& b : kButtons)
        ui.*(b.field) = MakeChild(WC_BUTTONW, b.caption, WS_TABSTOP | BS_PUSHBUTTON, b.id);
    ui.progress = MakeChild(PROGRESS_CLASSW, L"", 0, IDC_DEV_PROGRESS);
    SendMessageW(ui.progress, PBM_SETRANGE32, 0, device::kLastSection);
    ui.status = MakeChild(WC_STATICW, L"Ready", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS,
                          IDC_DEV_STATUS);
    ui.referenceLabel = MakeChild(WC_STATICW, L"Reference: none", SS_LEFT | SS_NOPREFIX |
                                  SS_PATHELLIPSIS, IDC_DEV_REFLABEL);
    ui.summary = MakeChild(WC_STATICW, L"", SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS,
                           IDC_DEV_SUMMARY);
    CreateSectionList();
    CreateHexView(ui.main);
}

void Place(HWND control, int x, int y, int width, int height) {
    MoveWindow(control, Scale(x), Scale(y), Scale(width), Scale(height), TRUE);
}

// Everything in place for a client area of width x height pixels.
void Layout(int width, int height) {
    Ui& ui = App();
    const int w = MulDiv(width, 96, static_cast<int>(ui.dpi));
    const int h = MulDiv(height, 96, static_cast<int>(ui.dpi));
    int x = kMargin;
    Place(ui.port, x, kMargin, 72, 200);
    x += 72 + kMargin;
    for (const Button& b : kButtons) {
        Place(ui.*(b.field), x, kMargin, b.width, kRowHeight);
        x += b.width + 4;
    }
    const int second = kMargin + kRowHeight + 6;
    Place(ui.progress, kMargin, second + 2, 160, kTextHeight - 4);
    Place(ui.status, kMargin + 168, second, std::max(40, w - 176 - kMargin), kTextHeight);
    const int third = second + kTextHeight + 2;
    Place(ui.referenceLabel, kMargin, third, kSectionsWidth, kTextHeight);
    Place(ui.summary, kMargin + kSectionsWidth + kMargin, third,
          std::max(40, w - kSectionsWidth - 3 * kMargin), kTextHeight);
    const int top = third + kTextHeight + 4;
    const int listHeight = std::max(60, h - top - kMargin);
    Place(ui.sections, kMargin, top, kSectionsWidth, listHeight);
    Place(ui.hex, kMargin + kSectionsWidth + kMargin, top,
          std::max(100, w - kSectionsWidth - 3 * kMargin), listHeight);
}

void Relayout() {
    RECT client;
    GetClientRect(App().main, &client);
    Layout(client.right, client.bottom);
}

void OnDpiChanged(UINT dpi, const RECT* suggested) {
    App().dpi = dpi;
    MakeFonts();
    SetSectionColumns();
    SetHexColumns();
    SetWindowPos(App().main, NULL, suggested->left, suggested->top,
                 suggested->right - suggested->left, suggested->bottom - suggested->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    Relayout();
}

bool OnSectionsNotify(NMHDR* header) {
    Ui& ui = App();
    if (header->code == LVN_GETDISPINFOW) {
        LVITEMW& item = reinterpret_cast<NMLVDISPINFOW*>(header)->item;
        if ((item.mask & LVIF_TEXT) && item.iItem >= 0 && item.iItem < device::kLastSection) {
            const device::SectionRow row = ui.bench.Row(item.iItem + 1);
            CopyText(benchview::SectionCell(row, static_cast<benchview::SectionColumn>(item.iSubItem)),
                     item.pszText, item.cchTextMax);
        }
        return true;
    }
    if (header->code == LVN_ITEMCHANGED) {
        const NMLISTVIEW* change = reinterpret_cast<NMLISTVIEW*>(header);
        if ((change->uNewState & LVIS_SELECTED) && !(change->uOldState & LVIS_SELECTED) &&
            change->iItem >= 0 && change->iItem + 1 != ui.section) {
            EndRowEdit(false);
            ui.section = change->iItem + 1;
            ui.cursor = 0;
            RefreshHexView();
        }
        return true;
    }
    return false;
}

LRESULT OnNotify(NMHDR* header) {
    LRESULT result = 0;
    if (header->idFrom == IDC_DEV_SECTIONS && OnSectionsNotify(header)) return 0;
    if (header->idFrom == IDC_DEV_HEX && OnHexNotify(header, &result)) return result;
    return 0;
}

LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SIZE:
            if (App().sections != NULL) Layout(LOWORD(lParam), HIWORD(lParam));
            return 0;
        case WM_GETMINMAXINFO: {
            auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
            info->ptMinTrackSize.x = Scale(kMinWidth);
            info->ptMinTrackSize.y = Scale(kMinHeight);
            return 0;
        }
        case WM_DPICHANGED:
            OnDpiChanged(HIWORD(wParam), reinterpret_cast<RECT*>(lParam));
            return 0;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam));
            return 0;
        case WM_NOTIFY:
            return OnNotify(reinterpret_cast<NMHDR*>(lParam));
        case kMsgReadProgress:
            OnReadProgress(wParam, lParam);
            return 0;
        case kMsgReadDone:
            OnReadDone(lParam);
            return 0;
        case kMsgWriteProgress:
            OnWriteProgress(wParam, lParam);
            return 0;
        case kMsgWriteDone:
            OnWriteDone(lParam);
            return 0;
        case WM_TIMER:
            OnProgressTimer();
            return 0;
        case kMsgLoopFigures:
            return LoopFiguresAnswer(wParam);
        case WM_CLOSE:
            if (MayClose()) DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

// The window's size: the initial one, within the work area of the screen it
// opens on, centred there.
RECT InitialPlace() {
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int width = std::min(Scale(kInitialWidth), static_cast<int>(work.right - work.left));
    const int height = std::min(Scale(kInitialHeight), static_cast<int>(work.bottom - work.top));
    const int left = work.left + (work.right - work.left - width) / 2;
    const int top = work.top + (work.bottom - work.top - height) / 2;
    return RECT{left, top, left + width, top + height};
}

}  // namespace

void CopyText(const std::string& text, wchar_t* out, int size) {
    if (out == nullptr || size <= 0) return;
    const std::wstring wide = WideFromUtf8(text);
    const size_t n = std::min(wide.size(), static_cast<size_t>(size - 1));
    wide.copy(out, n);
    out[n] = L'\0';
}

Ui& App() {
    static Ui* const ui = new Ui;  // never destroyed: see Main.cpp
    return *ui;
}

int Scale(int units) {
    return MulDiv(units, static_cast<int>(App().dpi), 96);
}

bool CreateBenchWindow(HINSTANCE instance, HICON icon) {
    Ui& ui = App();
    ui.instance = instance;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &MainProc;
    wc.hInstance = instance;
    wc.hIcon = icon;
    wc.hCursor = LoadCursorW(NULL, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = kMainWindowClass;
    if (RegisterClassW(&wc) == 0) return false;
    ui.menu = BuildMenu();
    ui.accelerators = BuildAccelerators();
    ui.main = CreateWindowExW(WS_EX_CONTROLPARENT, kMainWindowClass, kProgramTitle,
                              WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                              kInitialWidth, kInitialHeight, NULL, ui.menu, instance, NULL);
    if (ui.main == NULL) return false;
    ui.dpi = WindowDpi(ui.main);
    CreateControls();
    MakeFonts();
    SetHexColumns();
    const RECT place = InitialPlace();
    SetWindowPos(ui.main, NULL, place.left, place.top, place.right - place.left,
                 place.bottom - place.top, SWP_NOZORDER);
    Relayout();
    Refresh();
    return true;
}

void Refresh() {
    Ui& ui = App();
    InvalidateRect(ui.sections, NULL, FALSE);
    RefreshHexView();
    const std::string label = ui.bench.HasReference() ? ui.bench.ReferenceLabel() : "none";
    SetWindowTextW(ui.referenceLabel, WideFromUtf8("Reference: " + label).c_str());
    SetWindowTextW(ui.summary, WideFromUtf8(ui.bench.SummaryText()).c_str());
    const bool idle = !ui.busy;
    const bool hasDevice = ui.bench.DeviceSnapshot().PresentCount() > 0;
    EnableWindow(ui.read, idle);
    EnableWindow(ui.port, idle);
    EnableWindow(ui.cancel, ui.busy);
    EnableWindow(ui.save, idle && hasDevice);
    EnableWindow(ui.reference, idle);
    EnableWindow(ui.write, idle && !ui.bench.WritePlan().empty());
}

void Show(const device::Position& place) {
    Ui& ui = App();
    if (place.section < device::kFirstSection || place.section > device::kLastSection) return;
    EndRowEdit(false);
    const int item = place.section - 1;
    ListView_SetItemState(ui.sections, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemState(ui.sections, item, LVIS_SELECTED | LVIS_FOCUSED,
                          LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(ui.sections, item, FALSE);
    ui.section = place.section;
    ui.cursor = place.offset;
    RefreshHexView();
    const int row = static_cast<int>(place.offset / benchview::kRowBytes);
    ListView_SetItemState(ui.hex, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemState(ui.hex, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(ui.hex, row, FALSE);
}

void ShowError(const std::string& text) {
    App().errorShown = true;
    MessageBoxW(App().main, WideFromUtf8(text).c_str(), L"Error", MB_OK | MB_ICONERROR);
    App().errorShown = false;
}

void SetStatus(const std::string& text) {
    SetWindowTextW(App().status, WideFromUtf8(text).c_str());
}

}  // namespace qmb::benchwin
