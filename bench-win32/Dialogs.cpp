// The boxes qmb-device.exe asks through: the system's file dialogs, the
// write plan's confirmation (dialog IDD_WRITE_PLAN of qmb-device.rc) and
// yes/no questions. Each is owned by the main window and runs its own
// message loop, so the window keeps painting while it is up.
#include <windows.h>
// After windows.h, which it needs.
#include <commdlg.h>

#include <vector>

#include "bench-win32/BenchIds.h"
#include "bench-win32/BenchWindow.h"
#include "platform/Utf8.h"

namespace qmb::benchwin {

namespace {

constexpr DWORD kPathChars = 32768;  // the longest path Windows takes

struct PlanDialog {
    std::wstring plan, where;
    bool backupPossible = false;
    bool backup = false;
};

std::string AskPath(bool save, const wchar_t* title, const wchar_t* filter,
                    const wchar_t* extension, const std::wstring& suggested) {
    std::vector<wchar_t> path(kPathChars, L'\0');
    suggested.copy(path.data(), std::min<size_t>(suggested.size(), kPathChars - 1));
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = App().main;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = kPathChars;
    dialog.lpstrTitle = title;
    dialog.lpstrDefExt = extension;
    dialog.Flags = OFN_EXPLORER | OFN_NOCHANGEDIR | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST |
                   (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
    const BOOL chosen = save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog);
    return chosen ? Utf8FromWide(path.data()) : std::string();
}

INT_PTR CALLBACK PlanProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* plan = reinterpret_cast<PlanDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG:
            plan = reinterpret_cast<PlanDialog*>(lParam);
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            SetDlgItemTextW(dialog, IDC_PLAN_TEXT, plan->plan.c_str());
            SetDlgItemTextW(dialog, IDC_PLAN_WHERE, plan->where.c_str());
            CheckDlgButton(dialog, IDC_PLAN_BACKUP, plan->backupPossible ? BST_CHECKED : BST_UNCHECKED);
            EnableWindow(GetDlgItem(dialog, IDC_PLAN_BACKUP), plan->backupPossible);
            // The focus starts on Cancel: a stray Enter writes nothing.
            SetFocus(GetDlgItem(dialog, IDCANCEL));
            return FALSE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                plan->backup = IsDlgButtonChecked(dialog, IDC_PLAN_BACKUP) == BST_CHECKED;
                EndDialog(dialog, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

std::string AskOpenPath(const wchar_t* title, const wchar_t* filter) {
    return AskPath(false, title, filter, nullptr, L"");
}

std::string AskSavePath(const wchar_t* title, const wchar_t* filter, const wchar_t* extension,
                        const std::wstring& suggested) {
    return AskPath(true, title, filter, extension, suggested);
}

bool ConfirmWrite(const std::string& planText, const std::string& port, const std::string& folder,
                  bool* backup) {
    PlanDialog plan;
    plan.plan = WideFromUtf8("To " + port + ":\r\n" + planText);
    plan.backupPossible = !folder.empty();
    plan.where = WideFromUtf8(
        folder.empty() ? "There is no data folder: no automatic backup can be taken."
                       : "Before the first byte is written, the device's content as read is "
                         "saved to " + folder);
    const INT_PTR answer = DialogBoxParamW(App().instance, MAKEINTRESOURCEW(IDD_WRITE_PLAN),
                                           App().main, &PlanProc, reinterpret_cast<LPARAM>(&plan));
    *backup = plan.backup && plan.backupPossible;
    return answer == IDOK;
}

bool AskYesNo(const std::string& text) {
    return MessageBoxW(App().main, WideFromUtf8(text).c_str(), kProgramTitle,
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

}  // namespace qmb::benchwin
