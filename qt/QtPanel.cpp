#include "qt/QtPanel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QThread>
#include <cstring>

#include "qt/OperatorPanel.h"

namespace qmb::qt {

namespace {

const QChar kCarriageReturn(0x0D);
const QChar kLineFeed(0x0A);

// The plain text of an edit with every line break as CR LF. The raw text
// keeps what the operator typed (no-break spaces stay what they are).
QString EditText(const QPlainTextEdit* edit) {
    const QString raw = edit->document()->toRawText();
    QString text;
    text.reserve(raw.size());
    for (QChar c : raw) {
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator) {
            text += kCarriageReturn;
            text += kLineFeed;
        } else {
            text += c;
        }
    }
    return text;
}

}  // namespace

QString WidgetText(const QWidget* control) {
    if (auto* label = qobject_cast<const QLabel*>(control)) return label->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(control)) return button->text();
    if (auto* line = qobject_cast<const QLineEdit*>(control)) return line->text();
    if (auto* edit = qobject_cast<const QPlainTextEdit*>(control)) return EditText(edit);
    if (auto* combo = qobject_cast<const QComboBox*>(control)) return combo->currentText();
    return QString();
}

void SetWidgetText(QWidget* control, const QString& text) {
    if (auto* label = qobject_cast<QLabel*>(control)) {
        label->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        button->setText(text);
    } else if (auto* line = qobject_cast<QLineEdit*>(control)) {
        line->setText(text);
    } else if (auto* edit = qobject_cast<QPlainTextEdit*>(control)) {
        edit->setPlainText(text);  // CR LF and lone CR or LF all break the line
    } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
        const int index = combo->findText(text, Qt::MatchExactly);
        if (index >= 0) combo->setCurrentIndex(index);
    }
}

QtPanel::QtPanel(OperatorPanel& panel, QWidget& errorOwner)
    : panel_(panel), errorOwner_(errorOwner) {}

void QtPanel::Close() {
    closed_.store(true);
}

template <typename Work>
bool QtPanel::OnGuiThread(Work work) {
    if (closed_.load()) return false;
    if (QThread::currentThread() == panel_.thread()) {
        work();
    } else {
        QMetaObject::invokeMethod(&panel_, work, Qt::BlockingQueuedConnection);
    }
    return true;
}

void QtPanel::SetText(int id, const char* text) {
    const QString value = QString::fromLatin1(text);
    OnGuiThread([&] {
        if (QWidget* control = panel_.Control(id)) SetWidgetText(control, value);
    });
}

size_t QtPanel::GetText(int id, char* buf, size_t maxChars) {
    QByteArray bytes;
    OnGuiThread([&] {
        if (QWidget* control = panel_.Control(id)) bytes = WidgetText(control).toLatin1();
    });
    const size_t n = qMin(static_cast<size_t>(bytes.size()), maxChars);
    std::memcpy(buf, bytes.constData(), n);
    buf[n] = '\0';
    return n;
}

void QtPanel::SetDisabled(int id, bool disabled) {
    OnGuiThread([&] {
        if (QWidget* control = panel_.Control(id)) control->setEnabled(!disabled);
    });
}

void QtPanel::Invalidate(int id) {
    OnGuiThread([&] {
        if (QWidget* control = panel_.Control(id)) control->update();
    });
}

int QtPanel::SelectedPort() {
    int index = 0;
    OnGuiThread([&] {
        if (auto* combo = qobject_cast<QComboBox*>(panel_.Control(IDC_PORT))) {
            index = qMax(0, combo->currentIndex());
        }
    });
    return index;
}

void QtPanel::ErrorBox(const char* message) {
    const QString text = QString::fromLatin1(message);
    OnGuiThread([&] {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok,
                        &errorOwner_);
        box.setTextFormat(Qt::PlainText);
        box.setWindowModality(Qt::ApplicationModal);
        box.exec();
    });
}

void QtPanel::Beep() {
    OnGuiThread([] { QApplication::beep(); });
}

}  // namespace qmb::qt
