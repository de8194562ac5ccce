#include "device/DeviceFault.h"

namespace qmb::device {

namespace {
// Every kind once: its record code and whether the port or cable failed.
const struct {
    Fault kind;
    const char* code;
    bool portFault;
} kFaults[] = {
    {Fault::kNone, "", false},
    {Fault::kPortAbsent, "port_absent", true},
    {Fault::kPortBusy, "port_busy", true},
    {Fault::kPortDenied, "port_denied", true},
    {Fault::kPortUnusable, "port_unusable", true},
    {Fault::kNoReply, "no_reply", false},
    {Fault::kBadReply, "bad_reply", false},
    {Fault::kData, "size", false},
    {Fault::kAbsent, "absent", false},
    {Fault::kMismatch, "verify_mismatch", false},
    {Fault::kPortLost, "port_lost", true},
    {Fault::kInterrupted, "interrupted", false},
    {Fault::kNotKept, "error", false},
    {Fault::kFile, "file", false},
    {Fault::kSystem, "error", false},
    {Fault::kNoSerial, "no_serial", false},
    {Fault::kQuota, "quota", false},
};
}  // namespace

const char* FaultCode(Fault fault) {
    for (const auto& f : kFaults) {
        if (f.kind == fault) return f.code;
    }
    return "error";
}

bool IsPortFault(Fault fault) {
    for (const auto& f : kFaults) {
        if (f.kind == fault) return f.portFault;
    }
    return false;
}

}  // namespace qmb::device
