#include "SimPeer.h"

#include <algorithm>

namespace qmb::test {

namespace {
// 38400 baud, 8N1: ten bits a byte, in nanoseconds.
constexpr uint64_t kByteNs = 10ull * 1000000000ull / 38400;

uint64_t LineUs(size_t bytes) {
    return bytes * kByteNs / 1000;
}
uint64_t CeilMs(uint64_t us) {
    return (us + 999) / 1000;
}
}  // namespace

SimPeer::SimPeer(FakePort& port, VirtualClock& clock) : port_(port), clock_(clock) {
    port_.SetPeer([this](const Bytes& written, FakePort&) { OnWrite(written); });
}

SimPeer::~SimPeer() {
    port_.SetPeer(nullptr);
}

void SimPeer::OnWrite(const Bytes& written) {
    const uint64_t lineUs = pacing ? LineUs(written.size()) : 0;
    rxLineFreeUs_ = std::max(NowUs(), rxLineFreeUs_) + lineUs;
    Deliver(model.Feed(written.data(), written.size()), rxLineFreeUs_ + latencyMs * 1000ull);
}

void SimPeer::Deliver(const std::vector<sim::Emission>& emissions, uint64_t baseUs) {
    uint64_t t = baseUs;
    for (const sim::Emission& e : emissions) {
        t += e.delayMs * 1000ull;
        const uint64_t start = std::max(t, txLineFreeUs_);
        for (size_t i = 0; i < e.bytes.size(); ++i) {
            const uint64_t arrival = start + (pacing ? LineUs(i + 1) : 0);
            port_.DeliverAt(Bytes{e.bytes[i]}, CeilMs(arrival));
        }
        txLineFreeUs_ = start + (pacing ? LineUs(e.bytes.size()) : 0);
        t = txLineFreeUs_;
        if (e.hangUp) {
            clock_.At(CeilMs(t), [this] {
                ++hangUps_;
                port_.HangUp();
            });
        }
    }
}

void SimPeer::IgniteAt(uint64_t t, uint32_t repeatMs, uint32_t limitMs) {
    clock_.At(t, [this, t, repeatMs, limitMs] {
        Deliver(model.Ignite(), NowUs());
        if (repeatMs > 0) IgnitionTick(t + limitMs, repeatMs);
    });
}

void SimPeer::IgnitionTick(uint64_t deadline, uint32_t repeatMs) {
    const uint64_t next = clock_.Elapsed() + repeatMs;
    clock_.At(next, [this, deadline, repeatMs] {
        if (!model.AwaitingIgnitionAnswer()) return;
        if (clock_.Elapsed() >= deadline) {
            model.AbandonIgnition();
            return;
        }
        Deliver(model.Ignite(), NowUs());
        IgnitionTick(deadline, repeatMs);
    });
}

}  // namespace qmb::test
