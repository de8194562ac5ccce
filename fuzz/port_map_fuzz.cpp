// ParsePortMap on arbitrary text, as the port map file and `ports --map`
// give it: nothing crashes or escapes as an exception; a refused text says
// why and changes nothing; every entry of an accepted one is one
// PortMapEntryProblem accepts, and the map writes back (FormatPortMap) and
// reads again to the same map.
#include <string>

#include "FuzzSupport.h"
#include "link/PortMap.h"

using namespace qmb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const PortMap sentinel = {{"COM7", "/dev/ttyUSB7"}};
    PortMap map = sentinel;
    std::string error;
    bool accepted = false, escaped = false;
    try {
        accepted = ParsePortMap(text, map, &error);
    } catch (...) {
        escaped = true;
    }
    FUZZ_CHECK(!escaped);
    if (!accepted) {
        FUZZ_CHECK(error.rfind("line ", 0) == 0);
        FUZZ_CHECK(map == sentinel);
        return 0;
    }
    for (const auto& [name, device] : map) {
        FUZZ_CHECK(IsComName(name));
        FUZZ_CHECK(PortMapEntryProblem(name, device).empty());
    }
    PortMap again;
    FUZZ_CHECK(ParsePortMap(FormatPortMap(map), again, &error));
    FUZZ_CHECK(again == map);
    // An entry of the text taken as a `ports --map` argument: refused, or
    // written as a line that reads back as itself.
    const size_t cut = text.find('\n');
    const std::string device = text.substr(0, cut);
    if (PortMapEntryProblem("COM3", device).empty()) {
        PortMap one;
        FUZZ_CHECK(ParsePortMap(FormatPortMap({{"COM3", device}}), one, &error));
        FUZZ_CHECK(one.size() == 1 && one["COM3"] == device);
    }
    return 0;
}
