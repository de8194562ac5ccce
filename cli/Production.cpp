#include "cli/Production.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <thread>

#include "cli/BackupFile.h"

namespace qmb::cli {

const char* BoardPhaseName(BoardPhase phase) {
    switch (phase) {
        case BoardPhase::kIdle:
            return "idle";
        case BoardPhase::kWaiting:
            return "waiting for ignition";
        case BoardPhase::kPause:
            return "pause";
        case BoardPhase::kWriting:
            return "writing";
        case BoardPhase::kCommitting:
            return "committing";
        case BoardPhase::kVerifying:
            return "verifying";
    }
    return "?";
}

const char* FailureCodeOf(int exitCode) {
    switch (exitCode) {
        case kExitOk:
            return "";
        case kExitPortAbsent:
            return "port_absent";
        case kExitPortBusy:
            return "port_busy";
        case kExitPortDenied:
            return "port_denied";
        case kExitPortUnusable:
            return "port_unusable";
        case kExitNoReply:
            return "no_reply";
        case kExitBadReply:
            return "bad_reply";
        case kExitData:
            return "size";
        case kExitMismatch:
            return "verify_mismatch";
        case kExitPortLost:
            return "port_lost";
        case kExitFile:
            return "file";
        case kExitInterrupted:
            return "interrupted";
        default:
            return "error";
    }
}

namespace {
// A failure of the port or cable, or an interrupt: the slot cannot go on.
bool EndsTheSlot(int code) {
    return code == kExitInterrupted || code == kExitSystem || code == kExitPortLost || code == kExitPortAbsent ||
           code == kExitPortBusy || code == kExitPortDenied || code == kExitPortUnusable ||
           code == kExitStore || code == kExitFile;
}

const char* RecordPhaseOf(BoardPhase phase) {
    switch (phase) {
        case BoardPhase::kWriting:
            return "write";
        case BoardPhase::kCommitting:
            return "commit";
        case BoardPhase::kVerifying:
            return "verify";
        default:
            return "handshake";
    }
}

int64_t MsBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}
}  // namespace

ProductionSlot::ProductionSlot(int index, std::string port, std::unique_ptr<Device> device)
    : index_(index), port_(std::move(port)), device_(std::move(device)) {}

BoardOutcome ProductionSlot::RunBoard(int board, const LoopSettings& s, SlotObserver& observer) {
    BoardOutcome o;
    o.slot = index_;
    o.port = port_;
    o.device = device_->PortPath();
    o.board = board;
    o.section = s.section;
    o.startedAt = std::chrono::system_clock::now();
    const auto start = std::chrono::steady_clock::now();
    device_->ResetRetries();
    BoardPhase phase = BoardPhase::kPause;
    bool readingId = false;  // the DUT id's read is a phase of its own in the record
    auto enter = [&](BoardPhase next) {
        phase = next;
        observer.OnPhase(index_, phase, board);
    };
    try {
        enter(BoardPhase::kPause);
        device_->Pause(kLoopPauseMs);
        enter(BoardPhase::kWriting);
        if (s.dutIdSection > 0) {
            readingId = true;
            const Bytes id = device_->Read(s.dutIdSection);
            readingId = false;
            o.dutId = HexPairs(id.data(), id.size());
            o.dutId.erase(std::remove(o.dutId.begin(), o.dutId.end(), ' '), o.dutId.end());
        }
        const SectionInfo info = device_->WriteTarget(s.section, s.image.size());
        device_->WriteMemory(s.section, info, s.image);
        enter(BoardPhase::kCommitting);
        device_->Commit(s.section);
        enter(BoardPhase::kVerifying);
        const auto diffs = CompareBytes(s.image, device_->ReadMemory(s.section, info));
        if (!diffs.empty())
            throw CliError(kExitMismatch, "verify failed: " + std::to_string(diffs.size()) +
                                              " of " + std::to_string(s.image.size()) +
                                              " bytes of section " + std::to_string(s.section) +
                                              " differ after writing");
        o.pass = true;
        o.status = "complete";
        o.result = "pass";
    } catch (const CliError& e) {
        o.exitCode = e.Code();
        o.reason = e.what();
        // An absent section is no wrong size: it has a code of its own.
        o.failureCode =
            dynamic_cast<const SectionAbsent*>(&e) ? "absent" : FailureCodeOf(e.Code());
        o.failurePhase = readingId ? "dut-id" : RecordPhaseOf(phase);
        if (e.Code() == kExitInterrupted) {
            o.status = "aborted";
        } else if (EndsTheSlot(e.Code())) {
            o.status = "error";
        } else {
            o.status = "complete";
            o.result = "fail";
        }
    }
    o.endedAt = std::chrono::system_clock::now();
    o.durationMs = MsBetween(start, std::chrono::steady_clock::now());
    o.retries = device_->Retries();
    return o;
}

