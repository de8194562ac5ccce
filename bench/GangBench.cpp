// Prints what a gang of simulated boards costs and yields: `qmb-cli loop` on
// 8 ports at once against 8 paced simulators that ignite every IGNITION ms,
// next to the same loop on one port alone, run in the same session.
//   - boards per minute of the 8 together against 8 x one port's alone;
//   - CPU per port while every port waits for an ignition that never comes;
//   - the memory each extra port adds (peak resident size, 8 ports vs 1);
//   - boards per minute of 4 ports recording to a database server that
//     accepts and never answers (--db postgresql://... on a silent socket:
//     each record spools after the board's bound) against --db none.
// A measurement, not a test: it never fails on a figure.
//
// Usage: qmb-bench-gang PATH-TO-qmb-devsim PATH-TO-qmb-cli [boards] [ignition-ms]
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
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 64) != 0) return "";
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return "postgresql://qmb@127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/qmb";
}

// Boards a minute between the first board's end and the last's, read from
// the loop's log: the line's steady rate, without the start.
double SteadyPerMinute(const std::string& log) {
    std::ifstream in(log);
    std::vector<double> ends;
    for (std::string line; std::getline(in, line);) {
        const auto j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.contains("ended_at")) continue;
        std::tm tm{};
        int ms = 0;
        if (std::sscanf(j["ended_at"].get<std::string>().c_str(), "%d-%d-%dT%d:%d:%d.%dZ",
                        &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec,
                        &ms) != 7)
            continue;
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        ends.push_back(static_cast<double>(timegm(&tm)) * 1000.0 + ms);
    }
    if (ends.size() < 2) return 0;
    std::sort(ends.begin(), ends.end());
    return (ends.size() - 1) / ((ends.back() - ends.front()) / 60000.0);
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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PATH-TO-qmb-devsim PATH-TO-qmb-cli [boards] [ignition-ms]\n",
                     argv[0]);
        return 2;
    }
    const std::string cli = argv[2];
    const int boards = argc > 3 ? std::max(1, std::atoi(argv[3])) : 10;
    const std::string ignition = argc > 4 ? argv[4] : "2000";
    constexpr size_t kPorts = 8;
    char dir[] = "/tmp/qmb-bench-gang-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string data = std::string(dir) + "/data.hex";
    std::ofstream(data) << "C0 C1 C2 C3 C4 C5 C6 C7\n";

    std::vector<std::unique_ptr<DevSim>> sims;
    for (size_t i = 0; i < kPorts; ++i) {
        sims.push_back(std::make_unique<DevSim>(argv[1]));
        if (!sims.back()->Start({"--ignition-every", ignition})) {
            std::fprintf(stderr, "qmb-devsim did not start\n");
            return 1;
        }
    }
    const Figures one = Measure(Loop(cli, data, sims, 1, boards));
    const Figures gang = Measure(Loop(cli, data, sims, kPorts, boards));
    if (one.code != 0 || gang.code != 0) {
        std::fprintf(stderr, "qmb-cli loop failed: exit %d alone, %d in the gang\n", one.code,
                     gang.code);
        return 1;
    }
    const double perMinuteOne = boards / (one.wallMs / 60000.0);
    const double perMinuteGang = kPorts * boards / (gang.wallMs / 60000.0);
    std::printf("gang of %zu paced simulators, ignition every %s ms, %d boards a port:\n", kPorts,
                ignition.c_str(), boards);
    std::printf("  one port alone: %.1f boards/min (%.0f ms)\n", perMinuteOne, one.wallMs);
    std::printf("  %zu ports at once: %.1f boards/min (%.0f ms)\n", kPorts, perMinuteGang,
                gang.wallMs);
    std::printf("  ratio to %zu x one port: %.3f\n", kPorts, perMinuteGang / (kPorts * perMinuteOne));
    std::printf("  peak memory: %ld kB with 1 port, %ld kB with %zu: %.0f kB a port more\n",
                one.maxRssKb, gang.maxRssKb, kPorts,
                double(gang.maxRssKb - one.maxRssKb) / (kPorts - 1));

    // A silent database server against none, 4 ports, the spool in dir.
    {
        constexpr size_t kDbPorts = 4;
        setenv("XDG_DATA_HOME", dir, 1);
        int fd = -1;
        const std::string silent = SilentServer(fd);
        std::vector<std::string> none = Loop(cli, data, sims, kDbPorts, boards);
        std::vector<std::string> hung = none;
        const std::string noneLog = std::string(dir) + "/none.jsonl";
        const std::string hungLog = std::string(dir) + "/silent.jsonl";
        none.insert(none.end(), {"--db", "none", "--log", noneLog});
        hung.insert(hung.end(), {"--db", silent, "--log", hungLog});
        const Figures withNone = Measure(none);
        const Figures withSilent = Measure(hung);
        close(fd);
        const double perMinuteNone = kDbPorts * boards / (withNone.wallMs / 60000.0);
        const double perMinuteSilent = kDbPorts * boards / (withSilent.wallMs / 60000.0);
        std::printf("  %zu ports, --db none: %.1f boards/min (%.0f ms, exit %d)\n", kDbPorts,
                    perMinuteNone, withNone.wallMs, withNone.code);
        std::printf("  %zu ports, --db on a silent server: %.1f boards/min (%.0f ms, exit %d)\n",
                    kDbPorts, perMinuteSilent, withSilent.wallMs, withSilent.code);
        std::printf("  ratio silent server / none: %.3f (the whole run, its start included)\n",
                    perMinuteSilent / perMinuteNone);
        const double steadyNone = SteadyPerMinute(noneLog), steadySilent = SteadyPerMinute(hungLog);
        std::printf("  steady rate, first board's end to last's: none %.1f, silent server %.1f "
                    "boards/min, ratio %.3f\n",
                    steadyNone, steadySilent, steadyNone > 0 ? steadySilent / steadyNone : 0.0);
        std::remove(noneLog.c_str());
        std::remove(hungLog.c_str());
        std::filesystem::remove_all(std::string(dir) + "/qmb-edit");  // the spool
    }

    // Waiting: simulators that never ignite, the loop on all ports for 10 s.
    std::fflush(stdout);
    sims.clear();
    for (size_t i = 0; i < kPorts; ++i) {
        sims.push_back(std::make_unique<DevSim>(argv[1]));
        if (!sims.back()->Start()) return 1;
    }
    const Figures wait = Measure(Loop(cli, data, sims, kPorts, 0), 10000);
    const double seconds = wait.wallMs / 1000.0;
    std::printf("  waiting for ignition, %zu ports, %.1f s: %.1f ms CPU, %.4f %% of a core a port\n",
                kPorts, seconds, wait.cpuMs, 100.0 * wait.cpuMs / (seconds * 1000.0) / kPorts);
    std::remove(data.c_str());
    rmdir(dir);
    return 0;
}
