// Replays an operator-panel scenario (tests/scenarios/, the format is
// described at the top of panel.scenarios) against the Qt front-end in this
// process, with the device simulator on a pseudo-terminal as COM1.
//
// The steps run from a 10 ms timer rather than from a loop of their own: an
// error box runs its own event loop inside the GUI thread's call, and the
// timer keeps the scenario going from within that loop, as an operator would.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <vector>

#include "ScenarioFile.h"
#include "qt/EditorApp.h"

namespace qmb::test {

class ScenarioRunner : public QObject {
    Q_OBJECT
  public:
    explicit ScenarioRunner(Scenario scenario);
    ~ScenarioRunner() override;

    // Sets COM1 up as the first step says (simulator, silent device or none)
    // and opens the window. False with Failure() when it cannot.
    bool Start();
    // Runs the remaining steps; returns when they are done or one failed.
    // Then closes the window as the operator would.
    bool Run();

    QString Failure() const { return failure_; }
    qt::EditorApp* Editor() { return editor_.get(); }

  private:
    enum class Result { kDone, kPending, kFailed };

    void Tick();
    Result RunStep(const Step& step);
    // Pending until ok is true; failed after timeoutMs with why.
    Result WaitFor(bool ok, int timeoutMs, const QString& why);
    Result Fail(const QString& why);
    bool StartSimulator(const QStringList& args);
    // Sends a control command; its answer comes back through the simulator's
    // standard output.
    void SendToSimulator(const QString& command);
    QWidget* Control(const QString& name);
    bool Finish();
    bool eventFilter(QObject* watched, QEvent* event) override;

    Scenario scenario_;
    size_t next_ = 0;
    QElapsedTimer stepClock_;
    bool stepStarted_ = false;
    bool finished_ = false;
    QString failure_;
    QTimer ticker_;
    QTemporaryDir dir_;
    QProcess simulator_;
    QString simAnswer_;
    bool awaitingAnswer_ = false;
    std::unique_ptr<qt::EditorApp> editor_;
    // A lamp lights for one 10 ms tick: its lit cell is caught as it is
    // painted. Cleared when a step other than a lamp step completes.
    bool receiveLitPainted_ = false;
    bool transmitLitPainted_ = false;
};

}  // namespace qmb::test
