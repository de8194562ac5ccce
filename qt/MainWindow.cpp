#include "qt/MainWindow.h"

#include <QGuiApplication>
#include <QIcon>
#include <QScreen>

#include "qt/OperatorPanel.h"

namespace qmb::qt {

QPoint CentredPosition(const QRect& desktop) {
    return desktop.topLeft() +
           QPoint(desktop.width() / 2 - kWindowWidth / 2, desktop.height() / 2 - kWindowHeight / 2);
}

MainWindow::MainWindow()
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      panel_(new OperatorPanel(this)) {
    setWindowTitle(QStringLiteral("Varnek_Editor"));
    setWindowIcon(QIcon(QStringLiteral(":/qmb-edit.ico")));
    setFixedSize(kClientWidth, kClientHeight);
    panel_->move(0, 0);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(CentredPosition(screen->geometry()));
    }
}

}  // namespace qmb::qt
