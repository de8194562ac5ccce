#include "protocol/Frame.h"

#include "protocol/CommandCodes.h"

namespace qmb {

ExchangeContext::ExchangeContext(SerialLink& link)
    : link_(link), reply_(new uint8_t[kReplyBufferSize]()) {}

ExchangeContext& ExchangeContext::Default() {
    static ExchangeContext* const context = new ExchangeContext(SerialLink::Default());
    return *context;
}

const char* ReplyVerdictName(ReplyVerdict verdict) {
    switch (verdict) {
        case ReplyVerdict::kSound:
            return "sound";
        case ReplyVerdict::kTimeout:
            return "timeout";
        case ReplyVerdict::kShort:
            return "short";
        case ReplyVerdict::kBadStart:
            return "bad start byte";
        case ReplyVerdict::kBadType:
            return "bad type byte";
        case ReplyVerdict::kBadLength:
            return "bad length";
        case ReplyVerdict::kBadChecksum:
            return "bad checksum";
        case ReplyVerdict::kSkipped:
            return "skipped";
        case ReplyVerdict::kNotSent:
            return "write failed";
    }
    return "?";
}

uint8_t FrameChecksum(const uint8_t* frame, size_t len) {
    uint8_t sum = 0;
    for (size_t i = 1; i + 1 < len; ++i)
        sum = static_cast<uint8_t>(sum + frame[i]);
    return static_cast<uint8_t>(0x100 - sum);
}

ReplyFault CheckReply(const uint8_t* buf, size_t len) {
    if (len < kFrameOverhead) return ReplyFault::kLength;
    if (buf[0] != kFrameStart) return ReplyFault::kStartByte;
    if (buf[1] != kFrameType) return ReplyFault::kTypeByte;
    if (static_cast<size_t>(buf[2]) * 256 + buf[3] + kFrameOverhead != len) {
        return ReplyFault::kLength;
    }
    if (buf[len - 1] != FrameChecksum(buf, len)) return ReplyFault::kChecksum;
    return ReplyFault::kNone;
}

const char* ReplyFaultName(ReplyFault fault) {
    switch (fault) {
        case ReplyFault::kNone:
            return "none";
        case ReplyFault::kStartByte:
            return "start byte";
        case ReplyFault::kTypeByte:
            return "type byte";
        case ReplyFault::kLength:
            return "length";
        case ReplyFault::kChecksum:
            return "checksum";
    }
    return "?";
}

ReplyVerdict JudgeReply(const uint8_t* buf, size_t received, size_t expected) {
    if (received == 0 && expected > 0) return ReplyVerdict::kTimeout;
    if (received < expected) return ReplyVerdict::kShort;
    switch (CheckReply(buf, expected)) {
        case ReplyFault::kNone:
            return ReplyVerdict::kSound;
        case ReplyFault::kStartByte:
            return ReplyVerdict::kBadStart;
        case ReplyFault::kTypeByte:
            return ReplyVerdict::kBadType;
        case ReplyFault::kLength:
            return ReplyVerdict::kBadLength;
        case ReplyFault::kChecksum:
            return ReplyVerdict::kBadChecksum;
    }
    return ReplyVerdict::kBadChecksum;
}

const char* RequestName(const uint8_t* request, size_t len) {
    if (len < kRequestHeaderSize) return "request";
    switch (request[kCommandOffset]) {
        case kCommandSectionInfo:
            return "info";
        case kCommandCommit:
            return "commit";
        case kCommandMemory:
            if (len > kMemoryDirectionOffset && request[kMemoryDirectionOffset] == kDirectionRead)
                return "read";
            if (len > kMemoryDirectionOffset && request[kMemoryDirectionOffset] == kDirectionWrite)
                return "write";
            return "request";
        default:
            return "request";
    }
}

bool ValidateReply(const uint8_t* buf, size_t len) {
    return CheckReply(buf, len) == ReplyFault::kNone;
}

void WriteRequestHeader(uint8_t* frame, size_t frameLen, uint8_t command) {
    const uint16_t l = static_cast<uint16_t>(frameLen - kFrameOverhead);
    const uint8_t header[kRequestHeaderSize] = {kFrameStart,
                                                kFrameType,
                                                static_cast<uint8_t>(l >> 8),
                                                static_cast<uint8_t>(l),
                                                static_cast<uint8_t>(l >> 8),
                                                static_cast<uint8_t>(l),
                                                0x00,
                                                0x0C,
                                                0x00,
                                                0x2C,
                                                0x2C,
                                                0x05,
                                                0x2C,
                                                command};
    for (size_t i = 0; i < kRequestHeaderSize; ++i)
        frame[i] = header[i];
}

void SealFrame(uint8_t* frame, size_t frameLen) {
    frame[frameLen - 1] = FrameChecksum(frame, frameLen);
}

ExchangeOutcome Exchange(ExchangeContext& context, const uint8_t* request, size_t requestLen,
                         size_t replyLen, int attempts, uint32_t pauseMs) {
    ExchangeOutcome& last = context.Last();
    last = {0, ReplyVerdict::kTimeout, 0};
    if (replyLen > kReplyBufferSize) return last;
    SerialLink& link = context.Link();
    uint8_t* reply = context.Reply();
    const bool tracing = context.Sink() != nullptr;
    const char* name = tracing ? RequestName(request, requestLen) : nullptr;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        last.attempts = attempt + 1;
        const bool sent = link.TrySend(request, requestLen);
        if (tracing) {
            context.Trace({true, request, requestLen, requestLen, name, attempt + 1, attempts,
                           sent ? ReplyVerdict::kSound : ReplyVerdict::kNotSent});
        }
        if (!sent) {
            last.lastVerdict = ReplyVerdict::kNotSent;
            link.StopForFailedWrite();
        }
        ++last.sent;
        const bool received = link.Receive(reply, replyLen);
        const size_t got = received ? replyLen : link.ReceivedCount();
        last.lastVerdict = JudgeReply(reply, got, replyLen);
        if (tracing) {
            context.Trace({false, reply, got, replyLen, name, attempt + 1, attempts,
                           last.lastVerdict});
        }
        if (last.lastVerdict == ReplyVerdict::kSound) return last;
        link.Pause(pauseMs);
        link.Purge();
    }
    return last;
}

bool Exchange(const uint8_t* request, size_t requestLen, size_t replyLen, int attempts,
              uint32_t pauseMs) {
    return Exchange(ExchangeContext::Default(), request, requestLen, replyLen, attempts, pauseMs)
               .lastVerdict == ReplyVerdict::kSound;
}

}  // namespace qmb
