// qmb-edit on Linux: the operator panel on Qt Widgets over the portable core.
#include <QApplication>

#include "qt/EditorApp.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Ties the window to the installed desktop entry (its name and icon in
    // the task bar, on Wayland in particular).
    QGuiApplication::setDesktopFileName(QStringLiteral("qmb-edit"));
    qmb::qt::EditorApp editor;
    return editor.Run();
}
