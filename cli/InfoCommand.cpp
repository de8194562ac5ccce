// info N: a section's address and length.
#include "cli/Commands.h"

namespace qmb::cli {

namespace {
struct InfoOptions {
    std::string section;
};

int RunInfo(Context& c, const InfoOptions& o) {
    const int section = ParseSectionArgument(o.section);
    auto device = OpenDevice(c);
    const SectionInfo info = device->Info(section);
    auto& r = c.out->Result();
    r["section"] = section;
    r["address"] = Hex(info.address);
    r["length"] = info.length;
    r["absent"] = info.length == 0;
    c.out->Data(Section(section) + " address " + Hex(info.address) + " length " +
                std::to_string(info.length) + (info.length == 0 ? " (absent)" : "") + "\n");
    return kExitOk;
}
}  // namespace

void AddInfoCommand(CLI::App& app, Context& c) {
    auto o = std::make_shared<InfoOptions>();
    auto* info = app.add_subcommand("info", "show the address and length of section N");
    info->add_option("N", o->section, "section number, 1 to 255")->required();
    WhenChosen(info, c, o, RunInfo);
}

}  // namespace qmb::cli
