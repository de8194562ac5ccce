// What the buttons, the menu and the keys do: each hands the work to the
// model (device/Bench.h) or starts a job (DeviceJobs.h), then shows the
// result.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <memory>

#include "bench-win32/BenchIds.h"
#include "bench-win32/BenchText.h"
#include "bench-win32/BenchWindow.h"
#include "bench-win32/DeviceJobs.h"
#include "device/Patch.h"
#include "platform/AtomicFile.h"
#include "platform/Utf8.h"

namespace qmb::benchwin {

namespace {

const wchar_t kBackupFilter[] = L"Backup files (*.qmb)\0*.qmb\0All files (*.*)\0*.*\0";
const wchar_t kPatchFilter[] =
    L"Patch files (*.qmbpatch)\0*.qmbpatch\0Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";

struct MenuItem {
    int id;  // 0: a separator
    const wchar_t* text;
};

HMENU Popup(const MenuItem* items, size_t count) {
    HMENU menu = CreatePopupMenu();
    for (size_t i = 0; i < count; ++i) {
        if (items[i].id == 0) {
            AppendMenuW(menu, MF_SEPARATOR, 0, NULL);
        } else {
            AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(items[i].id), items[i].text);
        }
    }
    return menu;
}

const MenuItem kFileMenu[] = {
    {IDM_READ_ALL, L"&Read all from the device\tCtrl+R"},
    {IDM_CANCEL, L"&Cancel\tEsc"},
    {0, nullptr},
    {IDM_SAVE_BACKUP, L"&Save backup...\tCtrl+S"},
    {IDM_OPEN_REFERENCE, L"Open r&eference...\tCtrl+O"},
    {IDM_CLEAR_REFERENCE, L"C&lose reference"},
    {0, nullptr},
    {IDM_EXPORT_EDITS, L"E&xport edits as patch...\tCtrl+E"},
    {IDM_EXPORT_DIFFERENCE, L"Export &difference to reference as patch..."},
    {IDM_APPLY_PATCH, L"&Apply patch...\tCtrl+P"},
    {0, nullptr},
    {IDM_EXIT, L"E&xit\tAlt+F4"},
};
const MenuItem kEditMenu[] = {
    {IDM_UNDO, L"&Undo\tCtrl+Z"},
    {IDM_REDO, L"&Redo\tCtrl+Y"},
    {0, nullptr},
    {IDM_EDIT_ROW, L"&Edit row\tF2"},
    {IDM_TAKE_SELECTION, L"Take selected rows from reference\tCtrl+T"},
    {IDM_TAKE_SECTION, L"Take &section from reference\tCtrl+Shift+T"},
    {IDM_TAKE_ALL, L"Take e&verything from reference"},
    {IDM_REVERT_SECTION, L"Re&vert section\tCtrl+Shift+Z"},
    {0, nullptr},
    {IDM_NEXT_DIFFERENCE, L"&Next difference\tF6"},
    {IDM_PREVIOUS_DIFFERENCE, L"&Previous difference\tShift+F6"},
    {0, nullptr},
    {IDM_FOCUS_SECTIONS, L"Go to the section &table\tAlt+1"},
    {IDM_FOCUS_HEX, L"Go to the &hex rows\tAlt+2"},
};
const MenuItem kDeviceMenu[] = {
    {IDM_WRITE_CHANGES, L"&Write changes...\tCtrl+W"},
};

std::string Plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string SelectedPort() {
    const int index = static_cast<int>(SendMessageW(App().port, CB_GETCURSEL, 0, 0));
    return "COM" + std::to_string(index < 0 ? 1 : index + 1);
}

// The latest progress a worker reported; shown by the progress timer, so a
// job's progress repaints the window at most ten times a second whatever
// pace the transfers keep.
struct PendingProgress {
    bool fresh = false;
    WPARAM done = 0;
    LPARAM section = 0;
};
PendingProgress g_progress;
constexpr UINT_PTR kProgressTimer = 1;
constexpr UINT kProgressMs = 100;

void StartJobView(bool writing, const std::string& text) {
    Ui& ui = App();
    ui.busy = true;
    ui.writing = writing;
    g_progress = PendingProgress{};
    SendMessageW(ui.progress, PBM_SETPOS, 0, 0);
    SetStatus(text);
    SetTimer(ui.main, kProgressTimer, kProgressMs, NULL);
    Refresh();
}

void EndJobView() {
    Ui& ui = App();
    KillTimer(ui.main, kProgressTimer);
    ui.busy = false;
    ui.writing = false;
    Refresh();
    if (ui.closeWhenDone) {
        // Asked to close during the write: close now, asking first about
        // edits a failed write left unwritten.
        ui.closeWhenDone = false;
        PostMessageW(ui.main, WM_CLOSE, 0, 0);
    }
}

void ReadAll() {
    Ui& ui = App();
    const device::DiffSummary summary = ui.bench.Summary();
    if (summary.bytesEdited > 0 &&
        !AskYesNo("Reading the device again drops " +
                  Plural(summary.bytesEdited, "edited byte", "edited bytes") +
                  " not yet written. Read all?")) {
        return;
    }
    const std::string port = SelectedPort();
    if (!StartReadAll(ui.main, port)) {
        ShowError("The read could not be started (no thread).");
        return;
    }
    SendMessageW(ui.progress, PBM_SETRANGE32, 0, device::kLastSection);
    StartJobView(false, "Reading all sections from " + port + "...");
}

void SaveBackup() {
    Ui& ui = App();
    const std::string path = AskSavePath(L"Save backup", kBackupFilter, L"qmb",
                                         WideFromUtf8("device-" + ui.devicePort + ".qmb"));
    if (path.empty()) return;
    std::string error;
    // The dialog asked before replacing a file.
    if (!device::SaveBackupFile(path, ui.bench.DeviceSnapshot(), ui.devicePort, true, &error)) {
        ShowError(error);
        return;
    }
    SetStatus("Backup saved: " + path);
}

std::string FileName(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void OpenReference() {
    const std::string path = AskOpenPath(L"Open reference", kBackupFilter);
    if (path.empty()) return;
    device::Snapshot reference;
    std::string error;
    if (!device::LoadBackupFile(path, reference, &error)) {
        ShowError(error);
        return;
    }
    App().bench.SetReference(reference, FileName(path));
    SetStatus("Reference opened: " + path);
    Refresh();
}

void ExportPatch(bool edits) {
    Ui& ui = App();
    const device::Patch patch = edits ? ui.bench.EditsPatch() : ui.bench.ReferencePatch();
    if (patch.changes.empty()) {
        ShowError(edits ? "There are no edits to export." : "The device and the reference agree: no patch.");
        return;
    }
    const std::string path =
        AskSavePath(edits ? L"Export edits as patch" : L"Export difference as patch", kPatchFilter,
                    L"qmbpatch", edits ? L"edits.qmbpatch" : L"difference.qmbpatch");
    if (path.empty()) return;
    std::string error;
    if (!WriteFileAtomically(path, device::FormatPatch(patch), false, &error)) {
        ShowError(error);
        return;
    }
    SetStatus("Patch saved (" + Plural(patch.changes.size(), "line", "lines") + "): " + path);
}

std::string MismatchText(const std::vector<device::PatchMismatch>& mismatches) {
    std::string text = "The patch does not fit the device; nothing was changed:";
    size_t shown = 0;
    for (const device::PatchMismatch& m : mismatches) {
        if (++shown > 20) {
            text += "\n... and " + std::to_string(mismatches.size() - 20) + " more";
            break;
        }
        text += "\n" + m.text;
    }
    return text;
}

void ApplyPatchFile() {
    const std::string path = AskOpenPath(L"Apply patch", kPatchFilter);
    if (path.empty()) return;
    std::string text, error;
    device::Patch patch;
    if (!ReadWholeFile(path, text, &error)) {
        ShowError(error);
        return;
    }
    if (!device::ParsePatch(text, patch, &error)) {
        ShowError(FileName(path) + ": " + error);
        return;
    }
    std::vector<device::PatchMismatch> mismatches;
    if (!App().bench.ApplyPatch(patch, &mismatches)) {
        ShowError(MismatchText(mismatches));
        return;
    }
    SetStatus("Patch applied (not yet written): " + path);
    const std::vector<int> sections = device::PatchSections(patch);
    if (!sections.empty()) Show({sections.front(), patch.changes.front().offset});
    Refresh();
}

void WriteChanges() {
    Ui& ui = App();
    const std::vector<device::SectionWrite> plan = ui.bench.WritePlan();
    if (plan.empty()) {
        SetStatus(benchview::PlanText(plan));
        return;
    }
    const std::string folder = device::AutomaticBackupFolder();
    bool backup = !folder.empty();
    if (!ConfirmWrite(benchview::PlanText(plan), ui.devicePort, folder, &backup)) return;
    device::WriteJob job = ui.bench.MakeWriteJob(backup ? folder : "", ui.devicePort);
    SendMessageW(ui.progress, PBM_SETRANGE32, 0, static_cast<LPARAM>(plan.size()));
    if (!StartWrite(ui.main, ui.devicePort, std::move(job))) {
        ShowError("The write could not be started (no thread).");
        return;
    }
    StartJobView(true, "Writing " + Plural(plan.size(), "section", "sections") + " to " +
                           ui.devicePort + "...");
}

device::Position Here() {
    const Ui& ui = App();
    return device::Position{ui.section, ui.cursor};
}

void GoToDifference(bool next) {
    Ui& ui = App();
    const device::Position from =
        ui.section != 0 ? Here() : device::Position{next ? 0 : device::kLastSection + 1, 0};
    const std::optional<device::Position> found =
        next ? ui.bench.NextDifference(from) : ui.bench.PreviousDifference(from);
    if (!found) {
        SetStatus(next ? "No difference after this place" : "No difference before this place");
        MessageBeep(MB_OK);
        return;
    }
    Show(*found);
    SetFocus(ui.hex);
    SetStatus("Difference at section " + std::to_string(found->section) + ", offset " +
              std::to_string(found->offset));
}

void UndoRedo(bool undo) {
    Ui& ui = App();
    const std::optional<device::Position> place = undo ? ui.bench.Undo() : ui.bench.Redo();
    if (!place) {
        MessageBeep(MB_OK);
        return;
    }
    Show(*place);
    SetStatus(undo ? "Undone" : "Redone");
    Refresh();
}

void TakeSelection() {
    Ui& ui = App();
    size_t first = 0;
    const size_t count = SelectedBytes(&first);
    std::string error;
    if (count == 0) {
        ShowError("Choose the rows to take from the reference first.");
    } else if (!ui.bench.TakeFromReference(ui.section, first, count, &error)) {
        ShowError(error);
    }
    Refresh();
}

void TakeSection() {
    Ui& ui = App();
    std::string error;
    if (ui.section == 0) return;
    if (!ui.bench.TakeSectionFromReference(ui.section, &error)) ShowError(error);
    Refresh();
}

void TakeAll() {
    std::vector<int> skipped;
    const size_t changed = App().bench.TakeAllFromReference(&skipped);
    std::string text = Plural(changed, "byte", "bytes") + " taken from the reference";
    if (!skipped.empty()) {
        text += "; not taken (another length on the device): sections";
        for (int s : skipped)
            text += " " + std::to_string(s);
    }
    SetStatus(text);
    Refresh();
}

void RevertSection() {
    Ui& ui = App();
    if (ui.section != 0 && ui.bench.RevertSection(ui.section)) {
        SetStatus("Section " + std::to_string(ui.section) + " back to the device's content");
    }
    Refresh();
}

// The commands that change nothing on the device nor in the model.
bool OnViewCommand(int id) {
    Ui& ui = App();
    switch (id) {
        case IDM_NEXT_DIFFERENCE:
        case IDM_PREVIOUS_DIFFERENCE:
            GoToDifference(id == IDM_NEXT_DIFFERENCE);
            return true;
        case IDM_FOCUS_SECTIONS:
            SetFocus(ui.sections);
            return true;
        case IDM_FOCUS_HEX:
            SetFocus(ui.hex);
            return true;
        case IDM_EXIT:
            PostMessageW(ui.main, WM_CLOSE, 0, 0);
            return true;
        case IDC_DEV_CANCEL:
        case IDM_CANCEL:
        case IDCANCEL:
            if (Editing()) {
                EndRowEdit(false);
            } else if (ui.busy) {
                CancelJob();
                SetStatus(ui.writing ? "Cancelling: the section under way is finished first..."
                                     : "Cancelling...");
            }
            return true;
        default:
            return false;
    }
}

}  // namespace

HMENU BuildMenu() {
    HMENU bar = CreateMenu();
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(Popup(kFileMenu, std::size(kFileMenu))),
                L"&File");
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(Popup(kEditMenu, std::size(kEditMenu))),
                L"&Edit");
    AppendMenuW(bar, MF_POPUP,
                reinterpret_cast<UINT_PTR>(Popup(kDeviceMenu, std::size(kDeviceMenu))), L"&Device");
    return bar;
}

