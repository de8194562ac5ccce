#include "sim/DeviceModel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/Commands.h"
#include "protocol/Frame.h"
#include "protocol/HexBytes.h"

namespace qmb::sim {

const uint8_t kIgnitionTrailerBytes[13] = {'Q',  'M',  'B',  '-',  'S',  'I', 'M',
                                           0x01, 0x00, 0x00, 0x00, 0x00, 0x00};

namespace {

// Request header bytes 6 to 12, the same in every request.
const uint8_t kHeaderConstants[7] = {0x00, 0x0C, 0x00, 0x2C, 0x2C, 0x05, 0x2C};
constexpr size_t kMinRequestL = 12;  // section info and commit
constexpr size_t kMaxRequestL = kMaxRequestSize - kFrameOverhead;
constexpr uint8_t kReplyMark = 0x80;  // or-ed into the command code of a reply

uint16_t LengthField(const uint8_t* frame) {
    return static_cast<uint16_t>(frame[2] << 8 | frame[3]);
}

void PutLengthField(std::vector<uint8_t>& frame, size_t l) {
    frame[2] = static_cast<uint8_t>(l >> 8);
    frame[3] = static_cast<uint8_t>(l);
}

bool IsKnownCommand(uint8_t command) {
    return command == kCommandSectionInfo || command == kCommandMemory || command == kCommandCommit;
}

// Whether the bytes at frame[0, avail) can still be the start of a request.
bool HeaderPlausible(const uint8_t* frame, size_t avail) {
    if (avail > 1 && frame[1] != kFrameType) return false;
    if (avail >= 4) {
        const size_t l = LengthField(frame);
        if (l < kMinRequestL || l > kMaxRequestL) return false;
    }
    if (avail > 4 && frame[4] != frame[2]) return false;
    if (avail > 5 && frame[5] != frame[3]) return false;
    for (size_t i = 6; i < 13 && i < avail; ++i) {
        if (frame[i] != kHeaderConstants[i - 6]) return false;
    }
    if (avail > 13 && !IsKnownCommand(frame[13])) return false;
    return true;
}

// A reply of len bytes for the command: header like a request's, with the
// reply mark in the command code. The caller fills offsets 14 on and seals.
std::vector<uint8_t> StartReply(size_t len, uint8_t command) {
    std::vector<uint8_t> reply(len, 0);
    WriteRequestHeader(reply.data(), len, command);
    reply[13] = static_cast<uint8_t>(command | kReplyMark);
    return reply;
}

template <typename T>
std::string JoinList(const std::vector<T>& values) {
    std::string out;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) out += ',';
        out += std::to_string(values[i]);
    }
    return out;
}

}  // namespace

std::string Hex(const std::vector<uint8_t>& bytes) {
    return HexPairs(bytes.data(), bytes.size());
}

void ResealFrame(std::vector<uint8_t>& frame) {
    if (frame.size() >= kFrameOverhead) SealFrame(frame.data(), frame.size());
}

const char* RequestKindName(RequestKind kind) {
    switch (kind) {
        case RequestKind::kAny:
            return "any";
        case RequestKind::kSectionInfo:
            return "info";
        case RequestKind::kRead:
            return "read";
        case RequestKind::kWrite:
            return "write";
        case RequestKind::kCommit:
            return "commit";
    }
    return "?";
}

const char* FaultKindName(FaultKind kind) {
    switch (kind) {
        case FaultKind::kSilent:
            return "silent";
        case FaultKind::kTruncate:
            return "truncate";
        case FaultKind::kCorrupt:
            return "corrupt";
        case FaultKind::kLengthPlusOne:
            return "length+1";
        case FaultKind::kTrailing:
            return "trailing";
        case FaultKind::kPieces:
            return "pieces";
        case FaultKind::kDelay:
            return "delay";
        case FaultKind::kZeroLength:
            return "zero-length";
        case FaultKind::kHangUp:
            return "hangup";
        case FaultKind::kMiswrite:
            return "miswrite";
    }
    return "?";
}

