// Prints what a gang of simulated boards costs and yields: `qmb-cli loop` on
// G ports at once (one process, a thread a slot) against G paced simulators
// that ignite every IGNITION ms, next to the same loop on one port alone, run
// in the same session, for each gang size G asked for (8 by default):
//   - boards per minute of the G together against G x one port's alone, over
//     the whole run and in the steady rate of each slot (its first board's
//     end to its last's, from the log), and the median board alone and in
//     the gang;
//   - CPU per port while every port waits for an ignition that never comes;
//   - the memory each extra port adds (peak resident size, G ports vs 1);
//   - boards per minute of 4 ports recording to a database server that
//     accepts and never answers (--db postgresql://... on a silent socket:
//     each record spools after the board's bound) against --db none.
// A measurement, not a test: it never fails on a figure.
//
// Usage: qmb-bench-gang PATH-TO-qmb-devsim PATH-TO-qmb-cli [boards] [ignition-ms] [gangs]
// (gangs: the sizes, e.g. 8,32)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "DevSim.h"

using namespace qmb::test;

namespace {

struct Figures {
    int code = -1;
    double wallMs = 0;
    double cpuMs = 0;
    long maxRssKb = 0;
};

// Runs the program to its end, or sends SIGINT after stopAfterMs (> 0).
Figures Measure(const std::vector<std::string>& args, int stopAfterMs = 0) {
    Figures f;
    std::fflush(stdout);  // nothing printed so far is printed again by the child
    const auto start = SteadyClock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (stopAfterMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(stopAfterMs));
        kill(pid, SIGINT);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    f.wallMs = MsSince(start);
    f.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    f.maxRssKb = usage.ru_maxrss;
    f.code = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return f;
}

// A socket on 127.0.0.1 that takes connections and never answers; its URL.
std::string SilentServer(int& fd) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 64) != 0)
        return "";
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return "postgresql://qmb@127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/qmb";
}

// Milliseconds since the epoch of a log line's "ended_at"; < 0 when it has none.
double EndedAtMs(const nlohmann::json& j) {
    if (!j.contains("ended_at") || !j["ended_at"].is_string()) return -1;
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(j["ended_at"].get<std::string>().c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year,
                    &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<double>(timegm(&tm)) * 1000.0 + ms;
}

// Boards a minute between the first and the last of these ends (ms).
double PerMinute(std::vector<double> ends) {
    if (ends.size() < 2) return 0;
    std::sort(ends.begin(), ends.end());
    return (ends.size() - 1) / ((ends.back() - ends.front()) / 60000.0);
}

// The log's boards, one JSON object a line.
std::vector<nlohmann::json> ReadLog(const std::string& log) {
    std::ifstream in(log);
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(in, line);) {
        auto j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_discarded() && j.is_object()) lines.push_back(std::move(j));
    }
    return lines;
}

// Boards a minute between the first board's end and the last's, read from
// the loop's log: the line's steady rate, without the start.
double SteadyPerMinute(const std::string& log) {
    std::vector<double> ends;
    for (const auto& j : ReadLog(log)) {
        const double end = EndedAtMs(j);
        if (end >= 0) ends.push_back(end);
    }
    return PerMinute(ends);
}

// What a loop's log says of its slots: the sum over the slots of each one's
// steady rate (its first board's end to its last's), and the median board
// (its handshake done to its last read-back), in ms.
struct LogFigures {
    double perMinute = 0, medianBoardMs = 0;
};

LogFigures SlotFigures(const std::string& log) {
    std::map<std::string, std::vector<double>> ends;
    std::vector<double> durations;
    for (const auto& j : ReadLog(log)) {
        const double end = EndedAtMs(j);
        if (end >= 0 && j.contains("port") && j["port"].is_string())
            ends[j["port"].get<std::string>()].push_back(end);
        if (j.contains("duration_s") && j["duration_s"].is_number())
            durations.push_back(j["duration_s"].get<double>() * 1000.0);
    }
    LogFigures f;
    for (const auto& [port, slotEnds] : ends)
        f.perMinute += PerMinute(slotEnds);
    if (!durations.empty()) {
        std::sort(durations.begin(), durations.end());
        f.medianBoardMs = durations[durations.size() / 2];
    }
    return f;
}

