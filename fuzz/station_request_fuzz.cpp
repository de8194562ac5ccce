// The station's request handling as the network reaches it: whole requests
// as raw bytes (method, path, query, headers, body) through cpp-httplib's
// own parsing, then the station's real routes, checks and handlers. The
// station's slots are never started, so no port is opened.
//
// Properties: nothing escapes; every answer has a valid status line; a JSON
// answer is valid UTF-8 JSON of one line; a refused request (no answer, or
// a status of 400 and over) and every GET leave the slots and the records as
// they were. An action that was done (a seed carries the token) rebuilds
// the station, so that every input starts from the same one.
#include <nlohmann/json.hpp>

#include "FuzzSupport.h"
#include "StationWorld.h"

using namespace qmb;
using nlohmann::json;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::StationWorld world;
    const std::string request(reinterpret_cast<const char*>(data), size);
    const std::string before = world.Snapshot();
    std::string answer;
    try {
        answer = world.Handle(request);
    } catch (...) {
        FUZZ_CHECK(!"an exception escaped the server");
    }
    const int status = fuzz::StatusOf(answer);
    FUZZ_CHECK(status >= 0);
    const size_t headEnd = answer.find("\r\n\r\n");
    const std::string head = answer.substr(0, headEnd);
    if (status > 0 && head.find("Content-Type: application/json") != std::string::npos &&
        request.rfind("HEAD", 0) != 0) {
        const std::string body = fuzz::BodyOf(answer);
        FUZZ_CHECK(json::accept(body));
        FUZZ_CHECK(body.find('\n') == body.size() - 1);
    }
    const bool get = request.rfind("GET ", 0) == 0 || request.rfind("HEAD ", 0) == 0;
    if (status == 0 || status >= 400 || get) {
        FUZZ_CHECK(world.Snapshot() == before);
    } else if (world.Snapshot() != before) {
        world.Build();
    }
    return 0;
}
