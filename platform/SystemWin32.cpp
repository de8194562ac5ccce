// The host's system calls on Windows.
#include <windows.h>
// After windows.h.
#include <fcntl.h>
#include <io.h>
#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/System.h"
#include "platform/Utf8.h"

namespace qmb::platform {

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

std::string HostName() {
    // Wide, as every text from the system: a name beyond ASCII stays whole.
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &size)) return "";
    return Utf8FromWide(name);
}

bool ParseUsbIds(const std::string& hardwareId, std::string& vendorId, std::string& productId) {
    std::string upper = hardwareId;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    // The four hex digits after key, which must start the id or follow one
    // of its separators ("USB\VID_...&PID_...", "FTDIBUS\VID_...+PID_...").
    auto field = [&](const char* key, std::string::size_type from, std::string& value) {
        for (auto at = upper.find(key, from); at != std::string::npos;
             at = upper.find(key, at + 1)) {
            if (at != 0 && std::strchr("\\&+#", upper[at - 1]) == nullptr) continue;
            const std::string digits = upper.substr(at + 4, 4);
            if (digits.size() != 4 || !std::all_of(digits.begin(), digits.end(), [](char c) {
                    return std::isxdigit(static_cast<unsigned char>(c));
                })) {
                continue;
            }
            value = hardwareId.substr(at + 4, 4);
            for (char& c : value)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return at + 8;
        }
        return std::string::npos;
    };
    std::string vendor, product;
    const auto afterVendor = field("VID_", 0, vendor);
    if (afterVendor == std::string::npos ||
        field("PID_", afterVendor, product) == std::string::npos)
        return false;
    vendorId = vendor;
    productId = product;
    return true;
}

namespace {
// The ports Windows lists under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: value
// names are driver devices (\Device\Serial0, \Device\VCP0), data the COM
// names. Every serial port driver enters its ports there, whatever its class.
std::vector<SystemPort> SerialCommPorts() {
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
    return ports;
}

// A text property of a device, read wide (a maker's or port's name in the
// system's language need not be ASCII); a list (REG_MULTI_SZ) gives its
// first entry.
std::string DeviceProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
    wchar_t value[1024];
    DWORD type = 0, size = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type,
                                           reinterpret_cast<BYTE*>(value),
                                           sizeof value - 2 * sizeof(wchar_t), &size) ||
        (type != REG_SZ && type != REG_MULTI_SZ)) {
        return "";
    }
    value[std::min<DWORD>(size / sizeof(wchar_t), 1024 - 2)] = 0;
    return Utf8FromWide(value);
}

// The COM name Windows gave a device of the Ports class ("" for LPT ports).
std::string DevicePortName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return "";
    char name[64];
    DWORD type = 0, size = sizeof name - 1;
    std::string result;
    if (RegQueryValueExA(key, "PortName", NULL, &type, reinterpret_cast<BYTE*>(name), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
        name[size] = 0;
        if (std::strncmp(name, "COM", 3) == 0) result = name;
    }
    RegCloseKey(key);
    return result;
}

// What Device Manager shows of each present COM port (class "Ports (COM &
// LPT)"), added to the SERIALCOMM entry of the same name: its name ("USB
// Serial Port (COM3)") and maker, the USB ids of its hardware id, and where
// it is plugged in. A port SERIALCOMM lacks is added.
void AddDeviceManagerFacts(std::vector<SystemPort>& ports) {
    // GUID_DEVCLASS_PORTS, spelled out so that no GUID library is needed.
    static const GUID kPortsClass = {
        0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO devices = SetupDiGetClassDevsA(&kPortsClass, NULL, NULL, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        const std::string name = DevicePortName(devices, device);
        if (name.empty()) continue;
        auto port = std::find_if(ports.begin(), ports.end(),
                                 [&](const SystemPort& p) { return p.path == name; });
        if (port == ports.end()) {
            ports.push_back(SystemPort{});
            port = ports.end() - 1;
            port->path = name;
            port->kind = "serial";
        }
        const std::string hardwareId = DeviceProperty(devices, device, SPDRP_HARDWAREID);
        if (ParseUsbIds(hardwareId, port->vendorId, port->productId)) port->kind = "usb";
        if (hardwareId.rfind("BTHENUM\\", 0) == 0) port->kind = "bluetooth";
        const std::string friendly = DeviceProperty(devices, device, SPDRP_FRIENDLYNAME);
        const std::string maker = DeviceProperty(devices, device, SPDRP_MFG);
        if (!friendly.empty()) {
            // "(Standard port types)" is Windows' own maker of plain UARTs.
            port->description =
                maker.empty() || maker[0] == '(' ? friendly : maker + " " + friendly;
        }
        port->byPath = DeviceProperty(devices, device, SPDRP_LOCATION_INFORMATION);
        if (port->byPath.empty())
            port->byPath = DeviceProperty(devices, device, SPDRP_LOCATION_PATHS);
    }
    SetupDiDestroyDeviceInfoList(devices);
}
}  // namespace

// SERIALCOMM's list (every port a driver made), with what Device Manager
// knows of each.
std::vector<SystemPort> ListSystemPorts() {
    std::vector<SystemPort> ports = SerialCommPorts();
    AddDeviceManagerFacts(ports);
    std::sort(ports.begin(), ports.end(), [](const SystemPort& a, const SystemPort& b) {
        return a.path.size() != b.path.size() ? a.path.size() < b.path.size() : a.path < b.path;
    });
    return ports;
}

}  // namespace qmb::platform
