// The hex rows of the shown section: a virtual list view (LVS_OWNERDATA,
// the texts asked for as they are shown) drawn by custom draw, so that each
// byte carries its own marks: a byte that differs from the reference is
// boxed, one edited and not yet written is bold and underlined (each also in
// a colour of its own, never by colour alone), and the Marks column spells
// them out. A row is edited in place: an edit control over its bytes.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "bench-win32/BenchIds.h"
#include "bench-win32/BenchText.h"
#include "bench-win32/BenchWindow.h"
#include "platform/Utf8.h"

namespace qmb::benchwin {

namespace {

using benchview::HexColumn;
using benchview::kRowBytes;

constexpr UINT kMsgEditorLeft = WM_APP + 20;  // to the hex view: the editor lost the focus

struct Column {
    const wchar_t* title;
    int chars;  // width in characters of the mono font, padding included
};
const Column kColumns[] = {
    {L"Offset", 5},
    {L"00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", 48},
    {L"ASCII", 17},
    {L"Marks", 17},
};
constexpr int kPad = 4;  // 96-dpi units before a cell's text

WNDPROC g_listProc = nullptr;
WNDPROC g_editorProc = nullptr;
std::vector<uint8_t> g_marks;  // of the shown section
size_t g_editRow = 0;

const device::Bytes& ShownBytes() {
    static const device::Bytes none;
    const Ui& ui = App();
    return ui.section == 0 ? none : ui.bench.Working(ui.section);
}

COLORREF kDiffersColour = RGB(176, 0, 0);
COLORREF kEditedColour = RGB(0, 64, 192);

RECT CellRect(int item, int column) {
    RECT rect = {};
    rect.top = column;
    rect.left = LVIR_BOUNDS;
    SendMessageW(App().hex, LVM_GETSUBITEMRECT, item, reinterpret_cast<LPARAM>(&rect));
    if (column == 0) {
        // Subitem 0's bounds are the whole row: its own width ends it.
        rect.right = rect.left + ListView_GetColumnWidth(App().hex, 0);
    }
    return rect;
}

void DrawText(HDC dc, int x, int y, const std::wstring& text) {
    TextOutW(dc, x, y, text.c_str(), static_cast<int>(text.size()));
}

// One character cell group of a byte (2 hex digits, or 1 ASCII character)
// with its marks.
void DrawMarked(HDC dc, int x, int y, const std::wstring& text, uint8_t mark, bool cursor) {
    Ui& ui = App();
    const bool differs = (mark & device::kMarkDiffers) != 0;
    const bool edited = (mark & device::kMarkEdited) != 0;
    HGDIOBJ previous = SelectObject(dc, edited ? ui.monoEdited : ui.monoFont);
    const COLORREF colour = edited ? kEditedColour : differs ? kDiffersColour
                                                             : GetSysColor(COLOR_WINDOWTEXT);
    SetTextColor(dc, colour);
    DrawText(dc, x, y, text);
    const RECT box = {x - 1, y, x + ui.monoWidth * static_cast<int>(text.size()) + 1,
                      y + ui.monoHeight};
    if (differs) {
        HBRUSH brush = CreateSolidBrush(kDiffersColour);
        FrameRect(dc, &box, brush);
        DeleteObject(brush);
    }
    if (cursor) InvertRect(dc, &box);
    SelectObject(dc, previous);
}

void DrawRow(HDC dc, int item) {
    Ui& ui = App();
    const device::Bytes& bytes = ShownBytes();
    const size_t first = static_cast<size_t>(item) * kRowBytes;
    if (first >= bytes.size()) return;
    const size_t count = std::min(kRowBytes, bytes.size() - first);
    const bool selected = ListView_GetItemState(ui.hex, item, LVIS_SELECTED) != 0;
    RECT row = CellRect(item, 0);
    row.right = CellRect(item, 3).right;
    FillRect(dc, &row, GetSysColorBrush(selected ? COLOR_BTNFACE : COLOR_WINDOW));
    SetBkMode(dc, TRANSPARENT);
    const int pad = Scale(kPad);
    const int y = row.top + std::max(0, static_cast<int>(row.bottom - row.top) - ui.monoHeight) / 2;
    HGDIOBJ previous = SelectObject(dc, ui.monoFont);
    SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
    DrawText(dc, CellRect(item, 0).left + pad,
             y, WideFromUtf8(benchview::HexRowText(bytes, g_marks, item, HexColumn::kOffset)));
    const int hexLeft = CellRect(item, 1).left + pad;
    const int asciiLeft = CellRect(item, 2).left + pad;
    const std::string ascii = benchview::HexRowText(bytes, g_marks, item, HexColumn::kAscii);
    const std::string hex = benchview::HexRowText(bytes, g_marks, item, HexColumn::kHex);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t mark = first + i < g_marks.size() ? g_marks[first + i] : 0;
        const bool cursor = first + i == ui.cursor && GetFocus() == ui.hex;
        DrawMarked(dc, hexLeft + static_cast<int>(i) * 3 * ui.monoWidth, y,
                   WideFromUtf8(hex.substr(i * 3, 2)), mark, cursor);
        DrawMarked(dc, asciiLeft + static_cast<int>(i) * ui.monoWidth, y,
                   WideFromUtf8(ascii.substr(i, 1)), mark, cursor);
    }
    SelectObject(dc, ui.monoFont);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    DrawText(dc, CellRect(item, 3).left + pad, y,
             WideFromUtf8(benchview::HexRowText(bytes, g_marks, item, HexColumn::kMarks)));
    SelectObject(dc, previous);
}

LRESULT OnCustomDraw(NMLVCUSTOMDRAW* draw) {
    switch (draw->nmcd.dwDrawStage) {
        case CDDS_PREPAINT:
            return CDRF_NOTIFYITEMDRAW;
        case CDDS_ITEMPREPAINT:
            DrawRow(draw->nmcd.hdc, static_cast<int>(draw->nmcd.dwItemSpec));
            return CDRF_SKIPDEFAULT;
        default:
            return CDRF_DODEFAULT;
    }
}

// The cursor one byte on (+1) or back (-1), its row chosen and in view.
void MoveCursor(int step) {
    Ui& ui = App();
    const size_t size = ShownBytes().size();
    if (size == 0) return;
    if (step < 0 && ui.cursor == 0) return;
    if (step > 0 && ui.cursor + 1 >= size) return;
    ui.cursor = step < 0 ? ui.cursor - 1 : ui.cursor + 1;
    const int row = static_cast<int>(ui.cursor / kRowBytes);
    ListView_SetItemState(ui.hex, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemState(ui.hex, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(ui.hex, row, FALSE);
    InvalidateRect(ui.hex, NULL, FALSE);
}

// WM_GETDLGCODE: the keys a control keeps from the window's Tab and Enter
// handling. Enter (and Esc for the editor) only: Tab still moves on.
LRESULT DialogCode(WNDPROC proc, HWND control, WPARAM wParam, LPARAM lParam, bool escapeToo) {
    LRESULT code = CallWindowProcW(proc, control, WM_GETDLGCODE, wParam, lParam);
    const MSG* message = reinterpret_cast<const MSG*>(lParam);
    if (message != nullptr && message->message == WM_KEYDOWN &&
        (message->wParam == VK_RETURN || (escapeToo && message->wParam == VK_ESCAPE))) {
        code |= DLGC_WANTMESSAGE;
    }
    return code;
}

bool IsHexDigit(WPARAM c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

LRESULT CALLBACK ListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_GETDLGCODE:
            // Enter opens the row's editor instead of reaching the window.
            return DialogCode(g_listProc, list, wParam, lParam, false);
        case WM_KEYDOWN:
            if (wParam == VK_LEFT || wParam == VK_RIGHT) {
                MoveCursor(wParam == VK_LEFT ? -1 : 1);
                return 0;
            }
            if (wParam == VK_RETURN || wParam == VK_F2) {
                BeginRowEdit(0);
                return 0;
            }
            break;
        case WM_CHAR:
            // Typing a hex digit starts an edit of the cursor's byte; no
            // other character searches the list.
            if (IsHexDigit(wParam)) BeginRowEdit(static_cast<wchar_t>(wParam));
            return 0;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            InvalidateRect(list, NULL, FALSE);  // the cursor shows with the focus
            break;
        case kMsgEditorLeft:
            if (App().editor != NULL && GetFocus() != App().editor && !App().errorShown) {
                EndRowEdit(false);
            }
            return 0;
        default:
            break;
    }
    return CallWindowProcW(g_listProc, list, message, wParam, lParam);
}

LRESULT CALLBACK EditorProc(HWND editor, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_GETDLGCODE:
            return DialogCode(g_editorProc, editor, wParam, lParam, true);
        case WM_KEYDOWN:
            if (wParam == VK_RETURN || wParam == VK_ESCAPE) {
                EndRowEdit(wParam == VK_RETURN);
                return 0;
            }
            break;
        case WM_CHAR:
            if (wParam == VK_RETURN || wParam == VK_ESCAPE) return 0;  // no beep
            break;
        case WM_KILLFOCUS:
            PostMessageW(App().hex, kMsgEditorLeft, 0, 0);
            break;
        default:
            break;
    }
    return CallWindowProcW(g_editorProc, editor, message, wParam, lParam);
}

void OnHexSelection(const NMLISTVIEW* change) {
    Ui& ui = App();
    if (!(change->uNewState & LVIS_FOCUSED) || (change->uOldState & LVIS_FOCUSED) ||
        change->iItem < 0) {
        return;
    }
    // Up, Down, Page and a click move the cursor to the row, same column.
    const size_t row = static_cast<size_t>(change->iItem);
    if (ui.cursor / kRowBytes == row) return;
    const size_t size = ShownBytes().size();
    ui.cursor = std::min(row * kRowBytes + ui.cursor % kRowBytes, size == 0 ? 0 : size - 1);
    InvalidateRect(ui.hex, NULL, FALSE);
}

}  // namespace

