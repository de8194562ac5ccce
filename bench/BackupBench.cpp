// Prints how long `qmb-cli backup` of every section of the simulator's
// default image takes with line pacing on, next to its line-time floor: the
// bytes of every frame it sent and received (read off its own trace) x 10 /
// 38400 s; and the service bench's read-all (`qmb-cli diff device FILE`,
// device::ReadAll) against the floor of the frames its own trace shows. A
// measurement, not a test: it never fails on a figure.
//
// Usage: qmb-bench-backup PATH-TO-qmb-devsim PATH-TO-qmb-cli [repeats]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "DevSim.h"

using namespace qmb::test;

namespace {

constexpr double kByteMs = 10.0 / 38400 * 1000;

// Bytes on the wire in a trace: "N bytes" of every tx line, "N/M" of every rx.
long TraceBytes(const std::string& path, long& frames) {
    std::ifstream in(path);
    std::string line;
    long bytes = 0;
    frames = 0;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string seconds, dir, command, attempt, size;
        if (!(words >> seconds >> dir >> command >> attempt >> size)) continue;
        if (dir != "tx" && dir != "rx") continue;
        bytes += std::atol(size.c_str());  // "17" of "17 bytes", "33" of "33/33"
        ++frames;
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PATH-TO-qmb-devsim PATH-TO-qmb-cli [repeats]\n", argv[0]);
        return 2;
    }
    const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    DevSim sim(argv[1]);
    if (!sim.Start()) {
        std::fprintf(stderr, "qmb-devsim did not start\n");
        return 1;
    }
    char dir[] = "/tmp/qmb-bench-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string file = std::string(dir) + "/backup.qmb";
    const std::string trace = std::string(dir) + "/trace";
    // One traced run counts the bytes; the timed runs go untraced.
    if (RunProgram({argv[2], "-p", sim.link, "-q", "--trace=" + trace, "backup", "--force", file}, "", "") != 0) {
        std::fprintf(stderr, "qmb-cli backup failed\n");
        return 1;
    }
    long frames = 0;
    const long bytes = TraceBytes(trace, frames);
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto start = SteadyClock::now();
        const int code = RunProgram({argv[2], "-p", sim.link, "-q", "backup", "--force", file}, "", "");
        times.push_back(MsSince(start));
        if (code != 0) {
            std::fprintf(stderr, "qmb-cli backup failed with exit code %d\n", code);
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    const double floor = bytes * kByteMs;
    std::printf("qmb-cli backup of the default image (all 255 sections asked, %ld frames, "
                "%ld bytes on the wire), median of %d:\n",
                frames, bytes, repeats);
    std::printf("  measured %.1f ms, line floor %.1f ms, ratio %.3f\n", median, floor,
                median / floor);
    // The figure out before the next programs start (a buffer copied into a
    // child would print it again).
    std::fflush(stdout);
    // The bench's read-all, its frames counted off a trace of its own.
    std::remove(trace.c_str());
    if (RunProgram({argv[2], "-p", sim.link, "-q", "--trace=" + trace, "diff", "device", file},
                   "/dev/null", "") != 0) {
        std::fprintf(stderr, "qmb-cli diff device failed\n");
        return 1;
    }
    long readFrames = 0;
    const long readBytes = TraceBytes(trace, readFrames);
    times.clear();
    for (int i = 0; i < repeats; ++i) {
        const auto start = SteadyClock::now();
        const int code =
            RunProgram({argv[2], "-p", sim.link, "-q", "diff", "device", file}, "/dev/null", "");
        times.push_back(MsSince(start));
        if (code != 0) {
            std::fprintf(stderr, "qmb-cli diff device failed with exit code %d\n", code);
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    const double readMedian = times[times.size() / 2];
    const double readFloor = readBytes * kByteMs;
    std::printf("read-all of the service bench (qmb-cli diff device FILE: %ld frames, %ld bytes "
                "on the wire), median of %d:\n",
                readFrames, readBytes, repeats);
    std::printf("  measured %.1f ms, line floor %.1f ms, ratio %.3f\n", readMedian, readFloor,
                readMedian / readFloor);
    std::remove(file.c_str());
    std::remove(trace.c_str());
    rmdir(dir);
    return 0;
}
