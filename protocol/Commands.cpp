#include "protocol/Commands.h"

#include <cstring>

#include "link/SerialLink.h"
#include "protocol/Frame.h"

namespace qmb {

uint8_t SectionBuffer[kSectionBufferSize];

namespace {
void PutAddress(uint8_t* at, const uint8_t address[3]) {
    std::memcpy(at, address, 3);
}
}  // namespace

size_t BuildSectionInfoRequest(uint8_t out[kSectionInfoRequestSize], int section) {
    WriteRequestHeader(out, kSectionInfoRequestSize, kCommandSectionInfo);
    out[14] = static_cast<uint8_t>(section);
    out[15] = 0x00;
    SealFrame(out, kSectionInfoRequestSize);
    return kSectionInfoRequestSize;
}

size_t BuildReadRequest(uint8_t out[kReadRequestSize], const uint8_t address[3], uint8_t n) {
    WriteRequestHeader(out, kReadRequestSize, kCommandMemory);
    out[14] = 0x00;
    out[15] = n;
    out[16] = 0x00;
    PutAddress(out + 17, address);
    out[20] = kDirectionRead;
    out[21] = out[22] = out[23] = 0x00;
    SealFrame(out, kReadRequestSize);
    return kReadRequestSize;
}

size_t BuildWriteRequest(uint8_t* out, const uint8_t address[3], const uint8_t* bytes, uint8_t n) {
    const size_t len = kWriteRequestOverhead + n;
    std::memset(out, 0, kWriteRequestBufferSize);
    WriteRequestHeader(out, len, kCommandMemory);
    out[14] = 0x00;
    out[15] = n;
    out[16] = 0x00;
    PutAddress(out + 17, address);
    out[20] = kDirectionWrite;
    PutAddress(out + 21, address);
    if (n > 0) std::memcpy(out + kWriteRequestDataOffset, bytes, n);  // bytes may be null then
    SealFrame(out, len);
    return len;
}

size_t BuildCommitRequest(uint8_t out[kCommitRequestSize], int section) {
    WriteRequestHeader(out, kCommitRequestSize, kCommandCommit);
    out[14] = 0x01;
    out[15] = static_cast<uint8_t>(section);
    SealFrame(out, kCommitRequestSize);
    return kCommitRequestSize;
}

bool QuerySectionInfo(int section, SectionInfo& info) {
    uint8_t request[kSectionInfoRequestSize];
    BuildSectionInfoRequest(request, section);
    if (!Exchange(request, sizeof request, kSectionInfoReplySize, kRetryLimit, kReadPauseMs)) {
        return false;
    }
    std::memcpy(info.address, ReplyBuffer + kSectionInfoAddressOffset, 3);
    info.length = ReplyBuffer[kSectionInfoLengthOffset];
    return info.length != 0;
}

bool ReadSectionMemory(uint8_t* dest, const uint8_t address[3], uint16_t n) {
    if (n > 0xFF) return false;  // the request carries n in one byte
    uint8_t request[kReadRequestSize];
    BuildReadRequest(request, address, static_cast<uint8_t>(n));
    if (!Exchange(request, sizeof request, n + kReadReplyOverhead, kRetryLimit, kReadPauseMs)) {
        return false;
    }
    std::memcpy(dest, ReplyBuffer + kReadReplyDataOffset, n);
    return true;
}

bool WriteSectionMemory(const uint8_t* src, const uint8_t address[3], uint16_t n) {
    if (n > 0xFF) return false;
    uint8_t request[kWriteRequestBufferSize];
    size_t len = BuildWriteRequest(request, address, src, static_cast<uint8_t>(n));
    return Exchange(request, len, kWriteReplySize, kWriteAttempts, kWritePauseMs);
}

bool CommitSection(int section) {
    uint8_t request[kCommitRequestSize];
    BuildCommitRequest(request, section);
    return Exchange(request, sizeof request, kCommitReplySize, kWriteAttempts, kWritePauseMs);
}

namespace {
const char kIgnitionName[] = "ignition";

void TraceHandshake(bool sent, const uint8_t* bytes, size_t count, size_t expected,
                    ReplyVerdict verdict) {
    if (CurrentTraceSink()) Trace({sent, bytes, count, expected, kIgnitionName, 1, 1, verdict});
}

void WaitForByte(uint8_t wanted) {
    for (;;) {
        uint8_t byte = 0;
        if (!ReceiveBytes(&byte, 1)) continue;  // nothing within the read attempts
        const bool found = byte == wanted;
        TraceHandshake(false, &byte, 1, 1, found ? ReplyVerdict::kSound : ReplyVerdict::kSkipped);
        if (found) return;
    }
}
}  // namespace

void WaitForIgnition() {
    WaitForByte(kIgnitionByte);
    const uint8_t answer = kIgnitionAnswer;
    SendBytes(&answer, 1);
    TraceHandshake(true, &answer, 1, 1, ReplyVerdict::kSound);
    WaitForByte(kIgnitionAnswer);
    uint8_t trailer[kIgnitionTrailer];
    const bool whole = ReceiveBytes(trailer, sizeof trailer);
    TraceHandshake(false, trailer, BytesReceived, sizeof trailer,
                   whole ? ReplyVerdict::kSound : JudgeReply(trailer, BytesReceived, sizeof trailer));
}

}  // namespace qmb
