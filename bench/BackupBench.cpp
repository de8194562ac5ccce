// Prints how long `qmb-cli backup` of every section of the simulator's
// default image takes with line pacing on, next to its line-time floor: the
// bytes of every frame it sent and received (read off its own trace) x 10 /
// 38400 s; and the service bench's read-all (`qmb-cli diff device FILE`,
// device::ReadAll) against the floor of the frames its own trace shows; and
// the whole-image board cycle of `qmb-cli loop --recipe` whose image is that
// backup (see ImageCycle). The simulator adds no turnaround latency (its
// default), so a floor is the line time alone. A measurement, not a test: it
// never fails on a figure.
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

#include <nlohmann/json.hpp>

#include "DevSim.h"

using namespace qmb::test;

namespace {

constexpr double kByteMs = 10.0 / 38400 * 1000;
constexpr double kLoopPauseMs = 1000;  // the loop's pause before each board's write

// What a trace shows, from its text lines ("0.41 tx info 1/3 17 bytes ...",
// "0.43 rx info 1/3 33/33 sound ...").
struct TraceCount {
    long frames = 0, bytes = 0;                    // every frame but the handshake's
    long handshakeFrames = 0, handshakeBytes = 0;  // the ignition handshake's
    double firstSent = -1, lastReceived = -1;      // seconds, frames other than the handshake's
};

TraceCount CountTrace(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    TraceCount t;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string seconds, dir, command, attempt, size;
        if (!(words >> seconds >> dir >> command >> attempt >> size)) continue;
        if (dir != "tx" && dir != "rx") continue;
        const long bytes = std::atol(size.c_str());  // "17" of "17 bytes", "33" of "33/33"
        if (command == "ignition") {
            t.handshakeBytes += bytes;
            ++t.handshakeFrames;
            continue;
        }
        t.bytes += bytes;
        ++t.frames;
        const double at = std::atof(seconds.c_str());
        if (dir == "tx" && t.firstSent < 0) t.firstSent = at;
        if (dir == "rx") t.lastReceived = at;
    }
    return t;
}

// Bytes on the wire in a trace, every frame counted.
long TraceBytes(const std::string& path, long& frames) {
    const TraceCount t = CountTrace(path);
    frames = t.frames + t.handshakeFrames;
    return t.bytes + t.handshakeBytes;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The median wall time of repeats runs of args (stdout to out, "" to keep
// it); -1 with the reason on stderr when a run fails.
double MedianRunMs(const std::vector<std::string>& args, const std::string& out, int repeats) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto start = SteadyClock::now();
        const int code = RunProgram(args, out, "");
        times.push_back(MsSince(start));
        if (code != 0) {
            std::fprintf(stderr, "qmb-cli %s failed with exit code %d\n", args[4].c_str(), code);
            return -1;
        }
    }
    return Median(times);
}