HACCEL BuildAccelerators() {
    ACCEL keys[] = {
        {FCONTROL | FVIRTKEY, 'R', IDM_READ_ALL},
        {FCONTROL | FVIRTKEY, 'S', IDM_SAVE_BACKUP},
        {FCONTROL | FVIRTKEY, 'O', IDM_OPEN_REFERENCE},
        {FCONTROL | FVIRTKEY, 'E', IDM_EXPORT_EDITS},
        {FCONTROL | FVIRTKEY, 'P', IDM_APPLY_PATCH},
        {FCONTROL | FVIRTKEY, 'Z', IDM_UNDO},
        {FCONTROL | FVIRTKEY, 'Y', IDM_REDO},
        {FCONTROL | FSHIFT | FVIRTKEY, 'Z', IDM_REVERT_SECTION},
        {FCONTROL | FVIRTKEY, 'T', IDM_TAKE_SELECTION},
        {FCONTROL | FSHIFT | FVIRTKEY, 'T', IDM_TAKE_SECTION},
        {FCONTROL | FVIRTKEY, 'W', IDM_WRITE_CHANGES},
        {FVIRTKEY, VK_F6, IDM_NEXT_DIFFERENCE},
        {FSHIFT | FVIRTKEY, VK_F6, IDM_PREVIOUS_DIFFERENCE},
        {FALT | FVIRTKEY, '1', IDM_FOCUS_SECTIONS},
        {FALT | FVIRTKEY, '2', IDM_FOCUS_HEX},
    };
    return CreateAcceleratorTableW(keys, static_cast<int>(std::size(keys)));
}