std::string DescribeFault(const Fault& fault) {
    std::string out = FaultKindName(fault.kind);
    switch (fault.kind) {
        case FaultKind::kTruncate:
        case FaultKind::kCorrupt:
        case FaultKind::kHangUp:
        case FaultKind::kMiswrite:
            out += " " + std::to_string(fault.offset);
            break;
        case FaultKind::kTrailing: {
            std::string hex = Hex(fault.trailing);
            hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
            out += " " + hex;
            break;
        }
        case FaultKind::kPieces:
            out += " " + JoinList(fault.pieceSizes) + " " + JoinList(fault.pauseMs);
            break;
        case FaultKind::kDelay:
            out += " " + std::to_string(fault.delayMs);
            break;
        case FaultKind::kZeroLength:
            out += " " + std::to_string(fault.section);
            break;
        case FaultKind::kSilent:
        case FaultKind::kLengthPlusOne:
            break;
    }
    if (fault.kind != FaultKind::kZeroLength) {
        out += std::string(" on ") + RequestKindName(fault.request);
    }
    out += " skip " + std::to_string(fault.skip) + " count " + std::to_string(fault.count);
    return out;
}

DeviceModel::DeviceModel() {
    for (int number = 1; number <= kSectionCount; ++number) {
        Section& s = sections_[static_cast<size_t>(number - 1)];
        // Sections lie in 256-byte slots from 0x010000 on; 11 sits apart.
        s.address = {0x01, static_cast<uint8_t>(number), 0x00};
        switch (number) {
            case 1:
                s.length = 1;
                break;
            case 2:
                s.length = 16;
                break;
            case 3:
                s.length = 17;
                break;
            case 4:
                s.length = 255;
                break;
            case 5:
                s.length = 0;
                break;
            case 11:
                s.length = 8;
                s.address = {0x11, 0x22, 0x33};
                break;
            default:
                s.length = number < 128 ? 32 : 0;
                break;
        }
        for (size_t i = 0; i < kMaxSectionLength; ++i) {
            s.eeprom[i] = i < s.length ? static_cast<uint8_t>(number + i) : 0;
        }
        if (number == 11) {
            for (size_t i = 0; i < 8; ++i)
                s.eeprom[i] = static_cast<uint8_t>(0xA0 + i);
        }
        s.working = s.eeprom;
    }
}

const Section* DeviceModel::GetSection(int number) const {
    if (number < 1 || number > kSectionCount) return nullptr;
    return &sections_[static_cast<size_t>(number - 1)];
}

bool DeviceModel::SetSection(int number, const uint8_t* bytes, size_t n) {
    const Section* s = GetSection(number);
    if (!s) return false;
    return LoadSection(number, s->address, bytes, n);
}

bool DeviceModel::LoadSection(int number, const std::array<uint8_t, 3>& address,
                              const uint8_t* eeprom, size_t n) {
    if (number < 1 || number > kSectionCount || n > kMaxSectionLength) return false;
    Section& s = sections_[static_cast<size_t>(number - 1)];
    s.address = address;
    s.length = static_cast<uint8_t>(n);
    s.eeprom.fill(0);
    if (n) std::memcpy(s.eeprom.data(), eeprom, n);
    s.working = s.eeprom;
    eepromChanged_ = true;
    return true;
}

void DeviceModel::AddFault(const Fault& fault) {
    if (fault.count > 0) faults_.push_back(fault);
}

void DeviceModel::ClearFaults() {
    faults_.clear();
}

bool DeviceModel::TakeEepromChanged() {
    const bool changed = eepromChanged_;
    eepromChanged_ = false;
    return changed;
}

void DeviceModel::SetObserver(std::function<void(const ModelEvent&)> observer) {
    observer_ = std::move(observer);
}

void DeviceModel::Notify(ModelEvent::Kind kind, const std::vector<uint8_t>& bytes,
                         std::string note) {
    if (observer_) observer_(ModelEvent{kind, bytes, std::move(note)});
}

