#include "cli/ExitCodes.h"

namespace qmb::cli {

namespace {
using device::Fault;

// Every exit code once: its JSON name, its meaning for the help text, and
// the device fault or production outcome that ends a command with it
// (Fault::kNone for codes that only the tool itself gives).
const struct {
    int code;
    const char* name;
    const char* meaning;
    Fault fault;
} kCodes[] = {
    {kExitOk, "ok", "success", Fault::kNone},
    {kExitSystem, "system", "the system refused what the tool needs (a thread)", Fault::kSystem},
    {kExitUsage, "usage", "bad arguments, section number or section list", Fault::kNone},
    {kExitPortAbsent, "port-absent", "no such port (is the adapter plugged in?)",
     Fault::kPortAbsent},
    {kExitPortBusy, "port-busy", "another program holds the port", Fault::kPortBusy},
    {kExitPortDenied, "port-denied", "no permission to open the port", Fault::kPortDenied},
    {kExitPortUnusable, "port-unusable", "not a serial line, or it refused 38400 8N1",
     Fault::kPortUnusable},
    {kExitNoReply, "no-reply", "the device did not answer (or no handshake in time)",
     Fault::kNoReply},
    {kExitBadReply, "bad-reply", "the device's answers arrived damaged", Fault::kBadReply},
    {kExitData, "data",
     "bad hex text or size, absent section, bad or foreign backup or patch, a difference no "
     "patch can hold",
     Fault::kData},
    {kExitMismatch, "mismatch", "the device holds other bytes than it should", Fault::kMismatch},
    {kExitPortLost, "port-lost", "the line went away during the command", Fault::kPortLost},
    {kExitFile, "file", "a local file could not be read or written", Fault::kFile},
    {kExitStore, "store", "the record database could not be used (foreign, newer, unreachable)",
     Fault::kNotKept},
    {kExitNoSerial, "no-serial", "no serial number to give (pool empty, or no lease and no server)",
     Fault::kNoSerial},
    {kExitQuota, "quota", "the release's quota of passed boards is reached", Fault::kQuota},
    {kExitNotReleased, "not-released",
     "production mode, and the recipe's identity is not released for its product", Fault::kNone},
    {kExitInterrupted, "interrupted", "stopped by Ctrl-C, SIGINT or SIGTERM", Fault::kInterrupted},
};
}  // namespace

const char* ExitCodeName(int code) {
    for (const auto& c : kCodes) {
        if (c.code == code) return c.name;
    }
    return "error";
}

std::string ExitCodeTable() {
    std::string table = "Exit codes:\n";
    for (const auto& c : kCodes) {
        std::string line = "  " + std::to_string(c.code);
        line.resize(8, ' ');
        table += line + c.meaning + "\n";
    }
    return table;
}

int ExitCodeOf(Fault fault) {
    if (fault == Fault::kAbsent) fault = Fault::kData;  // one code, two record codes
    for (const auto& c : kCodes) {
        if (c.fault == fault) return c.code;  // kNone: the first row, kExitOk
    }
    return kExitBadReply;  // not reached: every fault has its row
}

int GangExitCode(const std::vector<production::SlotSummary>& summaries, bool interrupted) {
    if (interrupted) return kExitInterrupted;
    // A slot stopped without Ctrl-C was stopped for another's end (a thread
    // that would not start, a log that cannot be written): that end is the
    // gang's.
    for (const auto& s : summaries) {
        if (s.end != Fault::kInterrupted && production::EndsTheSlot(s.end)) return ExitCodeOf(s.end);
    }
    for (const auto& s : summaries) {
        if (s.lastFail != Fault::kNone) return ExitCodeOf(s.lastFail);
    }
    for (const auto& s : summaries) {
        if (s.end == Fault::kInterrupted) return kExitInterrupted;
    }
    return kExitOk;
}

}  // namespace qmb::cli
