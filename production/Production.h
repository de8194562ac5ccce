// The production loop: for each board on a slot, wait for the ignition
// handshake, pause 1 s, then for each section of the image in rising order
// write it, commit it, read it back and compare, as the window's Loop
// TAT&Write does for one section. A gang runs one slot per
// port at once, each on a thread of its own with a Device of its own. For
// any front end: qmb-cli's loop and qmb-station run it.
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

#include "device/Device.h"
#include "link/Port.h"
#include "protocol/Trace.h"
#include "production/Recipe.h"

namespace qmb::production {

class SerialSource;  // production/SerialSource.h

using device::Bytes;
using device::Device;
using device::Fault;

constexpr uint32_t kLoopPauseMs = 1000;  // before each board's write, as the window's

// Where a slot's board is.
enum class BoardPhase { kIdle, kWaiting, kPause, kWriting, kCommitting, kVerifying };
// "idle", "waiting for ignition", "pause", "writing", "committing", "verifying".
const char* BoardPhaseName(BoardPhase phase);

// How one board ended.
struct BoardOutcome {
    int slot = 0;
    std::string slotName;      // "A", "B", ... as the station and page show it
    std::string port, device;  // the name as given, what it opened
    int board = 0;             // 1-based on its slot
    int section = 0;           // the section it ended on: where it failed, the image's last on a pass
    bool pass = false;
    Fault fault = Fault::kNone;  // what went wrong; kNone on a pass
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
    // Every serial value of the board, in field order: "used" (written on a
    // passed board), "kept" (a reworked board carried it already) or "void"
    // (it may have reached a board that failed). A value reserved for a board
    // that ended before its section was sent went back and is not listed.
    struct Serial {
        std::string pool, value, state;
    };
    std::vector<Serial> serials;
};

// Asked by each slot before it programs a board (its handshake came): a
// quota of boards across the stations. Thread-safe; shared by every slot.
class BoardGate {
  public:
    virtual ~BoardGate() = default;
    // "" lets the board be programmed; else the one-line reason the slot
    // stops (Fault::kQuota) without touching the board.
    virtual std::string Enter() = 0;
    // A board that Enter let through ended; passed: a pass whose record was
    // kept.
    virtual void Leave(bool passed) = 0;
};

// A fault after which a slot cannot go on: its port or cable failed, a stop
// was asked for, or a board's record could not be kept.
bool EndsTheSlot(Fault fault);

class SlotObserver {
  public:
    virtual ~SlotObserver() = default;
    virtual void OnPhase(int slot, BoardPhase phase, int board) = 0;
    // Before the slot's next board starts: whatever must be kept of the
    // board (its record) is kept here, and only then is the board shown
    // or logged as passed. False when it could not be kept: the board is
    // no pass, and the slot ends with keptFailure (kNotKept for a record,
    // kFile for a log) and why.
    virtual bool OnBoard(const BoardOutcome& outcome, Fault& keptFailure, std::string& why) = 0;
};

struct SlotSummary {
    int slot = 0;
    std::string port, device;
    int passes = 0, fails = 0;
    Fault end = Fault::kNone;  // kNone: ran its count; else why it ended (port, stop, stop-on-fail)
    std::string endReason;
    Fault lastFail = Fault::kNone;  // the fault of its last failed board
    std::string lastFailReason;
};

struct LoopSettings {
    // The image: every section, rising order. When it is empty the one
    // section below is the image.
    std::vector<ImageSection> sections;
    int section = 0;
    Bytes image;
    int count = 0;           // boards per slot; 0: until stopped
    bool stopOnFail = false;
    int dutIdSection = 0;    // read before writing, as the board's id; 0: none
    // Serial fields patched into the image, each with a value of its pool
    // from serialSource (required with fields; shared by the slots). With
    // keepExisting, a board whose field already holds a used value of the
    // pool keeps it.
    std::vector<SerialField> serials;
    bool keepExisting = false;
    SerialSource* serialSource = nullptr;
    BoardGate* gate = nullptr;  // nullptr: no quota

    // The sections each board gets (sections, or the one section).
    std::vector<ImageSection> Image() const;
};

class ProductionSlot {
  public:
    // name: as the station and page show the slot ("" gives SlotName(index)).
    ProductionSlot(int index, std::string port, std::unique_ptr<Device> device,
                   std::string name = "");

    // Opens the port and programs boards until the count, a stop, Ctrl-C, a
    // port failure or (with stopOnFail) a failed board. Never throws.
    SlotSummary Run(const LoopSettings& settings, SlotObserver& observer);
    void RequestStop() { device_->RequestStop(); }
    const std::string& Port() const { return port_; }
    const std::string& Name() const { return name_; }

  private:
    BoardOutcome RunBoard(int board, const LoopSettings& settings, SlotObserver& observer);
    struct FieldValue;
    // The value of each field for this board: kept from the board
    // (keepExisting) or reserved. Throws DeviceFault (the board's read, or
    // kNoSerial), having given back what it reserved.
    std::vector<FieldValue> TakeValues(const LoopSettings& settings);

    int index_;
    std::string name_;
    std::string port_;
    std::unique_ptr<Device> device_;
};

// The name of the slot at index when none is given: "A" to "Z", then "AA",
// "AB", ...
std::string SlotName(int index);

// Starts a thread running what it is given (std::thread's constructor by
// default); throws std::system_error when it cannot.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

// Runs every slot on a thread of its own; returns their summaries, in slot
// order, once all have ended. When a slot's thread cannot be started, the
// started slots are stopped and joined, and every slot left without a thread
// ends with Fault::kSystem.
std::vector<SlotSummary> RunGang(std::vector<std::unique_ptr<ProductionSlot>>& slots,
                                 const LoopSettings& settings, SlotObserver& observer,
                                 const ThreadStarter& start = {});

// The key under which two port names are the same device: the resolved path
// with links followed (a by-path name and its /dev/ttyUSBn), or the COM name.
std::string SameDeviceKey(const std::string& devicePath);

// Two names of one device would program one board twice over: checked before
// any port is opened. True when ports[first] and ports[second] (first <
// second) open the same device, key being that device (SameDeviceKey of
// what probe maps each name to).
bool FindSameDevice(const std::vector<std::string>& ports, Port& probe, size_t& first,
                    size_t& second, std::string& key);

}  // namespace qmb::production