void DeviceModel::FlushGarbage() {
    if (garbage_.empty()) return;
    stats_.garbageBytes += garbage_.size();
    Notify(ModelEvent::kGarbage, garbage_, "skipped");
    garbage_.clear();
}

void DeviceModel::ResetReceiver() {
    garbage_.insert(garbage_.end(), rx_.begin(), rx_.end());
    rx_.clear();
    FlushGarbage();
}

std::vector<Emission> DeviceModel::Ignite() {
    awaitingIgnition_ = true;
    Notify(ModelEvent::kIgnition, {kIgnitionByte}, "ignition: I sent");
    return {Emission{0, {kIgnitionByte}}};
}

void DeviceModel::AbandonIgnition() {
    if (!awaitingIgnition_) return;
    awaitingIgnition_ = false;
    Notify(ModelEvent::kIgnition, {}, "ignition: no answer, given up");
}

int DeviceModel::FindSectionByAddress(const uint8_t* address) const {
    for (int number = 1; number <= kSectionCount; ++number) {
        const Section& s = sections_[static_cast<size_t>(number - 1)];
        if (std::equal(s.address.begin(), s.address.end(), address)) return number;
    }
    return 0;
}

bool DeviceModel::Classify(const std::vector<uint8_t>& frame, RequestKind& kind,
                           std::string& why) const {
    const size_t l = frame.size() - kFrameOverhead;
    switch (frame[13]) {
        case kCommandSectionInfo:
            kind = RequestKind::kSectionInfo;
            if (l != kSectionInfoRequestSize - kFrameOverhead || frame[15] != 0x00) {
                why = "bad section-info layout";
                return false;
            }
            return true;
        case kCommandCommit:
            kind = RequestKind::kCommit;
            if (l != kCommitRequestSize - kFrameOverhead || frame[14] != 0x01) {
                why = "bad commit layout";
                return false;
            }
            return true;
        case kCommandMemory:
            break;
        default:
            why = "unknown command";
            return false;
    }
    if (l < kReadRequestSize - kFrameOverhead || frame[14] != 0x00 || frame[16] != 0x00) {
        why = "bad memory request layout";
        return false;
    }
    if (frame[20] == kDirectionRead) {
        kind = RequestKind::kRead;
        if (l != kReadRequestSize - kFrameOverhead || frame[21] || frame[22] || frame[23]) {
            why = "bad read layout";
            return false;
        }
        return true;
    }
    if (frame[20] == kDirectionWrite) {
        kind = RequestKind::kWrite;
        if (frame.size() != kWriteRequestOverhead + frame[15] ||
            !std::equal(frame.begin() + 17, frame.begin() + 20, frame.begin() + 21)) {
            why = "bad write layout";
            return false;
        }
        return true;
    }
    why = "unknown memory direction";
    return false;
}

std::vector<Emission> DeviceModel::Feed(const uint8_t* data, size_t n) {
    std::vector<Emission> out;
    rx_.insert(rx_.end(), data, data + n);
    size_t pos = 0;
    size_t quietEnd = 0;  // bytes of a reported bad frame are not garbage again
    while (pos < rx_.size()) {
        const uint8_t byte = rx_[pos];
        if (byte != kFrameStart) {
            if (awaitingIgnition_ && byte == kIgnitionAnswer && pos >= quietEnd) {
                FlushGarbage();
                awaitingIgnition_ = false;
                ++stats_.handshakes;
                Notify(ModelEvent::kIgnition, {byte}, "ignition: O received, answered");
                std::vector<uint8_t> answer{kIgnitionAnswer};
                answer.insert(answer.end(), std::begin(kIgnitionTrailerBytes),
                              std::end(kIgnitionTrailerBytes));
                out.push_back(Emission{0, std::move(answer)});
            } else if (pos >= quietEnd) {
                garbage_.push_back(byte);
            }
            ++pos;
            continue;
        }
        const uint8_t* frame = rx_.data() + pos;
        const size_t avail = rx_.size() - pos;
        if (!HeaderPlausible(frame, avail)) {
            if (pos >= quietEnd) garbage_.push_back(byte);
            ++pos;
            continue;
        }
        if (avail < 4 || avail < LengthField(frame) + kFrameOverhead) break;  // wait for more
        FlushGarbage();
        const size_t len = LengthField(frame) + kFrameOverhead;
        std::vector<uint8_t> request(frame, frame + len);
        if (request.back() != FrameChecksum(request.data(), len)) {
            ++stats_.badFrames;
            Notify(ModelEvent::kBadFrame, request, "bad checksum");
            // The length may be what was damaged: look for a start inside.
            quietEnd = std::max(quietEnd, pos + len);
            ++pos;
            continue;
        }
        pos += len;
        RequestKind kind = RequestKind::kAny;
        std::string why;
        if (!Classify(request, kind, why)) {
            ++stats_.badFrames;
            Notify(ModelEvent::kBadFrame, request, why);
            continue;
        }
        int section = 0;
        std::vector<uint8_t> reply;
        if (!Answer(request, kind, section, reply)) continue;
        std::vector<Emission> emissions = Reply(std::move(reply));
        out.insert(out.end(), std::make_move_iterator(emissions.begin()),
                   std::make_move_iterator(emissions.end()));
    }
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<long>(pos));
    FlushGarbage();
    return out;
}

