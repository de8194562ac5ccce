// read N and write N: one section, as the window's Read and Write do it.
#include "cli/Commands.h"
#include "platform/System.h"

namespace qmb::cli {

namespace {
struct ReadOptions {
    std::string section, output, format = "hex";
};

int RunRead(Context& c, const ReadOptions& o) {
    const int section = ParseSectionArgument(o.section);
    if (!o.output.empty()) CheckWritable(o.output);
    auto device = OpenDevice(c);
    SectionInfo info{};
    const Bytes bytes = device->Read(section, &info);
    device->Close();
    const bool binary = IsBinary(o.format);
    const std::string data = binary ? std::string(bytes.begin(), bytes.end()) : HexText(bytes);
    auto& r = c.out->Result();
    r["section"] = section;
    r["address"] = Hex(info.address);
    r["length"] = info.length;
    r["hex"] = HexPairs(bytes.data(), bytes.size());
    if (!o.output.empty()) {
        WriteFileOrThrow(o.output, data);
        r["file"] = o.output;
        c.out->Say(Section(section) + ": " + Count(bytes.size(), "byte") + " written to " +
                   o.output);
    } else {
        if (binary) platform::SetStdoutBinary();
        c.out->Data(data);
    }
    return kExitOk;
}

struct WriteOptions {
    std::string section, file, hex, format = "hex";
    bool hexGiven = false;
    bool noVerify = false;
};

int RunWrite(Context& c, const WriteOptions& o) {
    const int section = ParseSectionArgument(o.section);
    if (o.file.empty() && !o.hexGiven) throw CliError(kExitUsage, "write needs FILE or --hex");
    const Bytes bytes = o.file.empty() ? ParseData(o.hex, false)
                                       : ParseData(ReadFileOrThrow(o.file), IsBinary(o.format));
    auto device = OpenDevice(c);
    SectionInfo info{};
    auto& r = c.out->Result();
    r["section"] = section;
    device->Write(section, bytes, &info);
    r["address"] = Hex(info.address);
    r["length"] = info.length;
    r["written"] = true;
    r["verified"] = false;
    if (!o.noVerify) {
        VerifyWritten(c, *device, section, info, bytes);
        r["verified"] = true;
    }
    c.out->Say(Section(section) + ": " + Count(bytes.size(), "byte") + " written and committed" +
               (o.noVerify ? "" : ", read back and identical"));
    return kExitOk;
}
}  // namespace

void AddReadCommand(CLI::App& app, Context& c) {
    auto o = std::make_shared<ReadOptions>();
    auto* read = app.add_subcommand("read", "read section N");
    read->add_option("N", o->section, "section number, 1 to 255")->required();
    read->add_option("-o,--output", o->output, "write to FILE instead of standard output");
    AddFormatOption(read, o->format, "hex: the window's hex text; bin: raw bytes");
    WhenChosen(read, c, o, RunRead);
}

void AddWriteCommand(CLI::App& app, Context& c) {
    auto o = std::make_shared<WriteOptions>();
    auto* write = app.add_subcommand(
        "write", "write section N from FILE or --hex, commit it, then read it back and compare");
    write->add_option("N", o->section, "section number, 1 to 255")->required();
    auto* file = write->add_option(
        "FILE", o->file, "hex text (as the window shows) or, with --format bin, raw bytes");
    auto* hex = write->add_option("--hex", o->hex, "the bytes as hex text, e.g. \"A0 A1 A2\"")
                    ->each([o](const std::string&) { o->hexGiven = true; });
    file->excludes(hex);
    AddFormatOption(write, o->format, "format of FILE: hex or bin");
    write->add_flag("--no-verify", o->noVerify, "do not read the section back");
    WhenChosen(write, c, o, RunWrite);
}

}  // namespace qmb::cli
