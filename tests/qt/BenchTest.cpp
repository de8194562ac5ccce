// The service bench's window (qmb-device) under Qt Test on the offscreen
// platform: its layout on a 1024 x 768 screen at 100 % and 200 %, the hex
// view's marks and typing, the command line, and the whole road against
// qmb-devsim on a pseudo-terminal: read all (measuring how long the event
// loop is held), a backup as the reference, the marks, edits from the
// keyboard, the write of only the planned sections (checked in the frames
// sent and in the simulator's EEPROM), patches, a failed section and
// Cancel during a read and a write.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "DevSim.h"
#include "bench-qt/BenchWindow.h"
#include "bench-qt/CommandLine.h"
#include "bench-qt/HexView.h"
#include "bench-qt/SectionTable.h"
#include "bench-qt/WriteDialog.h"

using qmb::bench::BenchWindow;
using qmb::bench::HexView;
namespace device = qmb::device;

namespace {

// The sections and the first byte of every write and commit frame sent.
class FrameLog : public qmb::TraceSink {
  public:
    void OnTrace(const qmb::TraceEvent& e) override {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_ += e.count;
        if (!e.sent) return;
        const std::string command = e.command;
        // A commit names its section at byte 15; a write its address at 17..19.
        if (command == "commit" && e.count > 15) commits_.push_back(e.bytes[15]);
        if (command == "write" && e.count > 19)
            writes_.push_back(QStringLiteral("%1 %2 %3")
                                  .arg(e.bytes[17], 2, 16, QLatin1Char('0'))
                                  .arg(e.bytes[18], 2, 16, QLatin1Char('0'))
                                  .arg(e.bytes[19], 2, 16, QLatin1Char('0'))
                                  .toUpper());
    }
    std::vector<int> Commits() {
        std::lock_guard<std::mutex> lock(mutex_);
        return commits_;
    }
    QStringList Writes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }
    // Bytes that crossed the line both ways, and the least time they take
    // at 38400 baud, 10 bits a byte.
    size_t Bytes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }
    double FloorMs() { return static_cast<double>(Bytes()) * 10 * 1000 / 38400; }

  private:
    std::mutex mutex_;
    std::vector<int> commits_;
    QStringList writes_;
    size_t bytes_ = 0;
};

// How long the GUI thread's event loop is held: a 1 ms probe timer on it
// notes the longest gap between its ticks (what a user feels, scheduling
// included) and the GUI thread's CPU time over that gap (the window's own
// work, whatever else the machine runs).
class LoopHold : public QObject {
  public:
    LoopHold() {
        probe_.setTimerType(Qt::PreciseTimer);
        connect(&probe_, &QTimer::timeout, this, [this] { Tick(); });
        probe_.start(1);
        since_.start();
    }
    double LongestGapMs() const { return longestGap_; }
    double LongestCpuMs() const { return longestCpu_; }
    // When that was, in ms from the start.
    qint64 LongestCpuAt() const { return longestCpuAt_; }

  private:
    static double ThreadCpuMs() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
    }
    void Tick() {
        const double cpu = ThreadCpuMs();
        if (wall_.isValid()) {
            longestGap_ = std::max(longestGap_, wall_.nsecsElapsed() / 1e6);
            if (cpu - cpu_ > longestCpu_) longestCpuAt_ = since_.elapsed();
            longestCpu_ = std::max(longestCpu_, cpu - cpu_);
        }
        wall_.start();
        cpu_ = cpu;
    }
    QTimer probe_;
    QElapsedTimer wall_, since_;
    double cpu_ = 0, longestGap_ = 0, longestCpu_ = 0;
    qint64 longestCpuAt_ = 0;
};

// The section's EEPROM as the simulator's dump shows it ("A0A1...").
QString SimEeprom(qmb::test::DevSim& sim, int section) {
    const QString answer = QString::fromStdString(sim.Control("dump " + std::to_string(section)));
    const int at = answer.indexOf(QStringLiteral("eeprom "));
    return at < 0 ? answer : answer.mid(at + 7).remove(QLatin1Char(' ')).trimmed();
}

QString Hex(const device::Bytes& bytes) {
    QString out;
    for (uint8_t b : bytes)
        out += QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
    return out;
}

bool WaitIdle(BenchWindow& window, int ms) {
    return QTest::qWaitFor([&] { return !window.Busy(); }, ms);
}

}  // namespace

class BenchTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void fitsTheScreenAndShowsWholeRows();
    void hexViewMarksAndTyping();
    void commandLine();
    void readCompareEditWriteAgainstTheSimulator();
    void cancelStopsAReadAll();
    void writeEndsAtAFailureOrCancel();

  private:
    QTemporaryDir data_;
};

void BenchTest::initTestCase() {
    QVERIFY(data_.isValid());
    // The automatic backups go to this test's own data folder.
    qputenv("XDG_DATA_HOME", data_.path().toLocal8Bit());
}

void BenchTest::fitsTheScreenAndShowsWholeRows() {
    BenchWindow window(QStringLiteral("COM1"));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY2(screen.width() <= 1024 && screen.height() <= 768,
             qPrintable(QStringLiteral("screen %1x%2").arg(screen.width()).arg(screen.height())));
    std::printf("screen %dx%d at %.0f %%\n", screen.width(), screen.height(),
                window.devicePixelRatioF() * 100);
    const QSize least = window.minimumSizeHint();
    QVERIFY2(least.width() <= screen.width() && least.height() <= screen.height(),
             qPrintable(QStringLiteral("needs %1x%2").arg(least.width()).arg(least.height())));
    window.resize(screen.size());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // A whole row of 16 bytes and its ASCII is in view without scrolling
    // sideways, and the table shows every column.
    QCOMPARE(window.Hex()->horizontalScrollBar()->maximum(), 0);
    QTableView* table = window.Table();
    const int last = qmb::bench::SectionTable::kState;
    const int stateWidth = table->fontMetrics().horizontalAdvance(QStringLiteral("only on the device"));
    QVERIFY2(table->columnViewportPosition(last) + stateWidth <= table->viewport()->width(),
             qPrintable(QStringLiteral("%1 + %2 > %3")
                            .arg(table->columnViewportPosition(last))
                            .arg(stateWidth)
                            .arg(table->viewport()->width())));
    // Every action answers its key: the read-all key is bound.
    bool found = false;
    for (QAction* action : window.findChildren<QAction*>())
        found |= action->shortcut() == QKeySequence(QStringLiteral("Ctrl+R"));
    QVERIFY(found);
}