SlotSummary ProductionSlot::Run(const LoopSettings& s, SlotObserver& observer) {
    SlotSummary summary;
    summary.slot = index_;
    summary.port = port_;
    try {
        device_->Open(port_);
    } catch (const CliError& e) {
        summary.endCode = e.Code();
        summary.endReason = e.what();
        observer.OnPhase(index_, BoardPhase::kIdle, 0);
        return summary;
    }
    summary.device = device_->PortPath();
    for (int board = 1; s.count == 0 || board <= s.count; ++board) {
        observer.OnPhase(index_, BoardPhase::kWaiting, board);
        try {
            device_->WaitForHandshake(0);
        } catch (const CliError& e) {
            // No board was being programmed: the slot ends, no board counted.
            summary.endCode = e.Code();
            summary.endReason = e.what();
            break;
        }
        const BoardOutcome o = RunBoard(board, s, observer);
        // No kept record, no pass: the board counts once the observer has
        // kept its record; one it could not keep ends the slot.
        int keptFailure = kExitOk;
        std::string why;
        const bool kept = observer.OnBoard(o, keptFailure, why);
        if (o.pass && kept) {
            ++summary.passes;
        } else {
            ++summary.fails;
            summary.lastFailCode = kept ? o.exitCode : keptFailure;
            summary.lastFailReason = kept ? o.reason : why;
        }
        if (!kept) {
            summary.endCode = keptFailure;
            summary.endReason = why;
            break;
        }
        if (!o.pass && (EndsTheSlot(o.exitCode) || s.stopOnFail)) {
            summary.endCode = o.exitCode;
            summary.endReason = o.reason;
            break;
        }
    }
    device_->Close();
    observer.OnPhase(index_, BoardPhase::kIdle, 0);
    return summary;
}

std::vector<SlotSummary> RunGang(std::vector<std::unique_ptr<ProductionSlot>>& slots,
                                 const LoopSettings& settings, SlotObserver& observer,
                                 const ThreadStarter& start) {
    std::vector<SlotSummary> summaries(slots.size());
    std::vector<std::thread> threads;
    threads.reserve(slots.size());
    size_t started = 0;
    std::string refused;
    try {
        for (; started < slots.size(); ++started) {
            const size_t i = started;
            std::function<void()> run = [&, i] { summaries[i] = slots[i]->Run(settings, observer); };
            threads.push_back(start ? start(std::move(run)) : std::thread(std::move(run)));
        }
    } catch (const std::exception& e) {  // std::system_error, or no memory for it
        // No thread for this slot: the gang does not run short-handed, and a
        // thread that runs is never left joinable (std::terminate).
        refused = e.what();
        for (size_t i = 0; i < started; ++i)
            slots[i]->RequestStop();
    }
    for (auto& t : threads)
        t.join();
    for (size_t i = started; i < slots.size(); ++i) {
        summaries[i].slot = static_cast<int>(i);
        summaries[i].port = slots[i]->Port();
        summaries[i].endCode = kExitSystem;
        summaries[i].endReason = "no thread could be started for this port (" + refused +
                                 "); the loop stopped every port";
    }
    return summaries;
}

int GangExitCode(const std::vector<SlotSummary>& summaries, bool interrupted) {
    if (interrupted) return kExitInterrupted;
    // A slot stopped without Ctrl-C was stopped for another's end (a thread
    // that would not start, a log that cannot be written): that end is the
    // gang's.
    for (const auto& s : summaries) {
        if (s.endCode != kExitInterrupted && EndsTheSlot(s.endCode)) return s.endCode;
    }
    for (const auto& s : summaries) {
        if (s.lastFailCode != 0) return s.lastFailCode;
    }
    for (const auto& s : summaries) {
        if (s.endCode == kExitInterrupted) return s.endCode;
    }
    return kExitOk;
}

std::string SameDeviceKey(const std::string& devicePath) {
    std::string key = devicePath;
    std::error_code ec;
    if (!key.empty() && key[0] == '/') {
        const auto canonical = std::filesystem::weakly_canonical(key, ec);
        if (!ec) key = canonical.string();
    } else {
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    }
    return key;
}

}  // namespace qmb::cli
