// The Qt front-end without a device: the window and its controls, the typing
// rules, the panel seam's contract and threads, the lamps, and the end of the
// process. Runs on the offscreen platform.
#include <fcntl.h>
#include <stdlib.h>

#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QLabel>
#include <QPaintEvent>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextLayout>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include "GuiSupport.h"
#include "job/Indicators.h"
#include "job/JobFlags.h"
#include "job/Panel.h"
#include "link/SerialLink.h"
#include "qt/DialogUnits.h"
#include "qt/MainWindow.h"
#include "qt/PanelControls.h"

using qmb::test::ControlOf;
using qmb::test::ShownErrorBox;
using qmb::test::TextOf;

namespace {

// Counts the panel's paint events that touch a lamp.
class LampPaintCounter : public QObject {
  public:
    int count = 0;
    QRegion painted;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            const QRegion region = static_cast<QPaintEvent*>(event)->region();
            if (region.intersects(qmb::qt::OperatorPanel::ReceiveLampRect()) ||
                region.intersects(qmb::qt::OperatorPanel::TransmitLampRect())) {
                ++count;
                painted += region;
            }
        }
        return false;
    }
};

// A cell of the lamp bitmap as the screen shows it: each bitmap pixel
// becomes a square of device-pixel-ratio pixels.
QImage LampCell(int cell, qreal dpr) {
    const int side = qRound(qmb::kLampSize * dpr);
    return QImage(QStringLiteral(":/lamps.bmp"))
        .copy(cell * qmb::kLampSize, 0, qmb::kLampSize, qmb::kLampSize)
        .scaled(side, side, Qt::IgnoreAspectRatio, Qt::FastTransformation)
        .convertToFormat(QImage::Format_RGB32);
}

QImage Grabbed(QWidget* widget, const QRect& rect) {
    QImage image = widget->grab(rect).toImage().convertToFormat(QImage::Format_RGB32);
    image.setDevicePixelRatio(1);
    return image;
}

// Runs work on a thread of its own, as the job worker would, while the GUI
// thread keeps serving it; fails the test if it does not end in time.
template <typename Work>
bool RunAsWorker(Work work, int timeoutMs = 5000) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done.store(true);
    });
    const bool ended = QTest::qWaitFor([&] { return done.load(); }, timeoutMs);
    if (ended) {
        worker.join();
    } else {
        worker.detach();
    }
    return ended;
}

}  // namespace

class PanelTest : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();

    void convertsDialogUnitsAsTheDialogManager();
    void createsControlsInTemplateOrder();
    void placesControlsFromDialogUnits();
    void windowIsFixedTitledAndCentred();
    void startsIdleWithSectionElevenOnCom1();
    void fixedPitchFontsFitTheirControls();
    void sectionTakesAtMostThreeTypedDigits();
    void hexStoresLettersUpperCaseAndKeepsTabAndEnter();
    void tabNeverMovesTheFocus();
    void portListNamesTheDevicePathOfEachEntry();
    void getTextHonoursTheLimitAndLineBreaks();
    void workerCallsAreCarriedOutOnTheGuiThreadInOrder();
    void errorBoxIsModalOwnedAndLeavesTheGuiRunning();
    void closedSeamLetsWorkersGoWithoutTheGui();
    void lampsShowTheirCellsAndRepaintOnlyOnChange();
    void clockShowsElapsedTimeOnlyWhileAJobRuns();
    void closingTheWindowEndsTheProcess_data();
    void closingTheWindowEndsTheProcess();

  private:
    QPushButton* Button(int id) { return qobject_cast<QPushButton*>(ControlOf(*editor_, id)); }
    qmb::qt::OperatorPanel& Panel() { return editor_->Window().Panel(); }

    std::unique_ptr<qmb::qt::EditorApp> editor_;
};

void PanelTest::init() {
    qmb::JobFlags.store(0);
    qmb::ClockRunning.store(0);
    qmb::SerialLink::Default().RxLed().store(0);
    qmb::SerialLink::Default().TxLed().store(0);
    qmb::ResetClockCounters();
    editor_ = std::make_unique<qmb::qt::EditorApp>();
    editor_->Window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&editor_->Window()));
}

void PanelTest::cleanup() {
    editor_.reset();
}

