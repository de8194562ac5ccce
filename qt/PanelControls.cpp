#include "qt/PanelControls.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>

namespace qmb::qt {

namespace {

bool IsTypedCharacter(const QString& text) {
    return !text.isEmpty() && text.at(0).isPrint();
}

bool AllDigits(const QString& text) {
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    }
    return true;
}

QString DigitsOf(const QString& text) {
    QString digits;
    for (QChar c : text) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) digits += c;
    }
    return digits;
}

void ReplaceCommitString(QInputMethodEvent* event, const QString& commit) {
    event->setCommitString(commit, event->replacementStart(), event->replacementLength());
}

}  // namespace

SectionEdit::SectionEdit(QWidget* parent) : QLineEdit(parent) {
    setMaxLength(kMaxChars);
    setAlignment(Qt::AlignCenter);
}

void SectionEdit::keyPressEvent(QKeyEvent* event) {
    if (IsTypedCharacter(event->text()) && !AllDigits(event->text())) {
        event->accept();  // refused
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void SectionEdit::inputMethodEvent(QInputMethodEvent* event) {
    if (!AllDigits(event->commitString())) {
        ReplaceCommitString(event, DigitsOf(event->commitString()));
    }
    QLineEdit::inputMethodEvent(event);
}

HexEdit::HexEdit(QWidget* parent) : QPlainTextEdit(parent) {
    setTabChangesFocus(false);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    // A narrow margin, as an edit control has, so that a line of 16 bytes
    // (47 characters) fits the width.
    document()->setDocumentMargin(1);
}

void HexEdit::keyPressEvent(QKeyEvent* event) {
    const QString upper = event->text().toUpper();
    if (!IsTypedCharacter(event->text()) || upper == event->text()) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    QKeyEvent upperCase(event->type(), event->key(), event->modifiers(), event->nativeScanCode(),
                        event->nativeVirtualKey(), event->nativeModifiers(), upper,
                        event->isAutoRepeat(), event->count());
    QPlainTextEdit::keyPressEvent(&upperCase);
    event->setAccepted(upperCase.isAccepted());
}

void HexEdit::inputMethodEvent(QInputMethodEvent* event) {
    const QString upper = event->commitString().toUpper();
    if (upper != event->commitString()) ReplaceCommitString(event, upper);
    QPlainTextEdit::inputMethodEvent(event);
}

void HexEdit::insertFromMimeData(const QMimeData* source) {
    if (source->hasText()) {
        insertPlainText(source->text().toUpper());
        ensureCursorVisible();
    }
}

}  // namespace qmb::qt
