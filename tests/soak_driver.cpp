// qmb-soak: runs a Loop TAT&Write job for a given time against a device on
// COM1 (the simulator's pseudo-terminal, through QMB_COM1), with the real
// POSIX port, the core's worker and a panel with no window, and reports
// passes, errors, resident memory, open descriptors and CPU use.
//
//   qmb-soak [--seconds N] [--section N] [--control PATH]
//
// Each pass writes a different 8-byte pattern (the first byte included).
// With --control (the simulator's control socket) the section's EEPROM is
// checked at the end: it must hold the last pattern written whole. An error
// message ends the Loop job as it would for an operator; the driver counts
// it and starts the job again. Exit code 0 only with no error, the same
// descriptors throughout, no more resident memory in the last minute than in
// the first, and a sound EEPROM. Scripted by scripts/soak; not one of the CTest suites.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DevSim.h"
#include "Workers.h"
#include "job/JobFlags.h"
#include "job/Panel.h"
#include "job/StartAbort.h"
#include "link/PosixPort.h"
#include "link/SerialLink.h"

namespace {

using namespace qmb;
using namespace qmb::test;
using Clock = std::chrono::steady_clock;

constexpr size_t kSectionLength = 8;

// The bytes written by pass p (0-based): every byte changes from pass to pass.
std::string PatternHex(uint64_t pass) {
    std::string hex;
    char pair[4];
    for (size_t i = 0; i < kSectionLength; ++i) {
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>((pass * 7 + i * 31) & 0xFF));
        hex += pair;
    }
    return hex;
}

std::string Spaced(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out += hex.substr(i, 2) + " ";
    return out;
}

// A panel with no window: control texts in a map, a count of beeps (one per
// completed pass) and of error messages. Each beep puts the next pattern in
// the hex text, so the next pass writes new bytes.
class SoakPanel : public Panel {
  public:
    void SetText(int id, const char* text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        texts_[id] = text;
    }
    size_t GetText(int id, char* buf, size_t maxChars) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string& text = texts_[id];
        const size_t n = std::min(text.size(), maxChars);
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
        return n;
    }
    void SetDisabled(int, bool) override {}
    void Invalidate(int) override {}
    int SelectedPort() override { return 0; }
    void ErrorBox(const char* message) override {
        ++errors;
        std::lock_guard<std::mutex> lock(mutex_);
        lastError_ = message;
        std::fprintf(stderr, "error after %llu passes: %s\n",
                     static_cast<unsigned long long>(passes.load()), message);
    }
    void Beep() override {
        const uint64_t done = ++passes;
        SetText(IDC_HEX, Spaced(PatternHex(done)).c_str());
    }
    std::string Text(int id) {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_[id];
    }

    std::atomic<uint64_t> passes{0};
    std::atomic<uint64_t> errors{0};

  private:
    std::mutex mutex_;
    std::map<int, std::string> texts_;
    std::string lastError_;
};

struct Snapshot {
    long rssKb = -1;
    int fds = -1;
    double cpuS = 0;
};

// Resident memory in kB. smaps_rollup walks the page tables and is exact;
// VmRSS in /proc/self/status comes from counters that threads update in
// batches, and can be a page or two off from moment to moment.
long ResidentKb() {
    long kb = -1;
    for (const char* path : {"/proc/self/smaps_rollup", "/proc/self/status"}) {
        FILE* f = std::fopen(path, "r");
        if (!f) continue;
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (std::strncmp(line, "Rss:", 4) == 0) kb = std::strtol(line + 4, nullptr, 10);
            if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
        }
        std::fclose(f);
        if (kb >= 0) break;
    }
    return kb;
}

int OpenDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    int n = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    ::closedir(dir);
    return n - 1;  // the directory's own descriptor
}

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Snapshot Take() {
    return Snapshot{ResidentKb(), OpenDescriptors(), CpuSeconds()};
}

void Print(const char* when, const Snapshot& s) {
    std::printf("%-18s rss %6ld kB  fds %3d  cpu %8.2f s\n", when, s.rssKb, s.fds, s.cpuS);
}

bool JobRunning() {
    return (JobFlags.load() & kJobBusy) != 0;
}

