// The memory read and write, and the commit that stores a section in EEPROM.
#include <cstring>

#include "protocol/Commands.h"

namespace qmb {

namespace {
CommandResult Run(ExchangeContext& context, const uint8_t* request, size_t len, size_t replyLen,
                  int attempts, uint32_t pauseMs) {
    const ExchangeOutcome outcome = Exchange(context, request, len, replyLen, attempts, pauseMs);
    return {outcome.lastVerdict == ReplyVerdict::kSound, outcome};
}
}  // namespace

CommandResult ReadSectionMemory(ExchangeContext& context, uint8_t* dest,
                                const uint8_t address[3], uint16_t n) {
    if (n > 0xFF) return {false, {0, ReplyVerdict::kSkipped}};  // the request carries n in one byte
    uint8_t request[kReadRequestSize];
    BuildReadRequest(request, address, static_cast<uint8_t>(n));
    const CommandResult r =
        Run(context, request, sizeof request, n + kReadReplyOverhead, kRetryLimit, kReadPauseMs);
    if (r.ok) std::memcpy(dest, context.Reply() + kReadReplyDataOffset, n);
    return r;
}

CommandResult WriteSectionMemory(ExchangeContext& context, const uint8_t* src,
                                 const uint8_t address[3], uint16_t n) {
    if (n > 0xFF) return {false, {0, ReplyVerdict::kSkipped}};
    uint8_t request[kWriteRequestBufferSize];
    const size_t len = BuildWriteRequest(request, address, src, static_cast<uint8_t>(n));
    return Run(context, request, len, kWriteReplySize, kWriteAttempts, kWritePauseMs);
}

CommandResult CommitSection(ExchangeContext& context, int section) {
    uint8_t request[kCommitRequestSize];
    BuildCommitRequest(request, section);
    return Run(context, request, sizeof request, kCommitReplySize, kWriteAttempts,
               kWritePauseMs);
}

bool ReadSectionMemory(uint8_t* dest, const uint8_t address[3], uint16_t n) {
    return ReadSectionMemory(ExchangeContext::Default(), dest, address, n).ok;
}

bool WriteSectionMemory(const uint8_t* src, const uint8_t address[3], uint16_t n) {
    return WriteSectionMemory(ExchangeContext::Default(), src, address, n).ok;
}

bool CommitSection(int section) {
    return CommitSection(ExchangeContext::Default(), section).ok;
}

}  // namespace qmb
