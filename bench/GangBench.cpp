// Prints what a gang of simulated boards costs and yields: `qmb-cli loop` on
// 8 ports at once against 8 paced simulators that ignite every IGNITION ms,
// next to the same loop on one port alone, run in the same session.
//   - boards per minute of the 8 together against 8 x one port's alone;
//   - CPU per port while every port waits for an ignition that never comes;
//   - the memory each extra port adds (peak resident size, 8 ports vs 1).
// A measurement, not a test: it never fails on a figure.
//
// Usage: qmb-bench-gang PATH-TO-qmb-devsim PATH-TO-qmb-cli [boards] [ignition-ms]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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