void WaitUntil(bool (*done)(), double limitS) {
    const auto start = Clock::now();
    while (!done() && std::chrono::duration<double>(Clock::now() - start).count() < limitS) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 600;
    std::string section = "11";
    std::string control;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (arg == "--section") {
            section = argv[i + 1];
        } else if (arg == "--control") {
            control = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: qmb-soak [--seconds N] [--section N] [--control PATH]\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    SoakPanel panel;
    PosixPort port;
    PosixTickCounter ticks;
    BindPanel(&panel);
    BindPort(&port, &ticks);
    SetWorkerStarter(&StartJoinableWorker);
    panel.SetText(IDC_SECTION, section.c_str());
    panel.SetText(IDC_HEX, Spaced(PatternHex(0)).c_str());

    const Snapshot before = Take();
    const auto start = Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    auto progress = [&] {
        const Snapshot now = Take();
        std::printf("%6.0f s  passes %llu  errors %llu  rss %ld kB  fds %d\n", elapsed(),
                    static_cast<unsigned long long>(panel.passes.load()),
                    static_cast<unsigned long long>(panel.errors.load()), now.rssKb, now.fds);
    };

    // Output first: the first line printed sets up the output buffer, which
    // must not fall into the measured minutes.
    Print("before the job", before);
    progress();

    uint64_t starts = 0;
    OnPanelCommand(IDC_LOOP);
    ++starts;
    // Memory and descriptors are sampled every 100 ms. The figures compared
    // are the highest of the first minute (of the first half of a shorter
    // run) and of the last: the first takes in every page the allocator, the
    // stacks and the output touch once; a leak of even a few bytes a pass
    // makes the last one higher.
    const double window = std::min(60.0, seconds / 2);
    Snapshot first, last;
    int fdsLow = 1 << 30, fdsHigh = -1;
    double nextReport = 60;
    while (elapsed() < seconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!JobRunning()) {
            // The job ended on an error: start it again, as an operator would.
            JoinWorkers();
            OnPanelCommand(IDC_LOOP);
            ++starts;
        }
        const Snapshot now = Take();
        if (JobRunning()) {
            fdsLow = std::min(fdsLow, now.fds);
            fdsHigh = std::max(fdsHigh, now.fds);
        }
        Snapshot& peak = elapsed() < window ? first : last;
        if (elapsed() < window || elapsed() >= seconds - window) {
            if (now.rssKb > peak.rssKb) peak.rssKb = now.rssKb;
            peak.fds = now.fds;
            peak.cpuS = now.cpuS;
        }
        if (elapsed() >= nextReport) {
            progress();
            nextReport += 60;
        }
    }

    // Abort: the job ends at its next transfer (the wait for ignition).
    OnPanelCommand(IDC_LOOP);
    WaitUntil([] { return !JobRunning(); }, 10);
    JoinWorkers();
    const double wall = elapsed();
    const Snapshot end = Take();
    Print("first minute", first);
    Print("last minute", last);
    Print("after the job", end);

    const uint64_t passes = panel.passes.load();
    const uint64_t errors = panel.errors.load();
    std::printf("wall %.1f s  passes %llu (%.2f s each)  errors %llu  job starts %llu\n", wall,
                static_cast<unsigned long long>(passes), passes ? wall / passes : 0.0,
                static_cast<unsigned long long>(errors), static_cast<unsigned long long>(starts));
    std::printf("cpu %.2f s over the run (%.2f %% of one core)\n", end.cpuS - before.cpuS,
                100 * (end.cpuS - before.cpuS) / wall);
    std::printf("status %s  port %s\n", panel.Text(IDC_STATUS).c_str(),
                panel.Text(IDC_PORT_STATUS).c_str());

    bool ok = errors == 0 && passes > 0 && first.rssKb >= 0 && last.rssKb >= 0;
    if (fdsLow != fdsHigh || end.fds != before.fds) {
        std::printf("FAIL: open descriptors changed (%d to %d while running, %d -> %d)\n", fdsLow,
                    fdsHigh, before.fds, end.fds);
        ok = false;
    }
    if (last.rssKb > first.rssKb) {
        std::printf("FAIL: resident memory grew by %ld kB\n", last.rssKb - first.rssKb);
        ok = false;
    }
    if (!control.empty()) {
        std::printf("device: %s\n", SimControl(control, "status").c_str());
        // The last pass that beeped wrote pattern passes - 1; an abort
        // between the next commit and its reply leaves pattern passes.
        const std::string dump = SimControl(control, "dump " + section);
        const size_t at = dump.find(" eeprom ");
        const std::string eeprom = at == std::string::npos ? dump : dump.substr(at + 8);
        const bool sound =
            passes > 0 && (eeprom == PatternHex(passes - 1) || eeprom == PatternHex(passes));
        std::printf("eeprom %s: %s\n", eeprom.c_str(),
                    sound ? "the last pattern written, whole" : "WRONG");
        ok = ok && sound;
    }
    std::printf("%s\n", ok ? "soak passed" : "soak FAILED");
    return ok ? 0 : 1;
}
