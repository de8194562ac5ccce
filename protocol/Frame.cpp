#include "protocol/Frame.h"

#include "link/SerialLink.h"
#include "protocol/Commands.h"

namespace qmb {

uint8_t ReplyBuffer[kReplyBufferSize];
ExchangeOutcome LastExchange{0, ReplyVerdict::kSound};

namespace {
TraceSink* g_traceSink = nullptr;
}  // namespace

void SetTraceSink(TraceSink* sink) {
    g_traceSink = sink;
}

TraceSink* CurrentTraceSink() {
    return g_traceSink;
}

void Trace(const TraceEvent& event) {
    if (g_traceSink) g_traceSink->OnTrace(event);
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
    switch (request[13]) {
        case kCommandSectionInfo:
            return "info";
        case kCommandCommit:
            return "commit";
        case kCommandMemory:
            if (len > 20 && request[20] == kDirectionRead) return "read";
            if (len > 20 && request[20] == kDirectionWrite) return "write";
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

bool Exchange(const uint8_t* request, size_t requestLen, size_t replyLen, int attempts,
              uint32_t pauseMs) {
    LastExchange = {0, ReplyVerdict::kTimeout};
    if (replyLen > kReplyBufferSize) return false;
    const char* name = g_traceSink ? RequestName(request, requestLen) : nullptr;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        LastExchange.attempts = attempt + 1;
        SendBytes(request, requestLen);
        if (g_traceSink) {
            Trace({true, request, requestLen, requestLen, name, attempt + 1, attempts,
                   ReplyVerdict::kSound});
        }
        bool received = ReceiveBytes(ReplyBuffer, replyLen);
        const size_t got = received ? replyLen : BytesReceived;
        LastExchange.lastVerdict = JudgeReply(ReplyBuffer, got, replyLen);
        if (g_traceSink) {
            Trace({false, ReplyBuffer, got, replyLen, name, attempt + 1, attempts,
                   LastExchange.lastVerdict});
        }
        if (received && BytesReceived == replyLen && ValidateReply(ReplyBuffer, replyLen)) {
            return true;
        }
        BusyWait(pauseMs);
        PurgePort();
    }
    return false;
}

}  // namespace qmb
