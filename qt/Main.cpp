// qmb-edit on Linux: the operator panel on Qt Widgets over the portable core.
#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "job/CommandLine.h"
#include "protocol/TraceFile.h"
#include "qt/EditorApp.h"

namespace {
// --help and --version, or with unknownToo an unknown option: prints the
// answer and gives its exit code; -1 to go on and open the window.
int Answer(int argc, char** argv, bool unknownToo) {
    const qmb::CommandLineAnswer answer =
        qmb::AnswerCommandLine(std::vector<std::string>(argv + 1, argv + argc), unknownToo);
    if (!answer.answered) return -1;
    std::fputs(answer.out.c_str(), stdout);
    std::fputs(answer.err.c_str(), stderr);
    return std::fflush(stdout) == 0 ? answer.code : 1;
}
}  // namespace

int main(int argc, char** argv) {
    // --help and --version answer before Qt looks for a display.
    if (const int code = Answer(argc, argv, false); code >= 0) return code;
    QApplication app(argc, argv);
    // Qt has taken its own options (-platform, -style, ...) off the command
    // line: whatever option is left is unknown.
    if (const int code = Answer(argc, argv, true); code >= 0) return code;
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
