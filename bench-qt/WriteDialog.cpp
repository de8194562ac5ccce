#include "bench-qt/WriteDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace qmb::bench {

WriteDialog::WriteDialog(const std::vector<device::SectionWrite>& plan, const QString& port,
                         const QString& backupFolder, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(tr("Write changes"));
    setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(this);
    size_t bytes = 0;
    QStringList lines;
    for (const device::SectionWrite& w : plan) {
        bytes += w.changed;
        lines << tr("Section %1: %2 of %3 bytes").arg(w.section).arg(w.changed).arg(w.bytes.size());
    }
    layout->addWidget(new QLabel(
        tr("Write %n section(s) to %1 (%2 bytes change); each is written, committed, read "
           "back and verified, and nothing else is sent:", nullptr, static_cast<int>(plan.size()))
            .arg(port)
            .arg(bytes)));
    plan_ = new QLabel(lines.join(QLatin1Char('\n')));
    plan_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    auto* scroll = new QScrollArea;
    scroll->setWidget(plan_);
    scroll->setWidgetResizable(true);
    scroll->setMaximumHeight(240);
    layout->addWidget(scroll);

    backup_ = new QCheckBox(tr("&Save the device's current content as a backup first"));
    auto* where = new QLabel;
    where->setWordWrap(true);
    where->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (backupFolder.isEmpty()) {
        backup_->setChecked(false);
        backup_->setEnabled(false);
        where->setText(tr("No data folder is known (HOME and XDG_DATA_HOME are unset): no "
                          "automatic backup can be taken."));
    } else {
        backup_->setChecked(true);
        where->setText(tr("The backup goes to %1, named by the time (UTC) and the port.")
                           .arg(backupFolder));
    }
    layout->addWidget(backup_);
    layout->addWidget(where);

    auto* buttons = new QDialogButtonBox;
    write_ = buttons->addButton(tr("&Write"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QDialogButtonBox::Cancel);
    // Enter alone must not write: the safe choice has the focus.
    write_->setAutoDefault(false);
    buttons->button(QDialogButtonBox::Cancel)->setDefault(true);
    buttons->button(QDialogButtonBox::Cancel)->setFocus();
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

bool WriteDialog::BackupWanted() const {
    return backup_->isChecked();
}

QString WriteDialog::PlanText() const {
    return plan_->text();
}

}  // namespace qmb::bench
