#include "bench-qt/CommandLine.h"

#include <QCommandLineParser>

#include "qmb/Version.h"

namespace qmb::bench {

QStringList PortNames() {
    return {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"),
            QStringLiteral("COM4")};
}

std::string HelpText() {
    return "Usage: qmb-device [OPTIONS]\n"
           "\n"
           "Opens the service bench: a window that reads every EEPROM section (1 to\n"
           "255) of a device on a serial port (38400 baud, 8N1), compares it with a\n"
           "backup file, edits bytes and writes back only the sections that changed.\n"
           "\n"
           "Options:\n"
           "  -h, --help        print this help and exit\n"
           "  --version         print the version and exit\n"
           "  --port NAME       the port chosen at start: COM1 to COM4 (default COM1)\n"
           "  --reference FILE  open the backup FILE as the reference at start\n"
           "\n"
           "Environment:\n"
           "  QMB_COM1 to QMB_COM4   the device that COM1 to COM4 open; wins over the\n"
           "                         port map (e.g. QMB_COM1=/dev/ttyUSB0)\n"
           "  QMB_TRACE=FILE         write every frame the window exchanges to FILE\n"
           "\n"
           "Port map: $XDG_CONFIG_HOME/qmb-edit/ports.conf (~/.config/qmb-edit/ports.conf),\n"
           "written by `qmb-cli ports --map COMn DEVICE`, names the device that a COM\n"
           "name opens. Without either, COMn opens /dev/ttyS<n-1> (COM1 is /dev/ttyS0).\n"
           "\n"
           "Before writing, the device's content is saved as a backup in\n"
           "$XDG_DATA_HOME/qmb-edit/backups (~/.local/share/qmb-edit/backups) unless\n"
           "that is turned off in the confirmation.\n";
}

namespace {
StartOptions Refuse(const QString& why) {
    StartOptions o;
    o.answered = true;
    o.code = 2;
    o.err = "qmb-device: " + why.toStdString() + " (qmb-device --help lists the options)\n";
    return o;
}
}  // namespace

StartOptions ParseStartOptions(const QStringList& args, bool strict) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption port(QStringLiteral("port"), {}, QStringLiteral("NAME"));
    const QCommandLineOption reference(QStringLiteral("reference"), {}, QStringLiteral("FILE"));
    parser.addOptions({help, version, port, reference});
    const bool parsed = parser.parse(QStringList{QStringLiteral("qmb-device")} + args);
    StartOptions o;
    if (parser.isSet(help)) {
        o.answered = true;
        o.out = HelpText();
        return o;
    }
    if (parser.isSet(version)) {
        o.answered = true;
        o.out = std::string("qmb-device ") + QMB_VERSION + "\n";
        return o;
    }
    if (!strict) return o;
    if (!parsed) return Refuse(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return Refuse(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    if (parser.isSet(port)) {
        o.port = parser.value(port);
        if (!PortNames().contains(o.port))
            return Refuse(QStringLiteral("--port: COM1 to COM4 expected, got \"%1\"").arg(o.port));
    }
    o.reference = parser.value(reference);
    return o;
}

}  // namespace qmb::bench
