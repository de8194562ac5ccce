// qmb-devsim: a stand-in for the device at the other end of the serial line.
// Usage and the control language: sim/README.md.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qmb/Version.h"
#include "sim/Control.h"
#include "sim/Simulator.h"

namespace {

const char kUsage[] =
    "usage: qmb-devsim [options]\n"
    "  --link PATH            keep a symlink at PATH pointing at the terminal\n"
    "  --port DEV             use an existing serial device instead of a pseudo-terminal\n"
    "  --image FILE           load the EEPROM from FILE, save it after every commit\n"
    "  --control PATH         accept control commands on a Unix socket at PATH\n"
    "  --ignition-every MS    start an ignition handshake every MS milliseconds\n"
    "  --ignition-repeat MS   send \"I\" again every MS while no \"O\" came (500)\n"
    "  --ignition-limit MS    give a handshake up after MS (30000)\n"
    "  --no-pacing            no 38400-baud line timing\n"
    "  --latency MS           turnaround delay before every reply\n"
    "  --trace                log every frame to standard error\n"
    "  --fault FAULT          queue a fault, e.g. --fault \"truncate 10 on read\"\n"
    "  --version              print the version and exit\n"
    "  -h, --help             print this help and exit\n"
    "Prints the terminal's path on standard output; reads control commands on\n"
    "standard input (see qmb-devsim(1) or sim/README.md).\n";

// Ends an informational option: 0 only if the text really reached standard
// output (a full disk, say, is an error, not a success).
int FinishOutput() {
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

bool ParseMs(const char* text, uint32_t& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (!*text || *end || errno || v > 3600000UL || text[0] == '-') return false;
    value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    qmb::sim::SimOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto needValue = [&]() {
            if (!value) {
                std::fprintf(stderr, "qmb-devsim: %s needs a value\n%s", arg.c_str(), kUsage);
                std::exit(2);
            }
            ++i;
            return std::string(value);
        };
        auto needMs = [&](uint32_t& out) {
            const std::string text = needValue();
            if (!ParseMs(text.c_str(), out)) {
                std::fprintf(stderr, "qmb-devsim: %s: milliseconds expected, got \"%s\"\n",
                             arg.c_str(), text.c_str());
                std::exit(2);
            }
        };
        if (arg == "--link") {
            options.linkPath = needValue();
        } else if (arg == "--port") {
            options.portPath = needValue();
        } else if (arg == "--image") {
            options.imagePath = needValue();
        } else if (arg == "--control") {
            options.controlPath = needValue();
        } else if (arg == "--ignition-every") {
            needMs(options.ignitionEveryMs);
        } else if (arg == "--ignition-repeat") {
            needMs(options.ignitionRepeatMs);
            if (options.ignitionRepeatMs == 0) options.ignitionRepeatMs = 1;
        } else if (arg == "--ignition-limit") {
            needMs(options.ignitionLimitMs);
        } else if (arg == "--no-pacing") {
            options.pacing = false;
        } else if (arg == "--latency") {
            needMs(options.latencyMs);
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (arg == "--fault") {
            const std::string text = needValue();
            qmb::sim::Fault fault;
            std::string error;
            if (!qmb::sim::ParseFault(text, fault, error)) {
                std::fprintf(stderr, "qmb-devsim: --fault: %s\n", error.c_str());
                return 2;
            }
            options.faults.push_back(fault);
        } else if (arg == "--version") {
            std::printf("qmb-devsim %s\n", QMB_VERSION);
            return FinishOutput();
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return FinishOutput();
        } else {
            std::fprintf(stderr, "qmb-devsim: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    qmb::sim::Simulator simulator(options);
    if (!simulator.Start()) return 1;
    return simulator.Run();
}
