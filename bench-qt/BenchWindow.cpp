#include "bench-qt/BenchWindow.h"

#include <QApplication>
#include <cstdio>
#include <functional>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QVBoxLayout>

#include "bench-qt/CommandLine.h"
#include "bench-qt/HexView.h"
#include "bench-qt/SectionTable.h"
#include "bench-qt/WriteDialog.h"
#include "link/PosixPort.h"
#include "link/SystemPort.h"
#include "platform/Utf8.h"
#include "protocol/HexBytes.h"
#include "protocol/TraceFile.h"

namespace qmb::bench {

namespace {
// A patch file is a few lines; anything larger is no patch.
constexpr qint64 kMaxPatchFile = 1 << 20;

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

QString HexAddress(const uint8_t a[3]) {
    return Q(HexPairs(a, 3));
}

// Frames to the QMB_TRACE file and to the tests' sink alike.
class TraceFanOut : public TraceSink {
  public:
    TraceFanOut(TraceSink* a, TraceSink* b) : a_(a), b_(b) {}
    void OnTrace(const TraceEvent& event) override {
        if (a_) a_->OnTrace(event);
        if (b_) b_->OnTrace(event);
    }

  private:
    TraceSink* a_;
    TraceSink* b_;
};

TraceFile* EnvironmentTrace() {
    static TraceFile* trace = [] {
        const std::string path = EnvironmentValue(kTraceVariable);
        if (path.empty()) return static_cast<TraceFile*>(nullptr);
        auto* file = new TraceFile;  // kept for the process: workers may trace late
        if (!file->Open(path, "qmb-device")) {
            std::fprintf(stderr, "qmb-device: no frame trace: cannot open %s\n", path.c_str());
            delete file;
            return static_cast<TraceFile*>(nullptr);
        }
        return file;
    }();
    return trace;
}
}  // namespace

BenchWindow::BenchWindow(const QString& port, QWidget* parent)
    : QMainWindow(parent), ticks_(MakeSystemTicks()) {
    setWindowTitle(QStringLiteral("qmb-device"));
    BuildLayout();
    BuildActions();
    port_->setCurrentIndex(std::max<int>(0, static_cast<int>(PortNames().indexOf(port))));
    Refresh();
    SetStatus(tr("Choose the port and press Read all (Ctrl+R)."));
    resize(1000, 700);
}

BenchWindow::~BenchWindow() {
    CancelWork();
    if (worker_.joinable()) worker_.join();
}

// ---------------------------------------------------------------------------
// Building the window

void BenchWindow::BuildLayout() {
    auto* central = new QWidget;
    auto* top = new QHBoxLayout;
    auto* portLabel = new QLabel(tr("&Port:"));
    port_ = new QComboBox;
    for (const QString& name : PortNames()) {
        port_->addItem(name);
        // The tooltip names the device the port opens (the port map applied).
        port_->setItemData(port_->count() - 1, Q(PosixDevicePath(name.toLatin1().constData())),
                           Qt::ToolTipRole);
    }
    portLabel->setBuddy(port_);
    top->addWidget(portLabel);
    top->addWidget(port_);
    progress_ = new QProgressBar;
    progress_->setRange(0, 255);
    progress_->setValue(0);
    progress_->setFormat(tr("%v of %m"));
    progress_->setTextVisible(true);
    top->addWidget(progress_, 1);
    cancelButton_ = new QPushButton(tr("Cancel"));
    cancelButton_->setEnabled(false);
    top->addWidget(cancelButton_);
    connect(cancelButton_, &QPushButton::clicked, this, &BenchWindow::CancelWork);

    sections_ = new SectionTable(this);
    table_ = new QTableView;
    table_->setModel(sections_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
    table_->horizontalHeader()->setStretchLastSection(true);
    // Columns as wide as their widest text, so the table needs no sideways
    // scrolling at 1024 x 768.
    const QFontMetrics metrics = table_->fontMetrics();
    const int pad = metrics.horizontalAdvance(QLatin1Char('0')) * 2;
    const QString widest[] = {tr("Section"), QStringLiteral("00 00 00"), tr("Length"),
                              QStringLiteral("00000000")};
    for (int c = 0; c < SectionTable::kState; ++c)
        table_->setColumnWidth(c, metrics.horizontalAdvance(widest[c]) + pad);
    int tableWidth = metrics.horizontalAdvance(QStringLiteral("only on the device")) + pad;
    for (int c = 0; c < SectionTable::kState; ++c)
        tableWidth += table_->columnWidth(c);
    table_->setTabKeyNavigation(false);
    table_->setAccessibleName(tr("Sections"));

    hex_ = new HexView;
    sectionTitle_ = new QLabel;
    sectionTitle_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    cursorInfo_ = new QLabel;
    hexEntry_ = new QLineEdit;
    hexEntry_->setPlaceholderText(tr("hex bytes to put at the cursor, e.g. 00 01 (Enter)"));
    auto* entryLabel = new QLabel(tr("&Type hex:"));
    entryLabel->setBuddy(hexEntry_);
    connect(hexEntry_, &QLineEdit::returnPressed, this, [this] {
        if (EnterHex(hexEntry_->text())) hexEntry_->clear();
    });
    auto* legend = new QLabel(tr("Underlined, D: differs from the reference.  Bold on a tint, "
                                 "E: edited, not yet written."));
    legend->setWordWrap(true);

    auto* right = new QWidget;
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->addWidget(sectionTitle_);
    rightLayout->addWidget(hex_, 1);
    rightLayout->addWidget(cursorInfo_);
    auto* entryRow = new QHBoxLayout;
    entryRow->addWidget(entryLabel);
    entryRow->addWidget(hexEntry_, 1);
    rightLayout->addLayout(entryRow);
    rightLayout->addWidget(legend);

    auto* splitter = new QSplitter;
    splitter->addWidget(table_);
    splitter->addWidget(right);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setChildrenCollapsible(false);
    table_->setMinimumWidth(tableWidth + table_->verticalScrollBar()->sizeHint().width() +
                            table_->frameWidth() * 2);
    hex_->setMinimumWidth(hex_->RowWidthHint());

    summary_ = new QLabel;
    summary_->setAccessibleName(tr("Summary"));
    auto* layout = new QVBoxLayout(central);
    layout->addLayout(top);
    layout->addWidget(splitter, 1);
    layout->addWidget(summary_);
    setCentralWidget(central);
    status_ = new QLabel;
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    statusBar()->addWidget(status_, 1);

    connect(table_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid()) {
                    section_ = sections_->Rows()[current.row()].number;
                    RefreshSection();
                }
            });
    connect(table_, &QTableView::activated, this, [this] { hex_->setFocus(); });
    connect(hex_, &HexView::ByteTyped, this, [this](int offset, quint8 value) {
        if (RefuseWhileBusy()) return;
        std::string error;
        const bool changed = bench_.SetBytes(section_, static_cast<size_t>(offset),
                                             device::Bytes{value}, &error);
        AfterEdit(changed, error);
    });
    connect(hex_, &HexView::CursorMoved, this, &BenchWindow::ShowCursorInfo);
}

