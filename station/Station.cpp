#include "station/Station.h"

#include <algorithm>

namespace qmb::station {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using production::BoardPhase;

namespace {
constexpr size_t kRecentBoards = 64;

int64_t MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

json OptionalJson(const std::optional<std::string>& v) {
    return v ? json(*v) : json(nullptr);
}
}  // namespace

std::string FailureText(const std::string& code) {
    std::string text = code;
    std::replace(text.begin(), text.end(), '_', ' ');
    return text;
}

Station::Station(StationSettings settings, std::vector<SlotConfig> slots, PortFactory makePort,
                 TickCounter& ticks, std::vector<RecordStore*> sinks)
    : settings_(std::move(settings)),
      config_(std::move(slots)),
      makePort_(std::move(makePort)),
      ticks_(ticks),
      sinks_(std::move(sinks)),
      slots_(config_.size()) {
    loop_.section = settings_.section;
    loop_.image = settings_.image;
    loop_.sections = settings_.sections;
    loop_.serials = settings_.serials;
    loop_.keepExisting = settings_.keepExisting;
    loop_.serialSource = settings_.serialSource;
    loop_.gate = settings_.gate;
    loop_.count = 0;
    loop_.stopOnFail = false;
    loop_.dutIdSection = settings_.dutIdSection;
    for (auto& s : slots_)
        s.since = Clock::now();
}

Station::~Station() {
    Shutdown();
}

int Station::SlotIndex(const std::string& name) const {
    for (size_t i = 0; i < config_.size(); ++i) {
        if (config_[i].name == name) return static_cast<int>(i);
    }
    return -1;
}

void Station::BumpLocked() {
    ++version_;
    changed_.notify_all();
}

void Station::LaunchLocked(size_t i) {
    Slot& s = slots_[i];
    s.wanted = true;
    if (s.active) return;  // its thread goes on with a fresh run
    if (s.thread.joinable()) s.thread.join();  // ended: it takes the mutex no more
    s.active = true;
    s.thread = std::thread([this, i] { RunSlot(i); });
}

void Station::StartAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shutdown_) return;
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i].locked) LaunchLocked(i);
    }
    BumpLocked();
}

ActionResult Station::Start(const std::string& name, std::string& why) {
    const int i = SlotIndex(name);
    if (i < 0) return ActionResult::kUnknownSlot;
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& s = slots_[static_cast<size_t>(i)];
    if (shutdown_) {
        why = "the station is shutting down";
        return ActionResult::kConflict;
    }
    if (s.locked) {
        why = "slot " + name + " is locked: acknowledge it first";
        return ActionResult::kConflict;
    }
    LaunchLocked(static_cast<size_t>(i));
    BumpLocked();
    return ActionResult::kDone;
}

ActionResult Station::Stop(const std::string& name, std::string&) {
    const int i = SlotIndex(name);
    if (i < 0) return ActionResult::kUnknownSlot;
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& s = slots_[static_cast<size_t>(i)];
    s.wanted = false;
    if (s.current) s.current->RequestStop();
    BumpLocked();
    return ActionResult::kDone;
}

ActionResult Station::Ack(const std::string& name, std::string& why) {
    const int i = SlotIndex(name);
    if (i < 0) return ActionResult::kUnknownSlot;
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& s = slots_[static_cast<size_t>(i)];
    if (!s.locked) {
        why = "slot " + name + " is not locked";
        return ActionResult::kConflict;
    }
    s.locked = false;
    s.lockReason.clear();
    s.inRow = 0;
    BumpLocked();
    return ActionResult::kDone;
}

void Station::StopAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& s : slots_) {
        s.wanted = false;
        if (s.current) s.current->RequestStop();
    }
    BumpLocked();
}

void Station::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutdown_ = true;
        for (auto& s : slots_) {
            s.wanted = false;
            if (s.current) s.current->RequestStop();
        }
        BumpLocked();
    }
    for (auto& s : slots_) {
        if (s.thread.joinable()) s.thread.join();
    }
}

bool Station::ShuttingDown() {
    std::lock_guard<std::mutex> lock(mutex_);
    return shutdown_;
}

std::string Station::SinkError() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sinkError_;
}

void Station::RunSlot(size_t i) {
    const SlotConfig& config = config_[i];
    for (;;) {
        std::unique_ptr<production::ProductionSlot> run;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Slot& s = slots_[i];
            if (!s.wanted || shutdown_) {
                s.active = false;
                s.current = nullptr;
                s.phase = BoardPhase::kIdle;
                s.inBoard = false;
                s.since = Clock::now();
                BumpLocked();
                return;
            }
            // Named as the page shows it: the records and the serial
            // reservations carry the slot's own name.
            run = std::make_unique<production::ProductionSlot>(
                static_cast<int>(i), config.port,
                std::make_unique<device::Device>(makePort_(), ticks_), config.name);
            s.current = run.get();
            s.endCounted = false;
            s.note.clear();
            BumpLocked();
        }
        const production::SlotSummary summary = run->Run(loop_, *this);
        bool counted;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Slot& s = slots_[i];
            s.current = nullptr;
            counted = s.endCounted;
        }
        run.reset();
        if (summary.end == device::Fault::kQuota || summary.end == device::Fault::kNoSerial) {
            // Nothing this slot can mend by trying again: it stops and says why.
            std::lock_guard<std::mutex> lock(mutex_);
            Slot& s = slots_[i];
            if (s.wanted && !shutdown_) s.note = "stopped: " + summary.endReason;
            s.wanted = false;
            continue;
        }
        if (!device::IsPortFault(summary.end)) continue;  // stopped: the loop's top ends it
        if (!counted) {
            // The port failed before a board: at its opening or while
            // waiting for the ignition. A failure of the slot all the same.
            production::BoardOutcome o;
            o.slot = static_cast<int>(i);
            o.slotName = config.name;
            o.port = config.port;
            o.device = summary.device;
            o.board = summary.passes + summary.fails + 1;
            o.section = loop_.Image().front().number;
            o.fault = summary.end;
            o.status = "error";
            o.failureCode = device::FaultCode(summary.end);
            o.failurePhase = summary.device.empty() ? "open" : "handshake";
            o.reason = summary.endReason;
            o.startedAt = o.endedAt = std::chrono::system_clock::now();
            device::Fault notKept = device::Fault::kNotKept;
            std::string why;
            OnBoard(o, notKept, why);
        }
        std::unique_lock<std::mutex> lock(mutex_);
        Slot& s = slots_[i];
        if (!s.wanted || shutdown_) continue;
        s.note = "port: " + summary.endReason + "; trying again";
        BumpLocked();
        changed_.wait_for(lock, std::chrono::milliseconds(settings_.retryMs),
                          [&] { return !s.wanted || shutdown_; });
    }
}

