// The simulated device: a pure bytes-in, bytes-out state machine. It has no
// I/O and no clock of its own; a transport (the pseudo-terminal executable,
// or the virtual-time peer of the tests) feeds it the bytes the tool sends
// and carries out the emissions it returns, at their delays.
//
// The device keeps sections 1 to 255, each with a three-byte address, a
// length of 0 to 255, a working (RAM) image and an EEPROM image. It answers
// four framed requests (section info, memory read, memory write, commit) and
// performs the unframed ignition handshake. Requests it cannot accept (bad
// checksum, unknown command, bad layout, unknown section, a write that does
// not match its section) get no reply.
//
// Threads: one thread at a time; no locking of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qmb::sim {

constexpr int kSectionCount = 255;  // sections 1 to 255
constexpr size_t kMaxSectionLength = 255;

// Bytes the device sends, after a pause.
struct Emission {
    // Pause before these bytes, in ms: the first emission of a reply counts it
    // from the end of the request, later ones from the end of the previous
    // emission. Line pacing (the time the bytes take on the wire) and the
    // transport's turnaround latency come on top.
    uint32_t delayMs;
    std::vector<uint8_t> bytes;
    // After these bytes the line is hung up.
    bool hangUp = false;
};

// Which framed requests a fault applies to.
enum class RequestKind { kAny, kSectionInfo, kRead, kWrite, kCommit };

enum class FaultKind {
    kSilent,         // no reply; the request is lost before the device acts on it
    kTruncate,       // only the first `offset` bytes of the reply
    kCorrupt,        // the byte at `offset` inverted (past the end: the last byte)
    kLengthPlusOne,  // length field one larger, checksum made to match
    kTrailing,       // `trailing` bytes sent after the reply
    kPieces,         // the reply split into `pieceSizes`, `pauseMs` between pieces
    kDelay,          // the reply `delayMs` later
    kZeroLength,     // section-info reply reports length 0 (for `section`, 0 = any)
    kHangUp,         // the first `offset` bytes, then the line is hung up
    kMiswrite,       // write requests only: the byte at `offset` of the data is
                     // stored inverted (past the end: the last one); sound reply
};

// A fault on the replies of framed requests. Every request that matches
// `request` (and, for kZeroLength, the section) first uses up `skip`; the
// following `count` matching requests are hit. With several faults queued, a
// request is hit by the first one that is due; the others that match it still
// count it against their skip. Apart from kSilent, a faulted request still
// takes effect on the device: only its reply suffers (a write whose reply is
// truncated to nothing has still written the working image).
struct Fault {
    FaultKind kind = FaultKind::kSilent;
    RequestKind request = RequestKind::kAny;
    uint32_t skip = 0;
    uint32_t count = 1;
    size_t offset = 0;               // kTruncate, kCorrupt, kHangUp, kMiswrite
    std::vector<uint8_t> trailing;   // kTrailing
    std::vector<size_t> pieceSizes;  // kPieces: sizes of the leading pieces;
    std::vector<uint32_t> pauseMs;   //   the rest is the last piece. Pauses
                                     //   between pieces; the last one repeats.
    uint32_t delayMs = 0;            // kDelay
    int section = 0;                 // kZeroLength: 1 to 255, or 0 for any
};

struct Section {
    std::array<uint8_t, 3> address{};
    uint8_t length = 0;
    std::array<uint8_t, kMaxSectionLength> working{};  // RAM image
    std::array<uint8_t, kMaxSectionLength> eeprom{};
};

// What the device saw and did, for tracing. Never needed for its working.
struct ModelEvent {
    enum Kind {
        kRequest,   // a sound request, answered
        kBadFrame,  // a frame with a bad checksum, unknown command or layout
        kRefused,   // a sound request the device will not carry out
        kGarbage,   // bytes outside any frame, skipped
        kIgnition,  // handshake: "I" sent, "O" answered, or abandoned
        kFault,     // a fault hit the reply of the last request
    } kind;
    std::vector<uint8_t> bytes;
    std::string note;
};

