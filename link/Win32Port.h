// The Win32 backend of the port seam: a COM port opened with CreateFileA and
// driven with the communications functions, and the GetTickCount clock.
#pragma once

#include <windows.h>

#include <string>

#include "link/Port.h"

namespace qmb {

// The device-control block for SetCommState, built whole from the settings:
// DCBlength set, every other field (reserved ones included) from settings or 0.
DCB MakeDcb(const LineSettings& settings);

// The SetCommTimeouts block for the limits.
COMMTIMEOUTS MakeCommTimeouts(const TimeLimits& limits);

// The name CreateFileA opens for a device name: "COMn" goes through the port
// map (QMB_COMn, then the map file) first; COM10 and above get the "\\.\"
// device prefix. Any other name is used as it stands.
std::string Win32DevicePath(const char* deviceName);

class Win32Port : public Port {
  public:
    Win32Port() = default;
    Win32Port(const Win32Port&) = delete;
    Win32Port& operator=(const Win32Port&) = delete;
    ~Win32Port() override { Close(); }

    // CreateFileA: read and write, no sharing, open existing, synchronous.
    bool Open(const char* deviceName) override;
    // SetCommState with MakeDcb(settings).
    bool ApplyLineSettings(const LineSettings& settings) override;
    // SetCommTimeouts with MakeCommTimeouts(limits).
    bool ApplyTimeLimits(const TimeLimits& limits) override;
    // PurgeComm with both aborts and both clears (0x0F).
    void Purge() override;
    // One ReadFile; the bytes it reports, whatever its result. When nothing
    // was read, the port's state is asked for (ClearCommError): a handle whose
    // device is gone fails there even where its reads still succeed empty.
    // A ReadFile that fails, or finds the line gone, with nothing read returns
    // only once the read's time limit (from the last ApplyTimeLimits) has
    // passed, as on a silent line.
    size_t Read(uint8_t* buf, size_t count) override;
    // One WriteFile of all count bytes; a short write is not detected.
    bool Write(const uint8_t* buf, size_t count) override;
    void Close() override;
    // From GetLastError of CreateFileA (access denied means busy on a COM port).
    OpenFailure LastOpenFailure() const override { return openFailure_; }
    // Set when ReadFile or WriteFile fails as a removed device does, or when
    // the port's state cannot be read after an empty read for that reason.
    bool LineLost() const override { return lost_; }
    std::string DevicePath(const char* deviceName) const override;

    bool IsOpen() const { return handle_ != nullptr; }

  private:
    // True when ClearCommError fails as on a device that is gone.
    bool HandleGone();

    HANDLE handle_ = nullptr;  // null while closed
    bool lost_ = false;
    OpenFailure openFailure_ = OpenFailure::kNone;
    TimeLimits readLimits_{};  // as last applied
};

// GetTickCount and Sleep.
class Win32TickCounter : public TickCounter {
  public:
    uint32_t Now() override;
    void Sleep(uint32_t ms) override;
};

}  // namespace qmb