void OnCommand(int id) {
    Ui& ui = App();
    if (OnViewCommand(id)) return;
    if (ui.busy || Editing()) return;  // no change of the model while a job runs
    switch (id) {
        case IDC_DEV_READ:
        case IDM_READ_ALL:
            ReadAll();
            break;
        case IDC_DEV_SAVE:
        case IDM_SAVE_BACKUP:
            if (ui.bench.DeviceSnapshot().PresentCount() > 0) SaveBackup();
            break;
        case IDC_DEV_REFERENCE:
        case IDM_OPEN_REFERENCE:
            OpenReference();
            break;
        case IDM_CLEAR_REFERENCE:
            ui.bench.ClearReference();
            Refresh();
            break;
        case IDM_EXPORT_EDITS:
        case IDM_EXPORT_DIFFERENCE:
            ExportPatch(id == IDM_EXPORT_EDITS);
            break;
        case IDM_APPLY_PATCH:
            ApplyPatchFile();
            break;
        case IDC_DEV_WRITE:
        case IDM_WRITE_CHANGES:
            WriteChanges();
            break;
        case IDM_UNDO:
        case IDM_REDO:
            UndoRedo(id == IDM_UNDO);
            break;
        case IDM_EDIT_ROW:
            SetFocus(ui.hex);
            BeginRowEdit(0);
            break;
        case IDM_TAKE_SELECTION:
            TakeSelection();
            break;
        case IDM_TAKE_SECTION:
            TakeSection();
            break;
        case IDM_TAKE_ALL:
            TakeAll();
            break;
        case IDM_REVERT_SECTION:
            RevertSection();
            break;
        default:
            break;
    }
}

