// Dialog units to pixels. The panel was laid out in dialog units of an
// 8-point "MS Sans Serif", whose base units at 96 dpi are 6 x 13 pixels:
// 4 horizontal units make 6 pixels (1.5 px a unit) and 8 vertical units make
// 13 pixels (1.625 px a unit). Each coordinate and each size is converted on
// its own and rounded to the nearest pixel, halves away from zero, as the
// Windows dialog manager does. The results are Qt's device-independent
// pixels; Qt multiplies them by the screen's device-pixel ratio.
#pragma once

#include <QRect>

namespace qmb::qt {

constexpr int kBaseUnitX = 6;   // pixels for 4 horizontal dialog units
constexpr int kBaseUnitY = 13;  // pixels for 8 vertical dialog units

// value * numerator / denominator, rounded half away from zero.
constexpr int MulDivRound(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : -((-product + half) / denominator));
}

constexpr int DluToPixelsX(int units) {
    return MulDivRound(units, kBaseUnitX, 4);
}
constexpr int DluToPixelsY(int units) {
    return MulDivRound(units, kBaseUnitY, 8);
}

inline QRect DluRect(int x, int y, int width, int height) {
    return QRect(DluToPixelsX(x), DluToPixelsY(y), DluToPixelsX(width), DluToPixelsY(height));
}

}  // namespace qmb::qt
