#include "link/Win32Port.h"

#include <cstdlib>

#include "link/PortMap.h"

namespace qmb {

namespace {
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
static_assert(kPurgeAll == 0x0F, "PurgeComm flags");
}  // namespace

DCB MakeDcb(const LineSettings& s) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = s.baudRate;
    dcb.fBinary = s.binary;
    dcb.fParity = s.parityCheck;
    dcb.fOutxCtsFlow = s.ctsOutputFlow;
    dcb.fOutxDsrFlow = s.dsrOutputFlow;
    dcb.fDtrControl = s.dtrControl & 0x3;
    dcb.fDsrSensitivity = s.dsrSensitivity;
    dcb.fTXContinueOnXoff = s.txContinueOnXoff;
    dcb.fOutX = s.xonXoffOutput;
    dcb.fInX = s.xonXoffInput;
    dcb.fErrorChar = s.errorCharReplace;
    dcb.fNull = s.nullStrip;
    dcb.fRtsControl = s.rtsControl & 0x3;
    dcb.fAbortOnError = s.abortOnError;
    dcb.XonLim = s.xonLimit;
    dcb.XoffLim = s.xoffLimit;
    dcb.ByteSize = s.byteSize;
    dcb.Parity = s.parity;
    dcb.StopBits = s.stopBits;
    dcb.XonChar = s.xonChar;
    dcb.XoffChar = s.xoffChar;
    dcb.ErrorChar = s.errorChar;
    dcb.EofChar = s.eofChar;
    dcb.EvtChar = s.eventChar;
    return dcb;
}

COMMTIMEOUTS MakeCommTimeouts(const TimeLimits& limits) {
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = limits.readInterval;
    t.ReadTotalTimeoutMultiplier = limits.readTotalMultiplier;
    t.ReadTotalTimeoutConstant = limits.readTotalConstant;
    t.WriteTotalTimeoutMultiplier = limits.writeTotalMultiplier;
    t.WriteTotalTimeoutConstant = limits.writeTotalConstant;
    return t;
}

std::string Win32DevicePath(const char* deviceName) {
    std::string name = deviceName ? deviceName : "";
    if (IsComName(name)) {
        const std::string mapped = MappedDevice(name);
        if (!mapped.empty()) name = mapped;
    }
    // COM10 and above open only through the device namespace.
    if (IsComName(name) && name.size() > 4) return "\\\\.\\" + name;
    return name;
}

namespace {
OpenFailure FailureOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_NETPATH:
        case ERROR_INVALID_NAME:
            return OpenFailure::kAbsent;
        case ERROR_ACCESS_DENIED:  // what a COM port held by another program gives
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return OpenFailure::kBusy;
        default:
            return OpenFailure::kOther;
    }
}

// What the calls on an open COM handle fail with once its device has gone:
// removed (USB serial drivers differ in which they give), powered off or not
// ready (ERROR_NOT_READY, also what Wine gives for a tty that has hung up).
bool IsLineGone(DWORD error) {
    return error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_REMOVED ||
           error == ERROR_GEN_FAILURE || error == ERROR_OPERATION_ABORTED ||
           error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE ||
           error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_NOT_READY;
}
}  // namespace

bool Win32Port::Open(const char* deviceName) {
    Close();
    lost_ = false;
    openFailure_ = OpenFailure::kNone;
    const std::string path = Win32DevicePath(deviceName);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        openFailure_ = FailureOf(GetLastError());
        return false;
    }
    handle_ = h;
    return true;
}

std::string Win32Port::DevicePath(const char* deviceName) const {
    return Win32DevicePath(deviceName);
}

bool Win32Port::ApplyLineSettings(const LineSettings& settings) {
    DCB dcb = MakeDcb(settings);
    return IsOpen() && SetCommState(handle_, &dcb) != FALSE;
}

bool Win32Port::ApplyTimeLimits(const TimeLimits& limits) {
    readLimits_ = limits;
    COMMTIMEOUTS t = MakeCommTimeouts(limits);
    return IsOpen() && SetCommTimeouts(handle_, &t) != FALSE;
}

void Win32Port::Purge() {
    if (IsOpen()) PurgeComm(handle_, kPurgeAll);
}

bool Win32Port::HandleGone() {
    // A removed adapter's driver may still complete reads, empty, as if the
    // line were silent; asking for the port's state is what fails then.
    DWORD errors = 0;
    COMSTAT status;
    if (ClearCommError(handle_, &errors, &status)) return false;
    return IsLineGone(GetLastError());
}

size_t Win32Port::Read(uint8_t* buf, size_t count) {
    if (!IsOpen()) return 0;
    const DWORD start = GetTickCount();
    DWORD got = 0;
    const bool failed = !ReadFile(handle_, buf, static_cast<DWORD>(count), &got, NULL);
    if (got == 0 && count != 0) {
        if ((failed && IsLineGone(GetLastError())) || HandleGone()) lost_ = true;
    }
    if ((failed || lost_) && got == 0) {
        // The line failed (e.g. the adapter was pulled out): ReadFile fails
        // or comes back empty at once, and whoever retries (the wait for the
        // ignition does until an abort) would spin. Wait out the read's time
        // limit instead, as a silent line takes it.
        const uint64_t limit = readLimits_.readTotalConstant +
                               static_cast<uint64_t>(readLimits_.readTotalMultiplier) * count;
        for (DWORD spent = GetTickCount() - start; limit != 0 && spent < limit;
             spent = GetTickCount() - start) {
            ::Sleep(static_cast<DWORD>(limit - spent));
        }
    }
    return got <= count ? got : count;
}

bool Win32Port::Write(const uint8_t* buf, size_t count) {
    DWORD written = 0;
    if (!IsOpen()) return false;
    if (WriteFile(handle_, buf, static_cast<DWORD>(count), &written, NULL) != FALSE) return true;
    if (IsLineGone(GetLastError())) lost_ = true;
    return false;
}

void Win32Port::Close() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
}

uint32_t Win32TickCounter::Now() {
    return GetTickCount();
}

void Win32TickCounter::Sleep(uint32_t ms) {
    ::Sleep(ms);
}

}  // namespace qmb
