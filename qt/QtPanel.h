// The panel seam bound to the Qt widgets of the operator panel.
//
// Threads: on the GUI thread every operation acts on the widget at once.
// From any other thread (the job worker) the operation is carried out on the
// GUI thread by a blocking queued call, and returns once it has been done
// there; so the GUI thread never waits for a worker, and a worker's changes
// reach the panel in the order it makes them. The error box is shown on the
// GUI thread while the worker waits; the GUI thread keeps running its timers
// and repainting meanwhile.
//
// Text crosses the seam as single-byte Latin-1: a character outside Latin-1
// reads as '?'. Line breaks of IDC_HEX read as CR LF.
//
// After Close() every operation returns at once without touching a widget
// (GetText gives "", SelectedPort 0): a worker that outlives the event loop
// can no longer wait for a GUI thread that has stopped serving it.
#pragma once

#include <QWidget>
#include <atomic>

#include "job/Panel.h"

namespace qmb::qt {

class OperatorPanel;

class QtPanel final : public Panel {
  public:
    // errorOwner owns the error boxes (the main window).
    QtPanel(OperatorPanel& panel, QWidget& errorOwner);

    void Close();
    bool IsClosed() const { return closed_.load(); }

    void SetText(int id, const char* text) override;
    size_t GetText(int id, char* buf, size_t maxChars) override;
    void SetDisabled(int id, bool disabled) override;
    void Invalidate(int id) override;
    int SelectedPort() override;
    void ErrorBox(const char* message) override;
    void Beep() override;

  private:
    // Runs work on the GUI thread and returns when it is done; false (work
    // not run) once the panel is closed.
    template <typename Work>
    bool OnGuiThread(Work work);

    OperatorPanel& panel_;
    QWidget& errorOwner_;
    std::atomic<bool> closed_{false};
};

// The text a control shows, as the seam reads it (GUI thread).
QString WidgetText(const QWidget* control);
// Replaces the text a control shows, as the seam sets it (GUI thread).
void SetWidgetText(QWidget* control, const QString& text);

}  // namespace qmb::qt