// Carries out a request whose layout is sound and builds its reply; false when
// the device refuses it. Picks the fault that hits the reply (hit_) first, so
// that a request lost to a silent fault changes nothing.
bool DeviceModel::Answer(const std::vector<uint8_t>& frame, RequestKind kind, int& section,
                         std::vector<uint8_t>& reply) {
    const uint8_t n = frame[15];
    std::string refusal;
    switch (kind) {
        case RequestKind::kSectionInfo:
            section = frame[14];
            if (!GetSection(section)) refusal = "no section 0";
            break;
        case RequestKind::kCommit:
            section = frame[15];
            if (!GetSection(section)) refusal = "no section 0";
            break;
        case RequestKind::kRead:
        case RequestKind::kWrite:
            section = FindSectionByAddress(&frame[17]);
            if (!section) {
                refusal = "no section at this address";
            } else if (kind == RequestKind::kRead && n > GetSection(section)->length) {
                refusal = "read past the end of section " + std::to_string(section);
            } else if (kind == RequestKind::kWrite && n != GetSection(section)->length) {
                refusal = "write of " + std::to_string(n) + " bytes to section " +
                          std::to_string(section) + " of " +
                          std::to_string(GetSection(section)->length);
            }
            break;
        case RequestKind::kAny:
            break;
    }
    if (!refusal.empty()) {
        ++stats_.refused;
        Notify(ModelEvent::kRefused, frame, refusal);
        return false;
    }
    ++stats_.requests;
    Notify(ModelEvent::kRequest, frame,
           std::string(RequestKindName(kind)) + " section " + std::to_string(section));

    // Which fault, if any, hits this reply.
    hit_ = -1;
    for (size_t i = 0; i < faults_.size(); ++i) {
        Fault& f = faults_[i];
        const bool matches =
            f.kind == FaultKind::kZeroLength
                ? kind == RequestKind::kSectionInfo && (f.section == 0 || f.section == section)
            : f.kind == FaultKind::kMiswrite ? kind == RequestKind::kWrite
                                             : f.request == RequestKind::kAny || f.request == kind;
        if (!matches) continue;
        if (f.skip > 0) {
            --f.skip;
        } else if (hit_ < 0) {
            hit_ = static_cast<int>(i);
        }
    }
    if (hit_ >= 0 && faults_[static_cast<size_t>(hit_)].kind == FaultKind::kSilent) {
        reply.clear();
        return true;
    }

    Section& s = sections_[static_cast<size_t>(section - 1)];
    switch (kind) {
        case RequestKind::kSectionInfo:
            reply = StartReply(kSectionInfoReplySize, kCommandSectionInfo);
            reply[14] = static_cast<uint8_t>(section);
            reply[kSectionInfoLengthOffset] = s.length;
            std::copy(s.address.begin(), s.address.end(),
                      reply.begin() + kSectionInfoAddressOffset);
            break;
        case RequestKind::kRead:
            reply = StartReply(n + kReadReplyOverhead, kCommandMemory);
            reply[15] = n;
            std::copy_n(s.working.begin(), n, reply.begin() + kReadReplyDataOffset);
            break;
        case RequestKind::kWrite:
            std::copy_n(frame.begin() + kWriteRequestDataOffset, n, s.working.begin());
            if (hit_ >= 0 && faults_[static_cast<size_t>(hit_)].kind == FaultKind::kMiswrite) {
                const size_t at = std::min<size_t>(faults_[static_cast<size_t>(hit_)].offset, n - 1u);
                s.working[at] ^= 0xFF;  // what a failing cell or a bad bus does
            }
            reply = StartReply(kWriteReplySize, kCommandMemory);
            reply[15] = n;
            break;
        case RequestKind::kCommit:
            // One assignment of the whole image: the EEPROM holds either the
            // old section or the new one, never a mix.
            s.eeprom = s.working;
            eepromChanged_ = true;
            ++stats_.commits;
            reply = StartReply(kCommitReplySize, kCommandCommit);
            reply[14] = 0x01;
            reply[15] = static_cast<uint8_t>(section);
            break;
        case RequestKind::kAny:
            break;
    }
    SealFrame(reply.data(), reply.size());
    return true;
}