std::vector<std::string> Loop(const std::string& cli, const std::string& data,
                              const std::vector<std::unique_ptr<DevSim>>& sims, size_t ports,
                              int boards) {
    std::vector<std::string> args = {cli, "-q", "loop", "11", data};
    if (boards > 0) args.insert(args.end(), {"--count", std::to_string(boards)});
    for (size_t i = 0; i < ports; ++i)
        args.insert(args.end(), {"--port", sims[i]->link});
    return args;
}

// Starts n simulators with the extra options; empty when one does not start.
std::vector<std::unique_ptr<DevSim>> StartSims(const std::string& program, size_t n,
                                               const std::vector<std::string>& extra) {
    std::vector<std::unique_ptr<DevSim>> sims;
    for (size_t i = 0; i < n; ++i) {
        sims.push_back(std::make_unique<DevSim>(program));
        if (!sims.back()->Start(extra)) {
            std::fprintf(stderr, "qmb-devsim %zu of %zu did not start\n", i + 1, n);
            return {};
        }
    }
    return sims;
}

// The gang sizes of "8,32": every one at least 2; empty when it is not such a list.
std::vector<size_t> ParseGangs(const std::string& text) {
    std::vector<size_t> gangs;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        char* end = nullptr;
        const long n = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end || n < 2 || n > 256) return {};
        gangs.push_back(static_cast<size_t>(n));
    }
    return gangs;
}

// A gang of `ports` slots in one process against one slot alone: boards per
// minute and their ratio (whole runs, and the slots' steady rates from the
// logs in dir), the median board, the memory each extra slot adds, and the CPU of
// each slot while all wait for an ignition that never comes (10 s). False
// when a simulator or a loop failed.
bool GangFigures(const std::string& devsim, const std::string& cli, const std::string& data,
                 const std::string& dir, size_t ports, int boards, const std::string& ignition) {
    std::vector<std::unique_ptr<DevSim>> sims =
        StartSims(devsim, ports, {"--ignition-every", ignition});
    if (sims.empty()) return false;
    const std::string oneLog = dir + "/one.jsonl", gangLog = dir + "/gang.jsonl";
    std::vector<std::string> oneLoop = Loop(cli, data, sims, 1, boards);
    std::vector<std::string> gangLoop = Loop(cli, data, sims, ports, boards);
    oneLoop.insert(oneLoop.end(), {"--log", oneLog});
    gangLoop.insert(gangLoop.end(), {"--log", gangLog});
    const Figures one = Measure(oneLoop);
    const Figures gang = Measure(gangLoop);
    const LogFigures oneSteady = SlotFigures(oneLog), gangSteady = SlotFigures(gangLog);
    std::remove(oneLog.c_str());
    std::remove(gangLog.c_str());
    if (one.code != 0 || gang.code != 0) {
        std::fprintf(stderr, "qmb-cli loop failed: exit %d alone, %d in the gang of %zu\n",
                     one.code, gang.code, ports);
        return false;
    }
    const double perMinuteOne = boards / (one.wallMs / 60000.0);
    const double perMinuteGang = ports * boards / (gang.wallMs / 60000.0);
    std::printf("gang of %zu paced simulators, ignition every %s ms, %d boards a port:\n", ports,
                ignition.c_str(), boards);
    std::printf("  one port alone: %.1f boards/min (%.0f ms)\n", perMinuteOne, one.wallMs);
    std::printf("  %zu ports at once: %.1f boards/min (%.0f ms)\n", ports, perMinuteGang,
                gang.wallMs);
    std::printf("  ratio to %zu x one port: %.3f\n", ports, perMinuteGang / (ports * perMinuteOne));
    std::printf(
        "  steady rate, each slot's first board's end to its last's, summed: one port "
        "%.1f, %zu ports %.1f boards/min, ratio to %zu x one port %.3f\n",
        oneSteady.perMinute, ports, gangSteady.perMinute, ports,
        oneSteady.perMinute > 0 ? gangSteady.perMinute / (ports * oneSteady.perMinute) : 0.0);
    std::printf(
        "  median board (handshake done to last read-back): %.0f ms alone, %.0f ms in "
        "the gang\n",
        oneSteady.medianBoardMs, gangSteady.medianBoardMs);
    std::printf("  peak memory: %ld kB with 1 port, %ld kB with %zu: %.0f kB a port more\n",
                one.maxRssKb, gang.maxRssKb, ports,
                double(gang.maxRssKb - one.maxRssKb) / double(ports - 1));

    // Waiting: simulators that never ignite, the loop on all ports for 10 s.
    sims.clear();
    sims = StartSims(devsim, ports, {});
    if (sims.empty()) return false;
    const Figures wait = Measure(Loop(cli, data, sims, ports, 0), 10000);
    const double seconds = wait.wallMs / 1000.0;
    std::printf(
        "  waiting for ignition, %zu ports, %.1f s: %.1f ms CPU, %.2f ms CPU and "
        "%.4f %% of a core a port\n",
        ports, seconds, wait.cpuMs, wait.cpuMs / ports,
        100.0 * wait.cpuMs / (seconds * 1000.0) / ports);
    return true;
}