void CreateHexView(HWND parent) {
    Ui& ui = App();
    ui.hex = CreateWindowExW(0, WC_LISTVIEWW, L"",
                             WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_BORDER | LVS_REPORT |
                                 LVS_OWNERDATA | LVS_SHOWSELALWAYS,
                             0, 0, 10, 10, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_DEV_HEX)),
                             ui.instance, NULL);
    ListView_SetExtendedListViewStyle(ui.hex, LVS_EX_FULLROWSELECT);
    for (int i = 0; i < static_cast<int>(std::size(kColumns)); ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.cx = 100;
        column.pszText = const_cast<wchar_t*>(kColumns[i].title);
        SendMessageW(ui.hex, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    }
    g_listProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(ui.hex, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ListProc)));
}

void SetHexColumns() {
    Ui& ui = App();
    for (int i = 0; i < static_cast<int>(std::size(kColumns)); ++i) {
        ListView_SetColumnWidth(ui.hex, i, kColumns[i].chars * ui.monoWidth + 2 * Scale(kPad));
    }
}

void RefreshHexView() {
    Ui& ui = App();
    g_marks = ui.section == 0 ? std::vector<uint8_t>() : ui.bench.Marks(ui.section);
    const size_t rows = benchview::RowCount(ShownBytes().size());
    SendMessageW(ui.hex, LVM_SETITEMCOUNT, rows, LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
    InvalidateRect(ui.hex, NULL, FALSE);
}

bool OnHexNotify(NMHDR* header, LRESULT* result) {
    switch (header->code) {
        case LVN_GETDISPINFOW: {
            LVITEMW& item = reinterpret_cast<NMLVDISPINFOW*>(header)->item;
            if ((item.mask & LVIF_TEXT) && item.iItem >= 0) {
                CopyText(benchview::HexRowText(ShownBytes(), g_marks, item.iItem,
                                               static_cast<HexColumn>(item.iSubItem)),
                         item.pszText, item.cchTextMax);
            }
            return true;
        }
        case NM_CUSTOMDRAW:
            *result = OnCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
            return true;
        case LVN_ITEMCHANGED:
            OnHexSelection(reinterpret_cast<NMLISTVIEW*>(header));
            return true;
        case NM_DBLCLK:
            BeginRowEdit(0);
            return true;
        default:
            return false;
    }
}

void BeginRowEdit(wchar_t typed) {
    Ui& ui = App();
    const device::Bytes& bytes = ShownBytes();
    if (ui.busy || ui.editor != NULL || ui.cursor >= bytes.size()) return;
    g_editRow = ui.cursor / kRowBytes;
    const int item = static_cast<int>(g_editRow);
    ListView_EnsureVisible(ui.hex, item, FALSE);
    const RECT cell = CellRect(item, 1);
    const std::string text = benchview::HexRowText(bytes, g_marks, g_editRow, HexColumn::kHex);
    ui.editor = CreateWindowExW(0, WC_EDITW, WideFromUtf8(text).c_str(),
                                WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL | ES_UPPERCASE,
                                cell.left, cell.top, cell.right - cell.left,
                                std::max<int>(cell.bottom - cell.top, ui.monoHeight + 4), ui.hex,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_DEV_INPLACE)),
                                ui.instance, NULL);
    if (ui.editor == NULL) return;
    SendMessageW(ui.editor, WM_SETFONT, reinterpret_cast<WPARAM>(ui.monoFont), TRUE);
    g_editorProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(ui.editor, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&EditorProc)));
    const int at = static_cast<int>(ui.cursor % kRowBytes) * 3;
    SendMessageW(ui.editor, EM_SETSEL, at, at + 2);
    SetFocus(ui.editor);
    if (typed != 0) SendMessageW(ui.editor, WM_CHAR, typed, 1);
    SetStatus("Editing row " + benchview::HexRowText(bytes, g_marks, g_editRow, HexColumn::kOffset) +
              " of section " + std::to_string(ui.section) + ": Enter takes it, Esc drops it");
}

