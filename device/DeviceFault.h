// What can go wrong with a device, for any front end: a kind of its own (not
// a front end's exit code), the section it happened on and a one-line
// message fit to show an operator. The front ends map the kinds to what they
// report (qmb-cli: its exit codes, in one table; the production loop: the
// failure code of a board's record).
#pragma once

#include <stdexcept>
#include <string>

namespace qmb::device {

enum class Fault {
    kNone,
    kPortAbsent,    // no such port (adapter unplugged?)
    kPortBusy,      // another program holds the port
    kPortDenied,    // no permission to open the port
    kPortUnusable,  // not a serial line, or it refused 38400 8N1
    kNoReply,       // the device did not answer (or no handshake in time)
    kBadReply,      // answers came, but damaged (short, bad checksum...)
    kData,          // data of the wrong size: nothing was written
    kAbsent,        // a section the device reports with length 0, where one is needed
    kMismatch,      // what the device holds differs from what it should
    kPortLost,      // the line went away during a transfer (hang-up, unplug)
    kInterrupted,   // a stop was asked for (Ctrl-C, RequestStop)
    kNotKept,       // the production loop could not keep a board's record
    kFile,          // a local file (the production log) could not be written
    kSystem,        // the system refused what the loop needs (a thread)
    kNoSerial,      // no serial value to give a board (pool empty, no lease and no server)
    kQuota,         // the release's quota of passed boards is reached
};

// The failure code a board's record carries ("no_reply", "port_lost", ...;
// "" for kNone).
const char* FaultCode(Fault fault);

// A failure of the port or the cable: the line cannot be used any more.
bool IsPortFault(Fault fault);

class DeviceFault : public std::runtime_error {
  public:
    // section: the section the failed step was about, 0 for none.
    DeviceFault(Fault kind, int section, const std::string& message)
        : std::runtime_error(message), kind_(kind), section_(section) {}
    Fault Kind() const { return kind_; }
    int Section() const { return section_; }

  private:
    Fault kind_;
    int section_;
};

}  // namespace qmb::device