void PanelTest::convertsDialogUnitsAsTheDialogManager() {
    using qmb::qt::DluToPixelsX;
    using qmb::qt::DluToPixelsY;
    // 4 horizontal units = 6 px, 8 vertical units = 13 px; halves round up.
    QCOMPARE(DluToPixelsX(4), 6);
    QCOMPARE(DluToPixelsX(29), 44);    // 43.5
    QCOMPARE(DluToPixelsX(295), 443);  // 442.5
    QCOMPARE(DluToPixelsY(8), 13);
    QCOMPARE(DluToPixelsY(212), 345);  // 344.5
    QCOMPARE(DluToPixelsY(1), 2);      // 1.625
    QCOMPARE(DluToPixelsY(21), 34);    // 34.125
    QCOMPARE(DluToPixelsX(-3), -5);    // -4.5: away from zero
}

void PanelTest::createsControlsInTemplateOrder() {
    QStringList names;
    QStringList classes;
    for (QObject* child : Panel().children()) {
        if (!child->isWidgetType()) continue;
        names << child->objectName();
        classes << QString::fromLatin1(child->metaObject()->className());
    }
    QCOMPARE(names, QStringList({"1009", "-1", "1019", "1018", "1037", "1010", "1011", "1012",
                                 "1039", "1057", "1058", "1013"}));
    QCOMPARE(classes, QStringList({"QLabel", "QFrame", "QLabel", "QLabel", "QComboBox",
                                   "QPushButton", "QPushButton", "QPushButton", "qmb::qt::HexEdit",
                                   "qmb::qt::SectionEdit", "QLabel", "QPushButton"}));
    QCOMPARE(Button(qmb::IDC_READ)->text(), QStringLiteral("Read"));
    QCOMPARE(Button(qmb::IDC_WRITE)->text(), QStringLiteral("Write"));
    QCOMPARE(Button(qmb::IDC_TAT)->text(), QStringLiteral("TAT Mode"));
    // "&&" is one displayed ampersand for Qt as for Windows.
    QCOMPARE(Button(qmb::IDC_LOOP)->text(), QStringLiteral("Loop TAT&&Write"));
}

void PanelTest::placesControlsFromDialogUnits() {
    const struct {
        const char* name;
        QRect pixels;
    } expected[] = {
        {"1009", {342, 345, 51, 16}},  // 228, 212, 34 x 10
        {"-1", {0, 341, 443, 2}},      // 0, 210, 295 x 1: past the window's right edge
        {"1019", {294, 345, 45, 16}},  // 196, 212, 30 x 10
        {"1018", {3, 346, 270, 16}},   // 2, 213, 180 x 10
        {"1037", {345, 7, 62, 21}},    // 230, 4, 41 wide, closed as tall as a button
        {"1010", {276, 7, 65, 21}},    // 184, 4, 43 x 13
        {"1011", {128, 7, 42, 21}},    // 85, 4, 28 x 13
        {"1012", {6, 7, 44, 21}},      // 4, 4, 29 x 13
        {"1039", {6, 34, 401, 301}},   // 4, 21, 267 x 185
        {"1057", {54, 8, 29, 20}},     // 36, 5, 19 x 12
        {"1058", {87, 8, 36, 20}},     // 58, 5, 24 x 12
        {"1013", {173, 7, 101, 21}},   // 115, 4, 67 x 13
    };
    for (const auto& e : expected) {
        auto* control = Panel().findChild<QWidget*>(QLatin1String(e.name));
        QVERIFY2(control, e.name);
        QCOMPARE(control->geometry(), e.pixels);
    }
    QCOMPARE(Panel().geometry(), QRect(0, 0, 552, 434));  // 368 x 267 units
    // In device pixels the same places, scaled by the screen's ratio.
    const qreal dpr = Panel().devicePixelRatioF();
    QCOMPARE(Panel().grab(ControlOf(*editor_, qmb::IDC_HEX)->geometry()).size(),
             QSize(qRound(401 * dpr), qRound(301 * dpr)));
    // The lamps sit right of the port indicator, one above the other, as tall
    // as the status row together, inside the window.
    QCOMPARE(qmb::qt::OperatorPanel::ReceiveLampRect(), QRect(401, 345, 7, 7));
    QCOMPARE(qmb::qt::OperatorPanel::TransmitLampRect(), QRect(401, 354, 7, 7));
    const QRect client = editor_->Window().rect();
    QVERIFY(client.contains(qmb::qt::OperatorPanel::TransmitLampRect()));
    QVERIFY(client.contains(ControlOf(*editor_, qmb::IDC_STATUS)->geometry()));
    QVERIFY(!client.contains(ControlOf(*editor_, -1)->geometry()));
}

