// loop N FILE: the production loop on one port or, with --port repeated, on
// a gang of ports at once; one JSON line per board in the log.
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "production/BoardRecord.h"
#include "cli/Commands.h"
#include "platform/Sha256.h"
#include "qmb/Version.h"
#include "platform/System.h"
#include "platform/Utf8.h"
#include "production/Production.h"
#include "production/RecipeRun.h"
#include "protocol/Messages.h"

namespace qmb::cli {

using nlohmann::json;
using namespace production;

namespace {
struct LoopOptions {
    std::string section, file, format = "hex", log, recipe;
    std::vector<std::string> ports;
    int count = 0;
    bool stopOnFail = false;
    std::string db = DefaultDbUrl();
    RecordContext record;
    std::string dutIdSection;
};

// What the gang shows and keeps: a live line per port on a terminal (one
// line per finished board otherwise) and the log.
class GangReport : public SlotObserver {
  public:
    // stopAll stops every slot at its next transfer (a log that cannot be
    // written ends the loop).
    GangReport(Context& c, std::FILE* log, const std::string& logPath, store::RecordStore* records,
               const RecordContext& context, const std::vector<std::string>& ports,
               std::function<void()> stopAll)
        : c_(c),
          log_(log),
          logPath_(logPath),
          stopAll_(std::move(stopAll)),
          records_(records),
          context_(context),
          ports_(ports),
          lines_(c.out->Lines()),
          state_(ports.size()) {
        for (size_t i = 0; i < ports.size(); ++i)
            Show(i);
    }

    void OnPhase(int slot, BoardPhase phase, int board) override {
        std::lock_guard<std::mutex> lock(mutex_);
        state_[slot].phase = phase;
        if (board > 0) state_[slot].board = board;
        Show(slot);
    }

    bool OnBoard(const BoardOutcome& o, Fault& keptFailure, std::string& why) override {
        const store::Record record = MakeRecord(o, context_);
        // The record is committed before the slot's next board starts; the
        // store takes several slots at once.
        bool kept = true;
        if (records_) {
            try {
                records_->Insert(record);
            } catch (const store::StoreError& e) {
                kept = false;
                keptFailure = Fault::kNotKept;
                why = std::string("the record of board ") + std::to_string(o.board) +
                      " could not be kept: " + e.what();
            }
        }
        // No kept record, no pass: such a board is shown and logged as one
        // that is not.
        const bool pass = o.pass && kept;
        std::lock_guard<std::mutex> lock(mutex_);
        State& s = state_[o.slot];
        ++(pass ? s.passes : s.fails);
        if (log_ && !WriteLogLine(record, kept ? "" : why) && kept) {
            // The audit trail is part of the run: without it the loop stops.
            kept = false;
            keptFailure = Fault::kFile;
            why = "cannot write the log " + logPath_ + ": " + logError_ + "; board " +
                  std::to_string(o.board) + " is not in it";
            stopAll_();
        }
        if (!lines_)
            c_.out->Say(Prefix(o.slot) + "board " + std::to_string(o.board) + ": " +
                        (pass ? "PASS" : "FAIL (" + (kept ? o.reason : why) + ")") + "; " +
                        Counts(s));
        Show(o.slot);
        return kept;
    }

  private:
    // Appends the record's line and flushes it; false (logError_ set) when
    // either fails, now or before. Under mutex_.
    bool WriteLogLine(const store::Record& record, const std::string& notKept) {
        if (!logError_.empty()) return false;
        // Bytes that are not UTF-8 (a device's path) are replaced, never thrown over.
        const std::string line =
            LogLine(record, notKept).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
        errno = 0;
        if (std::fwrite(line.data(), 1, line.size(), log_) == line.size() &&
            std::fflush(log_) == 0)
            return true;
        logError_ = errno ? std::strerror(errno) : "write failed";
        return false;
    }

    struct State {
        BoardPhase phase = BoardPhase::kIdle;
        int board = 0, passes = 0, fails = 0;
    };

    std::string Prefix(size_t slot) const {
        return ports_.size() > 1 ? "[" + ports_[slot] + "] " : "";
    }
    static std::string Counts(const State& s) {
        return "passed " + std::to_string(s.passes) + ", failed " + std::to_string(s.fails);
    }
    void Show(size_t slot) {
        if (!lines_) return;
        const State& s = state_[slot];
        lines_->Set(slot, ports_[slot] + ": board " + std::to_string(s.board) + ", " +
                              BoardPhaseName(s.phase) + "; " + Counts(s));
    }