void Station::OnPhase(int slot, BoardPhase phase, int board) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& s = slots_[static_cast<size_t>(slot)];
    const bool boardPhase = phase != BoardPhase::kIdle && phase != BoardPhase::kWaiting;
    if (boardPhase != s.inBoard || !boardPhase) s.since = Clock::now();
    s.inBoard = boardPhase;
    s.phase = phase;
    if (board > 0) s.board = board;
    if (phase == BoardPhase::kWaiting) s.note.clear();
    BumpLocked();
}

bool Station::Keep(const Record& record, std::string& why) {
    bool kept = true;
    for (RecordStore* sink : sinks_) {
        try {
            sink->Insert(record);
        } catch (const std::exception& e) {
            why = std::string("records: ") + e.what();
            kept = false;
        }
    }
    return kept;
}

void Station::CountFailureLocked(Slot& s, const Record& r) {
    ++s.failed;
    ++s.inRow;
    if (s.inRow >= settings_.lockout && !s.locked) {
        s.locked = true;
        s.lockReason = "locked: " + std::to_string(s.inRow) + " failure" +
                       (s.inRow == 1 ? "" : "s") + " in a row, last: " +
                       FailureText(r.failure_code.value_or("error"));
        s.wanted = false;
        if (s.current) s.current->RequestStop();  // ends the run at its next transfer
    }
}

bool Station::OnBoard(const production::BoardOutcome& o, device::Fault& keptFailure,
                      std::string& why) {
    const Record record = production::MakeRecord(o, settings_.run);
    const bool kept = Keep(record, why);
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& s = slots_[static_cast<size_t>(o.slot)];
    if (!kept) {
        // The slot stops until started again; the board stays on the page.
        sinkError_ = why;
        s.wanted = false;
        s.note = why;
        keptFailure = device::Fault::kNotKept;
    } else {
        sinkError_.clear();
    }
    s.last = record;
    if (!kept) {
        // No kept record, no pass: the page shows the board as not kept.
        s.last->result = "fail";
        s.last->reason = why;
    }
    if (o.status == "error") s.endCounted = true;
    if (o.pass && kept) {
        ++s.passed;
        s.inRow = 0;
    } else if (o.status != "aborted") {
        CountFailureLocked(s, record);
    }
    recentBoards_.push_back(*s.last);
    ++boardSeq_;
    while (recentBoards_.size() > kRecentBoards)
        recentBoards_.pop_front();
    BumpLocked();
    return kept;
}

json Station::SlotsJson() {
    std::lock_guard<std::mutex> lock(mutex_);
    json out = json::array();
    for (size_t i = 0; i < slots_.size(); ++i) {
        const Slot& s = slots_[i];
        json last = nullptr;
        if (s.last) {
            last = {{"result", OptionalJson(s.last->result)},
                    {"status", s.last->status},
                    {"reason", s.last->reason},
                    {"failure_code", OptionalJson(s.last->failure_code)},
                    {"board", s.last->board},
                    {"ended_at", s.last->ended_at},
                    {"duration_ms", s.last->duration_ms},
                    {"dut_id", OptionalJson(s.last->dut_id)},
                    {"id", s.last->id}};
        }
        out.push_back({{"name", config_[i].name},
                       {"index", i},
                       {"port", config_[i].port},
                       {"phase", BoardPhaseName(s.phase)},
                       {"board", s.board},
                       {"boards", s.passed + s.failed},
                       {"passed", s.passed},
                       {"failed", s.failed},
                       {"failures_in_row", s.inRow},
                       {"running", s.wanted || s.active},
                       {"stopping", !s.wanted && s.active},
                       {"locked", s.locked},
                       {"lock_reason", s.lockReason},
                       {"note", s.note},
                       {"in_board", s.inBoard},
                       {"elapsed_ms", MsSince(s.since)},
                       {"last", last}});
    }
    return out;
}

uint64_t Station::WaitForChange(uint64_t seen, std::chrono::milliseconds timeout,
                                uint64_t& boardSeq, std::vector<Record>& boards) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return version_ != seen || shutdown_; });
    const uint64_t first = boardSeq_ - recentBoards_.size();  // seq before the oldest kept
    for (size_t k = 0; k < recentBoards_.size(); ++k) {
        if (first + k + 1 > boardSeq) boards.push_back(recentBoards_[k]);
    }
    boardSeq = boardSeq_;
    return version_;
}

}  // namespace qmb::station
