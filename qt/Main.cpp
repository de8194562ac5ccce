// qmb-edit on Linux: the operator panel on Qt Widgets over the portable core.
#include <QApplication>

#include "qt/EditorApp.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    qmb::qt::EditorApp editor;
    return editor.Run();
}