QAction* BenchWindow::AddAction(QMenu* menu, const QString& text, const QKeySequence& key,
                                void (BenchWindow::*slot)()) {
    auto* action = menu->addAction(text);
    if (!key.isEmpty()) action->setShortcut(key);
    action->setShortcutContext(Qt::WindowShortcut);
    connect(action, &QAction::triggered, this, slot);
    return action;
}

void BenchWindow::BuildActions() {
    QMenu* device = menuBar()->addMenu(tr("&Device"));
    readAll_ = AddAction(device, tr("&Read all"), QKeySequence(tr("Ctrl+R")), &BenchWindow::ReadAll);
    cancel_ = AddAction(device, tr("&Cancel"), QKeySequence(Qt::Key_Escape), &BenchWindow::CancelWork);
    write_ = AddAction(device, tr("&Write changes..."), QKeySequence(tr("Ctrl+Shift+W")),
                       &BenchWindow::ConfirmWrite);
    device->addSeparator();
    saveBackup_ = AddAction(device, tr("&Save backup..."), QKeySequence::Save,
                            &BenchWindow::SaveBackupDialog);
    openReference_ = AddAction(device, tr("&Open reference..."), QKeySequence::Open,
                               &BenchWindow::OpenReferenceDialog);
    device->addSeparator();
    exportEdits_ = AddAction(device, tr("&Export edits as patch..."), QKeySequence(tr("Ctrl+E")),
                             &BenchWindow::ExportEditsDialog);
    exportDifference_ = AddAction(device, tr("Export &difference from reference as patch..."),
                                  QKeySequence(tr("Ctrl+Shift+E")),
                                  &BenchWindow::ExportDifferenceDialog);
    applyPatch_ = AddAction(device, tr("&Apply patch..."), QKeySequence(tr("Ctrl+P")),
                            &BenchWindow::ApplyPatchDialog);
    device->addSeparator();
    device->addAction(tr("&Quit"), QKeySequence::Quit, this, &QWidget::close);

    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    undo_ = AddAction(edit, tr("&Undo"), QKeySequence::Undo, &BenchWindow::Undo);
    redo_ = AddAction(edit, tr("&Redo"), QKeySequence(tr("Ctrl+Y")), &BenchWindow::Redo);
    redo_->setShortcuts({QKeySequence(tr("Ctrl+Y")), QKeySequence(tr("Ctrl+Shift+Z"))});
    edit->addSeparator();
    typeHex_ = edit->addAction(tr("&Type hex at the cursor"));
    typeHex_->setShortcut(QKeySequence(Qt::Key_F2));
    connect(typeHex_, &QAction::triggered, this, [this] { hexEntry_->setFocus(); });
    takeSelection_ = AddAction(edit, tr("Take &selection from reference"),
                               QKeySequence(tr("Ctrl+T")), &BenchWindow::TakeSelectionFromReference);
    takeSection_ = AddAction(edit, tr("Take s&ection from reference"),
                             QKeySequence(tr("Ctrl+Shift+T")), &BenchWindow::TakeSectionFromReference);
    takeAll_ = AddAction(edit, tr("Take &all from reference"), QKeySequence(tr("Ctrl+Alt+T")),
                         &BenchWindow::TakeAllFromReference);
    revert_ = AddAction(edit, tr("Re&vert section"), QKeySequence(tr("Ctrl+Shift+R")),
                        &BenchWindow::RevertSection);

    QMenu* go = menuBar()->addMenu(tr("&Go"));
    nextDiff_ = AddAction(go, tr("&Next difference"), QKeySequence(Qt::Key_F6),
                          &BenchWindow::NextDifference);
    prevDiff_ = AddAction(go, tr("&Previous difference"), QKeySequence(Qt::SHIFT | Qt::Key_F6),
                          &BenchWindow::PreviousDifference);
    go->addSeparator();
    QAction* toTable = go->addAction(tr("Section &table"));
    toTable->setShortcut(QKeySequence(tr("Ctrl+1")));
    connect(toTable, &QAction::triggered, this, [this] { table_->setFocus(); });
    QAction* toHex = go->addAction(tr("&Hex view"));
    toHex->setShortcut(QKeySequence(tr("Ctrl+2")));
    connect(toHex, &QAction::triggered, this, [this] { hex_->setFocus(); });
}

