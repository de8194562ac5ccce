// backup FILE: every section that is not absent, into a file written whole.
#include <filesystem>

#include "cli/Commands.h"
#include "qmb/Version.h"

namespace qmb::cli {

namespace {
struct BackupOptions {
    std::string file, sections;
    bool force = false;
};

int RunBackup(Context& c, const BackupOptions& o) {
    std::vector<int> numbers;
    std::string error;
    if (!ParseSectionList(o.sections.empty() ? "1-255" : o.sections, numbers, &error))
        throw CliError(kExitUsage, error);
    std::error_code ec;
    if (!o.force && std::filesystem::exists(o.file, ec))
        throw CliError(kExitFile, o.file + " exists; a backup is never replaced unless --force "
                                           "is given");
    CheckWritable(o.file);
    auto device = OpenDevice(c);
    Backup backup;
    backup.tool = std::string("qmb-cli ") + QMB_VERSION;
    backup.time = UtcNow();
    backup.port = device->PortPath();
    backup.absentKnown = true;
    std::vector<int> saved;
    size_t bytes = 0;
    for (size_t i = 0; i < numbers.size(); ++i) {
        const int n = numbers[i];
        c.out->Progress("backup: section", i + 1, numbers.size(), bytes);
        const SectionInfo info = device->Info(n);
        if (info.length == 0) {
            backup.absent.push_back(n);
            continue;
        }
        BackupSection s;
        s.number = n;
        std::copy(info.address, info.address + 3, s.address);
        s.bytes = device->ReadMemory(n, info);
        bytes += s.bytes.size();
        backup.sections.push_back(std::move(s));
        saved.push_back(n);
    }
    device->Close();
    WriteFileOrThrow(o.file, FormatBackup(backup));
    auto& r = c.out->Result();
    r["file"] = o.file;
    r["sections"] = saved;
    r["absent"] = backup.absent;
    r["bytes"] = bytes;
    c.out->Say("backup: " + Count(saved.size(), "section") + " (" + FormatSectionList(saved) +
               "), " + Count(bytes, "byte") + ", to " + o.file + "; " +
               std::to_string(backup.absent.size()) + " absent");
    return kExitOk;
}
}  // namespace

void AddBackupCommand(CLI::App& app, Context& c) {
    auto o = std::make_shared<BackupOptions>();
    auto* backup = app.add_subcommand(
        "backup", "save every section that is not empty (length 0 is absent) to FILE");
    backup->add_option("FILE", o->file, "the backup file, written whole or not at all")
        ->required();
    backup->add_option("--sections", o->sections,
                       "only these sections, e.g. 1-4,11 (default 1-255)");
    backup->add_flag("--force", o->force, "replace FILE when it exists");
    WhenChosen(backup, c, o, RunBackup);
}

}  // namespace qmb::cli
