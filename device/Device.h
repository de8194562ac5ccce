// The device on one port, for any front end: a line with a link and an
// exchange context of its own, the link's host for the commands run on it,
// and the operations the windows' jobs perform, made of the same device
// commands (same frames, attempts, pauses and time limits), with every
// failure thrown as a DeviceFault of its kind. One process may hold many, one
// per port.
//
// Threads: a Device is used by one thread at a time; RequestStop() may be
// called from any thread, and takes effect before the next transfer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/DeviceFault.h"
#include "link/LinkHost.h"
#include "link/Port.h"
#include "link/SerialLink.h"
#include "protocol/Commands.h"

namespace qmb::device {

using Bytes = std::vector<uint8_t>;


// Says whether the whole process has been told to stop (Ctrl-C).
using InterruptCheck = bool (*)();

class Device : public LinkHost {
  public:
    // A line on port and ticks, which outlive it. interrupted is asked before
    // every transfer (by default the process's Ctrl-C flag, platform/System.h).
    Device(Port& port, TickCounter& ticks, InterruptCheck interrupted = nullptr);
    // The same on a port of its own.
    Device(std::unique_ptr<Port> port, TickCounter& ticks, InterruptCheck interrupted = nullptr);
    // Closes the port.
    ~Device() override;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Every frame of this line goes to sink (nullptr: none); it outlives the
    // device.
    void SetTraceSink(TraceSink* sink) { exchange_.SetTraceSink(sink); }

    // Opens a port name (COMn, mapped as the windows map it) or a device path
    // with the fixed settings. Throws kPortAbsent, kPortBusy, kPortDenied or
    // kPortUnusable.
    void Open(const std::string& name);
    void Close();
    // The path the port name opened (after mapping).
    const std::string& PortPath() const { return path_; }

    // The section's address and length (length 0: the section is absent).
    // Throws kNoReply, kBadReply or kPortLost when the query fails.
    SectionInfo Info(int section);
    // A Read: the query, then the memory read. Throws kData for an absent
    // section, and the query's and the read's failures.
    Bytes Read(int section, SectionInfo* info = nullptr);
    // A Write: the query and size check (WriteTarget), the memory write and
    // the commit.
    void Write(int section, const Bytes& bytes, SectionInfo* info = nullptr);
    // The query of a Write: throws kData for an absent section and for bytes
    // of another size ("Incorrect data size for selected section"); nothing
    // is written then.
    SectionInfo WriteTarget(int section, size_t size);
    void WriteMemory(int section, const SectionInfo& info, const Bytes& bytes);
    // The commit. When it fails after its request went out, CommitUncertain()
    // is true until the next commit: the device may or may not have stored
    // the section.
    void Commit(int section);
    bool CommitUncertain() const { return commitUncertain_; }
    // The memory read alone, for reading back what was just written.
    Bytes ReadMemory(int section, const SectionInfo& info);
    // The ignition handshake; timeoutMs 0 waits for ever (until stopped).
    void WaitForHandshake(uint32_t timeoutMs);
    // The link's pause (the Loop's 1000 ms before each write).
    void Pause(uint32_t ms);

    // Frame attempts beyond the first of each exchange, since the last
    // ResetRetries.
    int Retries() const { return retries_; }
    void ResetRetries() { retries_ = 0; }

    // Any thread: the next transfer stops with kInterrupted.
    void RequestStop() { stopRequested_.store(true); }
    // The thread using the device, between operations: a stop asked for
    // earlier no longer stops the next transfer.
    void ClearStopRequest() { stopRequested_.store(false); }

    // LinkHost
    bool StopRequested() override;
    [[noreturn]] void Stop(LinkStop why) override;
    void ShowPortState(const char*) override {}

  private:
    void Count(const ExchangeOutcome& outcome);
    [[noreturn]] void ThrowExchangeFailure(int section, const std::string& message,
                                           const ExchangeOutcome& outcome);
    bool DeadlinePassed();
    bool Interrupted() const;

    std::unique_ptr<Port> ownedPort_;
    Port& port_;
    TickCounter& ticks_;
    InterruptCheck interrupted_;
    SerialLink link_;
    ExchangeContext exchange_;
    std::string path_;
    std::atomic<bool> stopRequested_{false};
    bool deadlineSet_ = false;
    uint32_t deadlineStart_ = 0, deadlineMs_ = 0;
    int retries_ = 0;
    bool commitUncertain_ = false;
};

}  // namespace qmb::device