// ---------------------------------------------------------------------------
// Showing the model

void BenchWindow::Refresh() {
    std::vector<SectionRow> rows;
    rows.reserve(device::kLastSection);
    for (int n = device::kFirstSection; n <= device::kLastSection; ++n) {
        const device::SectionRow r = bench_.Row(n);
        SectionRow row;
        row.number = n;
        const bool known = r.presence != device::Presence::kNotRead ||
                           r.state == device::SectionState::kOnlyFile;
        if (known && r.length > 0) {
            row.address = HexAddress(r.address);
            row.crc = QStringLiteral("%1").arg(r.crc32, 8, 16, QLatin1Char('0')).toUpper();
        }
        if (known) row.length = QString::number(r.length);
        row.state = QString::fromLatin1(device::SectionStateName(r.state));
        row.marked = r.state == device::SectionState::kEdited ||
                     r.state == device::SectionState::kDifferent ||
                     r.state == device::SectionState::kOnlyDevice ||
                     r.state == device::SectionState::kOnlyFile;
        rows.push_back(std::move(row));
    }
    sections_->SetRows(std::move(rows));
    summary_->setText(bench_.HasReference() ? tr("%1 (reference: %2)")
                                                  .arg(Q(bench_.SummaryText()),
                                                       Q(bench_.ReferenceLabel()))
                                            : Q(bench_.SummaryText()));
    const int row = sections_->RowOf(section_);
    if (table_->currentIndex().row() != row) {
        table_->setCurrentIndex(sections_->index(row, 0));
    }
    RefreshSection();
}