void BenchTest::hexViewMarksAndTyping() {
    HexView view;
    view.resize(view.sizeHint());
    device::Bytes bytes(20);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(0x41 + i);
    std::vector<uint8_t> marks(20, 0);
    marks[1] = qmb::bench::kMarkDiffers;
    marks[17] = qmb::bench::kMarkEdited | qmb::bench::kMarkDiffers;
    view.SetBytes(bytes, marks, true);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    // Offsets, hex, the marker column, ASCII: row 0 differs only, row 1 both.
    QCOMPARE(view.RowText(0),
             QStringLiteral("0000  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  D   "
                            "ABCDEFGHIJKLMNOP"));
    QCOMPARE(view.RowText(1).left(18), QStringLiteral("0010  51 52 53 54 "));
    QCOMPARE(view.RowText(1).mid(56, 2), QStringLiteral("DE"));

    QSignalSpy typed(&view, &HexView::ByteTyped);
    view.setFocus();
    view.SetCursorOffset(2);
    // Two digits (either case) make one byte; a non-digit types nothing.
    QTest::keyClicks(&view, QStringLiteral("a"));
    QTest::keyClicks(&view, QStringLiteral("g"));
    QTest::keyClicks(&view, QStringLiteral("F"));
    QCOMPARE(typed.count(), 2);
    QCOMPARE(typed[0][0].toInt(), 2);
    QCOMPARE(typed[0][1].toInt(), 0xA3);  // the high nibble over 0x43
    QCOMPARE(typed[1][1].toInt(), 0x4F);  // low nibble over the byte still shown
    QCOMPARE(view.CursorOffset(), 3);
    // Shift extends the selection; the cursor stays inside the bytes.
    QTest::keyClick(&view, Qt::Key_Down, Qt::ShiftModifier);
    QCOMPARE(view.SelectionFirst(), 3);
    QCOMPARE(view.SelectionLast(), 19);  // row 1 ends at 19: clamped
    QTest::keyClick(&view, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(view.CursorOffset(), 19);
    // A view that is not editable (nothing read) types nothing.
    view.SetBytes(bytes, marks, false);
    QTest::keyClicks(&view, QStringLiteral("12"));
    QCOMPARE(typed.count(), 2);
}

void BenchTest::commandLine() {
    using qmb::bench::ParseStartOptions;
    struct Case {
        QStringList args;
        bool strict;
        int code;  // -1: goes on to the window
        QString port, reference;
    };
    const std::vector<Case> cases = {
        {{}, true, -1, "COM1", ""},
        {{"--port", "COM3", "--reference", "good.qmb"}, true, -1, "COM3", "good.qmb"},
        {{"--help"}, false, 0, "", ""},
        {{"-h"}, true, 0, "", ""},
        {{"--version"}, false, 0, "", ""},
        // Before the toolkit has taken its options, others pass.
        {{"-platform", "offscreen"}, false, -1, "COM1", ""},
        {{"--bogus"}, true, 2, "", ""},
        {{"--port", "COM9"}, true, 2, "", ""},
        {{"--port"}, true, 2, "", ""},
        {{"backup.qmb"}, true, 2, "", ""},
    };
    for (const Case& c : cases) {
        const auto o = ParseStartOptions(c.args, c.strict);
        const QString what = c.args.join(' ');
        QCOMPARE(o.answered ? o.code : -1, c.code);
        if (c.code == 2) {
            QVERIFY2(o.out.empty() && o.err.find('\n') == o.err.size() - 1, qPrintable(what));
        } else if (c.code == -1) {
            QCOMPARE(o.port, c.port);
            QCOMPARE(o.reference, c.reference);
        }
    }
    QVERIFY(ParseStartOptions({"--version"}, true).out.rfind("qmb-device ", 0) == 0);
}

void BenchTest::readCompareEditWriteAgainstTheSimulator() {
    qmb::test::DevSim sim(QMB_DEVSIM);
    QVERIFY(sim.Start());
    // Section 12 holds 12 bytes; the rest is the simulator's default table.
    QVERIFY(sim.ControlOk("set 12 00 11 22 33 44 55 66 77 88 99 AA BB"));
    qputenv("QMB_COM1", QByteArray::fromStdString(sim.link));

    BenchWindow window(QStringLiteral("COM1"));
    FrameLog frames;
    window.SetTraceSink(&frames);
    window.resize(1000, 700);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QSignalSpy finished(&window, &BenchWindow::WorkFinished);

    // Read all from the keyboard; while it runs the event loop is never held
    // long.
    QElapsedTimer readTime;
    readTime.start();
    QTest::keyClick(&window, Qt::Key_R, Qt::ControlModifier);
    QVERIFY(window.Busy());
    auto hold = std::make_unique<LoopHold>();
    QVERIFY(WaitIdle(window, 60000));
    const double readMs = static_cast<double>(readTime.elapsed());
    const double gap = hold->LongestGapMs(), held = hold->LongestCpuMs();
    const qint64 heldAt = hold->LongestCpuAt();
    hold.reset();
    std::printf("read all: %.0f ms, line floor %.0f ms (%zu bytes), %.2f x; event loop: longest "
                "gap %.1f ms, GUI thread busy at most %.1f ms of it\n",
                readMs, frames.FloorMs(), frames.Bytes(), readMs / frames.FloorMs(), gap, held);
    QCOMPARE(finished.count(), 1);
    QVERIFY2(held <= 50.0,
             qPrintable(QStringLiteral("held %1 ms, %2 ms into the read").arg(held).arg(heldAt)));
    const device::Snapshot read = window.Model().DeviceSnapshot();
    QVERIFY2(read.Complete(), qPrintable(window.StatusText()));
    QCOMPARE(Hex(read.At(11).bytes), QStringLiteral("A0A1A2A3A4A5A6A7"));
    QCOMPARE(read.At(12).bytes.size(), size_t{12});
    QCOMPARE(read.At(200).presence, device::Presence::kAbsent);
    QVERIFY(frames.Commits().empty() && frames.Writes().empty());

    // The reference: what was read, with section 11's bytes 4 and 5 and
    // section 12's byte 3 changed, and section 20 absent.
    device::Snapshot reference = read;
    device::Bytes s11 = read.At(11).bytes;
    s11[4] = 0x00;
    s11[5] = 0x01;
    reference.SetBytes(11, s11);
    device::Bytes s12 = read.At(12).bytes;
    s12[3] = 0xEE;
    reference.SetBytes(12, s12);
    reference.SetAbsent(20);
    const QString refPath = QDir(data_.path()).filePath(QStringLiteral("good.qmb"));
    std::string error;
    QVERIFY2(device::SaveBackupFile(refPath.toStdString(), reference, "COM1", true, &error),
             error.c_str());
    QVERIFY2(window.OpenReference(refPath), qPrintable(window.StatusText()));

    // The table and the hex view show the right sections and bytes marked.
    auto* sections = window.Sections();
    auto state = [&](int n) { return sections->Rows()[sections->RowOf(n)].state; };
    QCOMPARE(state(11), QStringLiteral("different"));
    QCOMPARE(state(12), QStringLiteral("different"));
    QCOMPARE(state(20), QStringLiteral("only on the device"));
    QCOMPARE(state(13), QStringLiteral("same"));
    QCOMPARE(sections->Rows()[sections->RowOf(11)].address, QStringLiteral("11 22 33"));
    QCOMPARE(sections->Rows()[sections->RowOf(11)].crc,
             QStringLiteral("%1").arg(device::SectionCrc({11, {0x11, 0x22, 0x33}, read.At(11).bytes}), 8, 16,
                                      QLatin1Char('0')).toUpper());
    QVERIFY(window.SummaryText().contains(QString::fromStdString(window.Model().SummaryText())));

    // F6 from the start goes to the first differing byte: section 11, offset 4.
    window.SelectSection(1);
    window.Table()->setFocus();
    QTest::keyClick(&window, Qt::Key_F6);
    QCOMPARE(window.CurrentSection(), 11);
    QCOMPARE(window.Hex()->CursorOffset(), 4);
    std::vector<uint8_t> want(8, 0);
    want[4] = want[5] = qmb::bench::kMarkDiffers;
    QCOMPARE(window.Hex()->Marks(), want);
    QVERIFY(window.Hex()->RowText(0).mid(56, 2) == QStringLiteral("D "));
    QTest::keyClick(&window, Qt::Key_F6);
    QCOMPARE(window.Hex()->CursorOffset(), 5);
    QTest::keyClick(&window, Qt::Key_F6, Qt::ShiftModifier);
    QCOMPARE(window.Hex()->CursorOffset(), 4);

    // Edits: bytes 4 and 5 taken from the reference (a selection, Ctrl+T),
    // then undone and redone; byte 0 of section 12 typed in the hex view.
    QTest::keyClick(window.Hex(), Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(&window, Qt::Key_T, Qt::ControlModifier);
    QCOMPARE(Hex(window.Model().Working(11)), QStringLiteral("A0A1A2A30001A6A7"));
    want[4] = want[5] = qmb::bench::kMarkEdited;  // same as the reference now, not yet written
    QCOMPARE(window.Hex()->Marks(), want);
    QCOMPARE(state(11), QStringLiteral("edited"));
    QTest::keyClick(&window, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(Hex(window.Model().Working(11)), QStringLiteral("A0A1A2A3A4A5A6A7"));
    QTest::keyClick(&window, Qt::Key_Y, Qt::ControlModifier);
    QCOMPARE(Hex(window.Model().Working(11)), QStringLiteral("A0A1A2A30001A6A7"));
    window.SelectSection(12);
    window.Hex()->setFocus();
    window.Hex()->SetCursorOffset(0);
    QTest::keyClicks(window.Hex(), QStringLiteral("5a"));
    QCOMPARE(window.Model().Working(12)[0], uint8_t{0x5A});
    QCOMPARE(window.Hex()->Marks()[0] & qmb::bench::kMarkEdited, int{qmb::bench::kMarkEdited});
    // The line under the view takes hex pairs at the cursor (offset 1 now).
    QVERIFY(window.EnterHex(QStringLiteral("12 34")));
    QVERIFY(!window.EnterHex(QStringLiteral("1")));  // an odd digit: refused, nothing changes
    QCOMPARE(Hex(window.Model().Working(12)).left(8), QStringLiteral("5A123433"));

    // The edits as a patch file, one line a run of changed bytes.
    const QString patchPath = QDir(data_.path()).filePath(QStringLiteral("edits.qmbpatch"));
    QVERIFY(window.ExportPatch(patchPath, true));
    QFile patchFile(patchPath);
    QVERIFY(patchFile.open(QIODevice::ReadOnly));
    const QString patchText = QString::fromUtf8(patchFile.readAll());
    QVERIFY2(patchText.contains(QStringLiteral("section 11 offset 4 old A4 A5 new 00 01")),
             qPrintable(patchText));
    QVERIFY2(patchText.contains(QStringLiteral("section 12 offset 0 old 00 11 22 new 5A 12 34")),
             qPrintable(patchText));

    // Write: the confirmation lists exactly sections 11 and 12.
    QTest::keyClick(&window, Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier);
    qmb::bench::WriteDialog* dialog = window.Confirmation();
    QVERIFY(dialog && dialog->isVisible());
    QCOMPARE(dialog->PlanText(),
             QStringLiteral("Section 11: 2 of 8 bytes\nSection 12: 3 of 12 bytes"));
    QVERIFY(dialog->BackupBox()->isChecked());
    QTest::mouseClick(dialog->WriteButton(), Qt::LeftButton);
    QVERIFY(WaitIdle(window, 30000));
    QCOMPARE(finished.count(), 2);

    // Only the planned sections were sent: one write and one commit each.
    QCOMPARE(frames.Commits(), (std::vector<int>{11, 12}));
    QCOMPARE(frames.Writes(), (QStringList{"11 22 33", "01 0C 00"}));
    // The simulator's EEPROM holds the new bytes, and every other section is
    // what it was (read back whole below).
    QCOMPARE(SimEeprom(sim, 11), QStringLiteral("A0A1A2A30001A6A7"));
    QCOMPARE(SimEeprom(sim, 12), QStringLiteral("5A1234334455667788 99AABB").remove(' '));
    QCOMPARE(window.Model().WritePlan().size(), size_t{0});
    QCOMPARE(state(11), QStringLiteral("same"));
    QVERIFY(window.Hex()->Marks()[0] & qmb::bench::kMarkDiffers);  // 12's byte 0 still differs
    QCOMPARE(window.Hex()->Marks()[0] & qmb::bench::kMarkEdited, 0);
    QVERIFY2(window.StatusText().contains(QStringLiteral("Written and verified: 11-12")),
             qPrintable(window.StatusText()));

    // The automatic backup holds the device as it was before the write.
    const QString backup = window.LastBackupPath();
    QVERIFY2(backup.startsWith(data_.path() + QStringLiteral("/qmb-edit/backups/")),
             qPrintable(backup));
    QVERIFY(window.StatusText().contains(backup));
    device::Snapshot before;
    QVERIFY2(device::LoadBackupFile(backup.toStdString(), before, &error), error.c_str());
    QCOMPARE(Hex(before.At(11).bytes), QStringLiteral("A0A1A2A3A4A5A6A7"));
    QCOMPARE(Hex(before.At(12).bytes), Hex(read.At(12).bytes));

    // The same patch again is refused: the device no longer holds its old
    // bytes; the refusal lists them and changes nothing.
    QVERIFY(!window.ApplyPatchFile(patchPath));
    auto* refused = window.findChild<QMessageBox*>(QStringLiteral("patchRefused"));
    QVERIFY(refused);
    QVERIFY2(refused->detailedText().contains(QStringLiteral("section 11")),
             qPrintable(refused->detailedText()));
    refused->close();
    QCOMPARE(window.Model().WritePlan().size(), size_t{0});

    // Read again: the device is the old one with exactly the two edits.
    QTest::keyClick(&window, Qt::Key_R, Qt::ControlModifier);
    QVERIFY(WaitIdle(window, 60000));
    const device::Snapshot after = window.Model().DeviceSnapshot();
    for (int n = 1; n <= 255; ++n) {
        const device::Bytes& expected =
            n == 11 ? window.Model().Working(11) : n == 12 ? window.Model().Working(12) : read.At(n).bytes;
        QVERIFY2(after.At(n).presence == read.At(n).presence && after.At(n).bytes == expected,
                 qPrintable(QStringLiteral("section %1").arg(n)));
    }
    QCOMPARE(frames.Commits().size(), size_t{2});
}

void BenchTest::cancelStopsAReadAll() {
    qmb::test::DevSim sim(QMB_DEVSIM);
    QVERIFY(sim.Start());
    qputenv("QMB_COM1", QByteArray::fromStdString(sim.link));
    BenchWindow window(QStringLiteral("COM1"));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.ReadAll();
    // Esc once a few sections are in; the read stops at its next transfer.
    QVERIFY(QTest::qWaitFor([&] { return window.StatusText().contains(QStringLiteral("section 5")); },
                            30000));
    QTest::keyClick(&window, Qt::Key_Escape);
    QElapsedTimer stop;
    stop.start();
    QVERIFY(WaitIdle(window, 10000));
    std::printf("cancel: the read ended %lld ms after Esc\n", static_cast<long long>(stop.elapsed()));
    QVERIFY2(window.StatusText().contains(QStringLiteral("cancelled")), qPrintable(window.StatusText()));
    const device::Snapshot& part = window.Model().DeviceSnapshot();
    QVERIFY(!part.Complete());
    QCOMPARE(part.At(1).presence, device::Presence::kPresent);
    QCOMPARE(part.At(255).presence, device::Presence::kNotRead);
    // Nothing of a partial read may pass for a whole backup.
    QVERIFY(!window.SaveBackup(QDir(data_.path()).filePath(QStringLiteral("part.qmb"))));

    // A port that will not open reads nothing, says why, and keeps what was
    // read before.
    auto* port = window.findChild<QComboBox*>();
    QVERIFY(port);
    port->setCurrentText(QStringLiteral("COM2"));  // unmapped: no such device
    window.ReadAll();
    QVERIFY(WaitIdle(window, 10000));
    QVERIFY2(window.StatusText().startsWith(QStringLiteral("Read all failed: ")),
             qPrintable(window.StatusText()));
    QCOMPARE(window.Model().DeviceSnapshot().At(1).presence, device::Presence::kPresent);
}

void BenchTest::writeEndsAtAFailureOrCancel() {
    qmb::test::DevSim sim(QMB_DEVSIM);
    QVERIFY(sim.Start());
    qputenv("QMB_COM1", QByteArray::fromStdString(sim.link));
    BenchWindow window(QStringLiteral("COM1"));
    FrameLog frames;
    window.SetTraceSink(&frames);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.ReadAll();
    QVERIFY(WaitIdle(window, 60000));
    QVERIFY2(window.Model().DeviceSnapshot().Complete(), qPrintable(window.StatusText()));
    const QString before12 = SimEeprom(sim, 12);

    // Sections 11 and 12 edited; every write request to the device is lost.
    window.SelectSection(11);
    QVERIFY(window.EnterHex(QStringLiteral("00")));
    window.SelectSection(12);
    QVERIFY(window.EnterHex(QStringLiteral("00")));
    QVERIFY(sim.ControlOk("fault silent on write count 20"));
    window.StartWrite(false);
    QVERIFY(WaitIdle(window, 60000));

    // Section 11 failed and is named; 12 was never sent; both stay edited.
    const QString status = window.StatusText();
    QVERIFY2(status.contains(QStringLiteral("section 11")) && status.contains(QStringLiteral("Not written: 11-12")),
             qPrintable(status));
    QVERIFY(!frames.Writes().isEmpty());
    for (const QString& address : frames.Writes())
        QCOMPARE(address, QStringLiteral("11 22 33"));
    QVERIFY(frames.Commits().empty());
    QCOMPARE(SimEeprom(sim, 11), QStringLiteral("A0A1A2A3A4A5A6A7"));
    QCOMPARE(SimEeprom(sim, 12), before12);
    QCOMPARE(window.Model().WritePlan().size(), size_t{2});
    QVERIFY(window.LastBackupPath().isEmpty());  // turned off

    // Esc while section 11 is written (its reply held back) finishes 11 -
    // write, commit, read-back - and begins nothing after it.
    QVERIFY(sim.ControlOk("fault clear"));
    QVERIFY(sim.ControlOk("fault delay 600 on write"));
    window.StartWrite(false);
    QVERIFY(QTest::qWaitFor(
        [&] { return window.StatusText().contains(QStringLiteral("Writing section 11")); }, 30000));
    QTest::keyClick(&window, Qt::Key_Escape);
    QVERIFY(WaitIdle(window, 30000));
    QVERIFY2(window.StatusText().contains(QStringLiteral("Written and verified: 11.")) &&
                 window.StatusText().contains(QStringLiteral("Not written: 12")),
             qPrintable(window.StatusText()));
    QCOMPARE(frames.Commits(), std::vector<int>{11});
    QCOMPARE(SimEeprom(sim, 11), QStringLiteral("00A1A2A3A4A5A6A7"));
    QCOMPARE(SimEeprom(sim, 12), before12);
    QCOMPARE(window.Model().WritePlan().size(), size_t{1});
}

QTEST_MAIN(BenchTest)
#include "BenchTest.moc"
