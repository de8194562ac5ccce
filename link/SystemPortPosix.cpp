// The port backend on Linux and other POSIX systems.
#include "link/PosixPort.h"
#include "link/SystemPort.h"

namespace qmb {

std::unique_ptr<Port> MakeSystemPort() {
    return std::make_unique<PosixPort>();
}

std::unique_ptr<TickCounter> MakeSystemTicks() {
    return std::make_unique<PosixTickCounter>();
}

std::string OpenFailureAdvice(OpenFailure failure) {
    switch (failure) {
        case OpenFailure::kAbsent:
            return "is the adapter plugged in? `qmb-cli ports` lists the ports there are";
        case OpenFailure::kBusy:
            return "another program (a second qmb-edit or qmb-cli, a modem manager, a "
                   "terminal) holds it: close that program";
        case OpenFailure::kDenied:
            return "add your user to the dialout group (sudo usermod -aG dialout $USER), then "
                   "log out and in again";
        case OpenFailure::kNotSerial:
            return "that path is no serial line";
        case OpenFailure::kSettings:
            return "the port refused 38400 baud 8N1";
        default:
            return "";
    }
}

}  // namespace qmb