// Counters for the status line.
struct ModelStats {
    uint64_t requests = 0;  // sound requests answered (faulted ones included)
    uint64_t badFrames = 0;
    uint64_t refused = 0;
    uint64_t garbageBytes = 0;
    uint64_t faultsApplied = 0;
    uint64_t commits = 0;
    uint64_t handshakes = 0;  // completed ignition handshakes
};

// Longest request the device accepts: a write of 255 bytes.
constexpr size_t kMaxRequestSize = 25 + kMaxSectionLength;

// The 13 bytes that follow the device's "O" in the handshake.
extern const uint8_t kIgnitionTrailerBytes[13];

class DeviceModel {
  public:
    // Starts with the default section table (see sim/README.md), working
    // images equal to the EEPROM images.
    DeviceModel();

    // Bytes received from the tool, split anyhow, garbage included. Returns
    // what the device sends back, in order.
    std::vector<Emission> Feed(const uint8_t* data, size_t n);

    // Starts (or repeats) the ignition handshake: emits "I". While the
    // handshake is under way an "O" outside a frame is answered with "O" and
    // 13 bytes, which completes it.
    std::vector<Emission> Ignite();
    bool AwaitingIgnitionAnswer() const { return awaitingIgnition_; }
    // Gives up a handshake under way (its time limit passed).
    void AbandonIgnition();

    // Sections are numbered 1 to 255; other numbers give nullptr / false.
    const Section* GetSection(int number) const;
    // Both images of a section become bytes; its length becomes n (0 to 255).
    bool SetSection(int number, const uint8_t* bytes, size_t n);
    // The whole section, address included; working image set too.
    bool LoadSection(int number, const std::array<uint8_t, 3>& address, const uint8_t* eeprom,
                     size_t n);

    void AddFault(const Fault& fault);
    void ClearFaults();
    const std::vector<Fault>& PendingFaults() const { return faults_; }

    // True once after the EEPROM changed (a commit or SetSection/LoadSection):
    // the transport saves the image then.
    bool TakeEepromChanged();

    const ModelStats& Stats() const { return stats_; }

    // Receives every ModelEvent as it happens (e.g. to print a trace).
    void SetObserver(std::function<void(const ModelEvent&)> observer);

    // Drops a partly received frame (the transport may call this after a long
    // gap on the line).
    void ResetReceiver();

    // Received bytes held between calls to Feed: at most the start of one
    // request, so always fewer than kMaxRequestSize.
    size_t BufferedBytes() const { return rx_.size() + garbage_.size(); }

  private:
    bool Answer(const std::vector<uint8_t>& frame, RequestKind kind, int& section,
                std::vector<uint8_t>& reply);
    // Checks the layout and command; explains a rejection in `why`.
    bool Classify(const std::vector<uint8_t>& frame, RequestKind& kind, std::string& why) const;
    // The reply as sent: whole, or as the fault in hit_ makes it.
    std::vector<Emission> Reply(std::vector<uint8_t> reply);
    void FlushGarbage();
    void Notify(ModelEvent::Kind kind, const std::vector<uint8_t>& bytes, std::string note);
    int FindSectionByAddress(const uint8_t* address) const;

    std::array<Section, kSectionCount> sections_;
    std::vector<uint8_t> rx_;       // received, not yet consumed
    std::vector<uint8_t> garbage_;  // skipped bytes not yet reported
    bool awaitingIgnition_ = false;
    std::vector<Fault> faults_;
    int hit_ = -1;  // index of the fault that hits the reply being built
    bool eepromChanged_ = false;
    ModelStats stats_;
    std::function<void(const ModelEvent&)> observer_;
};

// Names used by the control commands, the trace and the tests.
const char* RequestKindName(RequestKind kind);
const char* FaultKindName(FaultKind kind);
// One line describing a fault in the control syntax.
std::string DescribeFault(const Fault& fault);

// Bytes as upper-case hex pairs separated by spaces ("AA 03 00").
std::string Hex(const std::vector<uint8_t>& bytes);

// The same frame with its checksum (last byte) recomputed.
void ResealFrame(std::vector<uint8_t>& frame);

}  // namespace qmb::sim
