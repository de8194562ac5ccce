#include "cli/Common.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/AtomicFile.h"
#include "platform/Utf8.h"
#include "production/BoardRecord.h"
#include "protocol/Messages.h"

namespace qmb::cli {

using nlohmann::json;

int ParseSectionArgument(const std::string& text) {
    int n = 0;
    if (ParseDecimal(text, 1, 255, n)) return n;
    throw CliError(kExitUsage, std::string(kMsgWrongSection) + " (got \"" + text + "\")");
}

void AddFormatOption(CLI::App* command, std::string& format, const std::string& what) {
    command->add_option("--format", format, what)
        ->check(CLI::IsMember({"hex", "bin"}))
        ->capture_default_str();
}

bool IsBinary(const std::string& format) {
    return format == "bin";
}

Bytes ParseData(const std::string& text, bool binary) {
    Bytes bytes;
    std::string error;
    if (!device::ParseSectionData(text, binary, bytes, &error)) throw CliError(kExitData, error);
    return bytes;
}

std::string HexText(const Bytes& bytes) {
    // One line of up to 16 pairs each, single spaces, no trailing space.
    std::string text;
    for (size_t at = 0; at < bytes.size(); at += 16) {
        text += HexPairs(&bytes[at], std::min<size_t>(16, bytes.size() - at));
        text += '\n';
    }
    return text.empty() ? "\n" : text;
}

std::string Hex(const uint8_t address[3]) {
    return HexPairs(address, 3);
}

std::string Section(int n) {
    return "section " + std::to_string(n);
}

std::string Count(size_t n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string ReadFileOrThrow(const std::string& path) {
    std::string bytes, error;
    if (!ReadWholeFile(path, bytes, &error)) throw CliError(kExitFile, "cannot read " + error);
    return bytes;
}

void WriteFileOrThrow(const std::string& path, const std::string& bytes) {
    std::string error;
    if (!WriteFileAtomically(path, bytes, false, &error))
        throw CliError(kExitFile, "cannot write " + error);
}

void CheckWritable(const std::string& path) {
    // A probe of this process's own, removed at once: a temporary that
    // another process is writing is never touched.
    const std::string probe = TemporaryPathFor(path);
    std::FILE* f = OpenFile(probe, "wb");
    if (!f) throw CliError(kExitFile, "cannot write " + path + ": " + std::strerror(errno));
    std::fclose(f);
    std::error_code ec;
    std::filesystem::remove(PathFromUtf8(probe), ec);
}

std::string UtcNow() {
    return device::UtcNow();
}

std::unique_ptr<Device> OpenDevice(Context& c, const std::string& portName) {
    auto device = std::make_unique<Device>(c.makePort(), *c.ticks);
    device->SetTraceSink(c.trace);
    device->Open(portName);
    return device;
}

std::unique_ptr<Device> OpenDevice(Context& c) {
    auto device = OpenDevice(c, c.global.port);
    c.out->Result()["port"] = device->PortPath();
    return device;
}

json DifferencesJson(int section, const std::vector<ByteDifference>& diffs) {
    json list = json::array();
    for (const auto& d : diffs)
        list.push_back({{"section", section},
                        {"offset", d.offset},
                        {"expected", HexPairs(&d.expected, 1)},
                        {"actual", HexPairs(&d.actual, 1)}});
    return list;
}

std::string DifferenceLines(int section, const std::vector<ByteDifference>& diffs) {
    std::string text;
    for (const auto& d : diffs)
        text += Section(section) + " offset " + std::to_string(d.offset) + ": expected " +
                HexPairs(&d.expected, 1) + ", actual " + HexPairs(&d.actual, 1) + "\n";
    return text;
}

void VerifyWritten(Context& c, Device& device, int section, const SectionInfo& info,
                   const Bytes& expected) {
    const auto diffs = CompareBytes(expected, device.ReadMemory(section, info));
    if (diffs.empty()) return;
    c.out->Data(DifferenceLines(section, diffs));
    auto& all = c.out->Result()["differences"];
    for (auto& d : DifferencesJson(section, diffs))
        all.push_back(d);
    throw CliError(kExitMismatch, "verify failed: " + std::to_string(diffs.size()) + " of " +
                                      std::to_string(expected.size()) + " bytes of " +
                                      Section(section) + " differ after writing");
}

std::string DefaultDbUrl() {
    return store::DefaultStoreUrl();
}

std::unique_ptr<store::RecordStore> OpenLoopStore(const std::string& url) {
    try {
        return production::OpenProductionStore(url);
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
}

void ThrowStoreError(const store::StoreError& e) {
    const int code = e.kind() == store::StoreError::Kind::kInvalid ? kExitUsage : kExitStore;
    throw CliError(code, std::string("records: ") + e.what());
}

}  // namespace qmb::cli