void PanelTest::windowIsFixedTitledAndCentred() {
    auto& window = editor_->Window();
    QCOMPARE(window.windowTitle(), QStringLiteral("Varnek_Editor"));
    QCOMPARE(window.size(), QSize(414, 362));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    const Qt::WindowFlags flags = window.windowFlags();
    QVERIFY(flags & Qt::WindowMinimizeButtonHint);
    QVERIFY(flags & Qt::WindowSystemMenuHint);
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QCOMPARE(qmb::qt::CentredPosition(QRect(0, 0, 1024, 768)), QPoint(302, 191));
    QCOMPARE(qmb::qt::CentredPosition(QRect(0, 0, 1025, 769)), QPoint(302, 191));
    QCOMPARE(qmb::qt::CentredPosition(QRect(1920, 0, 800, 600)), QPoint(1920 + 190, 107));
    QCOMPARE(window.pos(), qmb::qt::CentredPosition(window.screen()->geometry()));
}

void PanelTest::startsIdleWithSectionElevenOnCom1() {
    QVERIFY2(qmb::test::IsIdle(*editor_), qPrintable(qmb::test::DescribePanel(*editor_)));
    QCOMPARE(TextOf(*editor_, qmb::IDC_SECTION), QStringLiteral("11"));
    QCOMPARE(TextOf(*editor_, qmb::IDC_PORT), QStringLiteral("COM1"));
    QCOMPARE(TextOf(*editor_, qmb::IDC_HEX), QString());
    QCOMPARE(TextOf(*editor_, qmb::IDC_LENGTH), QString());
    QCOMPARE(TextOf(*editor_, qmb::IDC_CLOCK), QString());
    auto* port = qobject_cast<QComboBox*>(ControlOf(*editor_, qmb::IDC_PORT));
    QCOMPARE(port->count(), 4);
    QCOMPARE(port->itemText(3), QStringLiteral("COM4"));
    QCOMPARE(port->isEditable(), false);
}

void PanelTest::fixedPitchFontsFitTheirControls() {
    auto* hex = qobject_cast<QPlainTextEdit*>(ControlOf(*editor_, qmb::IDC_HEX));
    // "Courier" 14 x 8 and "Terminal" 8 x 6: every character as wide as a
    // digit, and a digit as wide as described.
    const struct {
        int id;
        int pixelSize;
        qreal charWidth;
    } fonts[] = {{qmb::IDC_HEX, 14, 8},
                 {qmb::IDC_PORT, 14, 8},
                 {qmb::IDC_CLOCK, 8, 6},
                 {qmb::IDC_PORT_STATUS, 8, 6}};
    for (const auto& f : fonts) {
        const QFont font = ControlOf(*editor_, f.id)->font();
        const QFontMetricsF metrics(font);
        const QString what = QStringLiteral("%1: %2").arg(f.id).arg(QFontInfo(font).family());
        QCOMPARE(font.pixelSize(), f.pixelSize);
        QVERIFY2(qAbs(metrics.horizontalAdvance(QLatin1Char('0')) - f.charWidth) < 0.1,
                 qPrintable(what));
        QVERIFY2(metrics.horizontalAdvance(QLatin1Char('i')) ==
                     metrics.horizontalAdvance(QLatin1Char('W')),
                 qPrintable(what));
    }
    // A line of 16 bytes, as a Read shows it, stays one line in the edit.
    hex->setPlainText(QStringLiteral("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n10 "));
    QCoreApplication::processEvents();
    QCOMPARE(hex->document()->firstBlock().layout()->lineCount(), 1);
    // The clock's and the port indicator's longest texts fit.
    const QFontMetrics small(ControlOf(*editor_, qmb::IDC_CLOCK)->font());
    QVERIFY(small.horizontalAdvance(QStringLiteral("100:00")) <
            ControlOf(*editor_, qmb::IDC_CLOCK)->width());
    QVERIFY(small.horizontalAdvance(QStringLiteral("CLOSED")) <
            ControlOf(*editor_, qmb::IDC_PORT_STATUS)->width());
}

