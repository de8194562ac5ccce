// The station's settings file: any text, as the file's lines. Properties:
// nothing but the documented std::runtime_error escapes; its reason is one
// line "NAME:LINE: ..."; a refused file leaves the settings as they were; an
// accepted one holds only UTF-8 text.
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "FuzzSupport.h"
#include "platform/Utf8.h"
#include "station/StationConfig.h"

using namespace qmb::station;

namespace {
auto Fields(const StationConfig& c) {
    return std::tie(c.station, c.section, c.image, c.format, c.recipe, c.mode, c.db, c.listen,
                    c.tokenFile, c.auth, c.lockout, c.lockoutSet, c.dutIdSection, c.operatorName,
                    c.batch);
}

bool Same(const StationConfig& a, const StationConfig& b) {
    if (Fields(a) != Fields(b) || a.slots.size() != b.slots.size()) return false;
    for (size_t i = 0; i < a.slots.size(); ++i) {
        if (a.slots[i].name != b.slots[i].name || a.slots[i].port != b.slots[i].port) return false;
    }
    return true;
}

bool AllUtf8(const StationConfig& c) {
    for (const auto& s : c.slots) {
        if (!qmb::IsValidUtf8(s.name) || !qmb::IsValidUtf8(s.port) || !IsSlotName(s.name)) return false;
    }
    return qmb::IsValidUtf8(c.station) && qmb::IsValidUtf8(c.image) && qmb::IsValidUtf8(c.recipe) && qmb::IsValidUtf8(c.format) && qmb::IsValidUtf8(c.db) &&
           qmb::IsValidUtf8(c.listen) && qmb::IsValidUtf8(c.tokenFile) && qmb::IsValidUtf8(c.operatorName) && qmb::IsValidUtf8(c.batch);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StationConfig config;
    config.station = "before";
    config.slots = {{"A", "/dev/ttyS0"}};
    const StationConfig original = config;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        ReadConfigText(in, "line.conf", "/etc/qmb", config);
    } catch (const std::runtime_error& e) {
        const std::string why = e.what();
        FUZZ_CHECK(why.rfind("line.conf:", 0) == 0);
        FUZZ_CHECK(why.find('\n') == std::string::npos);
        FUZZ_CHECK(qmb::IsValidUtf8(why));
        FUZZ_CHECK(Same(config, original));
        return 0;
    } catch (...) {
        FUZZ_CHECK(!"an exception other than the reason escaped");
    }
    FUZZ_CHECK(AllUtf8(config));
    FUZZ_CHECK(config.section >= 0 && config.section <= 255);
    FUZZ_CHECK(config.lockout >= 1 && config.lockout <= 1000);
    FUZZ_CHECK(config.mode == "production" || config.mode == "engineering");
    return 0;
}
