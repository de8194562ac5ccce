// restore FILE and verify FILE: a backup against the device, section by
// section, after the file and the chosen sections have been checked.
#include <algorithm>
#include <sstream>

#include "cli/Commands.h"

namespace qmb::cli {

using nlohmann::json;

namespace {

Backup LoadBackup(const std::string& path) {
    Backup backup;
    std::string error;
    if (!ParseBackup(ReadFileOrThrow(path), backup, &error))
        throw CliError(kExitData, path + ": " + error);
    return backup;
}

// The file's sections that --sections chooses: a range takes those of the
// file within it (and those the file records as absent); a single number
// must be one of them. Without a list, all of them.
struct Chosen {
    std::vector<const BackupSection*> present;
    std::vector<int> absent;  // recorded absent when the backup was made
};

Chosen Choose(const Backup& backup, const std::string& list, const std::string& path) {
    Chosen chosen;
    std::vector<int> all;
    std::string error;
    if (!list.empty() && !ParseSectionList(list, all, &error)) throw CliError(kExitUsage, error);
    std::vector<int> missing;
    std::istringstream items(list);
    for (std::string item; std::getline(items, item, ',');) {
        int n = 0;
        if (ParseDecimal(item, 1, 255, n) && !backup.Find(n) && !backup.WasAbsent(n))
            missing.push_back(n);
    }
    if (!missing.empty())
        throw CliError(kExitUsage, path + " holds no section " +
                                       FormatSectionList(missing));
    auto wanted = [&](int n) {
        return list.empty() || std::binary_search(all.begin(), all.end(), n);
    };
    for (const auto& s : backup.sections) {
        if (wanted(s.number)) chosen.present.push_back(&s);
    }
    for (int n : backup.absent) {
        if (wanted(n)) chosen.absent.push_back(n);
    }
    return chosen;
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
        : backup(LoadBackup(file)), chosen(Choose(backup, list, file)), device(OpenDevice(c)) {
        c.out->Result()["file"] = file;
    }
    const Backup backup;
    const Chosen chosen;
    std::unique_ptr<Device> device;
};

struct BackupOptions {
    std::string file, sections;
    bool force = false;
};

// The layout difference of a section, or "" when it fits (a length of 0 on
// the device is an absent section).
std::string LayoutProblem(const BackupSection& s, const SectionInfo& info, Fit fit) {
    if (fit == Fit::kLength && info.length == 0)
        return Section(s.number) + ": present in the file (length " +
               std::to_string(s.bytes.size()) + "), absent on the device";
    if (fit == Fit::kLength)
        return Section(s.number) + " length: expected " + std::to_string(s.bytes.size()) +
               ", device " + std::to_string(info.length);
    if (fit == Fit::kAddress)
        return Section(s.number) + " address: expected " + Hex(s.address) + ", device " +
               Hex(info.address);
    return "";
}

int RunVerify(Context& c, const BackupOptions& o) {
    BackupRun run(c, o.file, o.sections);
    const auto& chosen = run.chosen;
    Device& device = *run.device;
    auto& r = c.out->Result();
    r["differences"] = json::array();
    std::vector<int> differing;
    const size_t total = chosen.present.size() + chosen.absent.size();
    size_t done = 0, bytes = 0;
    auto layout = [&](int n, const std::string& problem) {
        c.out->Data(problem + "\n");
        r["differences"].push_back({{"section", n}, {"problem", problem}});
        differing.push_back(n);
    };
    for (const BackupSection* s : chosen.present) {
        c.out->Progress("verify: section", ++done, total, bytes);
        const SectionInfo info = device.Info(s->number);
        const std::string problem = LayoutProblem(*s, info, FitOf(*s, info));
        if (!problem.empty()) {
            layout(s->number, problem);
            continue;
        }
        const auto diffs = CompareBytes(s->bytes, device.ReadMemory(s->number, info));
        bytes += s->bytes.size();
        if (diffs.empty()) continue;
        c.out->Data(DifferenceLines(s->number, diffs));
        for (auto& d : DifferencesJson(s->number, diffs))
            r["differences"].push_back(d);
        differing.push_back(s->number);
    }
    for (int n : chosen.absent) {
        c.out->Progress("verify: section", ++done, total, bytes);
        const SectionInfo info = device.Info(n);
        if (info.length != 0)
            layout(n, Section(n) + ": absent in the file, present on the device (length " +
                          std::to_string(info.length) + ")");
    }
    std::sort(differing.begin(), differing.end());
    r["sections_checked"] = total;
    r["sections_differing"] = differing;
    if (!differing.empty())
        throw CliError(kExitMismatch, "verify: " + std::to_string(differing.size()) + " of " +
                                          Count(total, "section") + " differ (" +
                                          FormatSectionList(differing) + ")");
    c.out->Say("verify: all " + Count(total, "section") + " match " + o.file);
    return kExitOk;
}

// Every chosen section checked against the device before anything is
// written; the refusals, or none.
std::vector<std::string> Refusals(Context& c, Device& device,
                                  const std::vector<const BackupSection*>& chosen, bool force) {
    std::vector<std::string> refusals;
    for (const BackupSection* s : chosen) {
        const SectionInfo info = device.Info(s->number);
        const Fit fit = FitOf(*s, info);
        if (fit == Fit::kLength) {
            refusals.push_back(Section(s->number) + ": the device says length " +
                               std::to_string(info.length) + ", the file " +
                               std::to_string(s->bytes.size()) +
                               " (a length difference can never be written)");
        } else if (fit == Fit::kAddress) {
            const std::string text = Section(s->number) + ": the device says address " +
                                     Hex(info.address) + ", the file " + Hex(s->address);
            if (force) {
                c.out->Say(text + "; written anyway (--force)");
            } else {
                refusals.push_back(text + " (--force writes it anyway)");
            }
        }
    }
    return refusals;
}

const char kUncertain[] = "uncertain (the device may or may not have stored it)";

int RunRestore(Context& c, const BackupOptions& o) {
    BackupRun run(c, o.file, o.sections);
    const auto& chosen = run.chosen.present;
    Device& device = *run.device;
    auto& r = c.out->Result();
    const std::vector<std::string> refusals = Refusals(c, device, chosen, o.force);
    if (!refusals.empty()) {
        for (const auto& line : refusals)
            c.out->Warn(line);
        r["refused"] = refusals;
        r["restored"] = json::array();
        throw CliError(kExitData, "restore refused, nothing was written: " +
                                      std::to_string(refusals.size()) + " of " +
                                      Count(chosen.size(), "section") +
                                      " do not fit the device in " + o.file);
    }
    std::vector<int> restored, pending;
    for (const BackupSection* s : chosen)
        pending.push_back(s->number);
    size_t bytes = 0;
    for (const BackupSection* s : chosen) {
        c.out->Progress("restore: section", restored.size() + 1, chosen.size(), bytes);
        // What was and was not restored, then the failure with both.
        auto fail = [&](int code, const std::string& what) {
            std::vector<int> uncertain;
            if (device.CommitUncertain()) {
                uncertain.push_back(s->number);
                pending.erase(pending.begin());
            }
            r["restored"] = restored;
            r["uncertain"] = uncertain;
            r["not_restored"] = pending;
            r["failed_section"] = s->number;
            std::string lines = "restored: " + FormatSectionList(restored) + "\n";
            if (!uncertain.empty())
                lines += std::string(kUncertain) + ": " + FormatSectionList(uncertain) + "\n";
            c.out->Data(lines + "not restored: " + FormatSectionList(pending) + "\n");
            throw CliError(code, what + "; restored " +
                                         FormatSectionList(restored) +
                                         (uncertain.empty() ? "" : ", " + std::string(kUncertain) +
                                                                       " " +
                                                                       FormatSectionList(uncertain)) +
                                         ", not restored " + FormatSectionList(pending));
        };
        try {
            SectionInfo info{};
            device.Write(s->number, s->bytes, &info);
            VerifyWritten(c, device, s->number, info, s->bytes);
        } catch (const DeviceFault& e) {
            fail(ExitCodeOf(e.Kind()), e.what());
        } catch (const CliError& e) {
            fail(e.Code(), e.what());
        }
        bytes += s->bytes.size();
        restored.push_back(s->number);
        pending.erase(pending.begin());
    }
    r["restored"] = restored;
    r["uncertain"] = json::array();
    r["not_restored"] = json::array();
    c.out->Data("restored: " + FormatSectionList(restored) + "\nnot restored: none\n");
    return kExitOk;
}

void AddBackupFileOptions(CLI::App* command, BackupOptions& o, const char* sectionsHelp) {
    command->add_option("FILE", o.file, "a backup file")->required();
    command->add_option("--sections", o.sections, sectionsHelp);
}
}  // namespace

void AddRestoreCommand(CLI::App& app, Context& c) {
    auto o = std::make_shared<BackupOptions>();
    auto* restore = app.add_subcommand(
        "restore", "write FILE's sections back, each committed and verified; nothing is written "
                   "unless every section's length and address match the device");
    AddBackupFileOptions(restore, *o, "only these sections of the file, e.g. 1-4,11");
    restore->add_flag("--force", o->force, "write sections whose address differs (never a length)");
    WhenChosen(restore, c, o, RunRestore);
}

void AddVerifyCommand(CLI::App& app, Context& c) {
    auto o = std::make_shared<BackupOptions>();
    auto* verify = app.add_subcommand("verify", "compare the device with FILE, byte by byte");
    AddBackupFileOptions(verify, *o, "only these sections of the file");
    WhenChosen(verify, c, o, RunVerify);
}

}  // namespace qmb::cli
