// What the front ends need of the operating system, one file per OS
// (SystemPosix.cpp, SystemWin32.cpp): interrupts, the console, this
// computer's name and the serial ports present. The port backend itself is
// the link's (link/SystemPort.h).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace qmb::platform {

// Ctrl-C, SIGINT and SIGTERM (the console's control events on Windows) only
// set a flag; the running command sees it at its next transfer.
void InstallInterruptHandlers();
bool Interrupted();

bool StderrIsTerminal();
// Standard output carries bytes unchanged (no newline translation).
void SetStdoutBinary();

// This computer's name (the default station name), "" when unknown.
std::string HostName();

// A serial port the system reports.
struct SystemPort {
    std::string path;         // what --port takes (/dev/ttyUSB0, COM3)
    std::string byId;         // /dev/serial/by-id/... where there is one
    std::string byPath;       // where it is plugged in: /dev/serial/by-path/...;
                              // on Windows the location ("Port_#0001.Hub_#0002")
    std::string kind;         // "usb", "serial", "bluetooth", "platform", ...
    std::string vendorId;     // USB vendor and product (hex), where known
    std::string productId;
    std::string description;  // manufacturer and product names, driver...
};
std::vector<SystemPort> ListSystemPorts();

#ifdef _WIN32
// The USB vendor and product ids (4 hex digits, lower case) of a Windows
// hardware id such as "USB\VID_0403&PID_6001&REV_0600" or
// "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000". False, leaving both
// alone, when it names no VID and PID.
bool ParseUsbIds(const std::string& hardwareId, std::string& vendorId, std::string& productId);
#else
// The links in dir (/dev/serial/by-id, /dev/serial/by-path): the device each
// resolves to, mapped to the link's path. Of several links to one device the
// first by name is kept; dangling links are left out; a missing dir is none.
std::map<std::string, std::string> SerialLinks(const std::string& dir);
// What to call a tty whose driver is driver and that is no USB device: the
// 8250 drivers' own names ("serial" for PnP and PCI ports, "serial8250")
// read as "8250 UART"; any other driver by its name.
std::string UartDescription(const std::string& driver);
#endif

}  // namespace qmb::platform
