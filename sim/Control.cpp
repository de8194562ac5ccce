#include "sim/Control.h"

#include <cctype>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace qmb::sim {

namespace {

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (in >> word)
        words.push_back(word);
    return words;
}

// A decimal number no larger than max.
bool ParseNumber(const std::string& word, unsigned long max, unsigned long& value) {
    if (word.empty() || word.size() > 9) return false;
    for (char c : word) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    value = std::strtoul(word.c_str(), nullptr, 10);
    return value <= max;
}

template <typename T>
bool ParseList(const std::string& word, unsigned long max, std::vector<T>& values) {
    values.clear();
    std::string item;
    std::istringstream in(word);
    while (std::getline(in, item, ',')) {
        unsigned long value;
        if (!ParseNumber(item, max, value)) return false;
        values.push_back(static_cast<T>(value));
    }
    return !values.empty();
}

bool ParseRequestKind(const std::string& word, RequestKind& kind) {
    for (RequestKind k : {RequestKind::kAny, RequestKind::kSectionInfo, RequestKind::kRead,
                          RequestKind::kWrite, RequestKind::kCommit}) {
        if (word == RequestKindName(k)) {
            kind = k;
            return true;
        }
    }
    return false;
}

bool IsNumberWord(const std::string& word) {
    return !word.empty() && std::isdigit(static_cast<unsigned char>(word[0]));
}

constexpr unsigned long kMaxMs = 600000;  // ten minutes
constexpr unsigned long kMaxOffset = 65535;
constexpr unsigned long kMaxCount = 1000000;

std::string Dump(const DeviceModel& model, int number) {
    const Section* s = model.GetSection(number);
    std::ostringstream out;
    out << "ok section " << number << " address " << HexDigits(s->address.data(), 3) << " length "
        << int(s->length) << " ram " << HexDigits(s->working.data(), s->length) << " eeprom "
        << HexDigits(s->eeprom.data(), s->length);
    return out.str();
}

std::string Status(const DeviceModel& model, const ControlActions& actions) {
    const ModelStats& st = model.Stats();
    std::ostringstream out;
    out << "ok requests " << st.requests << " bad " << st.badFrames << " refused " << st.refused
        << " garbage " << st.garbageBytes << " faults-applied " << st.faultsApplied
        << " faults-pending " << model.PendingFaults().size() << " commits " << st.commits
        << " handshakes " << st.handshakes << " ignition "
        << (model.AwaitingIgnitionAnswer() ? "waiting" : "idle");
    if (actions.statusExtra) {
        const std::string extra = actions.statusExtra();
        if (!extra.empty()) out << ' ' << extra;
    }
    return out.str();
}

std::string FaultCommand(const std::string& rest, DeviceModel& model) {
    const std::vector<std::string> words = Words(rest);
    if (words.size() == 1 && words[0] == "clear") {
        model.ClearFaults();
        return "ok faults cleared";
    }
    if (words.size() == 1 && words[0] == "list") {
        std::string out = "ok faults " + std::to_string(model.PendingFaults().size());
        for (const Fault& f : model.PendingFaults())
            out += "; " + DescribeFault(f);
        return out;
    }
    Fault fault;
    std::string error;
    if (!ParseFault(rest, fault, error)) return "error " + error;
    model.AddFault(fault);
    return "ok fault " + DescribeFault(fault);
}

}  // namespace

std::string HexDigits(const uint8_t* bytes, size_t n) {
    if (n == 0) return "-";
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t') continue;
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else {
            return false;
        }
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return high < 0;
}

