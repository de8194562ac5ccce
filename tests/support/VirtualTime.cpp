#include "VirtualTime.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace qmb::test {

void VirtualClock::AdvanceTo(uint64_t t) {
    for (;;) {
        auto next = events_.begin();
        if (next == events_.end() || next->first > t) break;
        now_ = std::max(now_, next->first);
        auto fn = std::move(next->second);
        events_.erase(next);
        fn();
    }
    now_ = std::max(now_, t);
}

void VirtualClock::At(uint64_t t, std::function<void()> fn) {
    events_.emplace(t, std::move(fn));
}

void FakePort::Deliver(const Bytes& bytes, uint64_t afterMs) {
    DeliverAt(bytes, clock_.Elapsed() + afterMs);
}

void FakePort::DeliverAt(const Bytes& bytes, uint64_t t) {
    for (uint8_t b : bytes)
        inFlight_.emplace(t, b);
}

std::vector<Bytes> FakePort::Writes() const {
    std::vector<Bytes> writes;
    for (const auto& e : events_) {
        if (e.kind == PortEvent::kWrite) writes.push_back(e.bytes);
    }
    return writes;
}

size_t FakePort::Count(PortEvent::Kind kind) const {
    return std::count_if(events_.begin(), events_.end(),
                         [kind](const PortEvent& e) { return e.kind == kind; });
}

bool FakePort::Open(const char* deviceName) {
    events_.push_back({PortEvent::kOpen, clock_.Elapsed(), {}, 0, deviceName});
    if (failOpen || open_) return false;
    open_ = true;
    return true;
}

bool FakePort::ApplyLineSettings(const LineSettings& settings) {
    events_.push_back({PortEvent::kSettings, clock_.Elapsed(), {}, 0, {}});
    settings_ = settings;
    return !failSettings;
}

bool FakePort::ApplyTimeLimits(const TimeLimits& limits) {
    events_.push_back({PortEvent::kLimits, clock_.Elapsed(), {}, 0, {}});
    limits_ = limits;
    return true;
}

void FakePort::TakeArrived() {
    const uint64_t now = clock_.Elapsed();
    auto end = inFlight_.upper_bound(now);
    for (auto it = inFlight_.begin(); it != end; ++it)
        arrived_.push_back(it->second);
    inFlight_.erase(inFlight_.begin(), end);
}

void FakePort::Purge() {
    events_.push_back({PortEvent::kPurge, clock_.Elapsed(), {}, 0, {}});
    TakeArrived();
    arrived_.clear();
}

void FakePort::HangUp() {
    hungUp_ = true;
    inFlight_.clear();
    arrived_.clear();
}

size_t FakePort::Read(uint8_t* buf, size_t count) {
    const uint64_t start = clock_.Elapsed();
    const uint64_t deadline = start + limits_.readTotalConstant;
    size_t got = 0;
    for (;;) {
        if (hungUp_) {
            clock_.AdvanceTo(deadline);
            break;
        }
        TakeArrived();
        size_t take = std::min(count - got, arrived_.size());
        std::copy_n(arrived_.begin(), take, buf + got);
        arrived_.erase(arrived_.begin(), arrived_.begin() + static_cast<long>(take));
        got += take;
        if (got == count) break;
        uint64_t next = inFlight_.empty() ? deadline + 1 : inFlight_.begin()->first;
        if (next > deadline) {
            clock_.AdvanceTo(deadline);
            // Bytes that arrive exactly at the deadline still make it.
            if (!inFlight_.empty() && inFlight_.begin()->first <= deadline) continue;
            break;
        }
        clock_.AdvanceTo(next);
    }
    events_.push_back({PortEvent::kRead, start, Bytes(buf, buf + got), count, {}});
    return got;
}

bool FakePort::Write(const uint8_t* buf, size_t count) {
    Bytes bytes(buf, buf + count);
    events_.push_back({PortEvent::kWrite, clock_.Elapsed(), bytes, 0, {}});
    if (failWrites || !open_ || hungUp_) return false;
    if (peer_) peer_(bytes, *this);
    return true;
}

void FakePort::Close() {
    if (!open_) return;
    events_.push_back({PortEvent::kClose, clock_.Elapsed(), {}, 0, {}});
    open_ = false;
    hungUp_ = false;
    inFlight_.clear();
    arrived_.clear();
}

Bytes MakeFrame(const Bytes& body) {
    Bytes frame(body.size() + 5, 0);
    frame[0] = 0xAA;
    frame[1] = 0x03;
    std::copy(body.begin(), body.end(), frame.begin() + 4);
    const size_t l = frame.size() - 5;
    frame[2] = static_cast<uint8_t>(l >> 8);
    frame[3] = static_cast<uint8_t>(l);
    uint8_t sum = 0;
    for (size_t i = 1; i + 1 < frame.size(); ++i)
        sum = static_cast<uint8_t>(sum + frame[i]);
    frame.back() = static_cast<uint8_t>(0x100 - sum);
    return frame;
}

Bytes MakeReply(size_t len, uint8_t fill) {
    return MakeFrame(Bytes(len - 5, fill));
}

Bytes SectionInfoReply(uint8_t length, const Bytes& address) {
    Bytes body(28, 0x77);
    body[15 - 4] = length;
    std::copy(address.begin(), address.end(), body.begin() + (21 - 4));
    return MakeFrame(body);
}

Bytes ReadReplyOf(const Bytes& data) {
    Bytes body(12 + data.size(), 0x00);
    std::copy(data.begin(), data.end(), body.begin() + 12);
    return MakeFrame(body);
}

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    std::istringstream in(hex);
    std::string pair;
    while (in >> pair)
        bytes.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
    return bytes;
}

std::string ToHex(const Bytes& bytes) {
    std::string out;
    char piece[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(piece, sizeof piece, i ? " %02X" : "%02X", bytes[i]);
        out += piece;
    }
    return out;
}

}  // namespace qmb::test