void EndRowEdit(bool commit) {
    Ui& ui = App();
    if (ui.editor == NULL) return;
    if (commit) {
        const int length = GetWindowTextLengthW(ui.editor);
        std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
        GetWindowTextW(ui.editor, &wide[0], length + 1);
        wide.resize(static_cast<size_t>(length));
        const size_t first = g_editRow * kRowBytes;
        const size_t count = std::min(kRowBytes, ShownBytes().size() - first);
        device::Bytes typed;
        std::string error;
        if (!benchview::ParseRowText(Utf8FromWide(wide.c_str()), count, typed, &error) ||
            !ui.bench.SetBytes(ui.section, first, typed, &error)) {
            ShowError(error);
            SetFocus(ui.editor);  // the text stays to be mended
            return;
        }
    }
    HWND editor = ui.editor;
    ui.editor = NULL;
    DestroyWindow(editor);
    SetFocus(ui.hex);
    SetStatus(commit ? "Row changed (not yet written)" : "Ready");
    Refresh();
}

bool Editing() {
    return App().editor != NULL;
}

size_t SelectedBytes(size_t* first) {
    Ui& ui = App();
    const size_t size = ShownBytes().size();
    int item = ListView_GetNextItem(ui.hex, -1, LVNI_SELECTED);
    if (item < 0 || size == 0) return 0;
    int last = item;
    for (int next = item; next >= 0; next = ListView_GetNextItem(ui.hex, next, LVNI_SELECTED))
        last = next;
    *first = static_cast<size_t>(item) * kRowBytes;
    const size_t end = std::min(size, static_cast<size_t>(last + 1) * kRowBytes);
    return end > *first ? end - *first : 0;
}

}  // namespace qmb::benchwin
