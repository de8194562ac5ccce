// The frame trace: every frame the commands send and every reply they read,
// with the command it belongs to, the attempt and the reply's verdict, handed
// to the sink of the line's exchange context. Off (no sink) by default; then it costs one pointer test a
// transfer. TraceFile.h writes the events as text lines.
//
// Threads: events come on the thread that runs the line's commands; each
// ExchangeContext has a sink of its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qmb {

// How a reply (or a handshake read) turned out.
enum class ReplyVerdict {
    kSound,        // a whole, valid frame
    kTimeout,      // nothing arrived within the read attempts
    kShort,        // fewer bytes than expected arrived
    kBadStart,     // whole, but offset 0 is not 0xAA
    kBadType,      // whole, but offset 1 is not 0x03
    kBadLength,    // whole, but the length field disagrees
    kBadChecksum,  // whole, but the checksum is wrong
    kSkipped,      // a handshake byte that is not the one waited for
    kNotSent,      // sends only: the port refused the write
};
const char* ReplyVerdictName(ReplyVerdict verdict);

struct TraceEvent {
    bool sent;                 // true: to the device; false: from it
    const uint8_t* bytes;      // what was sent, or what arrived
    size_t count;              // number of bytes at bytes
    size_t expected;           // replies: the length asked for; sends: count
    const char* command;       // "info", "read", "write", "commit", "ignition"
    int attempt;               // 1-based attempt of the exchange
    int attempts;              // attempts the exchange allows
    ReplyVerdict verdict;      // replies; sends: kSound, or kNotSent when refused
};

class TraceSink {
  public:
    virtual ~TraceSink() = default;
    virtual void OnTrace(const TraceEvent& event) = 0;
};

}  // namespace qmb
