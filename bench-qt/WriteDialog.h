// The confirmation before a write: the plan (each section and how many of
// its bytes change), the port, where the automatic backup goes, and a check
// box that turns the backup off. Shown window-modal with open(), so the
// window's event loop goes on; accepted() starts the write.
//
// Thread: the GUI thread.
#pragma once

#include <QDialog>
#include <vector>

#include "device/Bench.h"

class QCheckBox;
class QLabel;
class QPushButton;

namespace qmb::bench {

class WriteDialog : public QDialog {
    Q_OBJECT
  public:
    // backupFolder "": the system names no data folder, so no backup can be
    // taken (the box is off and disabled, and the dialog says so).
    WriteDialog(const std::vector<device::SectionWrite>& plan, const QString& port,
                const QString& backupFolder, QWidget* parent);

    bool BackupWanted() const;
    QCheckBox* BackupBox() const { return backup_; }
    QPushButton* WriteButton() const { return write_; }
    // The plan as listed: one "Section 11: 2 of 8 bytes" line a section.
    QString PlanText() const;

  private:
    QLabel* plan_ = nullptr;
    QCheckBox* backup_ = nullptr;
    QPushButton* write_ = nullptr;
};

}  // namespace qmb::bench
