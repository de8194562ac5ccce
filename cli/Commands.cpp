#include "cli/Commands.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>

#include "cli/BackupFile.h"
#include "cli/Device.h"
#include "cli/ExitCodes.h"
#include "cli/System.h"
#include "job/HexText.h"
#include "job/Messages.h"
#include "link/AtomicFile.h"
#include "link/PortMap.h"
#include "qmb/Version.h"

namespace qmb::cli {

using nlohmann::json;

namespace {

constexpr uint32_t kLoopPauseMs = 1000;  // before each Loop pass's write, as the window's
constexpr size_t kMaxSectionLength = 255;
constexpr size_t kParseBufferSize = 1024;  // the window's SectionBuffer

// Now, or SOURCE_DATE_EPOCH where set (reproducible files).
std::string UtcNow() {
    std::time_t now = std::time(nullptr);
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) now = std::strtoll(epoch, nullptr, 10);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));  // one thread
    return text;
}

std::string Hex(const Bytes& bytes) {
    return HexPairs(bytes.data(), bytes.size());
}

std::string Hex(const uint8_t address[3]) {
    return HexPairs(address, 3);
}

std::string Section(int n) {
    return "section " + std::to_string(n);
}

// The window's text form of the bytes, with this platform's line ends.
std::string HexText(const Bytes& bytes) {
    char text[kHexFormatBufferSize];
    FormatHexText(bytes.data(), bytes.size(), text, sizeof text);
    std::string result;
    for (const char* p = text; *p; ++p) {
        if (*p != '\r') result += *p;
    }
    if (result.empty() || result.back() != '\n') result += '\n';
    return result;
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

// Fails early when path cannot be written, before the device is touched.
void CheckWritable(const std::string& path) {
    const std::string probe = TemporaryPathFor(path);
    std::FILE* f = std::fopen(probe.c_str(), "wb");
    if (!f) throw CliError(kExitFile, "cannot write " + probe + ": " + std::strerror(errno));
    std::fclose(f);
    std::remove(probe.c_str());
}

// Section data from hex text (the window's parse and its messages) or raw
// bytes. Checked before the device is touched.
Bytes ParseData(const std::string& text, bool binary) {
    if (binary) {
        if (text.size() > kMaxSectionLength)
            throw CliError(kExitData, std::string(kMsgDataSize) + ": " +
                                          std::to_string(text.size()) +
                                          " bytes, no section holds more than 255");
        return Bytes(text.begin(), text.end());
    }
    uint8_t buffer[kParseBufferSize] = {};
    const int count = ParseHexDigits(text.data(), text.size(), buffer, sizeof buffer);
    if (count < 0)
        throw CliError(kExitData, std::string(kMsgWrongData) +
                                      ": hex text must hold pairs of digits 0-9, A-F "
                                      "(upper case), separated by white space");
    if (static_cast<size_t>(count) > kMaxSectionLength)
        throw CliError(kExitData, std::string(kMsgDataSize) + ": " + std::to_string(count) +
                                      " bytes, no section holds more than 255");
    return Bytes(buffer, buffer + count);
}

bool IsBinary(const std::string& format) {
    return format == "bin";
}

Backup LoadBackup(const std::string& path) {
    Backup backup;
    std::string error;
    if (!ParseBackup(ReadFileOrThrow(path), backup, &error))
        throw CliError(kExitData, path + ": " + error);
    return backup;
}

// The backup's sections that the list names (all when the list is empty).
std::vector<const BackupSection*> Choose(const Backup& backup, const std::string& list,
                                         const std::string& path) {
    std::vector<const BackupSection*> chosen;
    if (list.empty()) {
        for (const auto& s : backup.sections)
            chosen.push_back(&s);
        return chosen;
    }
    std::vector<int> numbers;
    std::string error;
    if (!ParseSectionList(list, numbers, &error)) throw CliError(kExitUsage, error);
    std::vector<int> missing;
    for (int n : numbers) {
        if (const BackupSection* s = backup.Find(n)) {
            chosen.push_back(s);
        } else {
            missing.push_back(n);
        }
    }
    if (!missing.empty())
        throw CliError(kExitUsage, path + " holds no section " + FormatSectionList(missing));
    return chosen;
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

// Reads back what was just written and compares. Throws mismatch, after
// putting the differences on stdout (or into the result).
void VerifyWritten(Context& c, Device& device, int section, const SectionInfo& info,
                   const Bytes& expected) {
    const auto diffs = CompareBytes(expected, device.ReadMemory(section, info));
    if (diffs.empty()) return;
    c.out.Data(DifferenceLines(section, diffs));
    auto& all = c.out.Result()["differences"];
    for (auto& d : DifferencesJson(section, diffs))
        all.push_back(d);
    throw CliError(kExitMismatch, "verify failed: " + std::to_string(diffs.size()) + " of " +
                                      std::to_string(expected.size()) + " bytes of " +
                                      Section(section) + " differ after writing");
}

void OpenDevice(Context& c, Device& device) {
    device.Open(c.portName);
    c.out.Result()["port"] = device.PortPath();
}

// How a backup's section fits the device's section of the same number.
enum class Fit { kFits, kLength, kAddress };
Fit FitOf(const BackupSection& s, const SectionInfo& info) {
    if (info.length != s.bytes.size()) return Fit::kLength;
    if (!std::equal(info.address, info.address + 3, s.address)) return Fit::kAddress;
    return Fit::kFits;
}

// The backup file and its chosen sections, checked before the device is
// opened; then the device, open.
struct BackupRun {
    BackupRun(Context& c, const std::string& file, const std::string& list)
        : backup(LoadBackup(file)), chosen(Choose(backup, list, file)), device(c.port, c.ticks) {
        OpenDevice(c, device);
        c.out.Result()["file"] = file;
    }
    const Backup backup;
    const std::vector<const BackupSection*> chosen;
    Device device;
};

}  // namespace

int ParseSectionArgument(const std::string& text) {
    if (!text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos) {
        const int n = std::atoi(text.c_str());
        if (n >= 1 && n <= 255) return n;
    }
    throw CliError(kExitUsage, std::string(kMsgWrongSection) + " (got \"" + text + "\")");
}

int RunInfo(Context& c, int section) {
    Device device(c.port, c.ticks);
    OpenDevice(c, device);
    const SectionInfo info = device.Info(section);
    auto& r = c.out.Result();
    r["section"] = section;
    r["address"] = Hex(info.address);
    r["length"] = info.length;
    r["absent"] = info.length == 0;
    c.out.Data(Section(section) + " address " + Hex(info.address) + " length " +
               std::to_string(info.length) + (info.length == 0 ? " (absent)" : "") + "\n");
    return kExitOk;
}

int RunRead(Context& c, int section, const std::string& outFile, const std::string& format) {
    if (!outFile.empty()) CheckWritable(outFile);
    Device device(c.port, c.ticks);
    OpenDevice(c, device);
    SectionInfo info{};
    const Bytes bytes = device.Read(section, &info);
    device.Close();
    const std::string data = IsBinary(format) ? std::string(bytes.begin(), bytes.end()) : HexText(bytes);
    auto& r = c.out.Result();
    r["section"] = section;
    r["address"] = Hex(info.address);
    r["length"] = info.length;
    r["hex"] = Hex(bytes);
    if (!outFile.empty()) {
        WriteFileOrThrow(outFile, data);
        r["file"] = outFile;
        c.out.Say(Section(section) + ": " + std::to_string(bytes.size()) + " bytes written to " + outFile);
    } else {
        if (IsBinary(format)) SetStdoutBinary();
        c.out.Data(data);
    }
    return kExitOk;
}

int RunWrite(Context& c, int section, const std::string& file, const std::string& hex,
             const std::string& format, bool verify) {
    const Bytes bytes = ParseData(file.empty() ? hex : ReadFileOrThrow(file), IsBinary(format) && !file.empty());
    Device device(c.port, c.ticks);
    OpenDevice(c, device);
    SectionInfo info{};
    auto& r = c.out.Result();
    r["section"] = section;
    device.Write(section, bytes, &info);
    r["address"] = Hex(info.address);
    r["length"] = info.length;
    r["written"] = true;
    r["verified"] = false;
    if (verify) {
        VerifyWritten(c, device, section, info, bytes);
        r["verified"] = true;
    }
    c.out.Say(Section(section) + ": " + std::to_string(bytes.size()) + " bytes written and committed" +
              (verify ? ", read back and identical" : ""));
    return kExitOk;
}

int RunBackup(Context& c, const std::string& file, const std::string& list) {
    std::vector<int> numbers;
    std::string error;
    if (!ParseSectionList(list.empty() ? "1-255" : list, numbers, &error))
        throw CliError(kExitUsage, error);
    CheckWritable(file);
    Device device(c.port, c.ticks);
    OpenDevice(c, device);
    Backup backup;
    backup.tool = std::string("qmb-cli ") + QMB_VERSION;
    backup.time = UtcNow();
    backup.port = device.PortPath();
    std::vector<int> saved, absent;
    size_t bytes = 0;
    for (size_t i = 0; i < numbers.size(); ++i) {
        const int n = numbers[i];
        c.out.Progress("backup: section", i + 1, numbers.size(), bytes);
        const SectionInfo info = device.Info(n);
        if (info.length == 0) {
            absent.push_back(n);
            continue;
        }
        BackupSection s;
        s.number = n;
        std::copy(info.address, info.address + 3, s.address);
        s.bytes = device.ReadMemory(n, info);
        bytes += s.bytes.size();
        backup.sections.push_back(std::move(s));
        saved.push_back(n);
    }
    device.Close();
    WriteFileOrThrow(file, FormatBackup(backup));
    auto& r = c.out.Result();
    r["file"] = file;
    r["sections"] = saved;
    r["absent"] = absent;
    r["bytes"] = bytes;
    c.out.Say("backup: " + std::to_string(saved.size()) + " sections (" + FormatSectionList(saved) +
              "), " + std::to_string(bytes) + " bytes, to " + file + "; " +
              std::to_string(absent.size()) + " absent");
    return kExitOk;
}

int RunVerify(Context& c, const std::string& file, const std::string& list) {
    BackupRun run(c, file, list);
    const auto& chosen = run.chosen;
    Device& device = run.device;
    auto& r = c.out.Result();
    r["differences"] = json::array();
    std::vector<int> differing;
    size_t done = 0, bytes = 0;
    for (const BackupSection* s : chosen) {
        c.out.Progress("verify: section", ++done, chosen.size(), bytes);
        const SectionInfo info = device.Info(s->number);
        const Fit fit = FitOf(*s, info);
        std::string problem;
        if (fit == Fit::kLength) {
            problem = Section(s->number) + " length: expected " + std::to_string(s->bytes.size()) +
                      ", device " + std::to_string(info.length) + "\n";
        } else if (fit == Fit::kAddress) {
            problem = Section(s->number) + " address: expected " + Hex(s->address) + ", device " +
                      Hex(info.address) + "\n";
        }
        if (!problem.empty()) {
            c.out.Data(problem);
            r["differences"].push_back({{"section", s->number}, {"problem", problem.substr(0, problem.size() - 1)}});
            differing.push_back(s->number);
            continue;
        }
        const auto diffs = CompareBytes(s->bytes, device.ReadMemory(s->number, info));
        bytes += s->bytes.size();
        if (diffs.empty()) continue;
        c.out.Data(DifferenceLines(s->number, diffs));
        for (auto& d : DifferencesJson(s->number, diffs))
            r["differences"].push_back(d);
        differing.push_back(s->number);
    }
    r["sections_checked"] = chosen.size();
    r["sections_differing"] = differing;
    if (!differing.empty())
        throw CliError(kExitMismatch, "verify: " + std::to_string(differing.size()) + " of " +
                                          std::to_string(chosen.size()) + " sections differ (" +
                                          FormatSectionList(differing) + ")");
    c.out.Say("verify: all " + std::to_string(chosen.size()) + " sections match " + file);
    return kExitOk;
}

int RunRestore(Context& c, const std::string& file, const std::string& list, bool force) {
    BackupRun run(c, file, list);
    const auto& chosen = run.chosen;
    Device& device = run.device;
    auto& r = c.out.Result();
    // First every section is checked against the device; nothing is written
    // unless all of them fit.
    std::vector<std::string> refusals;
    for (const BackupSection* s : chosen) {
        const SectionInfo info = device.Info(s->number);
        const Fit fit = FitOf(*s, info);
        if (fit == Fit::kLength) {
            refusals.push_back(Section(s->number) + ": the device says length " +
                               std::to_string(info.length) + ", the file " +
                               std::to_string(s->bytes.size()) + " (a length difference can never be written)");
        } else if (fit == Fit::kAddress) {
            const std::string text = Section(s->number) + ": the device says address " +
                                     Hex(info.address) + ", the file " + Hex(s->address);
            if (force) {
                c.out.Say(text + "; written anyway (--force)");
            } else {
                refusals.push_back(text + " (--force writes it anyway)");
            }
        }
    }
    if (!refusals.empty()) {
        for (const auto& line : refusals)
            c.out.Warn(line);
        r["refused"] = refusals;
        r["restored"] = json::array();
        throw CliError(kExitData, "restore refused, nothing was written: " +
                                      std::to_string(refusals.size()) + " of " +
                                      std::to_string(chosen.size()) + " sections do not fit the device in " + file);
    }
    std::vector<int> restored, pending;
    for (const BackupSection* s : chosen)
        pending.push_back(s->number);
    size_t bytes = 0;
    for (const BackupSection* s : chosen) {
        c.out.Progress("restore: section", restored.size() + 1, chosen.size(), bytes);
        try {
            SectionInfo info{};
            device.Write(s->number, s->bytes, &info);
            VerifyWritten(c, device, s->number, info, s->bytes);
        } catch (const CliError& e) {
            r["restored"] = restored;
            r["not_restored"] = pending;
            r["failed_section"] = s->number;
            c.out.Data("restored: " + FormatSectionList(restored) + "\nnot restored: " +
                       FormatSectionList(pending) + "\n");
            throw CliError(e.Code(), std::string(e.what()) + "; restored " +
                                         FormatSectionList(restored) + ", not restored " +
                                         FormatSectionList(pending));
        }
        bytes += s->bytes.size();
        restored.push_back(s->number);
        pending.erase(pending.begin());
    }
    r["restored"] = restored;
    r["not_restored"] = json::array();
    c.out.Data("restored: " + FormatSectionList(restored) + "\nnot restored: none\n");
    return kExitOk;
}

int RunTat(Context& c, double timeoutSeconds) {
    Device device(c.port, c.ticks);
    OpenDevice(c, device);
    c.out.Say(kStatusIgnition);
    const auto start = std::chrono::steady_clock::now();
    device.WaitForHandshake(static_cast<uint32_t>(timeoutSeconds * 1000));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    c.out.Result()["handshake"] = true;
    c.out.Result()["seconds"] = seconds;
    c.out.Say("ignition handshake complete");
    return kExitOk;
}

namespace {
bool EndsTheLoop(int code) {
    return code == kExitInterrupted || code == kExitPortLost || code == kExitPortAbsent ||
           code == kExitPortBusy || code == kExitPortDenied || code == kExitPortUnusable;
}
}  // namespace

int RunLoop(Context& c, int section, const std::string& file, const std::string& format,
            int count, const std::string& logFile, bool stopOnFail) {
    const Bytes data = ParseData(ReadFileOrThrow(file), IsBinary(format));
    std::FILE* log = nullptr;
    if (!logFile.empty()) {
        log = std::fopen(logFile.c_str(), "a");
        if (!log) throw CliError(kExitFile, "cannot write " + logFile + ": " + std::strerror(errno));
    }
    struct Closer {
        std::FILE* f;
        ~Closer() {
            if (f) std::fclose(f);
        }
    } closeLog{log};
    Device device(c.port, c.ticks);
    OpenDevice(c, device);
    auto& r = c.out.Result();
    r["section"] = section;
    int passes = 0, fails = 0, exitCode = kExitOk;
    bool interrupted = false;
    std::string lastError;
    for (int board = 1; count == 0 || board <= count; ++board) {
        c.out.Say("board " + std::to_string(board) + ": " + kStatusIgnition);
        bool started = false;
        auto start = std::chrono::steady_clock::now();
        json line = {{"board", board}, {"section", section}};
        try {
            device.WaitForHandshake(0);
            started = true;
            start = std::chrono::steady_clock::now();
            device.Pause(kLoopPauseMs);
            SectionInfo info{};
            device.Write(section, data, &info);
            VerifyWritten(c, device, section, info, data);
            ++passes;
            line["pass"] = true;
            line["result"] = "ok";
        } catch (const CliError& e) {
            if (!started && e.Code() == kExitInterrupted) {
                interrupted = true;  // the usual end of an endless loop
                break;
            }
            if (!started) throw;  // no board was being programmed
            ++fails;
            exitCode = e.Code();
            lastError = e.what();
            line["pass"] = false;
            line["result"] = ExitCodeName(e.Code());
            line["reason"] = e.what();
            if (EndsTheLoop(e.Code())) stopOnFail = true;
        }
        line["time"] = UtcNow();
        line["duration_s"] =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (log) {
            std::fprintf(log, "%s\n", line.dump().c_str());
            std::fflush(log);
        }
        c.out.Say("board " + std::to_string(board) + ": " +
                  (line["pass"].get<bool>() ? "PASS" : "FAIL (" + lastError + ")") + "; passed " +
                  std::to_string(passes) + ", failed " + std::to_string(fails));
        r["passes"] = passes;
        r["fails"] = fails;
        if (!line["pass"].get<bool>() && stopOnFail) break;
    }
    r["passes"] = passes;
    r["fails"] = fails;
    c.out.Data("passed " + std::to_string(passes) + ", failed " + std::to_string(fails) + "\n");
    if (interrupted)
        throw CliError(kExitInterrupted, "loop interrupted while waiting for ignition; passed " +
                                             std::to_string(passes) + ", failed " +
                                             std::to_string(fails));
    if (exitCode != kExitOk) throw CliError(exitCode, "loop: " + std::to_string(fails) + " of " +
                                                          std::to_string(passes + fails) +
                                                          " boards failed; last: " + lastError);
    return kExitOk;
}

namespace {
// Where a COM name's device comes from: the variable, the map or the default.
json ComEntry(Context& c, const std::string& name, const PortMap& map) {
    std::string source = "default";
    const char* variable = std::getenv(("QMB_" + name).c_str());
    if (name.size() == 4 && variable && *variable) {
        source = "QMB_" + name;
    } else if (map.count(name)) {
        source = "port map";
    }
    return {{"name", name}, {"device", c.port.DevicePath(name.c_str())}, {"source", source}};
}
}  // namespace

int RunPorts(Context& c, const std::vector<std::string>& mapArgs, const std::string& unmap) {
    const std::string mapPath = PortMapPath();
    PortMap map;
    std::string error;
    if (!LoadPortMap(mapPath, map, &error)) throw CliError(kExitFile, "bad port map " + error);
    auto& r = c.out.Result();
    r["map_file"] = mapPath;
    if (!mapArgs.empty() || !unmap.empty()) {
        const std::string name = unmap.empty() ? mapArgs.at(0) : unmap;
        if (!IsComName(name))
            throw CliError(kExitUsage, "\"" + name + "\" is no port name: expected COM1 to COM255");
        if (unmap.empty()) {
            map[name] = mapArgs.at(1);
        } else {
            map.erase(name);
        }
        if (!SavePortMap(mapPath, map, &error)) throw CliError(kExitFile, "cannot write " + error);
        c.out.Say(name + (unmap.empty() ? " now opens " + mapArgs.at(1) : " is no longer mapped") +
                  " (" + mapPath + ")");
    }
    json coms = json::array();
    std::vector<std::string> names = {"COM1", "COM2", "COM3", "COM4"};
    for (const auto& entry : map) {
        if (std::find(names.begin(), names.end(), entry.first) == names.end())
            names.push_back(entry.first);
    }
    std::string text;
    for (const auto& name : names) {
        json e = ComEntry(c, name, map);
        text += name + std::string(7 - std::min<size_t>(6, name.size()), ' ') +
                e["device"].get<std::string>() + "  (" + e["source"].get<std::string>() + ")\n";
        coms.push_back(e);
    }
    json ports = json::array();
    for (const SystemPort& p : ListSystemPorts()) {
        ports.push_back({{"path", p.path},
                         {"by_id", p.byId},
                         {"kind", p.kind},
                         {"vendor_id", p.vendorId},
                         {"product_id", p.productId},
                         {"description", p.description}});
        text += p.path + "  " + p.kind;
        if (!p.vendorId.empty()) text += " " + p.vendorId + ":" + p.productId;
        if (!p.description.empty()) text += "  " + p.description;
        if (!p.byId.empty()) text += "  " + p.byId;
        text += "\n";
    }
    r["com"] = coms;
    r["ports"] = ports;
    c.out.Data(text);
    return kExitOk;
}

}  // namespace qmb::cli
