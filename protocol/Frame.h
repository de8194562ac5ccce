// Frames: the common layout of requests and replies, the 8-bit checksum, reply
// validation and the request/reply exchange with its attempts and pauses.
//
// Layout (big-endian): 0xAA, 0x03, L = frame length - 5 (2 bytes), body,
// checksum. A frame is sound when its bytes from offset 1 to the end add up
// to 0 modulo 256.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "link/SerialLink.h"
#include "protocol/Trace.h"

namespace qmb {

constexpr uint8_t kFrameStart = 0xAA;
constexpr uint8_t kFrameType = 0x03;
constexpr size_t kFrameOverhead = 5;       // start, type, length field, checksum
constexpr size_t kRequestHeaderSize = 14;  // offsets 0 to 13
constexpr size_t kReplyBufferSize = 4096;

// Two's complement of the 8-bit sum of offsets 1 to len - 2.
uint8_t FrameChecksum(const uint8_t* frame, size_t len);

// Why a reply of an expected length fails validation, in the order checked.
enum class ReplyFault { kNone, kStartByte, kTypeByte, kLength, kChecksum };

// kLength also covers a len too short to hold a frame (under 5 bytes).
ReplyFault CheckReply(const uint8_t* buf, size_t len);
const char* ReplyFaultName(ReplyFault fault);

// True when buf[0, len) is a sound frame whose length field says len.
bool ValidateReply(const uint8_t* buf, size_t len);

// The verdict on a reply of which `received` of `expected` bytes arrived.
ReplyVerdict JudgeReply(const uint8_t* buf, size_t received, size_t expected);

// The command a request frame carries, for traces and reports: "info",
// "read", "write", "commit", or "request" when it is none of them.
const char* RequestName(const uint8_t* request, size_t len);

// How an Exchange went: the attempts it made and the verdict on the last
// reply it read (kNotSent when the port refused the request). Lets a caller
// tell a silent device from a bad line.
struct ExchangeOutcome {
    int attempts;
    ReplyVerdict lastVerdict;
    int sent = 0;  // requests that went out whole
};

// Fills offsets 0 to 13 of a request of frameLen bytes: start, type, L twice,
// the constant header bytes and the command code.
void WriteRequestHeader(uint8_t* frame, size_t frameLen, uint8_t command);

// Stores FrameChecksum in the frame's last byte.
void SealFrame(uint8_t* frame, size_t frameLen);

// What the exchanges over one link need: the link, the reply buffer that
// each reply overwrites, the record of the last exchange and the trace sink.
// One per line; the windows use the default one.
//
// Threads: used by the thread that runs the link's commands.
class ExchangeContext {
  public:
    // A context with a reply buffer of its own over link, which outlives it;
    // tracing off.
    explicit ExchangeContext(SerialLink& link);
    ExchangeContext(const ExchangeContext&) = delete;
    ExchangeContext& operator=(const ExchangeContext&) = delete;

    // The windows' context over the default link, built on first use. Never
    // destroyed.
    static ExchangeContext& Default();

    SerialLink& Link() { return link_; }
    // kReplyBufferSize bytes.
    uint8_t* Reply() { return reply_.get(); }
    const ExchangeOutcome& Last() const { return last_; }
    ExchangeOutcome& Last() { return last_; }

    // nullptr: tracing off. The sink outlives every command.
    void SetTraceSink(TraceSink* sink) { sink_ = sink; }
    TraceSink* Sink() const { return sink_; }
    // Hands the event to the sink, if there is one.
    void Trace(const TraceEvent& event) {
        if (sink_) sink_->OnTrace(event);
    }

  private:
    SerialLink& link_;
    std::unique_ptr<uint8_t[]> reply_;
    ExchangeOutcome last_{0, ReplyVerdict::kSound};
    TraceSink* sink_ = nullptr;
};

// Sends the request and receives a reply of replyLen bytes into the
// context's reply buffer, up to `attempts` times. After every failed attempt
// (the last included): pauses pauseMs, then purges the port. Returns how it
// went (also kept as the context's Last()); true in the result's sense when
// the last verdict is kSound. A stop asked for, or a refused write (traced
// first), stops the command through the link's host.
ExchangeOutcome Exchange(ExchangeContext& context, const uint8_t* request, size_t requestLen,
                         size_t replyLen, int attempts, uint32_t pauseMs);

// The default context: true on a validated reply.
// Worker thread; an abort or failed write ends the job (through the host).
bool Exchange(const uint8_t* request, size_t requestLen, size_t replyLen, int attempts,
              uint32_t pauseMs);

}  // namespace qmb
