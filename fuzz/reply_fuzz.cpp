// ValidateReply and the commands' reply handling on arbitrary reply bytes.
// A reply that ValidateReply accepts always sums to 0 from offset 1 and
// carries its own length; a command that succeeds took its fields from a
// validated reply; a failed query leaves the section's info alone.
#include <cstring>

#include "FuzzSupport.h"
#include "link/SerialLink.h"
#include "protocol/Commands.h"
#include "protocol/Frame.h"

using namespace qmb;

namespace {
fuzz::ReplayPort g_port;
fuzz::NullPanel g_panel;

void CheckValidation(const uint8_t* data, size_t size) {
    if (!ValidateReply(data, size)) return;
    uint8_t sum = 0;
    for (size_t i = 1; i < size; ++i)
        sum = static_cast<uint8_t>(sum + data[i]);
    FUZZ_CHECK(sum == 0);
    FUZZ_CHECK(data[0] == 0xAA && data[1] == 0x03);
    FUZZ_CHECK(static_cast<size_t>(data[2]) * 256 + data[3] + 5 == size);
}

void CheckCommands(const uint8_t* data, size_t size) {
    g_port.Load(data, size);
    SectionInfo info{{1, 2, 3}, 77};
    if (QuerySectionInfo(11, info)) {
        FUZZ_CHECK(ValidateReply(ExchangeContext::Default().Reply(), kSectionInfoReplySize));
        FUZZ_CHECK(info.length == ExchangeContext::Default().Reply()[15] && info.length != 0);
        FUZZ_CHECK(std::memcmp(info.address, ExchangeContext::Default().Reply() + 21, 3) == 0);
    } else {
        FUZZ_CHECK(info.length == 77 || info.length == 0);
    }

    const uint8_t n = size ? data[0] : 0;
    uint8_t dest[256];
    std::memset(dest, 0xEE, sizeof dest);
    if (ReadSectionMemory(dest, info.address, n)) {
        FUZZ_CHECK(ValidateReply(ExchangeContext::Default().Reply(), n + kReadReplyOverhead));
        FUZZ_CHECK(std::memcmp(dest, ExchangeContext::Default().Reply() + 16, n) == 0);
    }
    FUZZ_CHECK(dest[n] == 0xEE);  // nothing past the n bytes asked for

    if (WriteSectionMemory(dest, info.address, n)) FUZZ_CHECK(ValidateReply(ExchangeContext::Default().Reply(), 17));
    if (CommitSection(11)) FUZZ_CHECK(ValidateReply(ExchangeContext::Default().Reply(), 17));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool bound = [] {
        BindPanel(&g_panel);
        BindPort(&g_port, &g_port);
        return true;
    }();
    (void)bound;
    CheckValidation(data, size);
    CheckCommands(data, size);
    return 0;
}
