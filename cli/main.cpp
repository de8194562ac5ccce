// qmb-cli: the device's sections from the command line. Backup, restore,
// verify, production loops and frame traces on the same core as the windows.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/System.h"
#include "protocol/TraceFile.h"
#include "qmb/Version.h"

namespace {

using namespace qmb::cli;

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

struct Global {
    std::string port = "COM1";
    std::string trace;
    bool json = false;
    bool quiet = false;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "qmb-cli"};
    app.footer(std::string(kFooter) + "\n" + ExitCodeTable());
    app.set_version_flag("--version", std::string("qmb-cli ") + QMB_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    Global g;
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

    std::vector<std::string> mapArgs;
    std::string unmap;
    auto* ports = app.add_subcommand("ports", "list the serial ports and where COM1.. lead");
    ports->add_option("--map", mapArgs, "make COMn open DEVICE, for the windows too")
        ->expected(2)
        ->type_name("COMn DEVICE");
    ports->add_option("--unmap", unmap, "forget COMn's mapping")->type_name("COMn");

    std::string sectionText, file, hex, format = "hex", sections, logFile;
    bool noVerify = false, force = false, stopOnFail = false;
    double timeout = 0;
    int count = 0;

    auto* info = app.add_subcommand("info", "show the address and length of section N");
    info->add_option("N", sectionText, "section number, 1 to 255")->required();

    auto* read = app.add_subcommand("read", "read section N");
    read->add_option("N", sectionText, "section number, 1 to 255")->required();
    read->add_option("-o,--output", file, "write to FILE instead of standard output");
    read->add_option("--format", format, "hex: the window's hex text; bin: raw bytes")
        ->check(CLI::IsMember({"hex", "bin"}))
        ->capture_default_str();

    auto* write = app.add_subcommand(
        "write", "write section N from FILE or --hex, commit it, then read it back and compare");
    write->add_option("N", sectionText, "section number, 1 to 255")->required();
    auto* writeFile = write->add_option("FILE", file, "hex text (as the window shows) or, with --format bin, raw bytes");
    auto* writeHex = write->add_option("--hex", hex, "the bytes as hex text, e.g. \"A0 A1 A2\"");
    writeFile->excludes(writeHex);
    write->add_option("--format", format, "format of FILE: hex or bin")
        ->check(CLI::IsMember({"hex", "bin"}))
        ->capture_default_str();
    write->add_flag("--no-verify", noVerify, "do not read the section back");

    auto* backup = app.add_subcommand(
        "backup", "save every section that is not empty (length 0 is absent) to FILE");
    backup->add_option("FILE", file, "the backup file, written whole or not at all")->required();
    backup->add_option("--sections", sections, "only these sections, e.g. 1-4,11 (default 1-255)");

    auto* restore = app.add_subcommand(
        "restore", "write FILE's sections back, each committed and verified; nothing is written "
                   "unless every section's length and address match the device");
    restore->add_option("FILE", file, "a backup file")->required();
    restore->add_option("--sections", sections, "only these sections of the file, e.g. 1-4,11");
    restore->add_flag("--force", force, "write sections whose address differs (never a length)");

    auto* verify = app.add_subcommand("verify", "compare the device with FILE, byte by byte");
    verify->add_option("FILE", file, "a backup file")->required();
    verify->add_option("--sections", sections, "only these sections of the file");

    auto* tat = app.add_subcommand("tat", "wait for the device's ignition handshake");
    tat->add_option("--timeout", timeout, "give up after S seconds (default: wait for ever)")
        ->type_name("S")
        ->check(CLI::NonNegativeNumber);

    auto* loop = app.add_subcommand(
        "loop", "production loop: for each board, wait for ignition, pause 1 s, write section N "
                "from FILE, commit, read back and compare");
    loop->add_option("N", sectionText, "section number, 1 to 255")->required();
    loop->add_option("FILE", file, "the section's bytes as hex text (or raw, --format bin)")->required();
    loop->add_option("--format", format, "format of FILE: hex or bin")
        ->check(CLI::IsMember({"hex", "bin"}))
        ->capture_default_str();
    loop->add_option("--count", count, "stop after K boards (default: until Ctrl-C)")
        ->type_name("K")
        ->check(CLI::PositiveNumber);
    loop->add_option("--log", logFile, "append one JSON line per board to FILE");
    loop->add_flag("--stop-on-fail", stopOnFail, "stop at the first board that fails");

    try {
        app.parse(argc, argv);
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

    Output out(g.json, g.quiet, StderrIsTerminal());
    CLI::App* command = app.get_subcommands().front();
    out.Result()["command"] = command->get_name();
    InstallInterruptHandlers();
    qmb::TraceFile traceFile;
    if (traceOption->count() > 0) {
        if (!traceFile.Open(g.trace.empty() ? "-" : g.trace, "qmb-cli")) {
            out.Warn("cannot write the trace to " + g.trace);
            out.PrintResult(kExitFile, "cannot write the trace to " + g.trace);
            return kExitFile;
        }
        qmb::SetTraceSink(&traceFile);
    }
    const std::unique_ptr<qmb::Port> port = MakeSystemPort();
    const std::unique_ptr<qmb::TickCounter> ticks = MakeSystemTicks();
    Context c{out, *port, *ticks, g.port};
    int code = kExitOk;
    std::string error;
    try {
        if (command == ports) code = RunPorts(c, mapArgs, unmap);
        if (command == info) code = RunInfo(c, ParseSectionArgument(sectionText));
        if (command == read) code = RunRead(c, ParseSectionArgument(sectionText), file, format);
        if (command == write) {
            const int n = ParseSectionArgument(sectionText);
            if (file.empty() && writeHex->count() == 0)
                throw CliError(kExitUsage, "write needs FILE or --hex");
            code = RunWrite(c, n, file, hex, format, !noVerify);
        }
        if (command == backup) code = RunBackup(c, file, sections);
        if (command == restore) code = RunRestore(c, file, sections, force);
        if (command == verify) code = RunVerify(c, file, sections);
        if (command == tat) code = RunTat(c, timeout);
        if (command == loop)
            code = RunLoop(c, ParseSectionArgument(sectionText), file, format, count, logFile,
                           stopOnFail);
    } catch (const CliError& e) {
        code = e.Code();
        error = e.what();
        out.Warn(error);
    }
    qmb::SetTraceSink(nullptr);
    out.PrintResult(code, error);
    return CheckStandardOutput(code);
}