void BenchWindow::RefreshSection() {
    const device::SectionRow r = bench_.Row(section_);
    const QString state = QString::fromLatin1(device::SectionStateName(r.state));
    if (r.presence == device::Presence::kPresent) {
        hex_->SetBytes(bench_.Working(section_), bench_.Marks(section_), !Busy());
        sectionTitle_->setText(tr("Section %1 — address %2, %3 bytes — %4")
                                   .arg(section_)
                                   .arg(HexAddress(r.address))
                                   .arg(r.length)
                                   .arg(state));
    } else if (r.state == device::SectionState::kOnlyFile) {
        // The reference's bytes, to look at: the device has no such section.
        const device::SnapshotSection& ref = bench_.Reference().At(section_);
        hex_->SetBytes(ref.bytes, std::vector<uint8_t>(ref.bytes.size(), kMarkDiffers), false);
        sectionTitle_->setText(tr("Section %1 — absent on the device; the reference's %2 bytes")
                                   .arg(section_)
                                   .arg(ref.bytes.size()));
    } else {
        hex_->SetBytes({}, {}, false);
        sectionTitle_->setText(tr("Section %1 — %2").arg(section_).arg(state));
    }
    ShowCursorInfo();
    UpdateActions();
}

void BenchWindow::ShowCursorInfo() {
    const device::SnapshotSection& dev = bench_.DeviceSnapshot().At(section_);
    const size_t at = static_cast<size_t>(hex_->CursorOffset());
    if (dev.presence != device::Presence::kPresent || at >= dev.bytes.size()) {
        cursorInfo_->clear();
        return;
    }
    QString text = tr("Offset %1: device %2, working %3")
                       .arg(at)
                       .arg(Q(HexPairs(&dev.bytes[at], 1)))
                       .arg(Q(HexPairs(&bench_.Working(section_)[at], 1)));
    if (bench_.HasReference()) {
        const device::SnapshotSection& ref = bench_.Reference().At(section_);
        text += ref.presence == device::Presence::kPresent && at < ref.bytes.size()
                    ? tr(", reference %1").arg(Q(HexPairs(&ref.bytes[at], 1)))
                    : tr(", reference none");
    }
    if (hex_->SelectionLast() > hex_->SelectionFirst())
        text += tr("  (%1 bytes selected)").arg(hex_->SelectionLast() - hex_->SelectionFirst() + 1);
    cursorInfo_->setText(text);
}

void BenchWindow::UpdateActions() {
    const bool busy = Busy();
    const bool present = bench_.DeviceSnapshot().At(section_).presence == device::Presence::kPresent;
    const bool reference = bench_.HasReference();
    const bool anyRead = bench_.DeviceSnapshot().PresentCount() > 0;
    readAll_->setEnabled(!busy);
    port_->setEnabled(!busy);
    cancel_->setEnabled(busy);
    cancelButton_->setEnabled(busy);
    write_->setEnabled(!busy && !bench_.WritePlan().empty());
    saveBackup_->setEnabled(!busy && bench_.DeviceSnapshot().Complete());
    openReference_->setEnabled(!busy);
    exportEdits_->setEnabled(!busy && anyRead);
    exportDifference_->setEnabled(!busy && anyRead && reference);
    applyPatch_->setEnabled(!busy && anyRead);
    undo_->setEnabled(!busy && bench_.CanUndo());
    redo_->setEnabled(!busy && bench_.CanRedo());
    nextDiff_->setEnabled(!busy && reference);
    prevDiff_->setEnabled(!busy && reference);
    takeSelection_->setEnabled(!busy && reference && present);
    takeSection_->setEnabled(!busy && reference && present);
    takeAll_->setEnabled(!busy && reference && anyRead);
    revert_->setEnabled(!busy && present);
    typeHex_->setEnabled(!busy && present);
    hexEntry_->setEnabled(!busy && present);
}

void BenchWindow::SetStatus(const QString& text) {
    status_->setText(text);
}

QString BenchWindow::StatusText() const {
    return status_->text();
}

WriteDialog* BenchWindow::Confirmation() const {
    return dialog_.data();
}

QString BenchWindow::SummaryText() const {
    return summary_->text();
}

