// The host's system calls on Linux and other POSIX systems.
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <fstream>

#include "platform/System.h"

namespace qmb::platform {

namespace {
// Set by the signal handler, read by every port's thread: a lock-free atomic
// is safe in both places (a volatile sig_atomic_t is not, across threads).
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler must not take a lock");

void OnSignal(int) {
    const int saved = errno;
    g_interrupted.store(1);
    errno = saved;
}

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string RealPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return "";
    std::string result = resolved;
    std::free(resolved);
    return result;
}

std::vector<std::string> List(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Fills in the USB ids and names from the nearest USB device above the tty.
void DescribeUsb(const std::string& sysDevice, SystemPort& port) {
    std::string dir = RealPath(sysDevice);
    for (int up = 0; up < 6 && dir.size() > 1; ++up) {
        const std::string vendor = ReadLine(dir + "/idVendor");
        if (!vendor.empty()) {
            port.kind = "usb";
            port.vendorId = vendor;
            port.productId = ReadLine(dir + "/idProduct");
            std::string names = ReadLine(dir + "/manufacturer");
            const std::string product = ReadLine(dir + "/product");
            if (!product.empty()) names += (names.empty() ? "" : " ") + product;
            port.description = names;
            return;
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
}
// The driver of the device behind the tty, skipping the serial core's own
// "port" and "ctrl" layers (serial8250, ftdi_sio, cdc_acm, ...).
std::string DriverName(const std::string& sysDevice) {
    std::string dir = RealPath(sysDevice);
    for (int up = 0; up < 4 && dir.size() > 1; ++up) {
        const std::string driver = RealPath(dir + "/driver");
        const std::string name = driver.substr(driver.rfind('/') + 1);
        if (!driver.empty() && name != "port" && name != "ctrl") return name;
        dir = dir.substr(0, dir.rfind('/'));
    }
    return "";
}
}  // namespace

void InstallInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a closed pipe is a write error, not a death
}

bool Interrupted() {
    return g_interrupted.load() != 0;
}

bool StderrIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

void SetStdoutBinary() {}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

std::map<std::string, std::string> SerialLinks(const std::string& dir) {
    std::map<std::string, std::string> links;
    for (const std::string& link : List(dir)) {
        const std::string target = RealPath(dir + "/" + link);
        if (!target.empty()) links.emplace(target, dir + "/" + link);
    }
    return links;
}

std::string UartDescription(const std::string& driver) {
    if (driver == "serial" || driver == "serial8250") return "8250 UART";
    return driver;
}

std::vector<SystemPort> ListSystemPorts() {
    std::vector<SystemPort> ports;
    for (const std::string& name : List("/sys/class/tty")) {
        const std::string sys = "/sys/class/tty/" + name;
        if (RealPath(sys + "/device").empty()) continue;  // virtual terminals, ptys
        // 8250 ports with no UART behind them report type 0.
        if (name.rfind("ttyS", 0) == 0 && ReadLine(sys + "/type") == "0") continue;
        SystemPort port;
        port.path = "/dev/" + name;
        port.kind = "serial";
        DescribeUsb(sys + "/device", port);
        if (port.description.empty())
            port.description = UartDescription(DriverName(sys + "/device"));
        ports.push_back(port);
    }
    const auto byId = SerialLinks("/dev/serial/by-id");
    const auto byPath = SerialLinks("/dev/serial/by-path");
    for (SystemPort& port : ports) {
        if (auto link = byId.find(port.path); link != byId.end()) port.byId = link->second;
        if (auto link = byPath.find(port.path); link != byPath.end()) port.byPath = link->second;
    }
    return ports;
}

}  // namespace qmb::platform
