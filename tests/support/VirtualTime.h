// Virtual time for logic tests: a tick counter that only moves when the code
// under test sleeps or reads, and a fake port whose peer's bytes arrive at
// given virtual times. A 3 x (1.2 s + 2 s) exchange runs in microseconds.
//
// Used by one thread at a time (the worker while a job runs, the test after).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "link/Port.h"

namespace qmb::test {

using Bytes = std::vector<uint8_t>;

class VirtualClock : public TickCounter {
  public:
    uint32_t Now() override { return static_cast<uint32_t>(base_ + now_); }
    // Moves time on by ms, or by at most the longest sleep when one is set
    // (a real Sleep may end early).
    void Sleep(uint32_t ms) override {
        ++sleeps_;
        AdvanceTo(now_ + (longestSleep_ && ms > longestSleep_ ? longestSleep_ : ms));
    }

    // Virtual milliseconds since the clock was made (never wraps).
    uint64_t Elapsed() const { return now_; }
    // Makes Now() start from tick (to test the counter's wrap).
    void SetTickBase(uint32_t tick) { base_ = tick; }
    // Sleep calls so far; a cap on how long one lasts (0: none).
    uint64_t Sleeps() const { return sleeps_; }
    void SetLongestSleep(uint32_t ms) { longestSleep_ = ms; }
    // Moves time on to t, running every event due on the way, in time order.
    void AdvanceTo(uint64_t t);
    // Runs fn when virtual time reaches t (relative to the clock's start).
    void At(uint64_t t, std::function<void()> fn);
    void ClearEvents() { events_.clear(); }

  private:
    uint64_t now_ = 0;
    uint32_t base_ = 0;
    uint64_t sleeps_ = 0;
    uint32_t longestSleep_ = 0;
    std::multimap<uint64_t, std::function<void()>> events_;
};

// What happened on the fake port, in order.
struct PortEvent {
    enum Kind { kOpen, kSettings, kLimits, kPurge, kRead, kWrite, kClose } kind;
    uint64_t at;       // virtual time
    Bytes bytes;       // written or read bytes
    size_t asked = 0;  // for reads
    std::string name;  // for opens
};

class FakePort : public Port {
  public:
    // Called after every successful write with the bytes written.
    using Peer = std::function<void(const Bytes& written, FakePort& port)>;

    explicit FakePort(VirtualClock& clock) : clock_(clock) {}

    void SetPeer(Peer peer) { peer_ = std::move(peer); }
    // Bytes that arrive afterMs after the current virtual time.
    void Deliver(const Bytes& bytes, uint64_t afterMs = 0);
    // Bytes that arrive at absolute virtual time t.
    void DeliverAt(const Bytes& bytes, uint64_t t);

    // Called after each event is logged, with its index in Events().
    std::function<void(const PortEvent&, size_t index)> onEvent;

    // Hangs the line up (the device side vanished): from now until the port
    // is closed, writes fail and reads return nothing after their time limit.
    // Bytes in flight or not yet read are lost.
    void HangUp();
    bool IsHungUp() const { return hungUp_; }
    bool LineLost() const override { return hungUp_; }

    // Knobs: the open, the line settings, or every write from the next on fail.
    bool failOpen = false;
    bool failSettings = false;
    bool failWrites = false;

    bool IsOpen() const { return open_; }
    const std::vector<PortEvent>& Events() const { return events_; }
    std::vector<Bytes> Writes() const;
    size_t Count(PortEvent::Kind kind) const;
    const LineSettings& Settings() const { return settings_; }
    const TimeLimits& Limits() const { return limits_; }

    bool Open(const char* deviceName) override;
    bool ApplyLineSettings(const LineSettings& settings) override;
    bool ApplyTimeLimits(const TimeLimits& limits) override;
    void Purge() override;
    size_t Read(uint8_t* buf, size_t count) override;
    bool Write(const uint8_t* buf, size_t count) override;
    void Close() override;

  private:
    void TakeArrived();
    void Log(PortEvent event);

    VirtualClock& clock_;
    Peer peer_;
    bool open_ = false;
    bool hungUp_ = false;
    LineSettings settings_{};
    TimeLimits limits_{};
    std::multimap<uint64_t, uint8_t> inFlight_;  // arrival time -> byte
    Bytes arrived_;                              // arrived, not yet read
    std::vector<PortEvent> events_;
};

// A frame with a correct checksum and length field around body (offsets 4 to
// len - 2), e.g. a device reply.
Bytes MakeFrame(const Bytes& body);
// A sound reply of total length len, body filled with fill.
Bytes MakeReply(size_t len, uint8_t fill = 0);
// Device replies: a 33-byte section-info reply (length at 15, address at 21),
// and a memory-read reply carrying data at offset 16.
Bytes SectionInfoReply(uint8_t length, const Bytes& address = {0x11, 0x22, 0x33});
Bytes ReadReplyOf(const Bytes& data);
// Hex "AA 03 00" <-> bytes.
Bytes FromHex(const std::string& hex);
std::string ToHex(const Bytes& bytes);

}  // namespace qmb::test
