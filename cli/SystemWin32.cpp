// qmb-cli on Windows.
#include <windows.h>
// After windows.h.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "cli/System.h"
#include "link/Win32Port.h"

namespace qmb::cli {

namespace {
std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            g_interrupted.store(true);
            return TRUE;  // the command ends itself at its next transfer
        default:
            return FALSE;
    }
}
}  // namespace

std::unique_ptr<Port> MakeSystemPort() {
    return std::make_unique<Win32Port>();
}

std::unique_ptr<TickCounter> MakeSystemTicks() {
    return std::make_unique<Win32TickCounter>();
}

void InstallInterruptHandlers() {
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

bool Interrupted() {
    return g_interrupted.load();
}

bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

void SetStdoutBinary() {
    _setmode(_fileno(stdout), _O_BINARY);
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

// The ports Windows lists under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: value
// names are driver devices (\Device\Serial0, \Device\VCP0), data the COM names.
std::vector<SystemPort> ListSystemPorts() {
    std::vector<SystemPort> ports;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        BYTE data[256];
        DWORD nameLen = sizeof name, dataLen = sizeof data - 1, type = 0;
        if (RegEnumValueA(key, i, name, &nameLen, NULL, &type, data, &dataLen) != ERROR_SUCCESS) {
            break;
        }
        if (type != REG_SZ) continue;
        data[dataLen] = 0;
        SystemPort port;
        port.path = reinterpret_cast<const char*>(data);
        port.kind = std::string(name).find("VCP") != std::string::npos ||
                            std::string(name).find("USB") != std::string::npos
                        ? "usb"
                        : "serial";
        port.description = name;
        ports.push_back(port);
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), [](const SystemPort& a, const SystemPort& b) {
        return a.path.size() != b.path.size() ? a.path.size() < b.path.size() : a.path < b.path;
    });
    return ports;
}

}  // namespace qmb::cli
