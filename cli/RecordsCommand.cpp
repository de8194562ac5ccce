// records: the boards the loop recorded, as a table, CSV or JSON; their
// figures (stats); moving them between stores (export, import); and sending
// a station's spool to the line's server (sync).
#include <fstream>
#include <iostream>
#include <sstream>

#include "production/BoardRecord.h"
#include "cli/Commands.h"
#include "store/RecordFormat.h"

namespace qmb::cli {

namespace {
struct FilterOptions {
    std::string since, until, station, result, dutId, slot, serial;
    int section = 0;
    int64_t limit = -1;
};

struct RecordsOptions {
    std::string db = DefaultDbUrl();
    std::string format = "table";
    FilterOptions filter;
    std::string file;    // export -o, import FILE
    std::string server;  // sync
};

void AddFilterOptions(CLI::App* command, FilterOptions& f, bool withLimit) {
    command->add_option("--since", f.since, "from this UTC time on (2026-12-09, 2026-12-09T08:00)")
        ->type_name("TIME");
    command->add_option("--until", f.until, "before this UTC time")->type_name("TIME");
    command->add_option("--station", f.station, "only this station");
    command->add_option("--slot", f.slot, "only this slot: its name (A, B, ...) or its 0-based number")
        ->type_name("NAME");
    command->add_option("--result", f.result, "pass, fail or none (no verdict)")
        ->check(CLI::IsMember({"pass", "fail", "none"}));
    command->add_option("--section", f.section, "only this section")->type_name("N");
    command->add_option("--dut-id", f.dutId, "only this DUT id")->type_name("HEX");
    command->add_option("--serial", f.serial, "only the board that carries this serial value")
        ->type_name("VALUE");
    if (withLimit) command->add_option("--limit", f.limit, "at most N, newest first")->type_name("N");
}

store::RecordFilter FilterOf(const FilterOptions& f) {
    store::RecordFilter filter;
    if (!f.since.empty()) filter.since = f.since;
    if (!f.until.empty()) filter.until = f.until;
    if (!f.station.empty()) filter.station = f.station;
    if (!f.slot.empty()) {
        // A number is the slot's index, as records before slot names had it.
        if (f.slot.find_first_not_of("0123456789") == std::string::npos && f.slot.size() < 9)
            filter.slot = std::stoi(f.slot);
        else
            filter.slot_name = f.slot;
    }
    if (!f.serial.empty()) filter.serial = f.serial;
    if (!f.result.empty()) filter.result = f.result;
    if (f.section > 0) filter.section = f.section;
    if (!f.dutId.empty()) filter.dut_id = f.dutId;
    if (f.limit >= 0) filter.limit = f.limit;
    const std::string why = store::CheckFilter(filter);
    if (!why.empty()) throw CliError(kExitUsage, why);
    return filter;
}

// The store itself, a server with no spool in front: one that does not
// answer is an error here, not an empty list.
std::unique_ptr<store::RecordStore> Open(const RecordsOptions& o) {
    std::unique_ptr<store::RecordStore> records = store::OpenRecordStore(o.db);
    if (!records) throw CliError(kExitUsage, "--db none holds no records");
    return records;
}

// The records a spool keeps aside because the server refused them: always
// shown (they need a person), and in the JSON result.
void ShowSetAside(Context& c, store::RecordStore& records) {
    const store::SetAsideSummary aside = records.SetAsideRecords(20);
    c.out->Result()["set_aside"] = store::SetAsideToJson(aside);
    const std::string text = store::FormatSetAside(aside);
    if (!text.empty()) c.out->Warn(text.substr(0, text.size() - 1));
}

int RunList(Context& c, const RecordsOptions& o) {
    const store::RecordFilter filter = FilterOf(o.filter);
    try {
        const auto records = Open(o);
        const std::vector<store::Record> list = records->List(filter);
        nlohmann::json all = nlohmann::json::array();
        for (const auto& r : list)
            all.push_back(store::ToJson(r));
        c.out->Result()["records"] = all;
        c.out->Result()["db"] = records->Describe();
        if (o.format == "csv") {
            c.out->Data(store::FormatRecordsCsv(list));
        } else if (o.format == "json") {
            c.out->Data(store::FormatRecordsJson(list));
        } else {
            c.out->Data(store::FormatRecordsTable(list));
        }
        c.out->Say(Count(list.size(), "record") + " in " + records->Describe());
        ShowSetAside(c, *records);
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
    return kExitOk;
}

int RunStats(Context& c, const RecordsOptions& o) {
    const store::RecordFilter filter = FilterOf(o.filter);
    try {
        const auto records = Open(o);
        const store::Stats stats = records->ComputeStats(filter);
        c.out->Result()["stats"] = store::StatsToJson(stats);
        c.out->Data(o.format == "json" ? store::StatsToJson(stats).dump(2) + "\n"
                                       : store::FormatStatsTable(stats));
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
    return kExitOk;
}

int RunExport(Context& c, const RecordsOptions& o) {
    const store::RecordFilter filter = FilterOf(o.filter);
    try {
        const auto records = Open(o);
        std::ostringstream lines;
        const int64_t n = store::ExportJsonLines(*records, filter, lines);
        if (o.file.empty() || o.file == "-") {
            c.out->Data(lines.str());
        } else {
            WriteFileOrThrow(o.file, lines.str());
        }
        c.out->Result()["exported"] = n;
        c.out->Say("exported " + Count(static_cast<size_t>(n), "record") +
                   (o.file.empty() ? "" : " to " + o.file));
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
    return kExitOk;
}

int RunImport(Context& c, const RecordsOptions& o) {
    std::istringstream in(o.file == "-" ? std::string(std::istreambuf_iterator<char>(std::cin), {})
                                        : ReadFileOrThrow(o.file));
    try {
        const auto records = Open(o);
        const store::ImportCounts n =
            store::ImportJsonLines(*records, in, o.file == "-" ? "stdin" : o.file);
        c.out->Result()["read"] = n.read;
        c.out->Result()["inserted"] = n.inserted;
        c.out->Result()["already_present"] = n.alreadyPresent;
        c.out->Say("imported " + Count(static_cast<size_t>(n.inserted), "record") + " into " +
                   records->Describe() + "; " + std::to_string(n.alreadyPresent) +
                   " already there");
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
    return kExitOk;
}

int RunSync(Context& c, const RecordsOptions& o) {
    if (o.server.rfind("postgresql://", 0) != 0 && o.server.rfind("postgres://", 0) != 0)
        throw CliError(kExitUsage, "records sync needs --db postgresql://... (the line's server)");
    try {
        const int64_t n = store::SyncSpool(o.db, o.server);
        c.out->Result()["sent"] = n;
        c.out->Say("sent " + Count(static_cast<size_t>(n), "record") + " to " +
                   store::RedactUrl(o.server));
        ShowSetAside(c, *store::OpenRecordStore(o.db));
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
    return kExitOk;
}

void AddDb(CLI::App* command, std::string& db) {
    command->add_option("--db", db, "the records: sqlite:PATH or postgresql://...")
        ->type_name("URL")
        ->capture_default_str();
}
}  // namespace

void AddRecordsCommand(CLI::App& app, Context& c) {
    auto o = std::make_shared<RecordsOptions>();
    auto* records = app.add_subcommand("records", "list the boards the loop recorded");
    records->require_subcommand(0, 1);
    AddDb(records, o->db);
    AddFilterOptions(records, o->filter, true);
    records->add_option("--format", o->format, "table, csv or json")
        ->check(CLI::IsMember({"table", "csv", "json"}))
        ->capture_default_str();
    // The listing, unless one of the record commands below was chosen (their
    // callbacks run before this one).
    records->callback([&c, o, records] {
        if (records->get_subcommands().empty()) c.run = [&c, o] { return RunList(c, *o); };
    });

    auto s = std::make_shared<RecordsOptions>();
    auto* stats = records->add_subcommand(
        "stats", "boards, passes, fails, yield and first-pass yield, in total and per slot, and "
                 "a Pareto of failure codes");
    AddDb(stats, s->db);
    AddFilterOptions(stats, s->filter, false);
    stats->add_option("--format", s->format, "table or json")
        ->check(CLI::IsMember({"table", "json"}))
        ->capture_default_str();
    WhenChosen(stats, c, s, RunStats);

    auto e = std::make_shared<RecordsOptions>();
    auto* exporting = records->add_subcommand("export", "the records as JSON lines");
    AddDb(exporting, e->db);
    AddFilterOptions(exporting, e->filter, false);
    exporting->add_option("-o,--output", e->file, "write to FILE instead of standard output");
    WhenChosen(exporting, c, e, RunExport);

    auto i = std::make_shared<RecordsOptions>();
    auto* importing = records->add_subcommand(
        "import", "add the records of a JSON-lines file (those already there are skipped)");
    AddDb(importing, i->db);
    importing->add_option("FILE", i->file, "JSON lines, as export writes them (- for stdin)")
        ->required();
    WhenChosen(importing, c, i, RunImport);

    auto y = std::make_shared<RecordsOptions>();
    auto* sync = records->add_subcommand(
        "sync", "send the records this station spooled while the line's server was away");
    sync->add_option("--db", y->server, "the line's server: postgresql://...")
        ->type_name("URL")
        ->required();
    sync->add_option("--from", y->db, "the spool: a station's SQLite file")
        ->type_name("URL")
        ->capture_default_str();
    WhenChosen(sync, c, y, RunSync);
}

}  // namespace qmb::cli
