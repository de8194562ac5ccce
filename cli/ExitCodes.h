// qmb-cli's exit codes, one per class of failure, and the error that carries
// one up to main. The table is also in `qmb-cli --help` and the man page; the
// device's faults and the production loop's outcomes map to it in one table
// (ExitCodes.cpp).
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "device/DeviceFault.h"
#include "production/Production.h"

namespace qmb::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitSystem = 1,        // the system refused what the tool needs (a thread)
    kExitUsage = 2,         // bad arguments, section number or section list
    kExitPortAbsent = 3,    // no such port (adapter unplugged?)
    kExitPortBusy = 4,      // another program holds the port
    kExitPortDenied = 5,    // no permission to open the port
    kExitPortUnusable = 6,  // not a serial line, or it refused 38400 8N1
    kExitNoReply = 7,       // the device did not answer (or no handshake in time)
    kExitBadReply = 8,      // answers came, but damaged (short, bad checksum...)
    kExitData = 9,          // bad hex text, wrong size, absent section, bad backup or patch
    kExitMismatch = 10,     // what the device holds differs from what it should
    kExitPortLost = 11,     // the line went away during the command (hang-up, unplug)
    kExitFile = 12,         // a local file could not be read or written
    kExitStore = 13,        // the record database could not be used (refused, unreachable)
    kExitNoSerial = 14,     // no serial value to give (pool empty, or no lease and no server)
    kExitQuota = 15,        // the release's quota of boards is reached
    kExitNotReleased = 16,  // production mode and a recipe that is not released
    kExitInterrupted = 130, // Ctrl-C / SIGINT / SIGTERM
};

// A short name for JSON results ("no-reply", ...).
const char* ExitCodeName(int code);

// The exit code of a device fault or a production outcome (kNone: kExitOk,
// a record not kept: kExitStore).
int ExitCodeOf(device::Fault fault);

// The gang's exit code: interrupted when Ctrl-C stopped it; else the code of
// the first slot (in slot order) that ended on a port, file, store or system
// failure; else the code of the last failed board of the first slot with
// one; else interrupted when a slot was stopped; else 0.
int GangExitCode(const std::vector<production::SlotSummary>& summaries, bool interrupted);

// The table printed in the help text.
std::string ExitCodeTable();

// A failure that ends the command: its exit code and a one-line message.
class CliError : public std::runtime_error {
  public:
    CliError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int Code() const { return code_; }

  private:
    int code_;
};

}  // namespace qmb::cli