// The whole-image board cycle: `qmb-cli loop --recipe R --mode engineering
// --db none` on a paced simulator that starts a handshake as soon as the line
// has been quiet (the simulator's rule: 1.5 s after the last request), R's
// image being the backup `image` of the default sections. A board's cycle is
// measured from its start (its handshake done) to its end (the last section
// read back and compared): the duration in its log line, on the monotonic
// clock. Its floor is the loop's fixed 1000 ms pause plus the line time of
// every frame of the board (for each section: the query, the write, the
// commit and the read-back, requests and replies), counted off a traced run.
// The handshake (waiting for the "I", then "O" and the device's answer) comes
// before the board's start and is shown apart. False when a run failed.
bool ImageCycle(const std::string& devsimPath, const std::string& cli, const std::string& dir,
                const std::string& image, int cycles) {
    DevSim sim(devsimPath);
    if (!sim.Start({"--ignition-every", "100"})) {
        std::fprintf(stderr, "qmb-devsim did not start\n");
        return false;
    }
    const std::string recipe = dir + "/image.recipe";
    std::ofstream(recipe) << "product = bench board\nimage = " << image.substr(image.rfind('/') + 1)
                          << "\n";
    const std::string trace = dir + "/loop-trace";
    const std::string log = dir + "/loop.jsonl";
    const std::vector<std::string> loop = {cli,           "-p",       sim.link, "-q",
                                           "loop",        "--recipe", recipe,   "--mode",
                                           "engineering", "--db",     "none"};
    std::vector<std::string> traced = loop;
    traced.insert(traced.begin() + 4, "--trace=" + trace);
    traced.insert(traced.end(), {"--count", "1"});
    if (RunProgram(traced, "", "") != 0) {
        std::fprintf(stderr, "qmb-cli loop --recipe (traced) failed\n");
        return false;
    }
    const TraceCount t = CountTrace(trace);
    std::vector<std::string> timed = loop;
    timed.insert(timed.end(), {"--count", std::to_string(cycles), "--log", log});
    const int code = RunProgram(timed, "", "");
    if (code != 0) {
        std::fprintf(stderr, "qmb-cli loop --recipe failed with exit code %d\n", code);
        return false;
    }
    std::vector<double> boards;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        const auto j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.contains("duration_s")) continue;
        boards.push_back(j["duration_s"].get<double>() * 1000.0);
    }
    if (boards.empty()) {
        std::fprintf(stderr, "the loop's log %s holds no board\n", log.c_str());
        return false;
    }
    const double median = Median(boards);
    const double wire = t.bytes * kByteMs;
    const double floor = kLoopPauseMs + wire;
    const double transfers = (t.lastReceived - t.firstSent) * 1000.0;
    std::printf(
        "whole-image board cycle (qmb-cli loop --recipe, its image that backup; "
        "engineering mode, no database), median of %zu boards:\n",
        boards.size());
    std::printf(
        "  board frames %ld, %ld bytes on the wire (%.1f ms); floor %.0f ms pause + "
        "%.1f ms = %.1f ms\n",
        t.frames, t.bytes, wire, kLoopPauseMs, wire, floor);
    std::printf("  measured %.1f ms (handshake done to last read-back), ratio %.3f\n", median,
                median / floor);
    std::printf(
        "  transfers alone (traced board, first request to last reply): %.1f ms, "
        "ratio %.3f to their line time\n",
        transfers, transfers / wire);
    std::printf(
        "  before the board's start: the handshake, %ld frames, %ld bytes (%.1f ms on "
        "the line), after the ignition came\n",
        t.handshakeFrames, t.handshakeBytes, t.handshakeBytes * kByteMs);
    std::remove(recipe.c_str());
    std::remove(trace.c_str());
    std::remove(log.c_str());
    return true;
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
    if (RunProgram({argv[2], "-p", sim.link, "-q", "--trace=" + trace, "backup", "--force", file},
                   "", "") != 0) {
        std::fprintf(stderr, "qmb-cli backup failed\n");
        return 1;
    }
    long frames = 0;
    const long bytes = TraceBytes(trace, frames);
    const double median =
        MedianRunMs({argv[2], "-p", sim.link, "-q", "backup", "--force", file}, "", repeats);
    if (median < 0) return 1;
    const double floor = bytes * kByteMs;
    std::printf(
        "qmb-cli backup of the default image (all 255 sections asked, %ld frames, "
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
    const double readMedian = MedianRunMs(
        {argv[2], "-p", sim.link, "-q", "diff", "device", file}, "/dev/null", repeats);
    if (readMedian < 0) return 1;
    const double readFloor = readBytes * kByteMs;
    std::printf(
        "read-all of the service bench (qmb-cli diff device FILE: %ld frames, %ld bytes "
        "on the wire), median of %d:\n",
        readFrames, readBytes, repeats);
    std::printf("  measured %.1f ms, line floor %.1f ms, ratio %.3f\n", readMedian, readFloor,
                readMedian / readFloor);
    std::remove(trace.c_str());
    std::fflush(stdout);
    const bool cycled = ImageCycle(argv[1], argv[2], dir, file, std::max(repeats, 3));
    std::remove(file.c_str());
    rmdir(dir);
    return cycled ? 0 : 1;
}
