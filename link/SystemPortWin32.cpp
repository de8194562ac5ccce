// The port backend on Windows.
#include "link/SystemPort.h"
#include "link/Win32Port.h"

namespace qmb {

std::unique_ptr<Port> MakeSystemPort() {
    return std::make_unique<Win32Port>();
}

std::unique_ptr<TickCounter> MakeSystemTicks() {
    return std::make_unique<Win32TickCounter>();
}

std::string OpenFailureAdvice(OpenFailure failure) {
    switch (failure) {
        case OpenFailure::kAbsent:
            return "is the adapter plugged in? `qmb-cli ports` lists the COM ports Windows knows";
        case OpenFailure::kBusy:
            return "another program (a second qmb-edit or qmb-cli, a terminal) holds it: close "
                   "that program";
        case OpenFailure::kNotSerial:
            return "that name is no serial line";
        case OpenFailure::kSettings:
            return "the port refused 38400 baud 8N1";
        default:
            return "";
    }
}

}  // namespace qmb
