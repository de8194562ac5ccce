// qmb-edit on Linux: the operator panel on Qt Widgets over the portable core.
#include <QApplication>
#include <cstdio>
#include <string>

#include "protocol/TraceFile.h"
#include "qt/EditorApp.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Ties the window to the installed desktop entry (its name and icon in
    // the task bar, on Wayland in particular).
    QGuiApplication::setDesktopFileName(QStringLiteral("qmb-edit"));
    // QMB_TRACE=FILE: every frame of every job into FILE, for support.
    std::string error;
    if (!qmb::TraceFromEnvironment("qmb-edit", &error) && !error.empty())
        std::fprintf(stderr, "qmb-edit: no frame trace: %s\n", error.c_str());
    qmb::qt::EditorApp editor;
    return editor.Run();
}
