// The port seam on POSIX systems: a serial device (or the simulator's
// pseudo-terminal) through termios, and the monotonic millisecond clock.
//
// Device names: "COMn" (COM1 to COM255) maps to the path in the environment
// variable QMB_COMn (COM1 to COM4) when that is set and not empty, else to the port map's
// entry (link/PortMap.h), else to /dev/ttyS{n-1}. Any other name is used as a
// path as it stands.
//
// Threads: one thread at a time (the job worker), as for every Port.
#pragma once

#include <string>

#include "link/Port.h"

namespace qmb {

// The path a device name opens (see above).
std::string PosixDevicePath(const char* deviceName);

class PosixPort : public Port {
  public:
    PosixPort() = default;
    ~PosixPort() override { Close(); }
    PosixPort(const PosixPort&) = delete;
    PosixPort& operator=(const PosixPort&) = delete;

    // Opens the device for exclusive use: O_NOCTTY, then TIOCEXCL and an
    // advisory lock (flock), so a second open of a busy port fails even for
    // root. False when the path does not exist, is busy, is not a terminal
    // or may not be opened.
    bool Open(const char* deviceName) override;
    // Raw mode with the settings' baud rate, data bits, parity, stop bits and
    // flow control; DTR and RTS raised where the line has them (a
    // pseudo-terminal has not: that is no failure). False when the device
    // rejects the settings or the baud rate has no termios speed.
    bool ApplyLineSettings(const LineSettings& settings) override;
    // Keeps the read limit: readTotalConstant + readTotalMultiplier x count
    // ms. All read limits 0 means a read waits until all bytes arrived.
    // readInterval and the write limits are not used (writes have no limit).
    bool ApplyTimeLimits(const TimeLimits& limits) override;
    // tcflush of both directions.
    void Purge() override;
    // Returns the moment count bytes have arrived, otherwise at the read
    // limit, measured on the monotonic clock from the call's start. A line
    // that fails (hung up) waits out the limit rather than returning early.
    size_t Read(uint8_t* buf, size_t count) override;
    // Writes every byte (looping over partial writes); false on failure.
    bool Write(const uint8_t* buf, size_t count) override;
    void Close() override;
    // From the errno of the open, the lock or the exclusive mode.
    OpenFailure LastOpenFailure() const override { return openFailure_; }
    // Set by a read or write that finds the line hung up or failing (EIO).
    bool LineLost() const override { return lost_; }
    std::string DevicePath(const char* deviceName) const override {
        return PosixDevicePath(deviceName);
    }

    bool IsOpen() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
    bool lost_ = false;
    OpenFailure openFailure_ = OpenFailure::kNone;
    TimeLimits limits_{};
};

class PosixTickCounter : public TickCounter {
  public:
    // CLOCK_MONOTONIC in milliseconds, wrapping at 2^32.
    uint32_t Now() override;
    // nanosleep for ms milliseconds, resumed after signals.
    void Sleep(uint32_t ms) override;
};

}  // namespace qmb