bool BenchWindow::RefuseWhileBusy() {
    if (!Busy()) return false;
    QApplication::beep();
    SetStatus(tr("Wait for the device's work to end, or Cancel it (Esc)."));
    return true;
}

void BenchWindow::SelectSection(int number) {
    if (number < device::kFirstSection || number > device::kLastSection) return;
    section_ = number;
    table_->setCurrentIndex(sections_->index(sections_->RowOf(number), 0));
    RefreshSection();
}

void BenchWindow::ShowAt(const device::Position& where) {
    SelectSection(where.section);
    hex_->SetCursorOffset(static_cast<int>(where.offset));
    hex_->setFocus();
}

// ---------------------------------------------------------------------------
// Edits

void BenchWindow::AfterEdit(bool changed, const std::string& error) {
    if (!error.empty()) {
        QApplication::beep();
        SetStatus(Q(error));
    }
    if (changed || error.empty()) Refresh();
}

bool BenchWindow::EnterHex(const QString& text) {
    if (RefuseWhileBusy()) return false;
    std::string error;
    const bool changed = bench_.EnterHex(section_, static_cast<size_t>(hex_->CursorOffset()),
                                         text.toStdString(), &error);
    AfterEdit(changed, error);
    return error.empty();
}

void BenchWindow::TakeSelectionFromReference() {
    if (RefuseWhileBusy()) return;
    std::string error;
    const int first = hex_->SelectionFirst();
    const bool changed = bench_.TakeFromReference(section_, static_cast<size_t>(first),
                                                  static_cast<size_t>(hex_->SelectionLast() - first + 1),
                                                  &error);
    AfterEdit(changed, error);
}

void BenchWindow::TakeSectionFromReference() {
    if (RefuseWhileBusy()) return;
    std::string error;
    AfterEdit(bench_.TakeSectionFromReference(section_, &error), error);
}

void BenchWindow::TakeAllFromReference() {
    if (RefuseWhileBusy()) return;
    std::vector<int> skipped;
    const size_t changed = bench_.TakeAllFromReference(&skipped);
    QString text = tr("%n byte(s) taken from the reference.", nullptr, static_cast<int>(changed));
    if (!skipped.empty())
        text += tr(" Not taken (another length in the reference): %1.")
                    .arg(Q(device::FormatSectionList(skipped)));
    SetStatus(text);
    Refresh();
}

void BenchWindow::RevertSection() {
    if (RefuseWhileBusy()) return;
    if (!bench_.RevertSection(section_)) SetStatus(tr("Section %1 has no edit.").arg(section_));
    Refresh();
}

void BenchWindow::Undo() {
    if (RefuseWhileBusy()) return;
    if (const auto where = bench_.Undo()) {
        Refresh();
        ShowAt(*where);
    }
}

void BenchWindow::Redo() {
    if (RefuseWhileBusy()) return;
    if (const auto where = bench_.Redo()) {
        Refresh();
        ShowAt(*where);
    }
}

void BenchWindow::NextDifference() {
    if (RefuseWhileBusy()) return;
    const auto where = bench_.NextDifference({section_, static_cast<size_t>(hex_->CursorOffset())});
    if (where) ShowAt(*where);
    else SetStatus(tr("No difference after this one."));
}

void BenchWindow::PreviousDifference() {
    if (RefuseWhileBusy()) return;
    const auto where =
        bench_.PreviousDifference({section_, static_cast<size_t>(hex_->CursorOffset())});
    if (where) ShowAt(*where);
    else SetStatus(tr("No difference before this one."));
}

// ---------------------------------------------------------------------------
// Files

bool BenchWindow::SaveBackup(const QString& path) {
    if (RefuseWhileBusy()) return false;
    if (!bench_.DeviceSnapshot().Complete()) {
        SetStatus(tr("Read all of the device first: a backup holds every section."));
        return false;
    }
    std::string error;
    if (!device::SaveBackupFile(path.toStdString(), bench_.DeviceSnapshot(),
                                snapshotPort_.toStdString(), true, &error)) {
        SetStatus(Q(error));
        return false;
    }
    SetStatus(tr("Backup saved in %1.").arg(path));
    return true;
}

