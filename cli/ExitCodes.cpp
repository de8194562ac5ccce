#include "cli/ExitCodes.h"

namespace qmb::cli {

namespace {
const struct {
    int code;
    const char* name;
    const char* meaning;
} kCodes[] = {
    {kExitOk, "ok", "success"},
    {kExitSystem, "system", "the system refused what the tool needs (a thread)"},
    {kExitUsage, "usage", "bad arguments, section number or section list"},
    {kExitPortAbsent, "port-absent", "no such port (is the adapter plugged in?)"},
    {kExitPortBusy, "port-busy", "another program holds the port"},
    {kExitPortDenied, "port-denied", "no permission to open the port"},
    {kExitPortUnusable, "port-unusable", "not a serial line, or it refused 38400 8N1"},
    {kExitNoReply, "no-reply", "the device did not answer (or no handshake in time)"},
    {kExitBadReply, "bad-reply", "the device's answers arrived damaged"},
    {kExitData, "data", "bad hex text or size, absent section, bad or foreign backup"},
    {kExitMismatch, "mismatch", "the device holds other bytes than it should"},
    {kExitPortLost, "port-lost", "the line went away during the command"},
    {kExitFile, "file", "a local file could not be read or written"},
    {kExitStore, "store", "the record database could not be used (foreign, newer, unreachable)"},
    {kExitInterrupted, "interrupted", "stopped by Ctrl-C, SIGINT or SIGTERM"},
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

}  // namespace qmb::cli
