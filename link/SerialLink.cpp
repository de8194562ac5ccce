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

SerialLink::SerialLink() = default;

SerialLink::SerialLink(Port& port, TickCounter& ticks, LinkHost& host) : SerialLink() {
    BindPort(&port, &ticks);
    BindHost(&host);
}

SerialLink& SerialLink::Default() {
    // Built on first use and never destroyed: a worker still running while
    // the process ends never meets a destroyed link.
    static SerialLink* const link = new SerialLink();
    return *link;
}

void SerialLink::BindPort(Port* port, TickCounter* ticks) {
    port_ = port;
    ticks_ = ticks;
}

void SerialLink::BindHost(LinkHost* host) {
    host_ = host;
}

void SerialLink::StopCommand(LinkStop why) {
    host_->Stop(why);
    std::terminate();  // a host whose Stop returns breaks the link's contract
}

void SerialLink::StopIfRequested() {
    if (host_->StopRequested()) StopCommand(LinkStop::kStopRequested);
}

void SerialLink::StopForFailedWrite() {
    StopCommand(LinkStop::kWriteFailed);
}

bool SerialLink::Open(const char* deviceName) {
    port_->Close();
    openFailure_ = OpenFailure::kNone;
    if (!port_->Open(deviceName)) {
        openFailure_ = port_->LastOpenFailure();
        if (openFailure_ == OpenFailure::kNone) openFailure_ = OpenFailure::kOther;
        Close();
        return false;
    }
    if (!port_->ApplyLineSettings(kLineSettings)) {
        openFailure_ = OpenFailure::kSettings;
        Close();
        return false;
    }
    port_->ApplyTimeLimits(kTimeLimits);  // as with SetCommTimeouts, the result is not used
    port_->Purge();
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(kLineSettings.baudRate));
    host_->ShowPortState(text);
    return true;
}

bool SerialLink::LineLost() const {
    return port_->LineLost();
}

void SerialLink::Close() {
    port_->Close();
    host_->ShowPortState(kPortClosedText);
}

bool SerialLink::TrySend(const uint8_t* bytes, size_t count) {
    StopIfRequested();
    if (!port_->Write(bytes, count)) return false;
    txLed_.store(1, std::memory_order_relaxed);
    return true;
}

bool SerialLink::Send(const uint8_t* bytes, size_t count) {
    if (!TrySend(bytes, count)) StopForFailedWrite();
    return true;
}

bool SerialLink::Receive(uint8_t* buf, size_t count) {
    std::memset(buf, 0, count);
    bytesReceived_ = 0;
    size_t remaining = count;
    for (int attempts = 0;; ++attempts) {
        StopIfRequested();
        if (attempts == kRetryLimit) return false;
        size_t got = port_->Read(buf + (count - remaining), remaining);
        if (got > remaining) got = remaining;  // a port can never overfill the buffer
        remaining -= got;
        bytesReceived_ += static_cast<uint32_t>(got);
        if (remaining == 0) {
            rxLed_.store(1, std::memory_order_relaxed);
            return true;
        }
    }
}

void SerialLink::Purge() {
    port_->Purge();
}

void SerialLink::Pause(uint32_t ms) {
    // Elapsed time in unsigned arithmetic, so a wait that spans the counter's
    // wrap still lasts its full time. Nothing looks at the abort bit during a
    // pause, so the thread sleeps all that is left instead of waking every
    // millisecond to poll; a Sleep may end early (a signal, a coarse timer),
    // so the counter decides when the pause is over.
    const uint32_t start = ticks_->Now();
    for (;;) {
        const uint32_t elapsed = ticks_->Now() - start;
        if (elapsed >= ms) return;
        ticks_->Sleep(ms - elapsed);
    }
}

uint32_t SerialLink::Ticks() const {
    return ticks_->Now();
}

// The default link.

void BindLinkHost(LinkHost* host) {
    SerialLink::Default().BindHost(host);
}
void BindPort(Port* port, TickCounter* ticks) {
    SerialLink::Default().BindPort(port, ticks);
}
bool OpenPort(char digit) {
    char name[] = "COMx";
    name[3] = digit;
    return SerialLink::Default().Open(name);
}
void ClosePort() {
    SerialLink::Default().Close();
}
bool SendBytes(const uint8_t* bytes, size_t count) {
    return SerialLink::Default().Send(bytes, count);
}
bool ReceiveBytes(uint8_t* buf, size_t count) {
    return SerialLink::Default().Receive(buf, count);
}
void BusyWait(uint32_t ms) {
    SerialLink::Default().Pause(ms);
}

}  // namespace qmb
