// The section-info query: a section's address and length.
#include <cstring>

#include "protocol/Commands.h"

namespace qmb {

SectionQuery QuerySectionInfo(ExchangeContext& context, int section) {
    uint8_t request[kSectionInfoRequestSize];
    BuildSectionInfoRequest(request, section);
    SectionQuery q{SectionState::kFailed, {{0, 0, 0}, 0}, {}};
    q.exchange = Exchange(context, request, sizeof request, kSectionInfoReplySize, kRetryLimit,
                          kReadPauseMs);
    if (q.exchange.lastVerdict != ReplyVerdict::kSound) return q;
    const uint8_t* reply = context.Reply();
    std::memcpy(q.info.address, reply + kSectionInfoAddressOffset, 3);
    q.info.length = reply[kSectionInfoLengthOffset];
    q.state = q.info.length != 0 ? SectionState::kPresent : SectionState::kAbsent;
    return q;
}

bool QuerySectionInfo(int section, SectionInfo& info) {
    const SectionQuery q = QuerySectionInfo(ExchangeContext::Default(), section);
    if (q.state == SectionState::kFailed) return false;
    info = q.info;
    return q.state == SectionState::kPresent;
}

}  // namespace qmb
