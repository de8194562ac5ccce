#include "link/SerialLink.h"

#include <cstdio>
#include <cstring>
#include <exception>

namespace qmb {

const LineSettings kLineSettings = {
    /*baudRate=*/38400,
    /*byteSize=*/8,
    /*parity=*/kParityNone,
    /*stopBits=*/kOneStopBit,
    /*binary=*/true,
    /*parityCheck=*/false,
    /*ctsOutputFlow=*/false,
    /*dsrOutputFlow=*/false,
    /*dtrControl=*/kLineControlOn,
    /*dsrSensitivity=*/false,
    /*txContinueOnXoff=*/false,
    /*xonXoffOutput=*/false,
    /*xonXoffInput=*/false,
    /*errorCharReplace=*/false,
    /*nullStrip=*/false,
    /*rtsControl=*/kLineControlOn,
    /*abortOnError=*/false,
    /*xonLimit=*/0,
    /*xoffLimit=*/0,
    /*xonChar=*/0,
    /*xoffChar=*/0,
    /*errorChar=*/0,
    /*eofChar=*/0,
    /*eventChar=*/0,
};

const TimeLimits kTimeLimits = {
    /*readInterval=*/0,
    /*readTotalMultiplier=*/0,
    /*readTotalConstant=*/400,
    /*writeTotalMultiplier=*/0,
    /*writeTotalConstant=*/0,
};

std::atomic<uint8_t> RxLed{0};
std::atomic<uint8_t> TxLed{0};
uint32_t BytesReceived = 0;

namespace {
Port* g_port = nullptr;
TickCounter* g_ticks = nullptr;
LinkHost* g_host = nullptr;
OpenFailure g_openFailure = OpenFailure::kNone;

[[noreturn]] void StopCommand(LinkStop why) {
    g_host->Stop(why);
    std::terminate();  // a host whose Stop returns breaks the link's contract
}

void StopIfRequested() {
    if (g_host->StopRequested()) StopCommand(LinkStop::kStopRequested);
}
}  // namespace

const char* OpenFailureName(OpenFailure failure) {
    switch (failure) {
        case OpenFailure::kNone:
            return "none";
        case OpenFailure::kAbsent:
            return "absent";
        case OpenFailure::kBusy:
            return "busy";
        case OpenFailure::kDenied:
            return "denied";
        case OpenFailure::kNotSerial:
            return "not a serial port";
        case OpenFailure::kSettings:
            return "settings rejected";
        case OpenFailure::kOther:
            return "other";
    }
    return "?";
}

void BindLinkHost(LinkHost* host) {
    g_host = host;
}

void BindPort(Port* port, TickCounter* ticks) {
    g_port = port;
    g_ticks = ticks;
}

bool OpenPort(char digit) {
    char name[32] = "COMx";
    name[3] = digit;
    return OpenPortNamed(name);
}

bool OpenPortNamed(const char* deviceName) {
    g_port->Close();
    g_openFailure = OpenFailure::kNone;
    if (!g_port->Open(deviceName)) {
        g_openFailure = g_port->LastOpenFailure();
        if (g_openFailure == OpenFailure::kNone) g_openFailure = OpenFailure::kOther;
        ClosePort();
        return false;
    }
    if (!g_port->ApplyLineSettings(kLineSettings)) {
        g_openFailure = OpenFailure::kSettings;
        ClosePort();
        return false;
    }
    g_port->ApplyTimeLimits(kTimeLimits);  // as with SetCommTimeouts, the result is not used
    g_port->Purge();
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(kLineSettings.baudRate));
    g_host->ShowPortState(text);
    return true;
}

OpenFailure PortOpenFailure() {
    return g_openFailure;
}

bool PortLineLost() {
    return g_port->LineLost();
}

void ClosePort() {
    g_port->Close();
    g_host->ShowPortState(kPortClosedText);
}

bool SendBytes(const uint8_t* bytes, size_t count) {
    StopIfRequested();
    if (!g_port->Write(bytes, count)) StopCommand(LinkStop::kWriteFailed);
    TxLed.store(1, std::memory_order_relaxed);
    return true;
}

bool ReceiveBytes(uint8_t* buf, size_t count) {
    std::memset(buf, 0, count);
    BytesReceived = 0;
    size_t remaining = count;
    for (int attempts = 0;; ++attempts) {
        StopIfRequested();
        if (attempts == kRetryLimit) return false;
        size_t got = g_port->Read(buf + (count - remaining), remaining);
        if (got > remaining) got = remaining;  // a port can never overfill the buffer
        remaining -= got;
        BytesReceived += static_cast<uint32_t>(got);
        if (remaining == 0) {
            RxLed.store(1, std::memory_order_relaxed);
            return true;
        }
    }
}

void PurgePort() {
    g_port->Purge();
}

void BusyWait(uint32_t ms) {
    // Elapsed time in unsigned arithmetic, so a wait that spans the counter's
    // wrap still lasts its full time. Nothing looks at the abort bit during a
    // pause, so the thread sleeps all that is left instead of waking every
    // millisecond to poll; a Sleep may end early (a signal, a coarse timer),
    // so the counter decides when the pause is over.
    const uint32_t start = g_ticks->Now();
    for (;;) {
        const uint32_t elapsed = g_ticks->Now() - start;
        if (elapsed >= ms) return;
        g_ticks->Sleep(ms - elapsed);
    }
}

uint32_t TickCount() {
    return g_ticks->Now();
}

}  // namespace qmb
