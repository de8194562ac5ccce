// qmb-device for Windows: the service bench's window. The program's entry,
// its command line and its message loop.
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bench-win32/BenchIds.h"
#include "bench-win32/BenchWindow.h"
#include "bench-win32/DeviceJobs.h"
#include "platform/Utf8.h"
#include "platform/WindowAnswer.h"
#include "qmb/Version.h"

namespace qmb::benchwin {

namespace {

struct Answer {
    bool answered = false;
    int code = 0;
    std::string out, err;
};

// --help and --version answer without a window; anything else on the
// command line is refused with exit code 2.
Answer AnswerCommandLine(int argc, char** argv) {
    CLI::App app("qmb-device: the whole device in one window. Read every section, compare it "
                 "with a backup file, edit bytes and write back only the sections that changed.\n"
                 "COM1 to COM4 open what QMB_COM1..QMB_COM4 or the port map (%APPDATA%\\qmb-edit\\"
                 "ports.conf) name; QMB_TRACE=FILE writes every frame to FILE. Automatic backups "
                 "go to %LOCALAPPDATA%\\qmb-edit\\backups.",
                 "qmb-device");
    app.set_version_flag("--version", std::string("qmb-device ") + QMB_VERSION);
    std::vector<std::string> args = Utf8Arguments(argc, argv);
    if (!args.empty()) args.erase(args.begin());
    std::reverse(args.begin(), args.end());  // CLI11 takes them last first
    Answer answer;
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp&) {
        answer = {true, 0, app.help(), ""};
    } catch (const CLI::CallForVersion&) {
        answer = {true, 0, std::string("qmb-device ") + QMB_VERSION + "\n", ""};
    } catch (const CLI::ParseError& error) {
        answer = {true, 2, "", std::string("qmb-device: ") + error.what() + "\n"};
    }
    return answer;
}

// Ends the process at once, taking a running read's worker with it: no
// destructor or exit handler runs, so nothing waits on what the worker holds.
[[noreturn]] void EndProcessNow(UINT code) {
    TerminateProcess(GetCurrentProcess(), code);
    ExitProcess(code);  // not reached
}

// How long the UI thread keeps one message while a job runs: the longest
// wall and CPU time, in ms, since the last reset (kMsgLoopFigures).
struct LoopFigures {
    double wallMs = 0, cpuMs = 0;
};
LoopFigures g_figures;

double NowMs() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double ThreadCpuMs() {
    FILETIME created, ended, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user)) return 0;
    auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

void Handle(MSG& message) {
    Ui& ui = App();
    // The row editor keeps its keys (Ctrl+Z undoes its own typing).
    if (!Editing() && TranslateAcceleratorW(ui.main, ui.accelerators, &message)) return;
    if (IsDialogMessageW(ui.main, &message)) return;
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

int RunMessageLoop() {
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        const bool measured = JobRunning() || App().busy;
        const double wall = measured ? NowMs() : 0, cpu = measured ? ThreadCpuMs() : 0;
        Handle(message);
        if (measured) {
            g_figures.wallMs = std::max(g_figures.wallMs, NowMs() - wall);
            g_figures.cpuMs = std::max(g_figures.cpuMs, ThreadCpuMs() - cpu);
        }
    }
    return 0;
}

}  // namespace

LRESULT LoopFiguresAnswer(WPARAM reset) {
    const LRESULT answer =
        MAKELRESULT(static_cast<WORD>(std::min(g_figures.wallMs, 65535.0)),
                    static_cast<WORD>(std::min(g_figures.cpuMs, 65535.0)));
    if (reset == 1) g_figures = LoopFigures{};
    return answer;
}

}  // namespace qmb::benchwin

// Returns 1 when the window cannot be made, 0 when it closes (2 for an
// unknown option).
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    using namespace qmb::benchwin;
    const Answer answer = AnswerCommandLine(__argc, __argv);
    if (answer.answered) {
        qmb::TellFromWindowProgram(answer.out, STD_OUTPUT_HANDLE, false, "qmb-device");
        qmb::TellFromWindowProgram(answer.err, STD_ERROR_HANDLE, true, "qmb-device");
        return answer.code;
    }
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS |
                                                          ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    TraceFromEnvironment();
    HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_DEVICE_APP));
    if (!CreateBenchWindow(instance, icon)) return 1;
    ShowWindow(App().main, SW_SHOW);
    UpdateWindow(App().main);
    SetFocus(App().port);
    RunMessageLoop();
    // A read-all still running ends with the process.
    if (LiveWorkers() > 0) EndProcessNow(0);
    return 0;
}
