// The simulated device on the fake port, in virtual time: every write is fed
// to a DeviceModel and its emissions arrive at their delays, paced as on a
// 38400-baud 8N1 line (about 260 µs a byte) unless pacing is turned off.
// A hang-up emission hangs the fake port up once its bytes have arrived.
//
//   class MyTest : public CoreTest { protected: SimPeer sim{port, clock}; };
//
// Declare it after the port and clock it uses; the test's thread only.
#pragma once

#include <cstdint>

#include "VirtualTime.h"
#include "sim/DeviceModel.h"

namespace qmb::test {

class SimPeer {
  public:
    SimPeer(FakePort& port, VirtualClock& clock);
    ~SimPeer();
    SimPeer(const SimPeer&) = delete;
    SimPeer& operator=(const SimPeer&) = delete;

    // The device: its sections, faults and counters.
    sim::DeviceModel model;

    // Line timing: true paces both directions; latencyMs is added before
    // every reply.
    bool pacing = true;
    uint32_t latencyMs = 0;

    // Starts the ignition handshake at virtual time t ("I" sent then). With
    // repeatMs > 0, "I" is sent again every repeatMs while no "O" has come,
    // until limitMs after t.
    void IgniteAt(uint64_t t, uint32_t repeatMs = 0, uint32_t limitMs = 30000);

    // Times the fake port was hung up by a hang-up fault.
    int HangUps() const { return hangUps_; }

  private:
    void OnWrite(const Bytes& written);
    // Delivers emissions, the first starting no earlier than baseUs.
    void Deliver(const std::vector<sim::Emission>& emissions, uint64_t baseUs);
    void IgnitionTick(uint64_t deadline, uint32_t repeatMs);
    uint64_t NowUs() const { return clock_.Elapsed() * 1000; }

    FakePort& port_;
    VirtualClock& clock_;
    uint64_t rxLineFreeUs_ = 0;
    uint64_t txLineFreeUs_ = 0;
    int hangUps_ = 0;
};

}  // namespace qmb::test
