// What qmb-cli needs of the operating system, one file per OS
// (SystemPosix.cpp, SystemWin32.cpp): the port backend, interrupts, the
// console, advice for a port that will not open, and the ports present.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "link/Port.h"

namespace qmb::cli {

std::unique_ptr<Port> MakeSystemPort();
std::unique_ptr<TickCounter> MakeSystemTicks();

// Ctrl-C, SIGINT and SIGTERM (the console's control events on Windows) only
// set a flag; the running command sees it at its next transfer.
void InstallInterruptHandlers();
bool Interrupted();

bool StderrIsTerminal();
// Standard output carries bytes unchanged (no newline translation).
void SetStdoutBinary();

// What to do about a port that would not open, in one sentence ("" if none).
std::string OpenFailureAdvice(OpenFailure failure);

// A serial port the system reports.
struct SystemPort {
    std::string path;         // what --port takes (/dev/ttyUSB0, COM3)
    std::string byId;         // /dev/serial/by-id/... where there is one
    std::string byPath;       // /dev/serial/by-path/...: the USB connector it hangs on
    std::string kind;         // "usb", "serial", "platform", ...
    std::string vendorId;     // USB vendor and product (hex), where known
    std::string productId;
    std::string description;  // manufacturer and product names, driver...
};
std::vector<SystemPort> ListSystemPorts();

}  // namespace qmb::cli
