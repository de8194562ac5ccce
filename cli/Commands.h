// qmb-cli's commands. Each runs on the main thread, fills the JSON result,
// writes its data and messages through Output, and returns 0 or throws a
// CliError whose code is the command's exit code.
#pragma once

#include <string>
#include <vector>

#include "cli/Output.h"
#include "link/Port.h"

namespace qmb::cli {

struct Context {
    Output& out;
    Port& port;
    TickCounter& ticks;
    std::string portName;  // --port
};

int RunPorts(Context& c, const std::vector<std::string>& map, const std::string& unmap);
int RunInfo(Context& c, int section);
int RunRead(Context& c, int section, const std::string& outFile, const std::string& format);
// Exactly one of file and hex is given.
int RunWrite(Context& c, int section, const std::string& file, const std::string& hex,
             const std::string& format, bool verify);
int RunBackup(Context& c, const std::string& file, const std::string& sections);
int RunRestore(Context& c, const std::string& file, const std::string& sections, bool force);
int RunVerify(Context& c, const std::string& file, const std::string& sections);
// timeoutSeconds 0: wait for ever.
int RunTat(Context& c, double timeoutSeconds);
// count 0: until interrupted.
int RunLoop(Context& c, int section, const std::string& file, const std::string& format,
            int count, const std::string& logFile, bool stopOnFail);

// The section number of the command line: decimal 1 to 255, else a usage
// error with "Wrong section ID. Must be 1..255".
int ParseSectionArgument(const std::string& text);

}  // namespace qmb::cli