bool BenchWindow::OpenReference(const QString& path) {
    if (RefuseWhileBusy()) return false;
    device::Snapshot reference;
    std::string error;
    if (!device::LoadBackupFile(path.toStdString(), reference, &error)) {
        SetStatus(Q(error));
        return false;
    }
    bench_.SetReference(reference, QFileInfo(path).fileName().toStdString());
    SetStatus(tr("Reference: %1.").arg(path));
    Refresh();
    return true;
}

bool BenchWindow::ExportPatch(const QString& path, bool edits) {
    if (RefuseWhileBusy()) return false;
    const device::Patch patch = edits ? bench_.EditsPatch() : bench_.ReferencePatch();
    const std::string text = device::FormatPatch(patch);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.commit()) {
        SetStatus(tr("%1: not written: %2").arg(path, file.errorString()));
        return false;
    }
    SetStatus(tr("Patch of %n change(s) written to %1.", nullptr, static_cast<int>(patch.changes.size()))
                  .arg(path));
    return true;
}

bool BenchWindow::ApplyPatchFile(const QString& path) {
    if (RefuseWhileBusy()) return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        SetStatus(tr("%1: %2").arg(path, file.errorString()));
        return false;
    }
    const QByteArray text = file.read(kMaxPatchFile + 1);
    if (text.size() > kMaxPatchFile) {
        SetStatus(tr("%1: larger than a patch can be (1 MiB)").arg(path));
        return false;
    }
    device::Patch patch;
    std::string error;
    if (!device::ParsePatch(text.toStdString(), patch, &error)) {
        SetStatus(tr("%1: %2").arg(path, Q(error)));
        return false;
    }
    std::vector<device::PatchMismatch> mismatches;
    if (!bench_.ApplyPatch(patch, &mismatches)) {
        QStringList lines;
        for (const auto& m : mismatches)
            lines << Q(m.text);
        SetStatus(tr("Patch refused: %n byte(s) are not what the device holds.", nullptr,
                     static_cast<int>(mismatches.size())));
        auto* box = new QMessageBox(QMessageBox::Warning, tr("Patch refused"),
                                    tr("%1 was not applied: the device does not hold its old "
                                       "bytes. Nothing was changed.")
                                        .arg(QFileInfo(path).fileName()),
                                    QMessageBox::Ok, this);
        box->setDetailedText(lines.join(QLatin1Char('\n')));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setObjectName(QStringLiteral("patchRefused"));
        box->open();
        return false;
    }
    SetStatus(tr("Patch applied: %n change(s), not yet written.", nullptr,
                 static_cast<int>(patch.changes.size())));
    Refresh();
    return true;
}

void BenchWindow::OpenReferenceDialog() {
    const QString path = QFileDialog::getOpenFileName(this, tr("Open reference"), {},
                                                      tr("Backups (*.qmb *.txt);;All files (*)"));
    if (!path.isEmpty()) OpenReference(path);
}

void BenchWindow::SaveBackupDialog() {
    const QString name = QStringLiteral("%1_%2.qmb")
                             .arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH-mm-ssZ")),
                                  snapshotPort_);
    const QString path = QFileDialog::getSaveFileName(this, tr("Save backup"), name,
                                                      tr("Backups (*.qmb);;All files (*)"));
    if (!path.isEmpty()) SaveBackup(path);
}

void BenchWindow::ExportEditsDialog() {
    const QString path = QFileDialog::getSaveFileName(this, tr("Export edits as patch"),
                                                      QStringLiteral("edits.qmbpatch"),
                                                      tr("Patches (*.qmbpatch);;All files (*)"));
    if (!path.isEmpty()) ExportPatch(path, true);
}

void BenchWindow::ExportDifferenceDialog() {
    const QString path = QFileDialog::getSaveFileName(this, tr("Export difference as patch"),
                                                      QStringLiteral("difference.qmbpatch"),
                                                      tr("Patches (*.qmbpatch);;All files (*)"));
    if (!path.isEmpty()) ExportPatch(path, false);
}

void BenchWindow::ApplyPatchDialog() {
    const QString path = QFileDialog::getOpenFileName(this, tr("Apply patch"), {},
                                                      tr("Patches (*.qmbpatch);;All files (*)"));
    if (!path.isEmpty()) ApplyPatchFile(path);
}

// ---------------------------------------------------------------------------
// The device's work

