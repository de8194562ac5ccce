// serial: the line's pools of serial numbers in the record store: make one
// from a range (create) or a file (import), show its level (show) and every
// value it gave out (ledger).
#include <iostream>

#include "cli/Commands.h"
#include "store/RecordFormat.h"

namespace qmb::cli {

namespace {

struct SerialOptions {
    std::string db = DefaultDbUrl();
    std::string pool;
    uint64_t first = 0, last = 0, step = 1;
    int64_t low = 0;
    std::string file;
    std::string format = "table";
};

std::unique_ptr<store::RecordStore> OpenPools(const SerialOptions& o) {
    std::unique_ptr<store::RecordStore> pools = store::OpenRecordStore(o.db);
    if (!pools) throw CliError(kExitUsage, "--db none holds no serial pools");
    return pools;
}

void CheckPool(const SerialOptions& o) {
    const std::string why = store::CheckPoolName(o.pool);
    if (!why.empty()) throw CliError(kExitUsage, why);
}

std::string LevelLine(const store::PoolLevel& l) {
    return "pool " + l.pool + ": " + std::to_string(l.free) + " free, " +
           std::to_string(l.reserved) + " reserved, " + std::to_string(l.used) + " used, " +
           std::to_string(l.voided) + " void; low-water mark " + std::to_string(l.lowWater) +
           (l.Low() ? " (below it: add values)" : "");
}

int RunCreate(Context& c, const SerialOptions& o) {
    CheckPool(o);
    const std::string why = store::CheckPoolRange(o.first, o.last, o.step);
    if (!why.empty()) throw CliError(kExitUsage, why);
    try {
        const auto pools = OpenPools(o);
        const int64_t n = pools->CreatePool(o.pool, o.first, o.last, o.step, o.low);
        c.out->Result()["pool"] = o.pool;
        c.out->Result()["values"] = n;
        c.out->Say("made pool " + o.pool + " of " + Count(static_cast<size_t>(n), "value") + " in " +
                   pools->Describe());
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
    return kExitOk;
}

int RunImport(Context& c, const SerialOptions& o) {
    CheckPool(o);
    const std::string text = o.file == "-" ? std::string(std::istreambuf_iterator<char>(std::cin), {})
                                           : ReadFileOrThrow(o.file);
    std::vector<std::string> values;
    const std::string why = store::ParsePoolFile(text, values);
    if (!why.empty())
        throw CliError(kExitUsage, (o.file == "-" ? "stdin" : o.file) + ": " + why + " (nothing imported)");
    try {
        const auto pools = OpenPools(o);
        const int64_t n = pools->ImportPool(o.pool, values, o.low);
        c.out->Result()["pool"] = o.pool;
        c.out->Result()["added"] = n;
        c.out->Say("added " + Count(static_cast<size_t>(n), "value") + " to pool " + o.pool +
                   " in " + pools->Describe());
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
    return kExitOk;
}

int RunShow(Context& c, const SerialOptions& o) {
    try {
        const auto pools = OpenPools(o);
        std::vector<store::PoolLevel> levels;
        if (o.pool.empty()) {
            levels = pools->Pools();
        } else {
            CheckPool(o);
            levels.push_back(pools->ShowPool(o.pool));
        }
        nlohmann::json all = nlohmann::json::array();
        std::string lines;
        for (const auto& l : levels) {
            all.push_back(store::PoolLevelToJson(l));
            lines += LevelLine(l) + "\n";
            if (l.Low()) c.out->Warn("pool " + l.pool + " is below its low-water mark");
        }
        c.out->Result()["pools"] = all;
        c.out->Data(lines.empty() ? "no serial pools\n" : lines);
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
    return kExitOk;
}

int RunLedger(Context& c, const SerialOptions& o) {
    CheckPool(o);
    try {
        const auto pools = OpenPools(o);
        const std::vector<store::LedgerEntry> ledger = pools->Ledger(o.pool);
        c.out->Result()["ledger"] = store::LedgerToJson(ledger);
        if (o.format == "csv") {
            c.out->Data(store::FormatLedgerCsv(ledger));
        } else if (o.format == "json") {
            c.out->Data(store::LedgerToJson(ledger).dump(1) + "\n");
        } else {
            c.out->Data(store::FormatLedgerTable(ledger));
        }
        c.out->Say(Count(ledger.size(), "value") + " given out of pool " + o.pool);
    } catch (const store::StoreError& e) {
        ThrowStoreError(e);
    }
    return kExitOk;
}

CLI::App* Verb(CLI::App* serial, const char* name, const char* what,
               std::shared_ptr<SerialOptions>& o, bool poolRequired = true) {
    o = std::make_shared<SerialOptions>();
    auto* verb = serial->add_subcommand(name, what);
    verb->add_option("--db", o->db, "the records: sqlite:PATH or postgresql://...")
        ->type_name("URL")
        ->capture_default_str();
    auto* pool = verb->add_option("POOL", o->pool, "the pool's name (A-Z a-z 0-9 . _ -)");
    if (poolRequired) pool->required();
    return verb;
}

}  // namespace

void AddSerialCommand(CLI::App& app, Context& c) {
    auto* serial = app.add_subcommand("serial", "the line's pools of serial numbers");
    serial->require_subcommand(1);

    std::shared_ptr<SerialOptions> m;
    auto* create = Verb(serial, "create", "make a pool of the decimal numbers FIRST to LAST", m);
    create->add_option("--first", m->first, "the first value")->type_name("N")->required();
    create->add_option("--last", m->last, "the last value (included when the steps reach it)")
        ->type_name("N")
        ->required();
    create->add_option("--step", m->step, "the step between values")->type_name("N")->capture_default_str();
    create->add_option("--low", m->low, "warn when fewer values than this are free")
        ->type_name("N")
        ->capture_default_str();
    WhenChosen(create, c, m, RunCreate);

    std::shared_ptr<SerialOptions> i;
    auto* importing = Verb(serial, "import",
                           "add the values of a file (one a line; # starts a comment line) to a "
                           "pool, making it when it does not exist",
                           i);
    importing->add_option("FILE", i->file, "the values (- for stdin)")->required();
    importing->add_option("--low", i->low, "a new pool's low-water mark")
        ->type_name("N")
        ->capture_default_str();
    WhenChosen(importing, c, i, RunImport);

    std::shared_ptr<SerialOptions> s;
    auto* show = Verb(serial, "show", "free, reserved, used and void values of a pool (all without POOL)",
                      s, false);
    WhenChosen(show, c, s, RunShow);

    std::shared_ptr<SerialOptions> l;
    auto* ledger = Verb(serial, "ledger",
                        "every value given out: state, board record, station, slot, run, times", l);
    ledger->add_option("--format", l->format, "table, csv or json")
        ->check(CLI::IsMember({"table", "csv", "json"}))
        ->capture_default_str();
    WhenChosen(ledger, c, l, RunLedger);
}

}  // namespace qmb::cli
