#include "ScenarioRunner.h"

#include <sys/prctl.h>

#include <csignal>

#include <QAbstractButton>
#include <QComboBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QPaintEvent>
#include <QtTest>

#include "GuiSupport.h"
#include "job/Indicators.h"
#include "job/Panel.h"

namespace qmb::test {

namespace {

constexpr int kDefaultWaitMs = 20000;
constexpr int kTickMs = 10;

const struct {
    const char* name;
    int id;
} kControls[] = {
    {"IDC_PORT_STATUS", IDC_PORT_STATUS},
    {"IDC_TAT", IDC_TAT},
    {"IDC_WRITE", IDC_WRITE},
    {"IDC_READ", IDC_READ},
    {"IDC_LOOP", IDC_LOOP},
    {"IDC_STATUS", IDC_STATUS},
    {"IDC_CLOCK", IDC_CLOCK},
    {"IDC_PORT", IDC_PORT},
    {"IDC_HEX", IDC_HEX},
    {"IDC_SECTION", IDC_SECTION},
    {"IDC_LENGTH", IDC_LENGTH},
};

QString Arg(const Step& step, size_t i) {
    return i < step.args.size() ? QString::fromStdString(step.args[i]) : QString();
}

// The optional time limit at args[i]; the default when absent.
int TimeLimit(const Step& step, size_t i) {
    return i < step.args.size() ? Arg(step, i).toInt() : kDefaultWaitMs;
}

QString Quoted(const QString& text) {
    QString out = text;
    out.replace(QLatin1String("\r"), QLatin1String("\\r"));
    out.replace(QLatin1String("\n"), QLatin1String("\\n"));
    out.replace(QLatin1String("\t"), QLatin1String("\\t"));
    return QLatin1Char('"') + out + QLatin1Char('"');
}

}  // namespace

ScenarioRunner::ScenarioRunner(Scenario scenario) : scenario_(std::move(scenario)) {
    connect(&ticker_, &QTimer::timeout, this, &ScenarioRunner::Tick);
    connect(&simulator_, &QProcess::readyReadStandardOutput, this, [this] {
        while (awaitingAnswer_ && simulator_.canReadLine()) {
            simAnswer_ = QString::fromLocal8Bit(simulator_.readLine()).trimmed();
            if (!simAnswer_.isEmpty()) awaitingAnswer_ = false;
        }
    });
}

ScenarioRunner::~ScenarioRunner() {
    ticker_.stop();
    editor_.reset();
    if (simulator_.state() != QProcess::NotRunning) {
        simulator_.write("quit\n");
        simulator_.closeWriteChannel();
        if (!simulator_.waitForFinished(3000)) simulator_.kill();
        simulator_.waitForFinished(1000);
    }
}

bool ScenarioRunner::StartSimulator(const QStringList& args) {
    simulator_.setProgram(QStringLiteral(QMB_DEVSIM));
    simulator_.setArguments(args);
    simulator_.setProcessChannelMode(QProcess::SeparateChannels);
    simulator_.setReadChannel(QProcess::StandardOutput);
    // The simulator ends with this process, however this process ends.
    simulator_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    simulator_.start();
    if (!simulator_.waitForStarted(5000)) {
        failure_ = QStringLiteral("the simulator did not start: ") + simulator_.errorString();
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    while (!simulator_.canReadLine() && clock.elapsed() < 5000)
        simulator_.waitForReadyRead(100);
    const QString path = QString::fromLocal8Bit(simulator_.readLine()).trimmed();
    if (path.isEmpty()) {
        failure_ = QStringLiteral("the simulator printed no terminal: ") +
                   QString::fromLocal8Bit(simulator_.readAllStandardError());
        return false;
    }
    qputenv("QMB_COM1", path.toLocal8Bit());
    return true;
}

void ScenarioRunner::SendToSimulator(const QString& command) {
    simAnswer_.clear();
    awaitingAnswer_ = true;
    simulator_.write(command.toLocal8Bit() + '\n');
}

bool ScenarioRunner::Start() {
    if (!dir_.isValid()) {
        failure_ = QStringLiteral("no temporary folder");
        return false;
    }
    QString device = QStringLiteral("sim");
    QStringList simArgs;
    if (!scenario_.steps.empty() && scenario_.steps[0].verb == "device") {
        device = Arg(scenario_.steps[0], 0);
        for (size_t i = 1; i < scenario_.steps[0].args.size(); ++i)
            simArgs << Arg(scenario_.steps[0], i);
        next_ = 1;
    }
    if (device == QLatin1String("none")) {
        for (int n = 1; n <= 4; ++n) {
            qputenv(qPrintable(QStringLiteral("QMB_COM%1").arg(n)),
                    dir_.filePath(QStringLiteral("unmapped-COM%1").arg(n)).toLocal8Bit());
        }
    } else if (device == QLatin1String("sim")) {
        if (!StartSimulator(simArgs)) return false;
    } else if (device == QLatin1String("silent")) {
        // The device on the line takes every request and answers none.
        if (!StartSimulator({})) return false;
        SendToSimulator(QStringLiteral("fault silent count 1000000"));
        QElapsedTimer clock;
        clock.start();
        while (awaitingAnswer_ && clock.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (!simAnswer_.startsWith(QLatin1String("ok"))) {
            failure_ = QStringLiteral("the simulator refused the fault: ") + simAnswer_;
            return false;
        }
    } else {
        failure_ = QStringLiteral("unknown device ") + device;
        return false;
    }
    editor_ = std::make_unique<qt::EditorApp>();
    editor_->Window().Panel().installEventFilter(this);
    editor_->Window().show();
    if (!QTest::qWaitForWindowExposed(&editor_->Window())) {
        failure_ = QStringLiteral("the window was never shown");
        return false;
    }
    return true;
}

bool ScenarioRunner::Run() {
    QEventLoop loop;
    QTimer::singleShot(0, this, &ScenarioRunner::Tick);
    ticker_.start(kTickMs);
    connect(&ticker_, &QTimer::timeout, &loop, [&] {
        if (finished_) loop.quit();
    });
    if (!finished_) loop.exec();
    ticker_.stop();
    if (!failure_.isEmpty()) return false;
    return Finish();
}

bool ScenarioRunner::Finish() {
    if (QMessageBox* box = ShownErrorBox()) {
        failure_ = QStringLiteral("an error box is still shown: ") + box->text();
        box->button(QMessageBox::Ok)->click();
        return false;
    }
    QWidget& window = editor_->Window();
    if (!window.close() || window.isVisible()) {
        failure_ = QStringLiteral("the main window did not close");
        return false;
    }
    if (!QTest::qWaitFor([] { return qt::LiveWorkers() == 0; }, 3000)) {
        failure_ = QStringLiteral("a worker still runs after the window closed");
        return false;
    }
    return true;
}

void ScenarioRunner::Tick() {
    while (!finished_ && next_ < scenario_.steps.size()) {
        const size_t index = next_;
        const Step& step = scenario_.steps[index];
        if (!stepStarted_) {
            stepClock_.restart();
            stepStarted_ = true;
        }
        Result result;
        QMessageBox* box = ShownErrorBox();
        if (box && step.verb != "error") {
            result = Fail(QStringLiteral("unexpected error box ") + Quoted(box->text()));
        } else {
            result = RunStep(step);
        }
        // A step that let the GUI thread serve the worker may have run the
        // following steps from a nested loop meanwhile.
        if (next_ != index || finished_) return;
        if (result == Result::kPending) return;
        if (result == Result::kFailed) {
            failure_ = QStringLiteral("line %1: %2 %3: %4")
                           .arg(step.line)
                           .arg(QString::fromStdString(step.verb))
                           .arg(step.args.empty() ? QString() : Arg(step, 0))
                           .arg(failure_);
            finished_ = true;
            // Let a waiting worker go: the box's own loop ends, and with it
            // whatever the scenario was waiting in.
            if (QMessageBox* shown = ShownErrorBox()) {
                failure_ += QStringLiteral(" (error box ") + Quoted(shown->text()) +
                            QStringLiteral(" dismissed)");
                shown->button(QMessageBox::Ok)->click();
            }
            return;
        }
        if (step.verb != "lamp") receiveLitPainted_ = transmitLitPainted_ = false;
        ++next_;
        stepStarted_ = false;
    }
    finished_ = true;
}

bool ScenarioRunner::eventFilter(QObject* watched, QEvent* event) {
    if (editor_ && watched == &editor_->Window().Panel() && event->type() == QEvent::Paint) {
        const qt::OperatorPanel& panel = editor_->Window().Panel();
        const QRegion region = static_cast<QPaintEvent*>(event)->region();
        if (region.intersects(qt::OperatorPanel::ReceiveLampRect()) &&
            panel.ReceiveLampCell() == kLampCellReceive) {
            receiveLitPainted_ = true;
        }
        if (region.intersects(qt::OperatorPanel::TransmitLampRect()) &&
            panel.TransmitLampCell() == kLampCellTransmit) {
            transmitLitPainted_ = true;
        }
    }
    return false;
}

ScenarioRunner::Result ScenarioRunner::Fail(const QString& why) {
    failure_ = why;
    return Result::kFailed;
}

ScenarioRunner::Result ScenarioRunner::WaitFor(bool ok, int timeoutMs, const QString& why) {
    if (ok) return Result::kDone;
    if (stepClock_.elapsed() >= timeoutMs) return Fail(why);
    return Result::kPending;
}

QWidget* ScenarioRunner::Control(const QString& name) {
    if (name == QLatin1String("MAIN")) return &editor_->Window();
    for (const auto& c : kControls) {
        if (name == QLatin1String(c.name)) return ControlOf(*editor_, c.id);
    }
    return nullptr;
}

ScenarioRunner::Result ScenarioRunner::RunStep(const Step& step) {
    const std::string& verb = step.verb;
    QWidget& window = editor_->Window();
    const QString name = Arg(step, 0);
    auto textOf = [&](QWidget* control) {
        return control == &window ? window.windowTitle() : qt::WidgetText(control);
    };

    if (verb == "click" || verb == "select" || verb == "settext" || verb == "keys" ||
        verb == "expect" || verb == "wait" || verb == "limit") {
        if (!Control(name)) return Fail(QStringLiteral("no control ") + name);
    }
    if (verb == "click") {
        // Through the window system, as the operator's click comes: a window
        // blocked by an error box does not take it.
        QWidget* control = Control(name);
        QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {},
                          control->mapTo(&window, control->rect().center()));
        return Result::kDone;
    }
    if (verb == "select") {
        auto* combo = qobject_cast<QComboBox*>(Control(name));
        if (!combo) return Fail(name + QStringLiteral(" is no drop-down list"));
        combo->setCurrentIndex(Arg(step, 1).toInt());
        return Result::kDone;
    }
    if (verb == "settext") {
        qt::SetWidgetText(Control(name), Arg(step, 1));
        return Result::kDone;
    }
    if (verb == "keys") {
        QWidget* control = Control(name);
        control->setFocus();
        QTest::keyClicks(control, Arg(step, 1));
        return Result::kDone;
    }
    if (verb == "expect" || verb == "wait") {
        const QString want = Arg(step, 1);
        const QString have = textOf(Control(name));
        const int limit = verb == "expect" ? 0 : TimeLimit(step, 2);
        return WaitFor(have == want, limit,
                       QStringLiteral("%1 instead of %2").arg(Quoted(have), Quoted(want)));
    }
    if (verb == "lamp") {
        const bool receive = name == QLatin1String("receive");
        if (!receive && name != QLatin1String("transmit"))
            return Fail(QStringLiteral("which lamp?"));
        const bool wantLit = Arg(step, 1) == QLatin1String("lit");
        const int limit = step.args.size() > 2 ? Arg(step, 2).toInt() : 0;
        if (wantLit) {
            return WaitFor(receive ? receiveLitPainted_ : transmitLitPainted_, limit,
                           QStringLiteral("never lit"));
        }
        // Off: the off cell of the bitmap on the screen.
        qt::OperatorPanel& panel = editor_->Window().Panel();
        const QRect place =
            receive ? qt::OperatorPanel::ReceiveLampRect() : qt::OperatorPanel::TransmitLampRect();
        const QImage shown = panel.grab(place).toImage().convertToFormat(QImage::Format_RGB32);
        const QImage off = QImage(QStringLiteral(":/lamps.bmp"))
                               .copy(kLampCellOff * kLampSize, 0, kLampSize, kLampSize)
                               .scaled(shown.size())
                               .convertToFormat(QImage::Format_RGB32);
        return WaitFor(shown == off, limit, QStringLiteral("not off"));
    }
    if (verb == "limit") {
        // Typing one character more than the limit leaves the limit's worth.
        auto* edit = qobject_cast<QLineEdit*>(Control(name));
        if (!edit) return Fail(name + QStringLiteral(" is no single-line edit"));
        const int limit = Arg(step, 1).toInt();
        const QString saved = edit->text();
        edit->clear();
        edit->setFocus();
        QTest::keyClicks(edit, QString(limit + 1, QLatin1Char('7')));
        const int taken = static_cast<int>(edit->text().size());
        edit->setText(saved);
        if (taken != limit) return Fail(QStringLiteral("took %1 characters").arg(taken));
        return Result::kDone;
    }
    if (verb == "enabled" || verb == "disabled") {
        const bool wantEnabled = verb == "enabled";
        for (size_t i = 0; i < step.args.size(); ++i) {
            QWidget* control = Control(Arg(step, i));
            if (!control) return Fail(QStringLiteral("no control ") + Arg(step, i));
            if (control->isEnabled() != wantEnabled) {
                return Fail(Arg(step, i) + (wantEnabled ? QStringLiteral(" is disabled")
                                                        : QStringLiteral(" is enabled")));
            }
        }
        return Result::kDone;
    }
    if (verb == "error") {
        QMessageBox* box = ShownErrorBox();
        const Result shown =
            WaitFor(box != nullptr, TimeLimit(step, 1),
                    QStringLiteral("no error box; the panel: ") + DescribePanel(*editor_));
        if (shown != Result::kDone) return shown;
        if (box->text() != name) return Fail(Quoted(box->text()) + QStringLiteral(" shown"));
        if (box->windowTitle() != QLatin1String("Error") || box->icon() != QMessageBox::Critical ||
            box->standardButtons() != QMessageBox::Ok) {
            return Fail(QStringLiteral("not an error box with one OK button"));
        }
        // Owned by the main window and application-modal: the main window
        // takes no input while the box is up.
        if (box->parentWidget() != &window || box->windowModality() != Qt::ApplicationModal) {
            return Fail(QStringLiteral("the box does not block the main window"));
        }
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        return Result::kDone;
    }
    if (verb == "idle") {
        const int limit = step.args.empty() ? kDefaultWaitMs : Arg(step, 0).toInt();
        return WaitFor(IsIdle(*editor_), limit,
                       QStringLiteral("not idle: ") + DescribePanel(*editor_));
    }
    if (verb == "window") {
        // X and Y: the window's top-left corner. W and H: the outer size on
        // Windows; the client area is what its 3-pixel frame and 19-pixel
        // caption leave.
        const QRect want(Arg(step, 0).toInt(), Arg(step, 1).toInt(), Arg(step, 2).toInt() - 6,
                         Arg(step, 3).toInt() - 25);
        const QRect have(window.pos(), window.size());
        if (have != want) {
            return Fail(QStringLiteral("at %1,%2 %3 x %4")
                            .arg(have.x())
                            .arg(have.y())
                            .arg(have.width())
                            .arg(have.height()));
        }
        return Result::kDone;
    }
    if (verb == "sim") {
        if (simulator_.state() != QProcess::Running) return Fail(QStringLiteral("no simulator"));
        if (!awaitingAnswer_ && simAnswer_.isEmpty()) {
            QStringList words;
            for (size_t i = 0; i < step.args.size(); ++i)
                words << Arg(step, i);
            SendToSimulator(words.join(QLatin1Char(' ')));
            return Result::kPending;
        }
        const Result answered = WaitFor(!awaitingAnswer_, 5000, QStringLiteral("no answer"));
        if (answered != Result::kDone) return answered;
        const QString answer = simAnswer_;
        simAnswer_.clear();
        if (!answer.startsWith(QLatin1String("ok"))) return Fail(answer);
        return Result::kDone;
    }
    if (verb == "pause") {
        return stepClock_.elapsed() >= Arg(step, 0).toInt() ? Result::kDone : Result::kPending;
    }
    if (verb == "device") return Fail(QStringLiteral("device must be the first step"));
    return Fail(QStringLiteral("unknown step"));
}

}  // namespace qmb::test