void BenchWindow::RunWorker(const QString& port, std::function<void(device::Device&)> work,
                            std::function<void()> done) {
    stopRead_.store(false);
    progressPosted_.store(false);
    TraceSink* environment = EnvironmentTrace();
    TraceSink* extra = extraTrace_;
    worker_ = std::thread([this, port, work = std::move(work), done = std::move(done),
                           environment, extra] {
        TraceFanOut trace(environment, extra);
        {
            device::Device dev(MakeSystemPort(), *ticks_);
            dev.SetTraceSink(&trace);
            {
                std::lock_guard<std::mutex> lock(deviceMutex_);
                device_ = &dev;
                if (stopRead_.load()) dev.RequestStop();
            }
            work(dev);
            std::lock_guard<std::mutex> lock(deviceMutex_);
            device_ = nullptr;
        }
        QMetaObject::invokeMethod(this, done, Qt::QueuedConnection);
    });
    UpdateActions();
    hex_->SetBytes(hex_->Bytes(), hex_->Marks(), false);
}

void BenchWindow::PostProgress(int done, int total, int section, bool writing) {
    progressDone_.store(done);
    progressTotal_.store(total);
    progressSection_.store(section);
    progressWriting_.store(writing);
    // One queued call at a time: the GUI thread shows the newest figures.
    if (!progressPosted_.exchange(true))
        QMetaObject::invokeMethod(this, &BenchWindow::ShowProgress, Qt::QueuedConnection);
}

void BenchWindow::ShowProgress() {
    progressPosted_.store(false);
    const int total = progressTotal_.load(), section = progressSection_.load();
    progress_->setRange(0, std::max(1, total));
    progress_->setValue(progressDone_.load());
    if (progressWriting_.load()) {
        SetStatus(section == 0 ? tr("Saving the automatic backup...")
                               : tr("Writing section %1...").arg(section));
    } else if (section != 0) {
        SetStatus(tr("Reading section %1...").arg(section));
    }
}

void BenchWindow::CancelWork() {
    if (!Busy()) return;
    if (writeCancel_) {
        writeCancel_->store(true);
        SetStatus(tr("Cancelling: the section under way is finished first..."));
        return;
    }
    stopRead_.store(true);
    std::lock_guard<std::mutex> lock(deviceMutex_);
    if (device_) device_->RequestStop();
    SetStatus(tr("Cancelling..."));
}

