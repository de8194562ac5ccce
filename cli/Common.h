// What qmb-cli's commands share: the context they run in, the section and
// data arguments, local files, the hex forms, and the read-back compare.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/BackupFile.h"
#include "device/Device.h"
#include "cli/ExitCodes.h"
#include "cli/Output.h"
#include "link/Port.h"
#include "production/Recipe.h"
#include "protocol/TraceFile.h"
#include "store/RecordStore.h"

namespace qmb::cli {

// The device library's names, as every command uses them.
using device::Backup;
using device::BackupSection;
using device::ByteDifference;
using device::Bytes;
using device::CompareBytes;
using device::Device;
using device::DeviceFault;
using device::FormatBackup;
using device::FormatSectionList;
using device::ParseBackup;
using device::ParseDecimal;
using device::ParseSectionList;

// The global options, which may stand before or after the command.
struct GlobalOptions {
    std::string port = "COM1";
    std::string trace;
    bool json = false;
    bool quiet = false;
};

// What a command runs with. main builds it after parsing; the command's
// callback leaves its work in `run`, which main calls once.
struct Context {
    GlobalOptions global;
    Output* out = nullptr;
    TraceFile* trace = nullptr;      // --trace, or nullptr
    TickCounter* ticks = nullptr;    // stateless: shared by every port's thread
    std::function<std::unique_ptr<Port>()> makePort;
    std::function<int()> run;        // the chosen command
};

// The section number of the command line: decimal 1 to 255, else a usage
// error with "Wrong section ID. Must be 1..255".
int ParseSectionArgument(const std::string& text);

// "--format hex|bin" with its help text, on any command that reads or writes
// section data.
void AddFormatOption(CLI::App* command, std::string& format, const std::string& what);
bool IsBinary(const std::string& format);

// Section data from hex text (the window's parse and messages, either case)
// or raw bytes (device::ParseSectionData). Checked before the device is
// touched; throws data.
Bytes ParseData(const std::string& text, bool binary);
// The window's text form of the bytes, with this platform's line ends.
std::string HexText(const Bytes& bytes);
std::string Hex(const uint8_t address[3]);
std::string Section(int n);
// "1 section", "2 sections".
std::string Count(size_t n, const char* noun);

std::string ReadFileOrThrow(const std::string& path);
void WriteFileOrThrow(const std::string& path, const std::string& bytes);
// Fails early when path cannot be written, before the device is touched.
void CheckWritable(const std::string& path);

// Now in UTC to the second ("2026-12-09T10:15:00Z"), or SOURCE_DATE_EPOCH's
// time where that is set (reproducible files). Any thread.
std::string UtcNow();

// A device of its own for a command, open on --port, its frames traced.
std::unique_ptr<Device> OpenDevice(Context& c, const std::string& portName);
std::unique_ptr<Device> OpenDevice(Context& c);

// Reads back what was just written and compares. Throws mismatch, after
// putting the differences on stdout (or into the result).
void VerifyWritten(Context& c, Device& device, int section, const SectionInfo& info,
                   const Bytes& expected);
// The differences as lines and as JSON objects.
std::string DifferenceLines(int section, const std::vector<ByteDifference>& diffs);
nlohmann::json DifferencesJson(int section, const std::vector<ByteDifference>& diffs);

// The recipe at path, read and checked; throws CliError (a file that cannot
// be read: kExitFile; anything wrong in it: kExitData).
production::LoadedRecipe LoadRecipeOrThrow(const std::string& path);

// --db's default: the user's SQLite file.
std::string DefaultDbUrl();
// The store a --db URL names (production::OpenProductionStore); its failures
// as the tool's (ThrowStoreError).
std::unique_ptr<store::RecordStore> OpenLoopStore(const std::string& url);
// A store's failure as the tool's: usage for a bad URL, else "store".
[[noreturn]] void ThrowStoreError(const store::StoreError& e);

}  // namespace qmb::cli
