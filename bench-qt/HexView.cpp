#include "bench-qt/HexView.h"

#include <QApplication>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

namespace qmb::bench {

namespace {
constexpr int kBytesPerRow = 16;
// Character columns of a row: offset, bytes, markers, ASCII.
constexpr int kHexStart = 6;
constexpr int kMarkerStart = 56;
constexpr int kAsciiStart = 60;
constexpr int kRowChars = kAsciiStart + kBytesPerRow;
constexpr int kMargin = 4;  // pixels left and above

char HexDigit(int v) {
    return "0123456789ABCDEF"[v & 15];
}

char Printable(uint8_t b) {
    return b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
}

int DigitValue(QChar c) {
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    return -1;
}
}  // namespace

HexView::HexView(QWidget* parent) : QAbstractScrollArea(parent) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    setFont(font);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setAccessibleName(QStringLiteral("Section bytes"));
}

void HexView::SetBytes(std::vector<uint8_t> bytes, std::vector<uint8_t> marks, bool editable) {
    bytes_ = std::move(bytes);
    marks_ = marks.size() == bytes_.size() ? std::move(marks) : std::vector<uint8_t>();
    editable_ = editable;
    const int last = std::max(0, static_cast<int>(bytes_.size()) - 1);
    if (cursor_ > last || anchor_ > last) {
        cursor_ = anchor_ = std::min(cursor_, last);
        lowNibble_ = false;
    }
    UpdateScrollRange();
    viewport()->update();
}

void HexView::SetCursorOffset(int offset, bool extend) {
    const int last = std::max(0, static_cast<int>(bytes_.size()) - 1);
    cursor_ = std::clamp(offset, 0, last);
    if (!extend) anchor_ = cursor_;
    lowNibble_ = false;
    const int row = cursor_ / kBytesPerRow;
    const int visible = std::max(1, (viewport()->height() - kMargin) / LineHeight());
    QScrollBar* bar = verticalScrollBar();
    if (row < bar->value()) bar->setValue(row);
    if (row >= bar->value() + visible) bar->setValue(row - visible + 1);
    viewport()->update();
    emit CursorMoved(cursor_);
}

QString HexView::RowText(int row) const {
    QString text(kRowChars, QLatin1Char(' '));
    const int first = row * kBytesPerRow;
    text.replace(0, 4, QStringLiteral("%1").arg(first, 4, 16, QLatin1Char('0')).toUpper());
    bool differs = false, edited = false;
    for (int c = 0; c < kBytesPerRow && first + c < static_cast<int>(bytes_.size()); ++c) {
        const uint8_t b = bytes_[first + c];
        text[HexColumn(c)] = QLatin1Char(HexDigit(b >> 4));
        text[HexColumn(c) + 1] = QLatin1Char(HexDigit(b));
        text[kAsciiStart + c] = QLatin1Char(Printable(b));
        if (!marks_.empty()) {
            differs |= (marks_[first + c] & kMarkDiffers) != 0;
            edited |= (marks_[first + c] & kMarkEdited) != 0;
        }
    }
    if (differs) text[kMarkerStart] = QLatin1Char('D');
    if (edited) text[kMarkerStart + 1] = QLatin1Char('E');
    return text.left(kAsciiStart + std::clamp(static_cast<int>(bytes_.size()) - first, 0, 16));
}

int HexView::RowWidthHint() const {
    return kMargin * 2 + kRowChars * CharWidth() + verticalScrollBar()->sizeHint().width() +
           frameWidth() * 2;
}

QSize HexView::sizeHint() const {
    return {RowWidthHint(), LineHeight() * 17 + kMargin * 2};
}

int HexView::Rows() const {
    return (static_cast<int>(bytes_.size()) + kBytesPerRow - 1) / kBytesPerRow;
}

int HexView::CharWidth() const {
    return fontMetrics().horizontalAdvance(QLatin1Char('0'));
}

int HexView::LineHeight() const {
    return fontMetrics().height() + 2;
}

int HexView::HexColumn(int column) const {
    return kHexStart + column * 3 + (column >= 8 ? 1 : 0);
}

void HexView::UpdateScrollRange() {
    const int visible = std::max(1, (viewport()->height() - kMargin) / LineHeight());
    verticalScrollBar()->setRange(0, std::max(0, Rows() - visible));
    verticalScrollBar()->setPageStep(visible);
    const int width = kMargin * 2 + kRowChars * CharWidth();
    horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
}

void HexView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollRange();
}

