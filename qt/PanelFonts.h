// The panel's fonts. The panel describes them as Windows fonts: a face, a
// height and an average character width in pixels. Qt asks fontconfig for the
// face and falls back to the style hint's default family when it is not
// installed; FittedFont then sizes the chosen font.
#pragma once

#include <QFont>
#include <QString>

namespace qmb::qt {

// The face at pixelSize, and, when charWidth > 0, stretched so that a digit is
// charWidth pixels wide (with a fixed-pitch face: every character).
QFont FittedFont(const QString& family, QFont::StyleHint hint, int pixelSize, int charWidth);

// "MS Sans Serif", 8 point at 96 dpi: the panel and every control without a
// font of its own.
QFont PanelFont();
// "Terminal", 8 x 6: IDC_CLOCK and IDC_PORT_STATUS.
QFont SmallFont();
// "Courier", 14 x 8, fixed pitch: IDC_HEX and IDC_PORT.
QFont TextFont();

}  // namespace qmb::qt
