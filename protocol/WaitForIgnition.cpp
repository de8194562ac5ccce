// The ignition handshake: unframed bytes, no time limit of its own.
#include "protocol/Commands.h"

namespace qmb {

namespace {
const char kIgnitionName[] = "ignition";

void TraceHandshake(ExchangeContext& context, bool sent, const uint8_t* bytes, size_t count,
                    size_t expected, ReplyVerdict verdict) {
    context.Trace({sent, bytes, count, expected, kIgnitionName, 1, 1, verdict});
}

void WaitForByte(ExchangeContext& context, uint8_t wanted) {
    for (;;) {
        uint8_t byte = 0;
        if (!context.Link().Receive(&byte, 1)) continue;  // nothing within the read attempts
        const bool found = byte == wanted;
        TraceHandshake(context, false, &byte, 1, 1,
                       found ? ReplyVerdict::kSound : ReplyVerdict::kSkipped);
        if (found) return;
    }
}
}  // namespace

void WaitForIgnition(ExchangeContext& context) {
    SerialLink& link = context.Link();
    WaitForByte(context, kIgnitionByte);
    const uint8_t answer = kIgnitionAnswer;
    const bool sent = link.TrySend(&answer, 1);
    TraceHandshake(context, true, &answer, 1, 1,
                   sent ? ReplyVerdict::kSound : ReplyVerdict::kNotSent);
    if (!sent) link.StopForFailedWrite();
    WaitForByte(context, kIgnitionAnswer);
    uint8_t trailer[kIgnitionTrailer];
    const bool whole = link.Receive(trailer, sizeof trailer);
    const size_t got = link.ReceivedCount();
    TraceHandshake(context, false, trailer, got, sizeof trailer,
                   whole ? ReplyVerdict::kSound : JudgeReply(trailer, got, sizeof trailer));
}

void WaitForIgnition() {
    WaitForIgnition(ExchangeContext::Default());
}

}  // namespace qmb
