// The production loop: for each board on a slot, wait for the ignition
// handshake, pause 1 s, write the section, commit it, read it back and
// compare, as the window's Loop TAT&Write does. A gang runs one slot per
// port at once, each on a thread of its own with a Device of its own.
//
// Threads: ProductionSlot::Run runs on the slot's thread and calls its
// observer there; RequestStop may come from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/Device.h"
#include "protocol/Trace.h"

namespace qmb::cli {

constexpr uint32_t kLoopPauseMs = 1000;  // before each board's write, as the window's

// Where a slot's board is.
enum class BoardPhase { kIdle, kWaiting, kPause, kWriting, kCommitting, kVerifying };
// "idle", "waiting for ignition", "pause", "writing", "committing", "verifying".
const char* BoardPhaseName(BoardPhase phase);

// How one board ended.
struct BoardOutcome {
    int slot = 0;
    std::string port, device;  // the name as given, what it opened
    int board = 0;             // 1-based on its slot
    int section = 0;
    bool pass = false;
    int exitCode = 0;          // the CliError code of a failure, 0 on a pass
    // "complete" (a verdict: pass or fail), "error" (the port or cable, no
    // verdict), "aborted" (interrupted, no verdict).
    std::string status;
    std::string result;        // "pass", "fail", or "" without a verdict
    std::string failureCode;   // "no_reply", "verify_mismatch", ...; "" on a pass
    std::string failurePhase;  // "handshake", "dut-id", "write", "commit", "verify"; "" on a pass
    std::string reason;        // the one-line message of a failure
    std::chrono::system_clock::time_point startedAt, endedAt;
    int64_t durationMs = 0;    // on the monotonic clock
    int retries = 0;           // frame attempts beyond the first
    std::string dutId;         // the DUT id section's bytes as hex, "" without one
};

// The record's failure code for an exit code ("no_reply", "port_lost", ...).
const char* FailureCodeOf(int exitCode);

class SlotObserver {
  public:
    virtual ~SlotObserver() = default;
    virtual void OnPhase(int slot, BoardPhase phase, int board) = 0;
    // Before the slot's next board starts: whatever must be kept of the
    // board (its record) is kept here, and only then is the board shown
    // or logged as passed. False when it could not be kept: the board is
    // no pass, and the slot ends with keptFailure's code and reason.
    virtual bool OnBoard(const BoardOutcome& outcome, int& keptFailure, std::string& why) = 0;
};

struct SlotSummary {
    int slot = 0;
    std::string port, device;
    int passes = 0, fails = 0;
    int endCode = 0;         // 0: ran its count; else why it ended (port, interrupt, stop-on-fail)
    std::string endReason;
    int lastFailCode = 0;    // the code of its last failed board
    std::string lastFailReason;
};

struct LoopSettings {
    int section = 0;
    Bytes image;
    int count = 0;           // boards per slot; 0: until stopped
    bool stopOnFail = false;
    int dutIdSection = 0;    // read before writing, as the board's id; 0: none
};

class ProductionSlot {
  public:
    ProductionSlot(int index, std::string port, std::unique_ptr<Device> device);

    // Opens the port and programs boards until the count, a stop, Ctrl-C, a
    // port failure or (with stopOnFail) a failed board. Never throws.
    SlotSummary Run(const LoopSettings& settings, SlotObserver& observer);
    void RequestStop() { device_->RequestStop(); }
    const std::string& Port() const { return port_; }

  private:
    BoardOutcome RunBoard(int board, const LoopSettings& settings, SlotObserver& observer);

    int index_;
    std::string port_;
    std::unique_ptr<Device> device_;
};

// Starts a thread running what it is given (std::thread's constructor by
// default); throws std::system_error when it cannot.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

// Runs every slot on a thread of its own; returns their summaries, in slot
// order, once all have ended. When a slot's thread cannot be started, the
// started slots are stopped and joined, and every slot left without a thread
// ends with code "system".
std::vector<SlotSummary> RunGang(std::vector<std::unique_ptr<ProductionSlot>>& slots,
                                 const LoopSettings& settings, SlotObserver& observer,
                                 const ThreadStarter& start = {});

// The gang's exit code: interrupted when Ctrl-C stopped it; else the code of
// the first slot (in slot order) that ended on a port, file, store or system
// failure; else the code of the last failed board of the first slot with
// one; else interrupted when a slot was stopped; else 0.
int GangExitCode(const std::vector<SlotSummary>& summaries, bool interrupted);

// The key under which two port names are the same device: the resolved path
// with links followed (a by-path name and its /dev/ttyUSBn), or the COM name.
std::string SameDeviceKey(const std::string& devicePath);

}  // namespace qmb::cli
