// The panel's two edit controls with their typing rules.
#pragma once

#include <QLineEdit>
#include <QPlainTextEdit>

namespace qmb::qt {

// IDC_SECTION: typed characters other than the digits 0 to 9 are refused
// (pasted text is not filtered); at most kMaxChars characters; centred.
class SectionEdit : public QLineEdit {
    Q_OBJECT
  public:
    static constexpr int kMaxChars = 3;
    explicit SectionEdit(QWidget* parent);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
};

// IDC_HEX: plain text only; typed and pasted letters are stored in upper
// case; Tab inserts a tab and Enter a line break; vertical scroll bar always
// shown, long lines wrap.
class HexEdit : public QPlainTextEdit {
    Q_OBJECT
  public:
    explicit HexEdit(QWidget* parent);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;
};

}  // namespace qmb::qt
