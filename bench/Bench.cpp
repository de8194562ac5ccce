// Prints how long whole Read and Write jobs take against the simulator with
// its line pacing on, next to the line-time floor (bytes on the wire x 10 /
// 38400 s), and the CPU the worker spends in a 2000 ms pause and in 10 s of
// waiting for ignition. A measurement, not a test: it never fails on a figure.
//
// Usage: qmb-bench PATH-TO-qmb-devsim [repeats]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "DevSim.h"
#include "HeadlessPanel.h"
#include "job/JobFlags.h"
#include "job/Worker.h"
#include "link/PosixPort.h"
#include "link/SerialLink.h"

using namespace qmb;
using namespace qmb::test;

namespace {

constexpr double kByteMs = 10.0 / 38400 * 1000;

struct Sizes {
    int section;
    int length;
};

double LineFloorMs(bool write, int n) {
    const int query = 17 + 33;
    const int bytes = write ? query + (n + 25) + 17 + 17 + 17 : query + 25 + (n + 17);
    return bytes * kByteMs;
}

// Median wall time of `repeats` whole jobs, in ms; -1 if any job failed.
double TimeJob(HeadlessPanel& panel, uint32_t mode, int repeats) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto start = SteadyClock::now();
        JobFlags.store(kJobBusy | mode);
        const int code = JobWorker();
        times.push_back(MsSince(start));
        if (code != 0 || !panel.Messages().empty()) return -1;
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::string HexOf(int n, int seed) {
    std::string hex;
    char piece[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(piece, sizeof piece, "%02X ", (seed + 7 * i) & 0xFF);
        hex += piece;
    }
    return hex;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH-TO-qmb-devsim [repeats]\n", argv[0]);
        return 2;
    }
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    DevSim sim(argv[1]);
    if (!sim.Start()) {
        std::fprintf(stderr, "qmb-devsim did not start\n");
        return 1;
    }
    setenv("QMB_COM1", sim.link.c_str(), 1);
    HeadlessPanel panel;
    PosixPort port;
    PosixTickCounter ticks;
    BindPanel(&panel);
    BindPort(&port, &ticks);

    // A 64-byte section for the middle size.
    std::string hex64 = HexOf(64, 0x40);
    hex64.erase(std::remove(hex64.begin(), hex64.end(), ' '), hex64.end());
    if (!sim.ControlOk("set 6 " + hex64)) {
        std::fprintf(stderr, "could not make section 6 64 bytes long\n");
        return 1;
    }

    std::printf("Jobs against qmb-devsim with line pacing, median of %d, ms\n", repeats);
    std::printf("%-6s %7s %10s %10s %7s\n", "job", "length", "measured", "floor", "ratio");
    const Sizes sizes[] = {{11, 8}, {6, 64}, {4, 255}};
    for (const Sizes& s : sizes) {
        for (bool write : {false, true}) {
            panel.Reset();
            panel.Type(IDC_SECTION, std::to_string(s.section));
            panel.Type(IDC_HEX, HexOf(s.length, 0x11));
            const double ms = TimeJob(panel, write ? kJobWrite : kJobRead, repeats);
            const double floor = LineFloorMs(write, s.length);
            if (ms < 0) {
                std::printf("%-6s %7d %10s\n", write ? "Write" : "Read", s.length, "FAILED");
                continue;
            }
            std::printf("%-6s %7d %10.1f %10.1f %7.2f\n", write ? "Write" : "Read", s.length, ms,
                        floor, ms / floor);
        }
    }

    // CPU of a 2000 ms pause on the worker.
    double cpu = CpuMs();
    auto start = SteadyClock::now();
    BusyWait(2000);
    std::printf("\nPause of 2000 ms: %.0f ms wall, %.1f ms CPU (%.2f %% of a core)\n",
                MsSince(start), CpuMs() - cpu, (CpuMs() - cpu) / MsSince(start) * 100);

    // CPU of 10 s waiting for an ignition that never comes.
    panel.Reset();
    cpu = CpuMs();
    start = SteadyClock::now();
    JobFlags.store(kJobBusy | kJobTat);
    std::thread worker([] { JobWorker(); });
    std::this_thread::sleep_for(std::chrono::seconds(10));
    JobFlags.fetch_or(kJobAbort);
    worker.join();
    const double wall = MsSince(start);
    std::printf("Waiting for ignition: %.0f ms wall, %.1f ms CPU (%.2f %% of a core)\n", wall,
                CpuMs() - cpu, (CpuMs() - cpu) / wall * 100);

    BindPort(nullptr, nullptr);
    BindPanel(nullptr);
    return 0;
}
