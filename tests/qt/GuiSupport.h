// Helpers shared by the Qt front-end's tests: the controls of a running
// editor by id, and waiting while the GUI thread keeps serving the worker.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QWidget>

#include "qt/EditorApp.h"
#include "qt/OperatorPanel.h"

namespace qmb::test {

inline QWidget* ControlOf(qt::EditorApp& editor, int id) {
    return editor.Window().Panel().Control(id);
}

// The text of the control as the panel seam reads it; id -1: the window title.
inline QString TextOf(qt::EditorApp& editor, int id) {
    if (id == -1) return editor.Window().windowTitle();
    return qt::WidgetText(ControlOf(editor, id));
}

// The error box now shown, if any.
inline QMessageBox* ShownErrorBox() {
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

// No job running and no worker left; buttons enabled with their idle
// captions, "Ready", "CLOSED".
bool IsIdle(qt::EditorApp& editor);

// Describes the idle-relevant state, for failure messages.
QString DescribePanel(qt::EditorApp& editor);

}  // namespace qmb::test