std::vector<Emission> DeviceModel::Reply(std::vector<uint8_t> reply) {
    if (hit_ < 0) return {Emission{0, std::move(reply)}};
    Fault& f = faults_[static_cast<size_t>(hit_)];
    ++stats_.faultsApplied;
    Notify(ModelEvent::kFault, {}, "fault: " + DescribeFault(f));
    std::vector<Emission> out;
    switch (f.kind) {
        case FaultKind::kSilent:
            break;
        case FaultKind::kTruncate:
            reply.resize(std::min(f.offset, reply.size()));
            if (!reply.empty()) out.push_back(Emission{0, std::move(reply)});
            break;
        case FaultKind::kCorrupt:
            reply[std::min(f.offset, reply.size() - 1)] ^= 0xFF;
            out.push_back(Emission{0, std::move(reply)});
            break;
        case FaultKind::kLengthPlusOne:
            PutLengthField(reply, LengthField(reply.data()) + 1u);
            ResealFrame(reply);
            out.push_back(Emission{0, std::move(reply)});
            break;
        case FaultKind::kTrailing:
            reply.insert(reply.end(), f.trailing.begin(), f.trailing.end());
            out.push_back(Emission{0, std::move(reply)});
            break;
        case FaultKind::kPieces:
            for (size_t at = 0, i = 0; at < reply.size(); ++i) {
                const size_t size = i < f.pieceSizes.size() ? f.pieceSizes[i] : reply.size() - at;
                const size_t end = std::min(reply.size(), at + size);
                uint32_t pause = 0;
                if (i > 0 && !f.pauseMs.empty()) {
                    pause = f.pauseMs[std::min(i - 1, f.pauseMs.size() - 1)];
                }
                if (end > at) {
                    out.push_back(Emission{
                        pause, std::vector<uint8_t>(reply.begin() + at, reply.begin() + end)});
                }
                at = end;
            }
            break;
        case FaultKind::kDelay:
            out.push_back(Emission{f.delayMs, std::move(reply)});
            break;
        case FaultKind::kZeroLength:
            reply[kSectionInfoLengthOffset] = 0;
            ResealFrame(reply);
            out.push_back(Emission{0, std::move(reply)});
            break;
        case FaultKind::kHangUp:
            reply.resize(std::min(f.offset, reply.size()));
            out.push_back(Emission{0, std::move(reply), true});
            break;
        case FaultKind::kMiswrite:
            out.push_back(Emission{0, std::move(reply)});
            break;
    }
    if (--f.count == 0) faults_.erase(faults_.begin() + hit_);
    hit_ = -1;
    return out;
}

}  // namespace qmb::sim
