// The operator-panel scenarios, shared with the Windows GUI tests, replayed
// against the Qt front-end: one data row per scenario, run as
// "qt-scenario-tests replay:NAME".
#include <QApplication>
#include <QtTest>

#include "ScenarioFile.h"
#include "ScenarioRunner.h"

class ScenarioTest : public QObject {
    Q_OBJECT

  private slots:
    void replay_data();
    void replay();
};

void ScenarioTest::replay_data() {
    QTest::addColumn<int>("file");
    QTest::addColumn<int>("index");
    const QStringList files = QStringLiteral(QMB_SCENARIO_FILES).split(QLatin1Char('|'));
    for (int f = 0; f < files.size(); ++f) {
        std::vector<qmb::test::Scenario> scenarios;
        std::string error;
        if (!qmb::test::LoadScenarios(files[f].toStdString(), &scenarios, &error)) {
            QFAIL(error.c_str());
        }
        for (size_t i = 0; i < scenarios.size(); ++i) {
            QTest::newRow(scenarios[i].name.c_str()) << f << static_cast<int>(i);
        }
    }
}

void ScenarioTest::replay() {
    QFETCH(int, file);
    QFETCH(int, index);
    const QStringList files = QStringLiteral(QMB_SCENARIO_FILES).split(QLatin1Char('|'));
    std::vector<qmb::test::Scenario> scenarios;
    std::string error;
    QVERIFY(qmb::test::LoadScenarios(files[file].toStdString(), &scenarios, &error));
    qmb::test::ScenarioRunner runner(scenarios[static_cast<size_t>(index)]);
    QVERIFY2(runner.Start(), qPrintable(runner.Failure()));
    QVERIFY2(runner.Run(), qPrintable(runner.Failure()));
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The scenario closes the window itself and checks that it closed.
    QApplication::setQuitOnLastWindowClosed(false);
    ScenarioTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ScenarioTest.moc"
