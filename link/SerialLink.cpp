#include "link/SerialLink.h"

#include <cstdio>
#include <cstring>

#include "job/JobFlags.h"
#include "job/Panel.h"

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

void FailIfAbortRequested() {
    if (JobFlags.load() & kJobAbort) FailJob(1);
}
}  // namespace

void BindPort(Port* port, TickCounter* ticks) {
    g_port = port;
    g_ticks = ticks;
}

bool OpenPort(char digit) {
    char name[32] = "COMx";
    name[3] = digit;
    g_port->Close();
    if (!g_port->Open(name) || !g_port->ApplyLineSettings(kLineSettings)) {
        ClosePort();
        return false;
    }
    g_port->ApplyTimeLimits(kTimeLimits);  // as with SetCommTimeouts, the result is not used
    g_port->Purge();
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(kLineSettings.baudRate));
    SetControlText(IDC_PORT_STATUS, text);
    return true;
}

void ClosePort() {
    g_port->Close();
    SetControlText(IDC_PORT_STATUS, kPortClosed);
}

bool SendBytes(const uint8_t* bytes, size_t count) {
    FailIfAbortRequested();
    if (!g_port->Write(bytes, count)) FailJob(1);
    TxLed.store(1, std::memory_order_relaxed);
    return true;
}

bool ReceiveBytes(uint8_t* buf, size_t count) {
    std::memset(buf, 0, count);
    BytesReceived = 0;
    size_t remaining = count;
    for (int attempts = 0;; ++attempts) {
        FailIfAbortRequested();
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
