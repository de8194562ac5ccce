// The simulated device's request parser on arbitrary byte streams.
//
// Input: one flag byte, then
//   - flag bit 7 clear: optional fault bytes (bit 1) and the stream, fed to
//     the model in pieces whose sizes come from the flag byte. Every request
//     the device answers is a sound frame that lies in the bytes fed; with no
//     fault queued, every emission is a sound reply to the request it follows
//     (or the handshake's answer to an "O"), one per request; the bytes held
//     between feeds never reach the size of the longest request.
//   - flag bit 7 set: a sound request built from the input with one byte
//     altered. The device never answers the altered frame; when the bytes
//     hold no sound frame anywhere, it stays silent.
#include <algorithm>
#include <vector>

#include "FuzzSupport.h"
#include "protocol/Commands.h"
#include "protocol/Frame.h"
#include "sim/DeviceModel.h"

using namespace qmb;
using qmb::sim::DeviceModel;
using qmb::sim::Emission;
using qmb::sim::Fault;
using qmb::sim::FaultKind;
using qmb::sim::ModelEvent;
using qmb::sim::RequestKind;

namespace {

using Bytes = std::vector<uint8_t>;

// A frame by the plain rule: 0xAA, 0x03, a length field that fits, and a sum
// of 0 from offset 1 to the end.
bool IsSoundFrame(const uint8_t* b, size_t size) {
    if (size < kFrameOverhead || b[0] != kFrameStart || b[1] != kFrameType) return false;
    if (static_cast<size_t>(b[2]) * 256 + b[3] + kFrameOverhead != size) return false;
    uint8_t sum = 0;
    for (size_t i = 1; i < size; ++i)
        sum = static_cast<uint8_t>(sum + b[i]);
    return sum == 0;
}

// Whether a sound frame starts anywhere in bytes at or after `from`.
bool HoldsSoundFrame(const Bytes& bytes, size_t from) {
    for (size_t i = from; i + kFrameOverhead <= bytes.size(); ++i) {
        if (bytes[i] != kFrameStart) continue;
        const size_t len = static_cast<size_t>(bytes[i + 2]) * 256 + bytes[i + 3] + kFrameOverhead;
        if (i + len <= bytes.size() && IsSoundFrame(&bytes[i], len)) return true;
    }
    return false;
}

bool Contains(const Bytes& haystack, const Bytes& needle, size_t from) {
    if (from > haystack.size()) return false;
    return std::search(haystack.begin() + static_cast<long>(from), haystack.end(), needle.begin(),
                       needle.end()) != haystack.end();
}

// The reply length the device owes a request.
size_t ReplyLengthFor(const Bytes& request) {
    switch (request[13]) {
        case kCommandSectionInfo:
            return kSectionInfoReplySize;
        case kCommandCommit:
            return kCommitReplySize;
        default:
            return request[20] == kDirectionRead ? request[15] + kReadReplyOverhead
                                                 : kWriteReplySize;
    }
}

bool IsIgnitionAnswer(const Emission& e) {
    return e.bytes.size() == 1 + sizeof sim::kIgnitionTrailerBytes &&
           e.bytes[0] == kIgnitionAnswer &&
           std::equal(e.bytes.begin() + 1, e.bytes.end(), std::begin(sim::kIgnitionTrailerBytes));
}

// Reads a fault from 8 input bytes.
Fault FaultFrom(const uint8_t* p) {
    Fault f;
    f.kind = static_cast<FaultKind>(p[0] % 9);
    f.request = static_cast<RequestKind>(p[1] % 5);
    f.skip = p[2] % 4;
    f.count = 1 + p[3] % 3;
    f.offset = static_cast<size_t>(p[4]) * 2;
    f.trailing.assign(p[5] % 6, p[4]);
    f.pieceSizes = {static_cast<size_t>(p[5] % 40), static_cast<size_t>(p[6] % 40)};
    f.pauseMs = {p[6], p[7]};
    f.delayMs = p[7] * 10u;
    f.section = p[2] % 3 == 0 ? 0 : p[6];
    return f;
}

// A device as it starts; copied for each input, which is cheaper than
// building the section table anew.
const DeviceModel& Pristine() {
    static const DeviceModel model;
    return model;
}

struct Recorder {
    std::vector<Bytes> requests;  // sound requests the device took up, in order
    void Attach(DeviceModel& model) {
        model.SetObserver([this](const ModelEvent& e) {
            if (e.kind == ModelEvent::kRequest) requests.push_back(e.bytes);
        });
    }
};

void FuzzStream(uint8_t flags, const uint8_t* data, size_t size) {
    DeviceModel model = Pristine();
    Recorder recorder;
    recorder.Attach(model);
    const bool faults = flags & 0x02;
    if (faults) {
        if (size < 16) return;
        model.AddFault(FaultFrom(data));
        model.AddFault(FaultFrom(data + 8));
        data += 16;
        size -= 16;
    }
    std::vector<Emission> out;
    if (flags & 0x01) {
        out = model.Ignite();
        FUZZ_CHECK(out.size() == 1 && out[0].bytes == Bytes{kIgnitionByte});
    }

    Bytes fed;
    uint32_t chunkSeed = flags >> 2;
    for (size_t at = 0; at < size;) {
        chunkSeed = chunkSeed * 1103515245u + 12345u;
        const size_t chunk = std::min<size_t>(size - at, 1 + (chunkSeed >> 16) % 64);
        fed.insert(fed.end(), data + at, data + at + chunk);

        const size_t requestsBefore = recorder.requests.size();
        const uint64_t handshakesBefore = model.Stats().handshakes;
        out = model.Feed(data + at, chunk);
        at += chunk;

        FUZZ_CHECK(model.BufferedBytes() < sim::kMaxRequestSize);
        for (size_t i = requestsBefore; i < recorder.requests.size(); ++i) {
            const Bytes& request = recorder.requests[i];
            FUZZ_CHECK(IsSoundFrame(request.data(), request.size()));
            FUZZ_CHECK(Contains(fed, request, 0));
        }
        if (faults) continue;

        // One emission per request taken up and per completed handshake.
        const size_t handshakes = model.Stats().handshakes - handshakesBefore;
        FUZZ_CHECK(out.size() == recorder.requests.size() - requestsBefore + handshakes);
        size_t next = requestsBefore;
        for (const Emission& e : out) {
            FUZZ_CHECK(!e.hangUp && e.delayMs == 0);
            if (IsIgnitionAnswer(e)) continue;
            FUZZ_CHECK(next < recorder.requests.size());
            const Bytes& request = recorder.requests[next++];
            FUZZ_CHECK(IsSoundFrame(e.bytes.data(), e.bytes.size()));
            FUZZ_CHECK(ValidateReply(e.bytes.data(), e.bytes.size()));
            FUZZ_CHECK(e.bytes.size() == ReplyLengthFor(request));
            FUZZ_CHECK(e.bytes[13] == (request[13] | 0x80));
        }
        FUZZ_CHECK(next == recorder.requests.size());
    }
}

// A sound request of one of the four kinds, from the input.
Bytes BuildRequest(const uint8_t* p, size_t size) {
    const uint8_t address[3] = {p[2], p[3], p[4]};
    Bytes request(kWriteRequestBufferSize);
    size_t len = 0;
    switch (p[0] % 4) {
        case 0:
            len = BuildSectionInfoRequest(request.data(), p[1]);
            break;
        case 1:
            len = BuildCommitRequest(request.data(), p[1]);
            break;
        case 2:
            len = BuildReadRequest(request.data(), address, p[1]);
            break;
        default: {
            uint8_t bytes[sim::kMaxSectionLength] = {};
            std::copy_n(p + 8, std::min<size_t>(p[1], size - 8), bytes);
            len = BuildWriteRequest(request.data(), address, bytes, p[1]);
            break;
        }
    }
    request.resize(len);
    return request;
}

void FuzzAlteredRequest(const uint8_t* data, size_t size) {
    if (size < 8) return;
    const Bytes sound = BuildRequest(data, size);
    FUZZ_CHECK(IsSoundFrame(sound.data(), sound.size()));
    const size_t where = (static_cast<size_t>(data[5]) * 256 + data[6]) % sound.size();
    const uint8_t change = data[7] ? data[7] : 0x01;

    Bytes altered = sound;
    altered[where] = static_cast<uint8_t>(altered[where] ^ change);
    FUZZ_CHECK(!IsSoundFrame(altered.data(), altered.size()));

    DeviceModel model = Pristine();
    Recorder recorder;
    recorder.Attach(model);
    std::vector<Emission> out = model.Feed(altered.data(), altered.size());
    // Whatever it took up lies inside the frame, never the frame from its start.
    for (const Bytes& request : recorder.requests) {
        FUZZ_CHECK(IsSoundFrame(request.data(), request.size()));
        FUZZ_CHECK(Contains(altered, request, 1));
    }
    if (!HoldsSoundFrame(altered, 0)) {
        FUZZ_CHECK(out.empty());
        FUZZ_CHECK(recorder.requests.empty());
    }
    FUZZ_CHECK(model.BufferedBytes() < sim::kMaxRequestSize);

    // The same request unaltered is answered when the device knows its
    // section: a query or a commit of sections 1 to 255.
    DeviceModel fresh = Pristine();
    out = fresh.Feed(sound.data(), sound.size());
    if ((sound[13] == kCommandSectionInfo && sound[14] != 0) ||
        (sound[13] == kCommandCommit && sound[15] != 0)) {
        FUZZ_CHECK(out.size() == 1 && IsSoundFrame(out[0].bytes.data(), out[0].bytes.size()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t flags = data[0];
    if (flags & 0x80) {
        FuzzAlteredRequest(data + 1, size - 1);
    } else {
        FuzzStream(flags, data + 1, size - 1);
    }
    return 0;
}
