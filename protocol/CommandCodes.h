// The device's command codes and the sizes of its requests and replies.
// Plain constants, shared by the frame layer (to name a request in traces)
// and the device commands.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qmb {

constexpr uint8_t kCommandSectionInfo = 0x12;
constexpr uint8_t kCommandMemory = 0x02;
constexpr uint8_t kCommandCommit = 0x22;
constexpr uint8_t kDirectionRead = 0x01;
constexpr uint8_t kDirectionWrite = 0x02;
constexpr uint8_t kIgnitionByte = 'I';
constexpr uint8_t kIgnitionAnswer = 'O';
constexpr size_t kIgnitionTrailer = 13;  // bytes after the device's "O", not used

constexpr size_t kCommandOffset = 13;         // the command code in a request
constexpr size_t kMemoryDirectionOffset = 20;  // read or write, in a memory request

constexpr size_t kSectionInfoRequestSize = 17;
constexpr size_t kSectionInfoReplySize = 33;
constexpr size_t kReadRequestSize = 25;
constexpr size_t kReadReplyOverhead = 17;  // reply = n + 17 bytes, data at 16
constexpr size_t kReadReplyDataOffset = 16;
constexpr size_t kWriteRequestOverhead = 25;  // request = n + 25 bytes, data at 24
constexpr size_t kWriteRequestDataOffset = 24;
constexpr size_t kWriteRequestBufferSize = 1024;
constexpr size_t kWriteReplySize = 17;
constexpr size_t kCommitRequestSize = 17;
constexpr size_t kCommitReplySize = 17;
constexpr size_t kSectionInfoLengthOffset = 15;
constexpr size_t kSectionInfoAddressOffset = 21;

}  // namespace qmb
