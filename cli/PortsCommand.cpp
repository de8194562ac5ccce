// ports: the serial ports the system knows, and where COM1.. lead; --map and
// --unmap change the per-user port map.
#include <algorithm>

#include "cli/Commands.h"
#include "platform/System.h"
#include "link/PortMap.h"

namespace qmb::cli {

using nlohmann::json;

namespace {
struct PortsOptions {
    std::vector<std::string> map;  // COMn DEVICE
    std::string unmap;
};

// Rows of cells as columns two spaces apart, the first row a header.
std::string Columns(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        text += line + "\n";
    }
    return text;
}

const char* SourceName(const PortMapping& m) {
    switch (m.source) {
        case MappingSource::kVariable:
            return "variable";
        case MappingSource::kPortMap:
            return "port map";
        case MappingSource::kNone:
            break;
    }
    return "default";
}

void ChangeMap(Context& c, const PortsOptions& o, PortMap& map, const std::string& mapPath) {
    const std::string name = o.unmap.empty() ? o.map.at(0) : o.unmap;
    if (!IsComName(name))
        throw CliError(kExitUsage, "\"" + name + "\" is no port name: expected COM1 to COM255");
    const std::string problem = o.unmap.empty() ? PortMapEntryProblem(name, o.map.at(1)) : "";
    if (!problem.empty()) throw CliError(kExitUsage, "--map " + problem);
    if (o.unmap.empty()) {
        map[name] = o.map.at(1);
    } else {
        map.erase(name);
    }
    std::string error;
    if (!SavePortMap(mapPath, map, &error)) throw CliError(kExitFile, "cannot write " + error);
    c.out->Say(name + (o.unmap.empty() ? " now opens " + o.map.at(1) : " is no longer mapped") +
               " (" + mapPath + ")");
}

int RunPorts(Context& c, const PortsOptions& o) {
    const std::string mapPath = PortMapPath();
    PortMap map;
    std::string error;
    if (!LoadPortMap(mapPath, map, &error)) throw CliError(kExitFile, "bad port map " + error);
    auto& r = c.out->Result();
    r["map_file"] = mapPath;
    if (!o.map.empty() || !o.unmap.empty()) ChangeMap(c, o, map, mapPath);

    std::vector<std::string> names = {"COM1", "COM2", "COM3", "COM4"};
    for (const auto& entry : map) {
        if (std::find(names.begin(), names.end(), entry.first) == names.end())
            names.push_back(entry.first);
    }
    const std::unique_ptr<Port> port = c.makePort();
    json coms = json::array();
    std::vector<std::vector<std::string>> comRows = {{"NAME", "OPENS", "FROM"}};
    for (const auto& name : names) {
        const PortMapping m = MapComName(name, &map);
        const std::string device = port->DevicePath(name.c_str());
        const std::string source = m.source == MappingSource::kVariable ? m.variable : SourceName(m);
        coms.push_back({{"name", name}, {"device", device}, {"source", source}});
        comRows.push_back({name, device, source});
    }

    json ports = json::array();
    std::vector<std::vector<std::string>> portRows = {
        {"DEVICE", "KIND", "USB ID", "DESCRIPTION", "BY-PATH", "BY-ID"}};
    for (const platform::SystemPort& p : platform::ListSystemPorts()) {
        ports.push_back({{"path", p.path},
                         {"by_id", p.byId},
                         {"by_path", p.byPath},
                         {"kind", p.kind},
                         {"vendor_id", p.vendorId},
                         {"product_id", p.productId},
                         {"description", p.description}});
        const std::string usb = p.vendorId.empty() ? "-" : p.vendorId + ":" + p.productId;
        portRows.push_back({p.path, p.kind.empty() ? "-" : p.kind, usb,
                            p.description.empty() ? "-" : p.description,
                            p.byPath.empty() ? "-" : p.byPath, p.byId.empty() ? "-" : p.byId});
    }
    r["com"] = coms;
    r["ports"] = ports;
    std::string text = Columns(comRows) + "\n";
    text += portRows.size() > 1 ? Columns(portRows) : "no serial ports found\n";
    c.out->Data(text);
    return kExitOk;
}
}  // namespace

void AddPortsCommand(CLI::App& app, Context& c) {
    auto o = std::make_shared<PortsOptions>();
    auto* ports = app.add_subcommand("ports", "list the serial ports and where COM1.. lead");
    ports->add_option("--map", o->map, "make COMn open DEVICE, for the windows too")
        ->expected(2)
        ->option_text("COMn DEVICE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    ports->add_option("--unmap", o->unmap, "forget COMn's mapping")->type_name("COMn");
    WhenChosen(ports, c, o, RunPorts);
}

}  // namespace qmb::cli