void HexView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void HexView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void HexView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const QPalette& pal = palette();
    painter.fillRect(viewport()->rect(), pal.base());
    const int cw = CharWidth(), lh = LineHeight();
    const int ascent = fontMetrics().ascent();
    const int x0 = kMargin - horizontalScrollBar()->value();
    const QColor differColour(0xB0, 0x00, 0x00), editedTint(0xCC, 0xE0, 0xFF);
    QFont bold = font();
    bold.setBold(true);
    const int firstRow = verticalScrollBar()->value();
    for (int row = firstRow; row < Rows(); ++row) {
        const int y = kMargin + (row - firstRow) * lh;
        if (y > viewport()->height()) break;
        const QString text = RowText(row);
        painter.setPen(pal.text().color());
        painter.setFont(font());
        painter.drawText(x0, y + ascent, text.left(kHexStart));
        painter.drawText(x0 + kMarkerStart * cw, y + ascent, text.mid(kMarkerStart, 2));
        for (int c = 0; c < kBytesPerRow; ++c) {
            const int i = row * kBytesPerRow + c;
            if (i >= static_cast<int>(bytes_.size())) break;
            const uint8_t mark = marks_.empty() ? 0 : marks_[i];
            const bool selected = i >= SelectionFirst() && i <= SelectionLast();
            for (const int col : {HexColumn(c), kAsciiStart + c}) {
                const int width = col < kAsciiStart ? 2 : 1;
                const QRect cell(x0 + col * cw, y, width * cw, lh - 1);
                if (selected) painter.fillRect(cell, pal.highlight());
                else if (mark & kMarkEdited) painter.fillRect(cell, editedTint);
                QFont f = font();
                f.setBold((mark & kMarkEdited) != 0);
                f.setUnderline((mark & kMarkDiffers) != 0);
                painter.setFont(f);
                painter.setPen(selected ? pal.highlightedText().color()
                                        : (mark & kMarkDiffers) ? differColour
                                                                : pal.text().color());
                painter.drawText(cell.x(), y + ascent, text.mid(col, width));
            }
        }
        if (hasFocus() && cursor_ / kBytesPerRow == row && !bytes_.empty()) {
            const int col = HexColumn(cursor_ % kBytesPerRow) + (lowNibble_ ? 1 : 0);
            painter.setPen(QPen(pal.text().color(), 2));
            painter.drawLine(x0 + col * cw, y + lh - 2, x0 + (col + 1) * cw, y + lh - 2);
            painter.drawRect(x0 + col * cw, y, cw, lh - 2);
        }
    }
}

void HexView::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    const int cw = CharWidth();
    const int col = (event->position().toPoint().x() - kMargin + horizontalScrollBar()->value()) / cw;
    const int row = verticalScrollBar()->value() + (event->position().toPoint().y() - kMargin) / LineHeight();
    int byte = -1;
    for (int c = 0; c < kBytesPerRow; ++c) {
        if ((col >= HexColumn(c) && col <= HexColumn(c) + 1) || col == kAsciiStart + c) byte = c;
    }
    if (byte < 0 || row < 0) return;
    SetCursorOffset(row * kBytesPerRow + byte, (event->modifiers() & Qt::ShiftModifier) != 0);
}

void HexView::keyPressEvent(QKeyEvent* event) {
    const bool extend = (event->modifiers() & Qt::ShiftModifier) != 0;
    const bool ctrl = (event->modifiers() & Qt::ControlModifier) != 0;
    const int page = std::max(1, verticalScrollBar()->pageStep()) * kBytesPerRow;
    switch (event->key()) {
        case Qt::Key_Left: SetCursorOffset(cursor_ - 1, extend); return;
        case Qt::Key_Right: SetCursorOffset(cursor_ + 1, extend); return;
        case Qt::Key_Up: SetCursorOffset(cursor_ - kBytesPerRow, extend); return;
        case Qt::Key_Down:
            if (cursor_ + kBytesPerRow < static_cast<int>(bytes_.size()))
                SetCursorOffset(cursor_ + kBytesPerRow, extend);
            return;
        case Qt::Key_PageUp: SetCursorOffset(cursor_ - page, extend); return;
        case Qt::Key_PageDown: SetCursorOffset(cursor_ + page, extend); return;
        case Qt::Key_Home:
            SetCursorOffset(ctrl ? 0 : cursor_ - cursor_ % kBytesPerRow, extend);
            return;
        case Qt::Key_End:
            SetCursorOffset(ctrl ? static_cast<int>(bytes_.size())
                                 : cursor_ - cursor_ % kBytesPerRow + kBytesPerRow - 1,
                            extend);
            return;
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_Escape:
            event->ignore();  // focus moves on; Escape reaches the window
            return;
        default: break;
    }
    const QString text = event->text();
    if (text.size() != 1 || ctrl || (event->modifiers() & Qt::AltModifier)) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    const int digit = DigitValue(text[0]);
    if (digit < 0 || !editable_ || bytes_.empty()) {
        if (text[0].isPrint()) QApplication::beep();
        event->accept();
        return;
    }
    TypeDigit(digit);
}

void HexView::TypeDigit(int digit) {
    const uint8_t old = bytes_[cursor_];
    const uint8_t value = lowNibble_ ? static_cast<uint8_t>((old & 0xF0) | digit)
                                     : static_cast<uint8_t>((old & 0x0F) | (digit << 4));
    const int offset = cursor_;
    const bool wasLow = lowNibble_;
    emit ByteTyped(offset, value);
    if (wasLow) {
        if (offset + 1 < static_cast<int>(bytes_.size())) SetCursorOffset(offset + 1);
    } else {
        anchor_ = cursor_;
        lowNibble_ = true;
        viewport()->update();
    }
}

}  // namespace qmb::bench
