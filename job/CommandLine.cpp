#include "job/CommandLine.h"

#include "qmb/Version.h"

namespace qmb {

namespace {
#ifdef _WIN32
constexpr char kProgram[] = "qmb-edit.exe";
#else
constexpr char kProgram[] = "qmb-edit";
#endif
}  // namespace

std::string WindowHelpText() {
    std::string text = std::string("Usage: ") + kProgram +
                       " [OPTIONS]\n"
                       "\n"
                       "Opens the operator panel: a window that reads and writes the EEPROM\n"
                       "sections (1 to 255) of a device on a serial port (38400 baud, 8N1).\n"
                       "\n"
                       "Options:\n"
                       "  -h, --help    print this help and exit\n"
                       "  --version     print the version and exit\n"
                       "\n"
                       "Environment:\n"
                       "  QMB_COM1 to QMB_COM4   the device that COM1 to COM4 open; wins over the\n"
#ifdef _WIN32
                       "                         port map (e.g. QMB_COM1=COM12)\n"
#else
                       "                         port map (e.g. QMB_COM1=/dev/ttyUSB0)\n"
#endif
                       "  QMB_TRACE=FILE         write every frame of every job to FILE\n"
                       "\n"
                       "Port map: "
#ifdef _WIN32
                       "%APPDATA%\\qmb-edit\\ports.conf"
#else
                       "$XDG_CONFIG_HOME/qmb-edit/ports.conf (~/.config/qmb-edit/ports.conf)"
#endif
                       ",\n"
                       "written by `qmb-cli ports --map COMn DEVICE`, names the device that a COM\n"
                       "name opens. Without either, COMn opens "
#ifdef _WIN32
                       "the COM port itself.\n";
#else
                       "/dev/ttyS<n-1> (COM1 is /dev/ttyS0).\n";
#endif
    return text;
}

CommandLineAnswer AnswerCommandLine(const std::vector<std::string>& args, bool unknownToo) {
    CommandLineAnswer answer;
    const std::string* unknown = nullptr;
    for (const std::string& arg : args) {
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") {
            answer.answered = true;
            answer.out = WindowHelpText();
            return answer;
        }
        if (arg == "--version") {
            answer.answered = true;
            answer.out = std::string("qmb-edit ") + QMB_VERSION + "\n";
            return answer;
        }
        if (!unknown && arg.size() > 1 && arg[0] == '-') unknown = &arg;
    }
    if (unknown && unknownToo) {
        answer.answered = true;
        answer.code = 2;
        answer.err = std::string(kProgram) + ": unknown option " + *unknown + " (" + kProgram +
                     " --help lists the options)\n";
    }
    return answer;
}

}  // namespace qmb
