// The port seam: the OS byte device behind the serial link, and the
// millisecond tick counter. One backend per OS (Win32Port, PosixPort), a fake
// in virtual time for tests. The serial link (SerialLink.h) is the only user.
//
// Threads: a Port and a TickCounter are used from one thread at a time (the
// job worker); they need no locking of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmb {

// The line settings applied whole when a port is opened: the fields of the
// Win32 device-control block that this tool sets. Values use the Win32
// encodings (parity 0 = none, stopBits 0 = one, DTR/RTS control 1 = on).
struct LineSettings {
    uint32_t baudRate;
    uint8_t byteSize;
    uint8_t parity;
    uint8_t stopBits;
    bool binary;
    bool parityCheck;
    bool ctsOutputFlow;
    bool dsrOutputFlow;
    uint8_t dtrControl;
    bool dsrSensitivity;
    bool txContinueOnXoff;
    bool xonXoffOutput;
    bool xonXoffInput;
    bool errorCharReplace;
    bool nullStrip;
    uint8_t rtsControl;
    bool abortOnError;
    uint16_t xonLimit;
    uint16_t xoffLimit;
    char xonChar;
    char xoffChar;
    char errorChar;
    char eofChar;
    char eventChar;
};

constexpr uint8_t kParityNone = 0;
constexpr uint8_t kOneStopBit = 0;
constexpr uint8_t kLineControlOn = 1;  // DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE

// Time limits in milliseconds (the Win32 COMMTIMEOUTS fields). A read ends
// when all requested bytes have arrived, otherwise readTotalConstant ms after
// it began (the multiplier and interval are 0 here); writes have no limit.
struct TimeLimits {
    uint32_t readInterval;
    uint32_t readTotalMultiplier;
    uint32_t readTotalConstant;
    uint32_t writeTotalMultiplier;
    uint32_t writeTotalConstant;
};

// 38400 baud, 8 data bits, no parity, one stop bit, no flow control,
// DTR and RTS held on.
extern const LineSettings kLineSettings;
// Reads: 400 ms total. Writes: no limit.
extern const TimeLimits kTimeLimits;

// Why an Open failed, for callers that say more than "Port is busy".
enum class OpenFailure {
    kNone,
    kAbsent,     // no such device (or the adapter is unplugged)
    kBusy,       // another program holds it
    kDenied,     // no permission to open it
    kNotSerial,  // it exists but is no serial line
    kSettings,   // it refused the line settings
    kOther,      // anything else the OS reported
};
const char* OpenFailureName(OpenFailure failure);

class Port {
  public:
    virtual ~Port() = default;
    // Opens the named device (a COM name, mapped as PortMap.h says, or a
    // device path) for exclusive, synchronous reading and writing. False when
    // it is absent, busy or not permitted; LastOpenFailure() says which.
    virtual bool Open(const char* deviceName) = 0;
    // Applies the line settings whole. False when the device rejects them.
    virtual bool ApplyLineSettings(const LineSettings& settings) = 0;
    // Applies the time limits that every later Read and Write obeys.
    virtual bool ApplyTimeLimits(const TimeLimits& limits) = 0;
    // Discards everything pending in both directions.
    virtual void Purge() = 0;
    // One read of up to count bytes: returns as soon as count bytes have
    // arrived, otherwise when the total read limit has passed since the call
    // began. Returns the number of bytes stored at buf (0 to count).
    virtual size_t Read(uint8_t* buf, size_t count) = 0;
    // Writes count bytes; false when the device refuses the write.
    virtual bool Write(const uint8_t* buf, size_t count) = 0;
    // Closes the device; harmless when it is not open.
    virtual void Close() = 0;

    // Why the last Open (or ApplyLineSettings) failed; kNone after success.
    virtual OpenFailure LastOpenFailure() const { return OpenFailure::kNone; }
    // True once the open line has failed for good (hung up, unplugged, I/O
    // error) until the next Open; reads and writes then fail or wait out
    // their limits. A port that cannot tell says false.
    virtual bool LineLost() const { return false; }
    // The OS path or name that deviceName opens (after any port mapping).
    virtual std::string DevicePath(const char* deviceName) const { return deviceName; }
};

class TickCounter {
  public:
    virtual ~TickCounter() = default;
    // Milliseconds on a monotonic clock; wraps at 2^32.
    virtual uint32_t Now() = 0;
    // Gives up the processor for about ms milliseconds.
    virtual void Sleep(uint32_t ms) = 0;
};

}  // namespace qmb
