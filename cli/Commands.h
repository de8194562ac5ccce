// qmb-cli's commands, one file each (or one per closely related group). Each
// Add... function declares its command, its options (a struct of its own)
// and a callback that leaves the command's work in Context::run. The work
// runs on the main thread (the loop starts a thread per port), fills the
// JSON result, writes data and messages through Output, and returns 0 or
// throws a CliError whose code is the command's exit code.
#pragma once

#include <CLI/CLI.hpp>

#include "cli/Common.h"

namespace qmb::cli {

void AddPortsCommand(CLI::App& app, Context& c);
void AddInfoCommand(CLI::App& app, Context& c);
void AddReadCommand(CLI::App& app, Context& c);
void AddWriteCommand(CLI::App& app, Context& c);
void AddBackupCommand(CLI::App& app, Context& c);
void AddRestoreCommand(CLI::App& app, Context& c);
void AddVerifyCommand(CLI::App& app, Context& c);
void AddDiffCommand(CLI::App& app, Context& c);
void AddPatchCommand(CLI::App& app, Context& c);
void AddTatCommand(CLI::App& app, Context& c);
void AddLoopCommand(CLI::App& app, Context& c);
void AddRecordsCommand(CLI::App& app, Context& c);
void AddRecipeCommand(CLI::App& app, Context& c);
void AddSerialCommand(CLI::App& app, Context& c);

// Makes `work` the command's run when `command` is the one parsed.
template <typename Options, typename Work>
void WhenChosen(CLI::App* command, Context& c, std::shared_ptr<Options> options, Work work) {
    command->callback([&c, options, work] { c.run = [&c, options, work] { return work(c, *options); }; });
}

}  // namespace qmb::cli
