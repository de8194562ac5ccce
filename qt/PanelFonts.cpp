#include "qt/PanelFonts.h"

#include <QFontMetricsF>

namespace qmb::qt {

QFont FittedFont(const QString& family, QFont::StyleHint hint, int pixelSize, int charWidth) {
    QFont font(family);
    font.setStyleHint(hint);
    font.setFixedPitch(hint == QFont::TypeWriter);
    font.setPixelSize(pixelSize);
    if (charWidth > 0) {
        const qreal natural = QFontMetricsF(font).horizontalAdvance(QLatin1Char('0'));
        if (natural > 0) {
            const int stretch = qRound(100.0 * charWidth / natural);
            font.setStretch(qBound(int(QFont::UltraCondensed), stretch, int(QFont::UltraExpanded)));
        }
    }
    return font;
}

// 8 points at 96 dpi: a 13-pixel cell, 11 pixels without its internal leading.
QFont PanelFont() {
    return FittedFont(QStringLiteral("MS Sans Serif"), QFont::SansSerif, 11, 0);
}

// "Terminal" and "Courier" are bitmap faces on Windows whose glyphs fill their
// cell, so the cell height is taken as the em size of the face found here.
// The requested weights (400; 100 for "Courier", which has only its regular
// weight and is drawn so) come out as the regular weight.
QFont SmallFont() {
    return FittedFont(QStringLiteral("Terminal"), QFont::TypeWriter, 8, 6);
}

QFont TextFont() {
    return FittedFont(QStringLiteral("Courier"), QFont::TypeWriter, 14, 8);
}

}  // namespace qmb::qt
