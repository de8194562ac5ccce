// The command line of qmb-device: --help and --version answer before any
// display is looked for; --port and --reference choose what the window
// starts with. Anything else starting with "-", an argument that is no
// option, or a port other than COM1 to COM4 is refused with one line and
// exit code 2 (main refuses arguments that are not UTF-8 the same way).
#pragma once

#include <QStringList>
#include <string>

namespace qmb::bench {

struct StartOptions {
    bool answered = false;  // true: end with code, open no window
    int code = 0;
    std::string out, err;   // for standard output and standard error
    QString port = QStringLiteral("COM1");
    QString reference;      // a backup file to open as the reference, "" for none
};

// args without the program's name. Without strict (before the toolkit has
// taken its own options off the command line) only --help and --version are
// looked at.
StartOptions ParseStartOptions(const QStringList& args, bool strict);

// The ports the window offers, in order.
QStringList PortNames();

std::string HelpText();

}  // namespace qmb::bench
