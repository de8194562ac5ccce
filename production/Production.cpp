#include "production/Production.h"

#include <algorithm>
#include <map>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <thread>

#include "device/BackupFile.h"
#include "production/SerialSource.h"
#include "protocol/HexBytes.h"
#include "store/StoreError.h"

namespace qmb::production {

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

bool EndsTheSlot(Fault fault) {
    return fault == Fault::kInterrupted || fault == Fault::kNotKept || fault == Fault::kFile ||
           fault == Fault::kSystem || fault == Fault::kNoSerial || fault == Fault::kQuota ||
           device::IsPortFault(fault);
}

namespace {
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

std::string SlotName(int index) {
    std::string name;
    for (int n = index; n >= 0; n = n / 26 - 1)
        name.insert(name.begin(), static_cast<char>('A' + n % 26));
    return name;
}

std::vector<ImageSection> LoopSettings::Image() const {
    if (!sections.empty()) return sections;
    return {ImageSection{section, image}};
}

ProductionSlot::ProductionSlot(int index, std::string port, std::unique_ptr<Device> device,
                               std::string name)
    : index_(index),
      name_(name.empty() ? SlotName(index) : std::move(name)),
      port_(std::move(port)),
      device_(std::move(device)) {}

struct ProductionSlot::FieldValue {
    std::string value;
    Bytes bytes;  // as the field holds it
    bool kept = false, sent = false;
};

namespace {
// A serial source's failure as the board's: the slot stops with its reason.
[[noreturn]] void ThrowNoSerial(int section, const std::string& why) {
    throw device::DeviceFault(Fault::kNoSerial, section, why);
}
}  // namespace

std::vector<ProductionSlot::FieldValue> ProductionSlot::TakeValues(const LoopSettings& s) {
    std::vector<FieldValue> values(s.serials.size());
    auto giveBack = [&] {
        for (size_t i = 0; i < values.size(); ++i) {
            if (!values[i].kept && !values[i].value.empty())
                s.serialSource->Return(s.serials[i].pool, values[i].value);
        }
    };
    int section = 0;
    try {
        std::map<int, Bytes> onBoard;  // sections read for keep-existing, once each
        for (size_t i = 0; i < s.serials.size(); ++i) {
            const SerialField& f = s.serials[i];
            FieldValue& v = values[i];
            section = f.section;
            if (s.keepExisting) {
                auto it = onBoard.find(f.section);
                if (it == onBoard.end()) it = onBoard.emplace(f.section, device_->Read(f.section)).first;
                const Bytes& held = it->second;
                const size_t end = static_cast<size_t>(f.offset + f.format.size);
                std::string carried;
                if (end <= held.size() &&
                    DecodeSerial(f.format, Bytes(held.begin() + f.offset, held.begin() + static_cast<long>(end)),
                                 carried) &&
                    s.serialSource->IsUsed(f.pool, carried)) {
                    v.value = carried;
                    v.kept = true;
                    EncodeSerial(f.format, carried, v.bytes, nullptr);
                    continue;
                }
            }
            v.value = s.serialSource->Reserve(f.pool, name_);
            std::string why;
            if (!EncodeSerial(f.format, v.value, v.bytes, &why))
                ThrowNoSerial(f.section, "pool " + f.pool + " gave a value the field " +
                                             f.Describe() + " cannot hold: " + why);
        }
    } catch (const SerialUnavailable& e) {
        giveBack();
        ThrowNoSerial(section, e.what());
    } catch (const store::StoreError& e) {
        giveBack();
        ThrowNoSerial(section, std::string("serial numbers: ") + e.what());
    } catch (...) {
        giveBack();
        throw;
    }
    return values;
}

BoardOutcome ProductionSlot::RunBoard(int board, const LoopSettings& s, SlotObserver& observer) {
    BoardOutcome o;
    o.slot = index_;
    o.slotName = name_;
    o.port = port_;
    o.device = device_->PortPath();
    o.board = board;
    const std::vector<ImageSection> image = s.Image();
    o.section = image.front().number;
    o.startedAt = std::chrono::system_clock::now();
    const auto start = std::chrono::steady_clock::now();
    device_->ResetRetries();
    BoardPhase phase = BoardPhase::kPause;
    bool readingId = false;  // the DUT id's read is a phase of its own in the record
    bool takingValues = false;  // and so are the serial values'
    std::vector<FieldValue> values;
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
        takingValues = true;
        values = TakeValues(s);
        std::vector<Bytes> fieldBytes;
        for (const auto& v : values)
            fieldBytes.push_back(v.bytes);
        const std::vector<ImageSection> patched = PatchImage(image, s.serials, fieldBytes);
        for (const ImageSection& part : patched) {
            o.section = part.number;
            // From here on the values of this section's fields may be on the board.
            for (size_t i = 0; i < values.size(); ++i) {
                if (s.serials[i].section != part.number || values[i].kept) continue;
                try {
                    s.serialSource->MarkSent(s.serials[i].pool, values[i].value);
                } catch (const SerialUnavailable& e) {
                    ThrowNoSerial(part.number, e.what());
                } catch (const store::StoreError& e) {
                    ThrowNoSerial(part.number, std::string("serial numbers: ") + e.what());
                }
                values[i].sent = true;
            }
            takingValues = false;
            enter(BoardPhase::kWriting);
            const SectionInfo info = device_->WriteTarget(part.number, part.bytes.size());
            device_->WriteMemory(part.number, info, part.bytes);
            enter(BoardPhase::kCommitting);
            device_->Commit(part.number);
            enter(BoardPhase::kVerifying);
            const auto diffs = device::CompareBytes(part.bytes, device_->ReadMemory(part.number, info));
            if (!diffs.empty())
                throw device::DeviceFault(Fault::kMismatch, part.number,
                                          "verify failed: " + std::to_string(diffs.size()) + " of " +
                                              std::to_string(part.bytes.size()) + " bytes of section " +
                                              std::to_string(part.number) + " differ after writing");
        }
        o.pass = true;
        o.status = "complete";
        o.result = "pass";
    } catch (const device::DeviceFault& e) {
        o.fault = e.Kind();
        o.reason = e.what();
        o.failureCode = device::FaultCode(e.Kind());
        o.failurePhase = readingId                                         ? "dut-id"
                         : takingValues || e.Kind() == Fault::kNoSerial ? "serial"
                                                                        : RecordPhaseOf(phase);
        if (e.Kind() == Fault::kInterrupted) {
            o.status = "aborted";
        } else if (EndsTheSlot(e.Kind())) {
            o.status = "error";
        } else {
            o.status = "complete";
            o.result = "fail";
        }
    }
    // The rule of every value: used or kept on a pass; on a failure, void
    // once its section was sent, else back to the pool.
    for (size_t i = 0; i < values.size(); ++i) {
        const std::string& pool = s.serials[i].pool;
        if (values[i].kept) {
            o.serials.push_back({pool, values[i].value, "kept"});
        } else if (o.pass) {
            o.serials.push_back({pool, values[i].value, "used"});
        } else if (values[i].sent) {
            o.serials.push_back({pool, values[i].value, "void"});
        } else {
            s.serialSource->Return(pool, values[i].value);
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
    } catch (const device::DeviceFault& e) {
        summary.end = e.Kind();
        summary.endReason = e.what();
        observer.OnPhase(index_, BoardPhase::kIdle, 0);
        return summary;
    }
    summary.device = device_->PortPath();
    for (int board = 1; s.count == 0 || board <= s.count; ++board) {
        observer.OnPhase(index_, BoardPhase::kWaiting, board);
        try {
            device_->WaitForHandshake(0);
        } catch (const device::DeviceFault& e) {
            // No board was being programmed: the slot ends, no board counted.
            summary.end = e.Kind();
            summary.endReason = e.what();
            break;
        }
        if (s.gate) {
            const std::string refused = s.gate->Enter();
            if (!refused.empty()) {
                summary.end = Fault::kQuota;
                summary.endReason = refused;
                break;
            }
        }
        const BoardOutcome o = RunBoard(board, s, observer);
        // No kept record, no pass: the board counts once the observer has
        // kept its record; one it could not keep ends the slot.
        Fault keptFailure = Fault::kNotKept;
        std::string why;
        const bool kept = observer.OnBoard(o, keptFailure, why);
        if (s.gate) s.gate->Leave(o.pass && kept);
        if (o.pass && kept) {
            ++summary.passes;
        } else {
            ++summary.fails;
            summary.lastFail = kept ? o.fault : keptFailure;
            summary.lastFailReason = kept ? o.reason : why;
        }
        if (!kept) {
            summary.end = keptFailure;
            summary.endReason = why;
            break;
        }
        if (!o.pass && (EndsTheSlot(o.fault) || s.stopOnFail)) {
            summary.end = o.fault;
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
        summaries[i].end = Fault::kSystem;
        summaries[i].endReason = "no thread could be started for this port (" + refused +
                                 "); the loop stopped every port";
    }
    return summaries;
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

bool FindSameDevice(const std::vector<std::string>& ports, Port& probe, size_t& first,
                    size_t& second, std::string& key) {
    std::map<std::string, size_t> seen;
    for (size_t i = 0; i < ports.size(); ++i) {
        const std::string k = SameDeviceKey(probe.DevicePath(ports[i].c_str()));
        const auto [it, fresh] = seen.emplace(k, i);
        if (!fresh) {
            first = it->second;
            second = i;
            key = k;
            return true;
        }
    }
    return false;
}

}  // namespace qmb::production