bool ParseFault(const std::string& text, Fault& fault, std::string& error) {
    const std::vector<std::string> w = Words(text);
    fault = Fault{};
    if (w.empty()) {
        error = "fault: kind missing";
        return false;
    }
    size_t i = 1;
    unsigned long value = 0;
    // The kind's own argument, if it takes one.
    auto numberArg = [&](unsigned long max, const char* what) {
        if (i < w.size() && ParseNumber(w[i], max, value)) {
            ++i;
            return true;
        }
        error = w[0] + ": " + what + " expected";
        return false;
    };
    const std::string& kind = w[0];
    if (kind == "silent") {
        fault.kind = FaultKind::kSilent;
    } else if (kind == "truncate" || kind == "corrupt" || kind == "hangup" ||
               kind == "miswrite") {
        fault.kind = kind == "truncate"   ? FaultKind::kTruncate
                     : kind == "corrupt"  ? FaultKind::kCorrupt
                     : kind == "hangup"   ? FaultKind::kHangUp
                                          : FaultKind::kMiswrite;
        if (!numberArg(kMaxOffset, "byte offset")) return false;
        fault.offset = value;
    } else if (kind == "length+1") {
        fault.kind = FaultKind::kLengthPlusOne;
    } else if (kind == "trailing") {
        fault.kind = FaultKind::kTrailing;
        if (i >= w.size() || !ParseHexBytes(w[i], fault.trailing) || fault.trailing.empty()) {
            error = "trailing: hex bytes expected";
            return false;
        }
        ++i;
    } else if (kind == "pieces") {
        fault.kind = FaultKind::kPieces;
        if (i >= w.size() || !ParseList(w[i], kMaxOffset, fault.pieceSizes)) {
            error = "pieces: sizes expected, e.g. 10,10";
            return false;
        }
        for (size_t size : fault.pieceSizes) {
            if (size == 0) {
                error = "pieces: sizes must be at least 1";
                return false;
            }
        }
        ++i;
        if (i < w.size() && IsNumberWord(w[i])) {
            if (!ParseList(w[i], kMaxMs, fault.pauseMs)) {
                error = "pieces: pauses expected, e.g. 50,50";
                return false;
            }
            ++i;
        }
    } else if (kind == "delay") {
        fault.kind = FaultKind::kDelay;
        if (!numberArg(kMaxMs, "milliseconds")) return false;
        fault.delayMs = static_cast<uint32_t>(value);
    } else if (kind == "zero-length") {
        fault.kind = FaultKind::kZeroLength;
        fault.request = RequestKind::kSectionInfo;
        if (i < w.size() && IsNumberWord(w[i])) {
            if (!numberArg(kSectionCount, "section 0 to 255")) return false;
            fault.section = static_cast<int>(value);
        }
    } else {
        error = "unknown fault kind: " + kind;
        return false;
    }
    while (i < w.size()) {
        const std::string& option = w[i++];
        if (i >= w.size()) {
            error = "value missing after " + option;
            return false;
        }
        const std::string& arg = w[i++];
        if (option == "on") {
            if (!ParseRequestKind(arg, fault.request)) {
                error = "on: any, info, read, write or commit expected";
                return false;
            }
            if (fault.kind == FaultKind::kZeroLength &&
                fault.request != RequestKind::kSectionInfo) {
                error = "zero-length applies to info requests only";
                return false;
            }
        } else if (option == "skip") {
            if (!ParseNumber(arg, kMaxCount, value)) {
                error = "skip: number expected";
                return false;
            }
            fault.skip = static_cast<uint32_t>(value);
        } else if (option == "count") {
            if (!ParseNumber(arg, kMaxCount, value) || value == 0) {
                error = "count: number of at least 1 expected";
                return false;
            }
            fault.count = static_cast<uint32_t>(value);
        } else {
            error = "unknown word: " + option;
            return false;
        }
    }
    return true;
}

std::string RunControlLine(const std::string& line, DeviceModel& model,
                           const ControlActions& actions) {
    const std::vector<std::string> w = Words(line);
    if (w.empty() || w[0][0] == '#') return "";
    const std::string& command = w[0];
    unsigned long number = 0;
    if (command == "ignition" && w.size() == 1) {
        if (actions.startIgnition) actions.startIgnition();
        return "ok ignition started";
    }
    if (command == "fault") {
        const size_t at = line.find("fault");
        return FaultCommand(line.substr(at + 5), model);
    }
    if (command == "dump") {
        if (w.size() != 2 || !ParseNumber(w[1], kSectionCount, number) || number == 0) {
            return "error usage: dump SECTION (1 to 255)";
        }
        return Dump(model, static_cast<int>(number));
    }
    if (command == "set") {
        if (w.size() < 2 || !ParseNumber(w[1], kSectionCount, number) || number == 0) {
            return "error usage: set SECTION HEX (section 1 to 255)";
        }
        const size_t at = line.find(w[1], line.find("set") + 3) + w[1].size();
        std::vector<uint8_t> bytes;
        if (!ParseHexBytes(line.substr(at), bytes)) return "error set: bad hex bytes";
        if (bytes.size() > kMaxSectionLength) return "error set: at most 255 bytes";
        model.SetSection(static_cast<int>(number), bytes.data(), bytes.size());
        return "ok section " + std::to_string(number) + " length " + std::to_string(bytes.size());
    }
    if (command == "status" && w.size() == 1) return Status(model, actions);
    if (command == "quit" && w.size() == 1) {
        if (actions.quit) actions.quit();
        return "ok bye";
    }
    if (command == "help") {
        return "ok commands: ignition | fault KIND [ARGS] [on REQUEST] [skip N] [count N] | "
               "fault list | fault clear | dump N | set N HEX | status | quit";
    }
    return "error unknown command: " + line;
}

}  // namespace qmb::sim