// Boards a minute of 4 ports recording to a database server that accepts
// and never answers against --db none (the spool in $XDG_DATA_HOME).
bool SilentServerFigures(const std::string& devsim, const std::string& cli, const std::string& data,
                         const std::string& dir, int boards, const std::string& ignition) {
    constexpr size_t kDbPorts = 4;
    const std::vector<std::unique_ptr<DevSim>> sims =
        StartSims(devsim, kDbPorts, {"--ignition-every", ignition});
    if (sims.empty()) return false;
    int fd = -1;
    const std::string silent = SilentServer(fd);
    std::vector<std::string> none = Loop(cli, data, sims, kDbPorts, boards);
    std::vector<std::string> hung = none;
    const std::string noneLog = dir + "/none.jsonl";
    const std::string hungLog = dir + "/silent.jsonl";
    none.insert(none.end(), {"--db", "none", "--log", noneLog});
    hung.insert(hung.end(), {"--db", silent, "--log", hungLog});
    const Figures withNone = Measure(none);
    const Figures withSilent = Measure(hung);
    close(fd);
    const double perMinuteNone = kDbPorts * boards / (withNone.wallMs / 60000.0);
    const double perMinuteSilent = kDbPorts * boards / (withSilent.wallMs / 60000.0);
    std::printf("database server that never answers, ignition every %s ms, %d boards a port:\n",
                ignition.c_str(), boards);
    std::printf("  %zu ports, --db none: %.1f boards/min (%.0f ms, exit %d)\n", kDbPorts,
                perMinuteNone, withNone.wallMs, withNone.code);
    std::printf("  %zu ports, --db on a silent server: %.1f boards/min (%.0f ms, exit %d)\n",
                kDbPorts, perMinuteSilent, withSilent.wallMs, withSilent.code);
    std::printf("  ratio silent server / none: %.3f (the whole run, its start included)\n",
                perMinuteSilent / perMinuteNone);
    const double steadyNone = SteadyPerMinute(noneLog), steadySilent = SteadyPerMinute(hungLog);
    std::printf(
        "  steady rate, first board's end to last's: none %.1f, silent server %.1f "
        "boards/min, ratio %.3f\n",
        steadyNone, steadySilent, steadyNone > 0 ? steadySilent / steadyNone : 0.0);
    std::remove(noneLog.c_str());
    std::remove(hungLog.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s PATH-TO-qmb-devsim PATH-TO-qmb-cli [boards] [ignition-ms] "
                     "[gang sizes, e.g. 8,32]\n",
                     argv[0]);
        return 2;
    }
    const std::string devsim = argv[1];
    const std::string cli = argv[2];
    const int boards = argc > 3 ? std::max(1, std::atoi(argv[3])) : 10;
    const std::string ignition = argc > 4 ? argv[4] : "2000";
    const std::vector<size_t> gangs = ParseGangs(argc > 5 ? argv[5] : "8");
    if (gangs.empty()) {
        std::fprintf(stderr, "gang sizes: a list like 8,32, each from 2 to 256\n");
        return 2;
    }
    // Every simulator holds two pipes here; the loop holds a port a slot.
    const size_t largest = *std::max_element(gangs.begin(), gangs.end());
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 4 * largest + 64) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4 * largest + 64);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    char dir[] = "/tmp/qmb-bench-gang-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string data = std::string(dir) + "/data.hex";
    std::ofstream(data) << "C0 C1 C2 C3 C4 C5 C6 C7\n";
    // The loops' record database (the default SQLite file) and spool go in
    // dir, not into the user's own.
    setenv("XDG_DATA_HOME", dir, 1);

    bool ok = true;
    for (size_t ports : gangs) {
        ok = ok && GangFigures(devsim, cli, data, dir, ports, boards, ignition);
        std::fflush(stdout);
    }
    ok = ok && SilentServerFigures(devsim, cli, data, dir, boards, ignition);
    std::remove(data.c_str());
    std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}
