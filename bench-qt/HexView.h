// The hex view of one section: 16 bytes a row with the row's offset, the
// bytes in hex, a marker column and the bytes as ASCII. Two marks, each shown
// by more than colour: a byte that differs from the reference is underlined
// (and its row carries "D" in the marker column), a byte edited but not yet
// written is bold on a tinted cell (its row carries "E").
//
// Keyboard: arrows, Home/End (row), Ctrl+Home/End, Page Up/Down move the
// cursor, with Shift they extend the selection; a hex digit (either case)
// overwrites the cursor's nibble and moves on; any other character is
// refused with a beep. The view holds a copy of what it shows and never
// reaches the model: typing only emits ByteTyped.
//
// Thread: the GUI thread.
#pragma once

#include <QAbstractScrollArea>
#include <cstdint>
#include <vector>

namespace qmb::bench {

enum HexMark : uint8_t {
    kMarkDiffers = 1,  // differs from the reference
    kMarkEdited = 2,   // edited, not yet written
};

class HexView : public QAbstractScrollArea {
    Q_OBJECT
  public:
    explicit HexView(QWidget* parent = nullptr);

    // What to show: the bytes, one mark set per byte (marks.size() ==
    // bytes.size(), else no marks), and whether typing is taken. Keeps the
    // cursor where it was when it still lies inside.
    void SetBytes(std::vector<uint8_t> bytes, std::vector<uint8_t> marks, bool editable);
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    const std::vector<uint8_t>& Marks() const { return marks_; }

    // The cursor's byte (0 when empty) and the selection [first, last]
    // (the cursor alone when nothing is selected).
    int CursorOffset() const { return cursor_; }
    int SelectionFirst() const { return std::min(anchor_, cursor_); }
    int SelectionLast() const { return std::max(anchor_, cursor_); }
    // Moves the cursor to offset (clamped), extending the selection from its
    // anchor when extend, and scrolls it into view.
    void SetCursorOffset(int offset, bool extend = false);

    // The text of one row as painted, marks aside (for tests and the
    // accessibility text): "0010  A0 A1 ... AF  DE  ascii".
    QString RowText(int row) const;
    // Pixels a whole row needs, the scroll bar included.
    int RowWidthHint() const;
    QSize sizeHint() const override;

  signals:
    // A hex digit was typed: the byte at offset is to become value.
    void ByteTyped(int offset, quint8 value);
    void CursorMoved(int offset);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    int Rows() const;
    int CharWidth() const;
    int LineHeight() const;
    int HexColumn(int column) const;  // x of byte column's first digit, in characters
    void UpdateScrollRange();
    void TypeDigit(int digit);

    std::vector<uint8_t> bytes_;
    std::vector<uint8_t> marks_;
    bool editable_ = false;
    int cursor_ = 0, anchor_ = 0;
    bool lowNibble_ = false;
};

}  // namespace qmb::bench
