// The service bench's window: the whole device beside a reference, a table
// of sections, the hex view of the chosen one, edits, and a write of only
// the sections that changed. Every rule is the model's (device/Bench.h);
// this window shows it and runs the device's work on a worker thread.
//
// Threads: everything here runs on the GUI thread. Read all and Write
// changes run on one worker thread at a time, on inputs of their own (the
// model is never shared with it); while it runs the window still shows the
// model but refuses every change to it, and the result is handed to the
// model when the worker has ended. The worker reports progress
// through one queued call at a time (a newer figure replaces one not yet
// shown) and its end through another, so the event loop only ever does
// short work. Cancel: a read stops at the next transfer (Device::RequestStop);
// a write before the next section (WriteJob::cancel), never between a
// section's write and its commit.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "device/Bench.h"
#include "protocol/Trace.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableView;

namespace qmb {
class TickCounter;
}

namespace qmb::bench {

class HexView;
class SectionTable;
class WriteDialog;

class BenchWindow : public QMainWindow {
    Q_OBJECT
  public:
    // port: the port chosen at start (one of PortNames()).
    explicit BenchWindow(const QString& port, QWidget* parent = nullptr);
    // Stops a worker still running and waits for it (a read stops at its
    // next transfer; a write after the section under way).
    ~BenchWindow() override;

    // --- What the actions do (tests call them directly). Each refuses while
    // the worker runs, and says what it did or why not in the status line.
    void ReadAll();
    void CancelWork();
    bool SaveBackup(const QString& path);
    bool OpenReference(const QString& path);
    // The edits (edits true) or the difference device -> reference.
    bool ExportPatch(const QString& path, bool edits);
    bool ApplyPatchFile(const QString& path);
    // Opens the confirmation that lists the plan; its Write starts the write.
    void ConfirmWrite();
    // The write itself, with or without the automatic backup.
    void StartWrite(bool automaticBackup);
    void SelectSection(int number);
    void NextDifference();
    void PreviousDifference();
    void TakeSelectionFromReference();
    void TakeSectionFromReference();
    void TakeAllFromReference();
    void RevertSection();
    void Undo();
    void Redo();
    // The hex text typed into the line under the view, at the cursor.
    bool EnterHex(const QString& text);

    // --- For the tests and the demo.
    bool Busy() const { return worker_.joinable(); }
    // The model; only while not Busy().
    const device::Bench& Model() const { return bench_; }
    int CurrentSection() const { return section_; }
    HexView* Hex() const { return hex_; }
    QTableView* Table() const { return table_; }
    SectionTable* Sections() const { return sections_; }
    // The confirmation now open, nullptr when none.
    WriteDialog* Confirmation() const;
    QString StatusText() const;
    QString SummaryText() const;
    // The automatic backup of the last write, "" for none.
    QString LastBackupPath() const { return lastBackup_; }
    // Every frame of the window's devices also goes to sink (nullptr: none);
    // it outlives the window. Set while not Busy().
    void SetTraceSink(TraceSink* sink) { extraTrace_ = sink; }

  signals:
    // A read-all or a write has ended and the window shows its result.
    void WorkFinished();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    struct Progress;
    void BuildActions();
    void BuildLayout();
    QAction* AddAction(QMenu* menu, const QString& text, const QKeySequence& key,
                       void (BenchWindow::*slot)());
    void Refresh();
    void RefreshSection();
    void UpdateActions();
    void ShowCursorInfo();
    void SetStatus(const QString& text);
    bool RefuseWhileBusy();
    void ShowAt(const device::Position& where);
    void AfterEdit(bool changed, const std::string& error);

    // The worker: runs work on a device opened on port, then hands the end
    // to the GUI thread.
    void RunWorker(const QString& port, std::function<void(device::Device&)> work,
                   std::function<void()> done);
    void PostProgress(int done, int total, int section, bool writing);
    void ShowProgress();
    void FinishRead(device::ReadResult result, const QString& port);
    void FinishWrite(device::WriteResult result);

    void OpenReferenceDialog();
    void SaveBackupDialog();
    void ExportEditsDialog();
    void ExportDifferenceDialog();
    void ApplyPatchDialog();

    device::Bench bench_;
    QString snapshotPort_;  // the port the device's snapshot was read from
    int section_ = 1;
    QString lastBackup_;

    QComboBox* port_ = nullptr;
    QTableView* table_ = nullptr;
    SectionTable* sections_ = nullptr;
    HexView* hex_ = nullptr;
    QLabel* sectionTitle_ = nullptr;
    QLabel* cursorInfo_ = nullptr;
    QLineEdit* hexEntry_ = nullptr;
    QLabel* summary_ = nullptr;
    QLabel* status_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QPointer<WriteDialog> dialog_;

    QAction *readAll_, *cancel_, *saveBackup_, *openReference_, *write_, *exportEdits_,
        *exportDifference_, *applyPatch_, *undo_, *redo_, *nextDiff_, *prevDiff_,
        *takeSelection_, *takeSection_, *takeAll_, *revert_, *typeHex_;

    // The worker and what it shares with the GUI thread.
    std::thread worker_;
    std::unique_ptr<TickCounter> ticks_;
    std::mutex deviceMutex_;  // guards device_ (the worker's, while it lives)
    device::Device* device_ = nullptr;
    std::atomic<bool> stopRead_{false};
    std::shared_ptr<std::atomic<bool>> writeCancel_;
    std::atomic<bool> progressPosted_{false};
    std::atomic<int> progressDone_{0}, progressTotal_{0}, progressSection_{0};
    std::atomic<bool> progressWriting_{false};
    bool closeWhenDone_ = false;
    TraceSink* extraTrace_ = nullptr;
};

}  // namespace qmb::bench
