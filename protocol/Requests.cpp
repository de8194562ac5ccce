// The request builders: pure functions of their arguments.
#include <cstring>

#include "protocol/Commands.h"

namespace qmb {

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
    out[kMemoryDirectionOffset] = kDirectionRead;
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
    out[kMemoryDirectionOffset] = kDirectionWrite;
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

}  // namespace qmb