void BenchWindow::ReadAll() {
    if (RefuseWhileBusy()) return;
    if (!bench_.WritePlan().empty()) {
        const auto answer = QMessageBox::question(
            this, tr("Read all"),
            tr("The edits not yet written are lost when the device is read again. Read all?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) return;
    }
    const QString port = port_->currentText();
    writeCancel_.reset();
    auto result = std::make_shared<device::ReadResult>();
    progress_->setRange(0, 255);
    progress_->setValue(0);
    SetStatus(tr("Opening %1...").arg(port));
    RunWorker(
        port,
        [this, port, result](device::Device& dev) {
            try {
                dev.Open(port.toStdString());
            } catch (const device::DeviceFault& fault) {
                result->failure = {fault.Kind(), 0, fault.what()};
                return;
            }
            *result = device::ReadAll(dev, [this](const device::ReadProgress& p) {
                PostProgress(p.done, p.total, p.section, false);
            });
        },
        [this, result, port] { FinishRead(std::move(*result), port); });
}

void BenchWindow::FinishRead(device::ReadResult result, const QString& port) {
    worker_.join();
    const device::Snapshot& read = result.snapshot;
    const bool nothing = read.PresentCount() == 0 && !read.Complete() &&
                         result.failure.Failed();
    if (!nothing || bench_.DeviceSnapshot().PresentCount() == 0) {
        bench_.SetDevice(read);
        snapshotPort_ = port;
    }
    progress_->setValue(progressDone_.load());
    if (!result.failure.Failed()) {
        SetStatus(tr("Read %1: %2 sections present, %3 bytes.")
                      .arg(port)
                      .arg(read.PresentCount())
                      .arg(read.PresentBytes()));
    } else if (result.failure.fault == device::Fault::kInterrupted) {
        SetStatus(tr("Read all cancelled: the sections read so far are shown, the rest are "
                     "not read."));
    } else {
        SetStatus(tr("Read all failed: %1").arg(Q(result.failure.message)));
    }
    Refresh();
    emit WorkFinished();
    if (closeWhenDone_) close();
}

void BenchWindow::ConfirmWrite() {
    if (RefuseWhileBusy()) return;
    const std::vector<device::SectionWrite> plan = bench_.WritePlan();
    if (plan.empty()) {
        SetStatus(tr("Nothing to write: no section's bytes change."));
        return;
    }
    if (dialog_) dialog_->deleteLater();
    dialog_ = new WriteDialog(plan, snapshotPort_, Q(device::AutomaticBackupFolder()), this);
    dialog_->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog_, &QDialog::accepted, this, [this] {
        if (dialog_) StartWrite(dialog_->BackupWanted());
    });
    dialog_->open();
}

void BenchWindow::StartWrite(bool automaticBackup) {
    if (RefuseWhileBusy()) return;
    if (bench_.WritePlan().empty()) {
        SetStatus(tr("Nothing to write: no section's bytes change."));
        return;
    }
    const std::string folder = automaticBackup ? device::AutomaticBackupFolder() : std::string();
    if (automaticBackup && folder.empty()) {
        SetStatus(tr("No data folder is known for the automatic backup: nothing written."));
        return;
    }
    auto job = std::make_shared<device::WriteJob>(bench_.MakeWriteJob(folder, snapshotPort_.toStdString()));
    writeCancel_ = job->cancel;
    auto result = std::make_shared<device::WriteResult>();
    const QString port = snapshotPort_;
    progress_->setRange(0, static_cast<int>(job->plan.size()));
    progress_->setValue(0);
    SetStatus(tr("Opening %1...").arg(port));
    RunWorker(
        port,
        [this, port, job, result](device::Device& dev) {
            try {
                dev.Open(port.toStdString());
            } catch (const device::DeviceFault& fault) {
                result->failure = {fault.Kind(), 0, fault.what()};
                for (const auto& w : job->plan)
                    result->notWritten.push_back(w.section);
                return;
            }
            *result = device::WriteSections(dev, *job, [this](const device::WriteProgress& p) {
                PostProgress(static_cast<int>(p.done), static_cast<int>(p.total), p.section, true);
            });
        },
        [this, result] { FinishWrite(std::move(*result)); });
}

void BenchWindow::FinishWrite(device::WriteResult result) {
    worker_.join();
    writeCancel_.reset();
    bench_.TakeWritten(result);
    lastBackup_ = Q(result.backupPath);
    progress_->setValue(static_cast<int>(result.written.size()));
    std::vector<int> written;
    for (const auto& w : result.written)
        written.push_back(w.section);
    QString text = written.empty() ? tr("Nothing written.")
                                   : tr("Written and verified: %1.").arg(Q(device::FormatSectionList(written)));
    if (result.failure.Failed()) {
        text += QLatin1Char(' ') + (result.failure.fault == device::Fault::kInterrupted
                                        ? tr("Cancelled.")
                                        : Q(result.failure.message));
        if (result.uncertain)
            text += tr(" Section %1 may or may not hold the new bytes: read all again.")
                        .arg(result.failure.section);
        if (!result.notWritten.empty())
            text += tr(" Not written: %1.").arg(Q(device::FormatSectionList(result.notWritten)));
    }
    if (!lastBackup_.isEmpty()) text += tr(" Backup of the device before: %1").arg(lastBackup_);
    SetStatus(text);
    if (!result.mismatches.empty()) {
        QStringList lines;
        for (const auto& m : result.mismatches)
            lines << Q(m);
        auto* box = new QMessageBox(QMessageBox::Warning, tr("Write"), text, QMessageBox::Ok, this);
        box->setDetailedText(lines.join(QLatin1Char('\n')));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }
    Refresh();
    emit WorkFinished();
    if (closeWhenDone_) close();
}

void BenchWindow::closeEvent(QCloseEvent* event) {
    if (Busy()) {
        // The worker ends first (a read at its next transfer, a write after
        // the section under way); the window closes when it has.
        closeWhenDone_ = true;
        CancelWork();
        event->ignore();
        return;
    }
    if (!bench_.WritePlan().empty() && isVisible()) {
        const auto answer = QMessageBox::question(
            this, tr("Quit"), tr("The edits are not written to the device. Quit anyway?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    event->accept();
}

}  // namespace qmb::bench
