// qmb-device on Linux: the service bench's window over the device library.
#include <QApplication>
#include <QIcon>
#include <cstdio>

#include "bench-qt/BenchWindow.h"
#include "bench-qt/CommandLine.h"
#include "platform/Utf8.h"

namespace {
// Prints an answer of the command line and gives its exit code.
int Answer(const qmb::bench::StartOptions& options) {
    std::fputs(options.out.c_str(), stdout);
    std::fputs(options.err.c_str(), stderr);
    return std::fflush(stdout) == 0 ? options.code : 1;
}

QStringList Arguments(int argc, char** argv) {
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromUtf8(argv[i]);
    return args;
}
}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!qmb::IsValidUtf8(argv[i])) {
            std::fprintf(stderr, "qmb-device: argument %d is not valid UTF-8\n", i);
            return 2;
        }
    }
    // --help and --version answer before Qt looks for a display.
    if (const auto early = qmb::bench::ParseStartOptions(Arguments(argc, argv), false); early.answered)
        return Answer(early);
    QApplication app(argc, argv);
    // Qt has taken its own options (-platform, -style, ...) off the command
    // line: whatever is left must be ours.
    const auto options = qmb::bench::ParseStartOptions(Arguments(argc, argv), true);
    if (options.answered) return Answer(options);
    QApplication::setApplicationName(QStringLiteral("qmb-device"));
    QGuiApplication::setDesktopFileName(QStringLiteral("qmb-device"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/qmb-edit.ico")));
    qmb::bench::BenchWindow window(options.port);
    if (!options.reference.isEmpty()) window.OpenReference(options.reference);
    window.show();
    return QApplication::exec();
}