    Context& c_;
    std::FILE* log_;
    const std::string& logPath_;
    std::function<void()> stopAll_;
    std::string logError_;  // why the log could not be written, "" while it can
    store::RecordStore* records_;
    const RecordContext& context_;
    const std::vector<std::string>& ports_;
    StatusLines* lines_;
    std::mutex mutex_;
    std::vector<State> state_;
};

// Two names for one device would program one board twice over: refused
// before any port is opened.
void RefuseDuplicates(Context& c, const std::vector<std::string>& ports) {
    size_t first = 0, second = 0;
    std::string key;
    if (!FindSameDevice(ports, *c.makePort(), first, second, key)) return;
    const std::string& a = ports[first];
    const std::string& b = ports[second];
    throw CliError(kExitUsage, a == b ? "port " + b + " is named twice"
                                      : "ports " + a + " and " + b + " are the same device (" +
                                            key + ")");
}

std::string SummaryLine(const SlotSummary& s) {
    std::string line = "passed " + std::to_string(s.passes) + ", failed " + std::to_string(s.fails);
    if (s.end != Fault::kNone && s.end != Fault::kInterrupted) line += "; ended: " + s.endReason;
    return line;
}

// The image and settings from --recipe, or from N and FILE.
LoopSettings LoopImage(const LoopOptions& o, std::optional<production::LoadedRecipe>& recipe) {
    LoopSettings settings;
    if (!o.recipe.empty()) {
        if (!o.section.empty() || !o.file.empty())
            throw CliError(kExitUsage, "--recipe gives the image: no N or FILE with it");
        recipe = LoadRecipeOrThrow(o.recipe);
        settings.sections = recipe->image;
        settings.dutIdSection = recipe->recipe.dutIdSection;
    } else {
        if (o.section.empty() || o.file.empty())
            throw CliError(kExitUsage, "loop: give N and FILE, or --recipe FILE");
        settings.section = ParseSectionArgument(o.section);
        settings.image = ParseData(ReadFileOrThrow(o.file), IsBinary(o.format));
    }
    if (!o.dutIdSection.empty()) {
        if (recipe && recipe->recipe.dutIdSection)
            throw CliError(kExitUsage, "the recipe names the DUT id section: no --dut-id-section");
        settings.dutIdSection = ParseSectionArgument(o.dutIdSection);
    }
    return settings;
}

// The recipe's run (production/RecipeRun.h), its faults as exit codes.
RecipeRun PrepareRecipe(Context& c, const production::LoadedRecipe& recipe, const std::string& db,
                        store::RecordStore* records, const RecordContext& context) {
    auto& result = c.out->Result();
    result["recipe"] = recipe.identity;
    result["product"] = recipe.recipe.product;
    result["mode"] = context.mode;
    RecipeRun run;
    try {
        PrepareRecipeRun(run, recipe, db, records, context,
                         [&c](const std::string& line) { c.out->Say(line); });
        if (run.release && run.release->quota) result["quota"] = *run.release->quota;
        return run;
    } catch (const RecipeFault& e) {
        if (run.release && run.release->quota) result["quota"] = *run.release->quota;
        static const std::map<RecipeFault::Kind, int> kCodes = {
            {RecipeFault::Kind::kUsage, kExitUsage},
            {RecipeFault::Kind::kNotReleased, kExitNotReleased},
            {RecipeFault::Kind::kNoSerial, kExitNoSerial},
            {RecipeFault::Kind::kStore, kExitStore},
        };
        throw CliError(kCodes.at(e.kind()), e.what());
    }
}

int RunLoop(Context& c, const LoopOptions& o) {
    std::optional<production::LoadedRecipe> recipe;
    LoopSettings settings = LoopImage(o, recipe);
    const int section = settings.Image().front().number;
    const std::vector<std::string> ports = o.ports.empty() ? std::vector<std::string>{c.global.port}
                                                           : o.ports;
    RefuseDuplicates(c, ports);
    settings.count = o.count;
    settings.stopOnFail = o.stopOnFail;
    if (o.record.mode != "production" && o.record.mode != "engineering")
        throw CliError(kExitUsage, "--mode is production or engineering");
    RecordContext context = o.record;
    if (context.station.empty()) context.station = platform::HostName();
    if (!IsValidUtf8(context.station))
        throw CliError(kExitUsage, "this computer's name is not valid UTF-8: name the station "
                                   "with --station");
    if (recipe) {
        context.imageSha256 = recipe->imageSha256;
        context.imageLength = recipe->imageLength;
    } else {
        const std::string image(settings.image.begin(), settings.image.end());
        context.imageSha256 = platform::Sha256Hex(image);
        context.imageLength = static_cast<int64_t>(image.size());
    }
    context.toolVersion = std::string("qmb-cli ") + QMB_VERSION;
    const std::string why = CheckRecordContext(context, section);
    if (!why.empty()) throw CliError(kExitUsage, why);
    const std::unique_ptr<store::RecordStore> records = OpenLoopStore(o.db);
    if (records) c.out->Result()["db"] = records->Describe();
    // The recipe's release, quota and serial numbers, all before any port opens.
    RecipeRun run;
    if (recipe) {
        context.recipeSha256 = recipe->identity;
        run = PrepareRecipe(c, *recipe, o.db, records.get(), context);
        settings.serials = recipe->recipe.serials;
        settings.keepExisting = recipe->recipe.keepExisting;
        settings.serialSource = run.serials.get();
        settings.gate = run.quota.get();
    }
    std::FILE* log = nullptr;
    if (!o.log.empty()) {
        log = OpenFile(o.log, "a");
        if (!log) throw CliError(kExitFile, "cannot write " + o.log + ": " + std::strerror(errno));
    }
    struct Closer {
        std::FILE* f;
        ~Closer() {
            if (f) std::fclose(f);
        }
    } closeLog{log};

    std::vector<std::unique_ptr<ProductionSlot>> slots;
    std::vector<std::unique_ptr<TraceSink>> traces;
    for (size_t i = 0; i < ports.size(); ++i) {
        auto device = std::make_unique<Device>(c.makePort(), *c.ticks);
        if (c.trace) {
            traces.push_back(std::make_unique<LabelledTrace>(*c.trace, ports[i]));
            device->SetTraceSink(ports.size() > 1 ? traces.back().get() : c.trace);
        }
        slots.push_back(std::make_unique<ProductionSlot>(static_cast<int>(i), ports[i],
                                                         std::move(device)));
    }
    c.out->Say(std::string(kStatusIgnition) + " (" + Count(ports.size(), "port") + ")");
    std::vector<SlotSummary> summaries;
    {
        GangReport report(c, log, o.log, records.get(), context, ports, [&slots] {
            for (auto& slot : slots)
                slot->RequestStop();
        });
        summaries = RunGang(slots, settings, report);
    }
    c.out->EndProgress();

    auto& r = c.out->Result();
    r["section"] = section;
    int passes = 0, fails = 0;
    json perPort = json::array();
    std::string text;
    for (const auto& s : summaries) {
        passes += s.passes;
        fails += s.fails;
        perPort.push_back({{"slot", s.slot},
                           {"port", s.port},
                           {"device", s.device},
                           {"passes", s.passes},
                           {"fails", s.fails},
                           {"ended", ExitCodeName(ExitCodeOf(s.end))},
                           {"reason", s.endReason}});
        if (ports.size() > 1) text += s.port + ": " + SummaryLine(s) + "\n";
        if (s.end != Fault::kNone && s.end != Fault::kInterrupted)
            c.out->Warn(s.port + ": " + s.endReason);
    }
    r["passes"] = passes;
    r["fails"] = fails;
    r["ports"] = perPort;
    const std::string total = "passed " + std::to_string(passes) + ", failed " + std::to_string(fails);
    text += (ports.size() > 1 ? "total: " : "") + total + "\n";
    c.out->Data(text);
    c.out->Say(total);
    const int code = GangExitCode(summaries, platform::Interrupted());
    if (code == kExitInterrupted)
        throw CliError(code, "loop interrupted; " + total);
    if (code != kExitOk) {
        std::string last;
        for (const auto& s : summaries) {
            const bool ended = ExitCodeOf(s.end) == code;
            if (ended || (s.lastFail != Fault::kNone && ExitCodeOf(s.lastFail) == code)) {
                last = s.port + ": " + (ended ? s.endReason : s.lastFailReason);
                break;
            }
        }
        if (fails == 0) throw CliError(code, "loop stopped after " + total + "; " + last);
        throw CliError(code, "loop: " + std::to_string(fails) + " of " +
                                 std::to_string(passes + fails) + " boards failed; " + last);
    }
    return kExitOk;
}
}  // namespace

void AddLoopCommand(CLI::App& app, Context& c) {
    auto o = std::make_shared<LoopOptions>();
    auto* loop = app.add_subcommand(
        "loop", "production loop: for each board, wait for ignition, pause 1 s, write section N "
                "from FILE (or every section of --recipe's image, in order), commit, read back "
                "and compare; with --port repeated, on every port at once");
    loop->add_option("N", o->section, "section number, 1 to 255 (not with --recipe)");
    loop->add_option("FILE", o->file,
                     "the section's bytes as hex text (or raw, --format bin; not with --recipe)");
    loop->add_option("--recipe", o->recipe,
                     "program each board by the recipe FILE: its whole image, its serial fields")
        ->type_name("FILE");
    AddFormatOption(loop, o->format, "format of FILE: hex or bin");
    loop->add_option("--port", o->ports,
                     "a port of the gang, one slot each (repeat it; default: the -p port)")
        ->type_name("PORT");
    loop->add_option("--count", o->count, "stop after K boards on each port (default: until Ctrl-C)")
        ->type_name("K")
        ->check(CLI::PositiveNumber);
    loop->add_option("--log", o->log, "append one JSON line per board to FILE");
    loop->add_flag("--stop-on-fail", o->stopOnFail,
                   "stop a port at its first board that fails (the others go on)");
    loop->add_option("--db", o->db,
                     "record every board in URL: sqlite:PATH, postgresql://..., or none")
        ->type_name("URL")
        ->capture_default_str();
    loop->add_option("--station", o->record.station, "the station's name in the records (default: "
                                                      "this computer's name)");
    loop->add_option("--operator", o->record.operator_, "who runs the station");
    loop->add_option("--batch", o->record.batch, "the batch or work order");
    loop->add_option("--mode", o->record.mode, "production or engineering")->capture_default_str();
    loop->add_option("--dut-id-section", o->dutIdSection,
                     "read section K before writing and record its bytes as the board's id")
        ->type_name("K");
    WhenChosen(loop, c, o, RunLoop);
}

}  // namespace qmb::cli