void PanelTest::sectionTakesAtMostThreeTypedDigits() {
    auto* section = qobject_cast<QLineEdit*>(ControlOf(*editor_, qmb::IDC_SECTION));
    section->setFocus();
    section->clear();
    QTest::keyClicks(section, QStringLiteral("1a2-3 4"));
    QCOMPARE(section->text(), QStringLiteral("123"));
    section->clear();
    QTest::keyClicks(section, QStringLiteral("98765"));
    QCOMPARE(section->text(), QStringLiteral("987"));
    QCOMPARE(section->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
    // Editing keys still work; pasted text is not filtered.
    QTest::keyClick(section, Qt::Key_Backspace);
    QCOMPARE(section->text(), QStringLiteral("98"));
    section->clear();
    QGuiApplication::clipboard()->setText(QStringLiteral("x5"));
    section->paste();
    QCOMPARE(section->text(), QStringLiteral("x5"));
}

void PanelTest::hexStoresLettersUpperCaseAndKeepsTabAndEnter() {
    auto* hex = qobject_cast<QPlainTextEdit*>(ControlOf(*editor_, qmb::IDC_HEX));
    hex->setFocus();
    QTest::keyClicks(hex, QStringLiteral("a0 ff"));
    QTest::keyClick(hex, Qt::Key_Tab);
    QTest::keyClicks(hex, QStringLiteral("b"));
    QTest::keyClick(hex, Qt::Key_Return);
    QTest::keyClicks(hex, QStringLiteral("c1"));
    QTest::keyClick(hex, Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClick(hex, Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClicks(hex, QStringLiteral("<b>x</b>"));
    QCOMPARE(TextOf(*editor_, qmb::IDC_HEX), QStringLiteral("A0 FF\tB\r\nC1\r\n\r\n<B>X</B>"));
    QCOMPARE(hex->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QVERIFY(hex->hasFocus());
    // Pasted letters too; rich text arrives as its plain text.
    hex->clear();
    auto* mime = new QMimeData;
    mime->setText(QStringLiteral("de ad"));
    mime->setHtml(QStringLiteral("<b>zz</b>"));
    QGuiApplication::clipboard()->setMimeData(mime);
    hex->paste();
    QCOMPARE(TextOf(*editor_, qmb::IDC_HEX), QStringLiteral("DE AD"));
}

void PanelTest::tabNeverMovesTheFocus() {
    for (int id : {qmb::IDC_SECTION, qmb::IDC_READ, qmb::IDC_PORT}) {
        QWidget* control = ControlOf(*editor_, id);
        control->setFocus();
        QTest::keyClick(control, Qt::Key_Tab);
        QTest::keyClick(control, Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), control);
    }
    QCOMPARE(TextOf(*editor_, qmb::IDC_SECTION), QStringLiteral("11"));
}

void PanelTest::portListNamesTheDevicePathOfEachEntry() {
    const QByteArray saved[] = {qgetenv("QMB_COM2"), qgetenv("QMB_COM3"), qgetenv("QMB_COM4")};
    qputenv("QMB_COM2", "/tmp/qmb-test-com2");
    qunsetenv("QMB_COM3");
    qputenv("QMB_COM4", "");
    qmb::qt::OperatorPanel panel(nullptr);
    auto* port = qobject_cast<QComboBox*>(panel.Control(qmb::IDC_PORT));
    const QStringList tips = {port->itemData(0, Qt::ToolTipRole).toString(),
                              port->itemData(1, Qt::ToolTipRole).toString(),
                              port->itemData(2, Qt::ToolTipRole).toString(),
                              port->itemData(3, Qt::ToolTipRole).toString()};
    qputenv("QMB_COM2", saved[0]);
    qputenv("QMB_COM3", saved[1]);
    qputenv("QMB_COM4", saved[2]);
    QCOMPARE(tips[1], QStringLiteral("/tmp/qmb-test-com2"));
    QCOMPARE(tips[2], QStringLiteral("/dev/ttyS2"));
    QCOMPARE(tips[3], QStringLiteral("/dev/ttyS3"));  // set but empty: the default
    QCOMPARE(tips[0], QString::fromLocal8Bit(qgetenv("QMB_COM1")).isEmpty()
                          ? QStringLiteral("/dev/ttyS0")
                          : QString::fromLocal8Bit(qgetenv("QMB_COM1")));
    QCOMPARE(port->currentIndex(), 0);
}

void PanelTest::getTextHonoursTheLimitAndLineBreaks() {
    qmb::qt::QtPanel& seam = editor_->Seam();
    seam.SetText(qmb::IDC_HEX, "A0 A1 A2\r\nB0");
    auto* hex = qobject_cast<QPlainTextEdit*>(ControlOf(*editor_, qmb::IDC_HEX));
    QCOMPARE(hex->blockCount(), 2);

    char buf[32];
    std::memset(buf, '#', sizeof buf);
    QCOMPARE(seam.GetText(qmb::IDC_HEX, buf, 5), size_t{5});
    QCOMPARE(QByteArray(buf), QByteArray("A0 A1"));
    QCOMPARE(buf[6], '#');  // nothing past the NUL
    QCOMPARE(seam.GetText(qmb::IDC_HEX, buf, 20), size_t{12});
    QCOMPARE(QByteArray(buf), QByteArray("A0 A1 A2\r\nB0"));
    QCOMPARE(seam.GetText(qmb::IDC_HEX, buf, 0), size_t{0});
    QCOMPARE(buf[0], '\0');

    // Single bytes: Latin-1 as it is, anything else as '?'; a no-break space
    // stays itself (the hex parse refuses it, as it refuses every code above
    // 0x20 that is no digit).
    hex->setPlainText(QStringLiteral("\u00e9\u20ac\u00a01"));
    QCOMPARE(seam.GetText(qmb::IDC_HEX, buf, 20), size_t{4});
    QCOMPARE(QByteArray(buf), QByteArray("\xe9?\xa0"
                                         "1"));
    seam.SetText(qmb::IDC_STATUS, "caf\xe9 <b>");
    QCOMPARE(TextOf(*editor_, qmb::IDC_STATUS), QStringLiteral("caf\u00e9 <b>"));

    // A drop-down list takes only the text of one of its entries.
    seam.SetText(qmb::IDC_PORT, "COM3");
    QCOMPARE(seam.SelectedPort(), 2);
    seam.SetText(qmb::IDC_PORT, "COM9");
    QCOMPARE(seam.SelectedPort(), 2);
    QCOMPARE(seam.GetText(qmb::IDC_PORT, buf, 20), size_t{4});
    QCOMPARE(QByteArray(buf), QByteArray("COM3"));
}

void PanelTest::workerCallsAreCarriedOutOnTheGuiThreadInOrder() {
    auto* section = qobject_cast<QLineEdit*>(ControlOf(*editor_, qmb::IDC_SECTION));
    QThread* changedOn = nullptr;
    connect(
        section, &QLineEdit::textChanged, section, [&] { changedOn = QThread::currentThread(); },
        Qt::DirectConnection);
    QByteArray seen;
    bool disabledSeen = false;
    int port = -1;
    QVERIFY(RunAsWorker([&] {
        qmb::SetControlText(qmb::IDC_SECTION, "42");
        char buf[8];
        qmb::GetControlText(qmb::IDC_SECTION, buf, 4);
        seen = buf;
        qmb::SetControlDisabled(qmb::IDC_READ, true);
        // Each call has been carried out when it returns: the worker's own
        // reads see its changes.
        disabledSeen = !ControlOf(*editor_, qmb::IDC_READ)->isEnabled();
        qmb::InvalidateControl(qmb::IDC_READ);
        port = qmb::SelectedPortIndex();
    }));
    QCOMPARE(seen, QByteArray("42"));
    QVERIFY(disabledSeen);
    QCOMPARE(port, 0);
    QCOMPARE(changedOn, QThread::currentThread());
    QCOMPARE(section->text(), QStringLiteral("42"));
}

void PanelTest::errorBoxIsModalOwnedAndLeavesTheGuiRunning() {
    // The box runs its own event loop inside the GUI thread's call, so what
    // the operator does meanwhile is done by a timer, from within that loop.
    std::atomic<bool> returned{false};
    struct {
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QWidget* owner = nullptr;
        Qt::WindowModality modality = Qt::NonModal;
        bool lampTimerRan = false;
        bool clickStartedNothing = false;
        bool workerWaited = false;
    } seen;
    int stage = 0;
    QTimer operatorSide;
    connect(&operatorSide, &QTimer::timeout, this, [&] {
        QMessageBox* box = ShownErrorBox();
        if (!box) return;
        if (stage == 0) {
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.icon = box->icon();
            seen.buttons = box->standardButtons();
            seen.owner = box->parentWidget();
            seen.modality = box->windowModality();
            qmb::SerialLink::Default().RxLed().store(1);
            stage = 1;
        } else if (stage == 1 && qmb::SerialLink::Default().RxLed().load() == 0) {
            seen.lampTimerRan = true;
            // Through the window system, as a real click comes.
            QPushButton* read = Button(qmb::IDC_READ);
            QTest::mouseClick(editor_->Window().windowHandle(), Qt::LeftButton, {},
                              read->mapTo(&editor_->Window(), read->rect().center()));
            seen.clickStartedNothing = qmb::JobFlags.load() == 0;
            seen.workerWaited = !returned.load();
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
            stage = 2;
        }
    });
    operatorSide.start(10);
    std::thread worker([&] {
        qmb::ShowErrorBox("Port is busy");
        returned.store(true);
    });
    const bool ended = QTest::qWaitFor([&] { return returned.load(); }, 10000);
    operatorSide.stop();
    if (!ended) {
        worker.detach();
        QFAIL("the worker never came back from the error box");
    }
    worker.join();
    QCOMPARE(seen.title, QStringLiteral("Error"));
    QCOMPARE(seen.text, QStringLiteral("Port is busy"));
    QCOMPARE(seen.icon, QMessageBox::Critical);
    QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(seen.owner, &editor_->Window());
    QCOMPARE(seen.modality, Qt::ApplicationModal);
    QVERIFY(seen.lampTimerRan);
    QVERIFY(seen.clickStartedNothing);
    QVERIFY(seen.workerWaited);
    QCOMPARE(stage, 2);
    QVERIFY(ShownErrorBox() == nullptr);
}

void PanelTest::closedSeamLetsWorkersGoWithoutTheGui() {
    editor_->Seam().Close();
    // No event processing from here on: a call that waited for the GUI
    // thread would never return.
    auto calls = std::async(std::launch::async, [] {
        qmb::SetControlText(qmb::IDC_STATUS, "late");
        qmb::ShowErrorBox("late");
        char buf[8];
        std::memset(buf, '#', sizeof buf);
        const size_t n = qmb::GetControlText(qmb::IDC_SECTION, buf, 4);
        return n == 0 && buf[0] == '\0' && qmb::SelectedPortIndex() == 0;
    });
    QVERIFY(calls.wait_for(std::chrono::seconds(5)) == std::future_status::ready);
    QVERIFY(calls.get());
    QCOMPARE(TextOf(*editor_, qmb::IDC_STATUS), QStringLiteral("Ready"));
}

void PanelTest::lampsShowTheirCellsAndRepaintOnlyOnChange() {
    LampPaintCounter counter;
    Panel().installEventFilter(&counter);
    QTest::qWait(100);  // first paints done

    // Idle: the 10 ms timer runs but paints nothing.
    counter.count = 0;
    QTest::qWait(500);
    QCOMPARE(counter.count, 0);

    Panel().StopTimers();
    const qreal dpr = Panel().devicePixelRatioF();
    auto LampCell = [dpr](int cell) { return ::LampCell(cell, dpr); };
    const QRect rx = qmb::qt::OperatorPanel::ReceiveLampRect();
    const QRect tx = qmb::qt::OperatorPanel::TransmitLampRect();
    QCOMPARE(Grabbed(&Panel(), rx), LampCell(qmb::kLampCellOff));
    QCOMPARE(Grabbed(&Panel(), tx), LampCell(qmb::kLampCellOff));

    // A completed read lights the receive lamp for one tick.
    qmb::SerialLink::Default().RxLed().store(1);
    Panel().LampTick();
    QCOMPARE(qmb::SerialLink::Default().RxLed().load(), uint8_t{0});
    QCOMPARE(Panel().ReceiveLampCell(), qmb::kLampCellReceive);
    QCOMPARE(Panel().TransmitLampCell(), qmb::kLampCellOff);
    counter.count = 0;
    counter.painted = QRegion();
    QTest::qWait(50);
    QCOMPARE(counter.count, 1);
    QCOMPARE(counter.painted, QRegion(rx));
    QCOMPARE(Grabbed(&Panel(), rx), LampCell(qmb::kLampCellReceive));
    QCOMPARE(Grabbed(&Panel(), tx), LampCell(qmb::kLampCellOff));

    qmb::SerialLink::Default().TxLed().store(1);
    Panel().LampTick();
    QCOMPARE(Panel().ReceiveLampCell(), qmb::kLampCellOff);
    QCOMPARE(Grabbed(&Panel(), rx), LampCell(qmb::kLampCellOff));
    QCOMPARE(Grabbed(&Panel(), tx), LampCell(qmb::kLampCellTransmit));

    Panel().LampTick();
    QCOMPARE(Grabbed(&Panel(), tx), LampCell(qmb::kLampCellOff));
    Panel().removeEventFilter(&counter);
}

void PanelTest::clockShowsElapsedTimeOnlyWhileAJobRuns() {
    Panel().StopTimers();
    Panel().ClockTick();
    QCOMPARE(TextOf(*editor_, qmb::IDC_CLOCK), QString());
    qmb::ClockRunning.store(1);
    Panel().ClockTick();
    QCOMPARE(TextOf(*editor_, qmb::IDC_CLOCK), QStringLiteral("00:00"));
    Panel().ClockTick();
    QCOMPARE(TextOf(*editor_, qmb::IDC_CLOCK), QStringLiteral("00:01"));
    qmb::ClockRunning.store(0);
    Panel().ClockTick();
    QCOMPARE(TextOf(*editor_, qmb::IDC_CLOCK), QStringLiteral("00:01"));
    qmb::ClockRunning.store(1);
    Panel().ClockTick();
    QCOMPARE(TextOf(*editor_, qmb::IDC_CLOCK), QStringLiteral("00:00"));
    qmb::ClockRunning.store(0);
}

void PanelTest::closingTheWindowEndsTheProcess_data() {
    QTest::addColumn<QString>("situation");
    QTest::newRow("idle") << "idle";
    QTest::newRow("error-box") << "error-box";      // the worker waits in the error box
    QTest::newRow("waiting-job") << "waiting-job";  // a TAT job waits for the ignition
    QTest::newRow("panel-calls") << "panel-calls";  // a worker in a stream of panel calls
}

void PanelTest::closingTheWindowEndsTheProcess() {
    QFETCH(QString, situation);
    QTemporaryDir dir;
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QMB_COM1"), dir.filePath(QStringLiteral("no-such-port")));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    QElapsedTimer elapsed;
    elapsed.start();
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), situation});
    QVERIFY(child.waitForFinished(15000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QVERIFY2(elapsed.elapsed() < 10000, qPrintable(QString::number(elapsed.elapsed())));
}

// The child side of closingTheWindowEndsTheProcess: runs the program as
// main() does, brings the situation about, then closes the main window.
static int Storm() {
    char buf[16];
    for (;;) {
        qmb::SetControlText(qmb::IDC_STATUS, "storm");
        qmb::GetControlText(qmb::IDC_STATUS, buf, 8);
    }
}

static int RunChild(int argc, char** argv) {
    QApplication app(argc, argv);
    const QByteArray situation = argv[2];
    int master = -1;
    if (situation == "waiting-job") {
        // A line on which nothing ever arrives.
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 3;
        qputenv("QMB_COM1", ptsname(master));
    }
    qmb::qt::EditorApp editor;
    QWidget& window = editor.Window();
    auto* panel = &editor.Window().Panel();
    auto click = [panel](int id) { qobject_cast<QPushButton*>(panel->Control(id))->click(); };
    auto* poll = new QTimer(&window);
    if (situation == "idle") {
        QTimer::singleShot(200, &window, &QWidget::close);
    } else if (situation == "error-box") {
        QTimer::singleShot(100, &window, [click] { click(qmb::IDC_READ); });
        QObject::connect(poll, &QTimer::timeout, &window, [&window] {
            if (ShownErrorBox()) window.close();
        });
    } else if (situation == "waiting-job") {
        QTimer::singleShot(100, &window, [click] { click(qmb::IDC_TAT); });
        QObject::connect(poll, &QTimer::timeout, &window, [&window, panel] {
            if (qmb::qt::WidgetText(panel->Control(qmb::IDC_STATUS)) ==
                QLatin1String("Waiting for ignition ...")) {
                window.close();
            }
        });
    } else if (situation == "panel-calls") {
        if (!qmb::qt::StartCountedWorker(&Storm)) return 3;
        QTimer::singleShot(300, &window, &QWidget::close);
    } else {
        return 2;
    }
    poll->start(20);
    return editor.Run();
}

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return RunChild(argc, argv);
    QApplication app(argc, argv);
    PanelTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "PanelTest.moc"
