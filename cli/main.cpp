// qmb-cli: the device's sections from the command line. Backup, restore,
// verify, production loops and frame traces on the same core as the windows.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>

#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "link/SystemPort.h"
#include "platform/System.h"
#include "platform/Utf8.h"
#include "platform/Utf8Options.h"
#include "protocol/TraceFile.h"
#include "qmb/Version.h"

namespace {

using namespace qmb::cli;
using qmb::platform::InstallInterruptHandlers;
using qmb::platform::StderrIsTerminal;

const char kDescription[] =
    "qmb-cli reads and writes the numbered EEPROM sections (1 to 255) of the device on a\n"
    "serial line (38400 baud, 8N1), with the same frames, retries and time limits as the\n"
    "qmb-edit window. Data goes to standard output, messages to standard error.";

const char kFooter[] =
    "Ports: COM1..COM255 are mapped as the windows map them (QMB_COM1..QMB_COM4, then the\n"
    "port map written by `qmb-cli ports --map`); any other name is a device path.\n"
    "The options -p, --trace, --json and -q may stand before or after the command.\n"
    "Example: qmb-cli -p /dev/ttyUSB0 backup dev.qmb && qmb-cli -p /dev/ttyUSB0 restore dev.qmb\n";

// Data that never reached standard output (a full disk, a closed pipe) is a
// failure, whatever the command itself achieved.
int CheckStandardOutput(int code) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "qmb-cli: cannot write standard output\n");
        if (code == kExitOk) return kExitFile;
    }
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "qmb-cli"};
    app.footer(std::string(kFooter) + "\n" + ExitCodeTable());
    app.set_version_flag("--version", std::string("qmb-cli ") + QMB_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    Context c;
    GlobalOptions& g = c.global;
    app.add_option("-p,--port", g.port, "port: COM1..COM255 or a device path")
        ->capture_default_str()
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    auto* traceOption =
        app.add_option("--trace", g.trace,
                       "write every frame (time, direction, command, attempt, verdict, bytes) "
                       "to FILE, or to standard error without FILE")
            ->expected(0, 1)
            ->default_str("-")
            ->type_name("[FILE]");
    app.add_flag("--json", g.json, "print one JSON result object on standard output");
    app.add_flag("-q,--quiet", g.quiet, "no messages or progress, errors only");

    AddPortsCommand(app, c);
    AddInfoCommand(app, c);
    AddReadCommand(app, c);
    AddWriteCommand(app, c);
    AddBackupCommand(app, c);
    AddRestoreCommand(app, c);
    AddVerifyCommand(app, c);
    AddDiffCommand(app, c);
    AddPatchCommand(app, c);
    AddTatCommand(app, c);
    AddLoopCommand(app, c);
    AddRecordsCommand(app, c);
    AddRecipeCommand(app, c);
    AddSerialCommand(app, c);

    // UTF-8 arguments (on Windows from the wide command line), which CLI11
    // takes last first.
    std::vector<std::string> args = qmb::Utf8Arguments(argc, argv);
    std::reverse(args.begin(), args.end());
    if (!args.empty()) args.pop_back();  // the program's own name
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp& e) {
        return CheckStandardOutput(app.exit(e));
    } catch (const CLI::CallForAllHelp& e) {
        return CheckStandardOutput(app.exit(e));
    } catch (const CLI::CallForVersion& e) {
        return CheckStandardOutput(app.exit(e));
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    const std::string notText = qmb::NonUtf8Option(app);
    if (!notText.empty()) {
        std::fprintf(stderr, "qmb-cli: %s: not valid UTF-8\n", notText.c_str());
        return kExitUsage;
    }

    Output out(g.json, g.quiet, StderrIsTerminal());
    c.out = &out;
    out.Result()["command"] = app.get_subcommands().front()->get_name();
    InstallInterruptHandlers();
    qmb::TraceFile traceFile;
    if (traceOption->count() > 0) {
        if (!traceFile.Open(g.trace.empty() ? "-" : g.trace, "qmb-cli")) {
            out.Warn("cannot write the trace to " + g.trace);
            out.PrintResult(kExitFile, "cannot write the trace to " + g.trace);
            return kExitFile;
        }
        c.trace = &traceFile;
    }
    const std::unique_ptr<qmb::TickCounter> ticks = qmb::MakeSystemTicks();
    c.ticks = ticks.get();
    c.makePort = [] { return qmb::MakeSystemPort(); };
    int code = kExitOk;
    std::string error;
    try {
        code = c.run();
    } catch (const CliError& e) {
        code = e.Code();
        error = e.what();
        out.Warn(error);
    } catch (const qmb::device::DeviceFault& e) {
        code = ExitCodeOf(e.Kind());
        error = e.what();
        out.Warn(error);
    }
    out.PrintResult(code, error);
    return CheckStandardOutput(code);
}
