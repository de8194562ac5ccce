// The device as qmb-cli sees it: the serial link's host for one command, and
// the operations the windows' jobs perform, made of the same device commands
// (same frames, attempts, pauses and time limits), with every failure thrown
// as a CliError of its class.
//
// Threads: one thread (main) runs everything; interrupts only set a flag,
// which the link looks at before every transfer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/ExitCodes.h"
#include "link/LinkHost.h"
#include "link/Port.h"
#include "protocol/Commands.h"

namespace qmb::cli {

using Bytes = std::vector<uint8_t>;

class Device : public LinkHost {
  public:
    // Binds the port, the tick counter and this host to the link.
    Device(Port& port, TickCounter& ticks);
    // Closes the port and unbinds.
    ~Device() override;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Opens a port name (COMn, mapped as the windows map it) or a device path
    // with the fixed settings. Throws port-absent, -busy, -denied, -unusable.
    void Open(const std::string& name);
    void Close();
    // The path the port name opened (after mapping).
    const std::string& PortPath() const { return path_; }

    // The section's address and length (length 0: the section is absent).
    // Throws no-reply or bad-reply when the query fails.
    SectionInfo Info(int section);
    // A Read: the query, then the memory read. Throws data for an absent
    // section, and the query's and the read's failures.
    Bytes Read(int section, SectionInfo* info = nullptr);
    // A Write: the query, the size check ("Incorrect data size for selected
    // section", nothing sent), the memory write and the commit.
    void Write(int section, const Bytes& bytes, SectionInfo* info = nullptr);
    // The memory read alone, for reading back what was just written.
    Bytes ReadMemory(int section, const SectionInfo& info);
    // The ignition handshake; timeoutMs 0 waits for ever (until interrupted).
    void WaitForHandshake(uint32_t timeoutMs);
    // The link's pause (the Loop's 1000 ms before each write).
    void Pause(uint32_t ms);

    // LinkHost
    bool StopRequested() override;
    [[noreturn]] void Stop(LinkStop why) override;
    void ShowPortState(const char*) override {}

  private:
    [[noreturn]] void ThrowExchangeFailure(const std::string& message);
    bool DeadlinePassed();

    Port& port_;
    TickCounter& ticks_;
    std::string path_;
    bool deadlineSet_ = false;
    uint32_t deadlineStart_ = 0, deadlineMs_ = 0;
};

}  // namespace qmb::cli
