// diff A B and patch FILE: the patch file (device/Patch.h) between two
// devices' contents, and onto the device, through the service bench's model
// (device/Bench.h) as the qmb-device window uses it.
#include "cli/Commands.h"
#include "device/Bench.h"

namespace qmb::cli {

using device::Failure;
using device::Patch;
using device::Snapshot;
using nlohmann::json;

namespace {

const char kDeviceWord[] = "device";

// The whole device on --port, read as qmb-device reads it; its failure as
// the command's.
Snapshot ReadDevice(Context& c) {
    auto device = OpenDevice(c);
    device::ReadResult read = device::ReadAll(*device, [&](const device::ReadProgress& p) {
        if (p.section)
            c.out->Progress("diff: reading section", static_cast<size_t>(p.done) + 1,
                            static_cast<size_t>(p.total), 0);
    });
    device->Close();
    if (read.failure.Failed())
        throw DeviceFault(read.failure.fault, read.failure.section, read.failure.message);
    return std::move(read.snapshot);
}

Snapshot LoadSide(const std::string& path) {
    std::string error;
    // A file that cannot be read is a file fault; one that reads but is not
    // a backup, a data fault.
    const std::string text = ReadFileOrThrow(path);
    Backup backup;
    if (!ParseBackup(text, backup, &error)) throw CliError(kExitData, path + ": " + error);
    return Snapshot::FromBackup(backup);
}

struct DiffOptions {
    std::string from, to;
};

int RunDiff(Context& c, const DiffOptions& o) {
    if (o.from == kDeviceWord && o.to == kDeviceWord)
        throw CliError(kExitUsage, "diff: at most one side can be the device");
    // Files first: a bad file is refused before the device is touched.
    Snapshot from = o.from == kDeviceWord ? Snapshot{} : LoadSide(o.from);
    Snapshot to = o.to == kDeviceWord ? Snapshot{} : LoadSide(o.to);
    if (o.from == kDeviceWord) from = ReadDevice(c);
    if (o.to == kDeviceWord) to = ReadDevice(c);
    std::vector<int> inexpressible;
    const Patch patch = device::DiffSnapshots(from, to, &inexpressible);
    size_t bytes = 0;
    for (const auto& change : patch.changes)
        bytes += change.newBytes.size();
    const std::vector<int> sections = device::PatchSections(patch);
    c.out->Data(device::FormatPatch(patch));
    auto& r = c.out->Result();
    r["patch"] = device::FormatPatch(patch);
    r["sections"] = sections;
    r["bytes"] = bytes;
    r["not_in_patch"] = inexpressible;
    for (const auto& note : patch.notes)
        c.out->Warn(note);
    if (!inexpressible.empty())
        throw CliError(kExitData, "diff: " + Count(inexpressible.size(), "section") +
                                      " (" + FormatSectionList(inexpressible) +
                                      ") differ in length, address or presence, which a patch "
                                      "cannot hold");
    c.out->Say("diff: " + Count(bytes, "byte") + " in " + Count(sections.size(), "section") +
               (sections.empty() ? "" : " (" + FormatSectionList(sections) + ")"));
    return kExitOk;
}

struct PatchOptions {
    std::string file;
    bool dryRun = false;
};

Patch LoadPatch(const std::string& path) {
    Patch patch;
    std::string error;
    if (!device::ParsePatch(ReadFileOrThrow(path), patch, &error))
        throw CliError(kExitData, path + ": " + error);
    return patch;
}

// The sections the patch touches, as the device holds them now (an absent
// one recorded absent).
Snapshot ReadPatched(Context& c, Device& device, const std::vector<int>& sections) {
    Snapshot holds;
    size_t bytes = 0;
    for (size_t i = 0; i < sections.size(); ++i) {
        const int n = sections[i];
        c.out->Progress("patch: checking section", i + 1, sections.size(), bytes);
        const SectionInfo info = device.Info(n);
        if (info.length == 0) {
            holds.SetAbsent(n);
            continue;
        }
        holds.SetPresent(n, info.address, device.ReadMemory(n, info));
        bytes += info.length;
    }
    return holds;
}

// What a write did, on stdout and in the result; throws its failure.
void ReportWrite(Context& c, const device::WriteResult& w) {
    std::vector<int> written, uncertain;
    for (const auto& s : w.written)
        written.push_back(s.section);
    if (w.uncertain) uncertain.push_back(w.failure.section);
    auto& r = c.out->Result();
    r["written"] = written;
    r["uncertain"] = uncertain;
    r["not_written"] = w.notWritten;
    std::string lines;
    for (const auto& m : w.mismatches)
        lines += m + "\n";
    lines += "written: " + FormatSectionList(written) + "\n";
    if (!uncertain.empty())
        lines += "uncertain (the device may or may not hold the new bytes): " +
                 FormatSectionList(uncertain) + "\n";
    c.out->Data(lines + "not written: " + FormatSectionList(w.notWritten) + "\n");
    if (!w.failure.Failed()) return;
    r["failed_section"] = w.failure.section;
    throw CliError(ExitCodeOf(w.failure.fault),
                   w.failure.message + "; written " + FormatSectionList(written) +
                       (uncertain.empty() ? "" : ", uncertain " + FormatSectionList(uncertain)) +
                       ", not written " + FormatSectionList(w.notWritten));
}

int RunPatch(Context& c, const PatchOptions& o) {
    const Patch patch = LoadPatch(o.file);
    const std::vector<int> sections = device::PatchSections(patch);
    auto device = OpenDevice(c);
    auto& r = c.out->Result();
    r["file"] = o.file;
    const Snapshot holds = ReadPatched(c, *device, sections);
    const auto mismatches = device::CheckPatch(patch, holds);
    if (!mismatches.empty()) {
        std::string lines;
        r["mismatches"] = json::array();
        for (const auto& m : mismatches) {
            lines += m.text + "\n";
            r["mismatches"].push_back({{"section", m.section}, {"offset", m.offset}, {"problem", m.text}});
        }
        c.out->Data(lines);
        throw CliError(kExitMismatch, "patch refused, nothing was written: " +
                                          Count(mismatches.size(), "place") +
                                          " on the device differ from the patch's old bytes");
    }
    device::WriteJob job;
    job.plan = device::PlanWrites(holds, device::ApplyPatch(patch, holds));
    job.before = holds;
    job.checkDevice = false;  // just read and checked above
    job.port = device->PortPath();
    std::vector<int> planned;
    for (const auto& s : job.plan)
        planned.push_back(s.section);
    r["planned"] = planned;
    if (o.dryRun) {
        c.out->Data("would write: " + FormatSectionList(planned) + "\n");
        c.out->Say("patch: the device holds every old byte; nothing written (--dry-run)");
        return kExitOk;
    }
    const device::WriteResult w =
        device::WriteSections(*device, job, [&](const device::WriteProgress& p) {
            if (p.section) c.out->Progress("patch: section", p.done + 1, p.total, 0);
        });
    ReportWrite(c, w);
    c.out->Say("patch: " + Count(planned.size(), "section") + " written, committed and verified" +
               (planned.empty() ? " (the device already held the new bytes)" : ""));
    return kExitOk;
}

}  // namespace

void AddDiffCommand(CLI::App& app, Context& c) {
    auto o = std::make_shared<DiffOptions>();
    auto* diff = app.add_subcommand(
        "diff", "print the patch that turns A into B (backup files, or \"device\" for the "
                "device on --port)");
    diff->add_option("A", o->from, "a backup file or \"device\"")->required();
    diff->add_option("B", o->to, "a backup file or \"device\"")->required();
    WhenChosen(diff, c, o, RunDiff);
}

void AddPatchCommand(CLI::App& app, Context& c) {
    auto o = std::make_shared<PatchOptions>();
    auto* patch = app.add_subcommand(
        "patch", "check every old byte of FILE on the device, then write, commit and verify "
                 "only the sections that change; nothing is written unless all match");
    patch->add_option("FILE", o->file, "a patch file (qmb-cli diff writes one)")->required();
    patch->add_flag("--dry-run", o->dryRun, "check the old bytes and print the plan; write nothing");
    WhenChosen(patch, c, o, RunPatch);
}

}  // namespace qmb::cli
