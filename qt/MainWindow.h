// The main window "Varnek_Editor": fixed size, centred on the desktop, with a
// system menu, a minimise box and no maximise box. It holds the operator
// panel at its top-left corner and shows the panel down to the status row;
// the rest of the panel (and the right end of the rule line) lies outside.
#pragma once

#include <QPoint>
#include <QRect>
#include <QWidget>

namespace qmb::qt {

class OperatorPanel;

// The window's outer size, frame and caption included, as on Windows.
constexpr int kWindowWidth = 420;
constexpr int kWindowHeight = 387;
// What a 420 x 387 window with a 3-pixel dialog frame and a 19-pixel caption
// leaves for the panel. On Linux the window manager adds a frame of its own
// around this client area.
constexpr int kClientWidth = 414;
constexpr int kClientHeight = 362;

// The window's top-left corner on a desktop: half the desktop's width less
// 210 and half its height less 193 (halves rounded down), from the desktop's
// own top-left corner.
QPoint CentredPosition(const QRect& desktop);

class MainWindow : public QWidget {
    Q_OBJECT
  public:
    MainWindow();
    OperatorPanel& Panel() const { return *panel_; }

  private:
    OperatorPanel* panel_;
};

}  // namespace qmb::qt
