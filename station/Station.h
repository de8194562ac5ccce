// The station: one production slot per fixture position, each on a thread
// of its own running the gang's production loop (production::ProductionSlot), the
// state the page shows, the lockout, and the change feed the live page
// listens to.
//
// A slot that fails `lockout` boards in a row (a failed verdict, or a fault
// of its port or cable) stops itself and stays locked until acknowledged.
// A slot that meets the release's quota, or finds no serial number to give,
// stops with the reason as its note (the other slots stop as they meet it).
//
// Threads: the slot threads call the observer; Start, Stop, Ack, StopAll,
// the snapshots and WaitForChange may come from any thread (the HTTP
// server's). Every piece of state is under one mutex, which is never held
// while a device, a sink or a store is called.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "production/BoardRecord.h"
#include "production/Production.h"
#include "store/RecordStore.h"
#include "station/StationConfig.h"

namespace qmb::station {

using store::Record;
using store::RecordFilter;
using store::RecordStore;
using store::Stats;

struct StationSettings {
    production::RecordContext run;
    int section = 0;
    int dutIdSection = 0;  // read before each write as the board's id; 0: none
    device::Bytes image;
    // A recipe's run: its whole image (rising sections; when set, section and
    // image above are unused), its serial fields with their source and the
    // release's quota (both outlive the station; nullptr: none).
    std::vector<production::ImageSection> sections;
    std::vector<production::SerialField> serials;
    bool keepExisting = false;
    production::SerialSource* serialSource = nullptr;
    production::BoardGate* gate = nullptr;
    int lockout = 3;
    uint32_t retryMs = 2000;  // before a slot whose port failed opens it again
};

enum class ActionResult { kDone, kUnknownSlot, kConflict };

class Station : public production::SlotObserver {
  public:
    using PortFactory = std::function<std::unique_ptr<Port>()>;
    // sinks: where each record goes, in order; they outlive the station. A
    // record a sink cannot keep stops its slot (a board must not go
    // unrecorded).
    Station(StationSettings settings, std::vector<SlotConfig> slots, PortFactory makePort,
            TickCounter& ticks, std::vector<RecordStore*> sinks);
    // Stops every slot and waits for their threads.
    ~Station() override;

    void StartAll();
    // why: the one-line reason of a conflict (a locked slot, one not locked).
    ActionResult Start(const std::string& name, std::string& why);
    ActionResult Stop(const std::string& name, std::string& why);
    ActionResult Ack(const std::string& name, std::string& why);
    void StopAll();
    // Stops every slot, waits for them, and wakes every waiter for good.
    void Shutdown();

    int SlotIndex(const std::string& name) const;  // -1 when there is none
    const std::vector<SlotConfig>& Slots() const { return config_; }

    nlohmann::json SlotsJson();
    // What changed since `seen`: returns the current version once it is past
    // seen, or seen after timeout; the boards recorded since `boardSeq` go to
    // boards (oldest first), and boardSeq moves past them.
    uint64_t WaitForChange(uint64_t seen, std::chrono::milliseconds timeout, uint64_t& boardSeq,
                           std::vector<Record>& boards);
    bool ShuttingDown();
    // The last failure to keep a record ("" when none).
    std::string SinkError();

    // SlotObserver (slot threads)
    void OnPhase(int slot, production::BoardPhase phase, int board) override;
    bool OnBoard(const production::BoardOutcome& outcome, device::Fault& keptFailure,
                 std::string& why) override;

  private:
    struct Slot {
        std::thread thread;
        bool wanted = false;   // asked to run
        bool active = false;   // its thread runs
        production::ProductionSlot* current = nullptr;
        production::BoardPhase phase = production::BoardPhase::kIdle;
        int board = 0;
        std::chrono::steady_clock::time_point since;  // of the board, or of the phase outside one
        bool inBoard = false;
        int passed = 0, failed = 0, inRow = 0;
        bool endCounted = false;  // the run's end was a board, already counted
        bool locked = false;
        std::string lockReason, note;
        std::optional<Record> last;
    };

    void RunSlot(size_t index);
    void LaunchLocked(size_t index);
    // Counts a failure; locks the slot at the limit (the mutex held).
    void CountFailureLocked(Slot& slot, const Record& record);
    // Hands the record to every sink; false with the reason when one failed.
    bool Keep(const Record& record, std::string& why);
    void BumpLocked();

    StationSettings settings_;
    std::vector<SlotConfig> config_;
    PortFactory makePort_;
    TickCounter& ticks_;
    std::vector<RecordStore*> sinks_;
    production::LoopSettings loop_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Slot> slots_;
    uint64_t version_ = 1;
    uint64_t boardSeq_ = 0;            // records kept so far
    std::deque<Record> recentBoards_;  // the last few, for the change feed
    bool shutdown_ = false;
    std::string sinkError_;
};

// "verify mismatch" for "verify_mismatch".
std::string FailureText(const std::string& code);

}  // namespace qmb::station
