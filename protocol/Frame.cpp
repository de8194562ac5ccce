#include "protocol/Frame.h"

#include "link/SerialLink.h"

namespace qmb {

uint8_t ReplyBuffer[kReplyBufferSize];

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
    if (replyLen > kReplyBufferSize) return false;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        SendBytes(request, requestLen);
        bool received = ReceiveBytes(ReplyBuffer, replyLen);
        if (received && BytesReceived == replyLen && ValidateReply(ReplyBuffer, replyLen)) {
            return true;
        }
        BusyWait(pauseMs);
        PurgePort();
    }
    return false;
}

}  // namespace qmb