void OnReadProgress(WPARAM done, LPARAM section) {
    g_progress = PendingProgress{true, done, section};
}

void OnWriteProgress(WPARAM done, LPARAM section) {
    g_progress = PendingProgress{true, done, section};
}

void OnProgressTimer() {
    Ui& ui = App();
    if (!ui.busy || !g_progress.fresh) return;
    g_progress.fresh = false;
    SendMessageW(ui.progress, PBM_SETPOS, g_progress.done, 0);
    if (ui.writing) {
        device::WriteProgress p;
        p.done = g_progress.done;
        p.section = static_cast<int>(g_progress.section);
        p.total = ui.bench.WritePlan().size();
        SetStatus(benchview::WriteProgressText(p));
    } else {
        device::ReadProgress p;
        p.done = static_cast<int>(g_progress.done);
        p.section = static_cast<int>(g_progress.section);
        SetStatus(benchview::ReadProgressText(p));
    }
}

bool NothingRead(const device::Snapshot& snapshot) {
    for (int n = device::kFirstSection; n <= device::kLastSection; ++n) {
        if (snapshot.At(n).presence != device::Presence::kNotRead) return false;
    }
    return true;
}

void OnReadDone(LPARAM lParam) {
    std::unique_ptr<ReadOutcome> outcome(reinterpret_cast<ReadOutcome*>(lParam));
    Ui& ui = App();
    // A read that reached no section (the port would not open, Cancel at
    // once) leaves what the window held, edits included.
    if (!NothingRead(outcome->result.snapshot) || !outcome->result.failure.Failed()) {
        ui.bench.SetDevice(outcome->result.snapshot);
        ui.devicePort = outcome->port;
    }
    const device::Snapshot& s = ui.bench.DeviceSnapshot();
    const std::string read = Plural(static_cast<size_t>(s.PresentCount()), "section", "sections") +
                             " present, " + Plural(s.PresentBytes(), "byte", "bytes");
    const device::Failure& failure = outcome->result.failure;
    if (!failure.Failed()) SendMessageW(ui.progress, PBM_SETPOS, device::kLastSection, 0);
    EndJobView();
    if (failure.fault == device::Fault::kInterrupted) {
        SetStatus("Cancelled; " + read + " read from " + outcome->port);
    } else if (failure.Failed()) {
        SetStatus(failure.message);
        ShowError(failure.message);
    } else {
        SetStatus("Read all from " + outcome->port + ": " + read);
    }
    if (ui.section == 0 && s.PresentCount() > 0) {
        for (int n = device::kFirstSection; n <= device::kLastSection; ++n) {
            if (s.At(n).presence == device::Presence::kPresent) {
                Show({n, 0});
                break;
            }
        }
    }
    Refresh();
}

void OnWriteDone(LPARAM lParam) {
    std::unique_ptr<WriteOutcome> outcome(reinterpret_cast<WriteOutcome*>(lParam));
    Ui& ui = App();
    ui.bench.TakeWritten(outcome->result);
    const std::string text = benchview::WriteOutcomeText(outcome->result);
    SendMessageW(ui.progress, PBM_SETPOS, outcome->result.written.size(), 0);
    const bool closing = ui.closeWhenDone;
    EndJobView();
    if (closing) return;  // the window closes
    SetStatus(text);
    if (outcome->result.failure.Failed() &&
        outcome->result.failure.fault != device::Fault::kInterrupted) {
        std::string box = text;
        for (const std::string& line : outcome->result.mismatches)
            box += "\n" + line;
        ShowError(box);
    }
    Refresh();
}

bool MayClose() {
    Ui& ui = App();
    if (ui.busy && ui.writing) {
        // Never cut a section between its write and its commit: the write
        // stops before its next section and the window closes then.
        ui.closeWhenDone = true;
        CancelJob();
        SetStatus("Closing once the section under way is written...");
        return false;
    }
    // A read-all ends with the process (nothing is written on a read).
    if (ui.busy) return true;
    const device::DiffSummary summary = ui.bench.Summary();
    if (summary.bytesEdited == 0) return true;
    return AskYesNo(Plural(summary.bytesEdited, "edited byte is", "edited bytes are") +
                    " not yet written to the device. Close and drop them?");
}

}  // namespace qmb::benchwin
