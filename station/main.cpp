// qmb-station: a production station. Runs the production loop on every
// slot of a fixture at once (one serial port each), keeps a record of every
// board, and serves a live web page and a JSON API from the same process.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include "device/BackupFile.h"
#include "link/SystemPort.h"
#include "platform/AtomicFile.h"
#include "platform/Sha256.h"
#include "platform/System.h"
#include "platform/UserFolders.h"
#include "platform/Utf8.h"
#include "platform/Utf8Options.h"
#include "production/BoardRecord.h"
#include "production/RecipeRun.h"
#include "qmb/Version.h"
#include "station/PoolLevels.h"
#include "station/Station.h"
#include "station/StationConfig.h"
#include "station/Token.h"
#include "station/WebServer.h"
#include "store/MemoryStore.h"

namespace {

using namespace qmb;
using namespace qmb::station;
using nlohmann::json;

// The exit codes of qmb-station(1), the same numbers as qmb-cli's.
enum Exit : int {
    kExitUsage = 2,   // bad settings, an address it cannot listen on
    kExitData = 9,    // an image that cannot be used
    kExitFile = 12,   // an image or token file that cannot be read or written
    kExitStore = 13,  // a record database that cannot be used
    kExitNoSerial = 14,     // a pool of the recipe is missing or empty
    kExitNotReleased = 16,  // production mode and a recipe that is not released
};

const char kDescription[] =
    "qmb-station runs the production loop (wait for ignition, pause 1 s, write the section,\n"
    "or every section of a recipe's image, commit, read back and compare) on every slot of a\n"
    "fixture at once, records every board, and serves a live page and a JSON API (see\n"
    "qmb-station(1)). Control actions need the station's token, made at the first start and\n"
    "shown once on standard error.";

const char kFooter[] =
    "Configuration file: `key = value` lines (station, section, image, format, recipe, mode,\n"
    "db, listen, token-file, auth, lockout, dut-id-section, operator, batch) and\n"
    "`slot NAME = PORT` lines, in UTF-8; a # at a line's start or after a blank starts a\n"
    "comment (a # inside a value is kept). Options given on the command line win; --slot\n"
    "replaces the file's slots.\n"
    "Exit codes: 0 stopped by a signal; 2 bad settings; 9 an image or recipe that cannot be\n"
    "used; 12 a file that cannot be read or written; 13 a record database that cannot be\n"
    "used; 14 a pool of the recipe missing or empty; 16 production mode and a recipe that\n"
    "is not released.\n"
    "Example: qmb-station --slot A=/dev/ttyUSB0 --slot B=/dev/ttyUSB1 --section 11 --image fw.hex\n";

// Paths are UTF-8; the file system library's are wide on Windows.
std::string DefaultTokenFile(const std::string& configPath) {
    if (!configPath.empty()) {
        const std::filesystem::path dir = PathFromUtf8(configPath).parent_path();
        return dir.empty() ? "station.token" : Utf8FromPath(dir / "station.token");
    }
    const std::string dir = platform::SettingsFolder();
    if (dir.empty()) return "station.token";
    std::error_code ec;
    std::filesystem::create_directories(PathFromUtf8(dir), ec);
    return platform::InFolder(dir, "station.token");
}

int Fail(int code, const std::string& message) {
    std::fprintf(stderr, "qmb-station: %s\n", message.c_str());
    return code;
}

// Two names of one device would program one board twice over.
std::string DuplicatePorts(const std::vector<SlotConfig>& slots) {
    std::vector<std::string> ports;
    for (const auto& s : slots)
        ports.push_back(s.port);
    size_t a = 0, b = 0;
    std::string key;
    if (!production::FindSameDevice(ports, *MakeSystemPort(), a, b, key)) return "";
    return "slots " + slots[a].name + " and " + slots[b].name + " are the same device (" + key + ")";
}

// The image's bytes; else an exit code, after saying why there are none.
int ReadImage(const StationConfig& c, device::Bytes& image) {
    std::string text, error;
    if (!ReadWholeFile(c.image, text, &error)) return Fail(kExitFile, "cannot read " + error);
    if (!device::ParseSectionData(text, c.format == "bin", image, &error))
        return Fail(kExitData, error);
    if (image.empty()) return Fail(kExitData, "the image " + c.image + " holds no bytes");
    return 0;
}

// The recipe's image and settings into settings; "" or the one-line reason
// why the station's own settings meet the recipe's (both name the DUT id
// section, or the lockout: which one counts would be left to chance).
std::string TakeRecipe(const production::LoadedRecipe& recipe, const StationConfig& c,
                       bool lockoutOption, StationSettings& settings) {
    const production::Recipe& r = recipe.recipe;
    if (r.dutIdSection && c.dutIdSection)
        return "the recipe names the DUT id section: no --dut-id-section (nor dut-id-section in "
               "the settings file)";
    if (r.lockout && (lockoutOption || c.lockoutSet))
        return "the recipe names the lockout: no --lockout (nor lockout in the settings file)";
    settings.sections = recipe.image;
    settings.section = recipe.image.front().number;
    settings.serials = r.serials;
    settings.keepExisting = r.keepExisting;
    settings.dutIdSection = r.dutIdSection ? r.dutIdSection : c.dutIdSection;
    settings.lockout = r.lockout ? r.lockout : c.lockout;
    settings.run.recipeSha256 = recipe.identity;
    settings.run.imageSha256 = recipe.imageSha256;
    settings.run.imageLength = recipe.imageLength;
    return "";
}

int RecipeExit(production::RecipeFault::Kind kind) {
    switch (kind) {
        case production::RecipeFault::Kind::kNotReleased: return kExitNotReleased;
        case production::RecipeFault::Kind::kNoSerial: return kExitNoSerial;
        case production::RecipeFault::Kind::kStore: return kExitStore;
        case production::RecipeFault::Kind::kUsage: break;
    }
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "qmb-station"};
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("qmb-station ") + QMB_VERSION);
    // An option given twice: the last one counts (a script's default, then the operator's).
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // Every option writes straight into the settings; the file is read over
    // them once parsed, and then the options given run again, so that the
    // command line wins (CLI11 leaves a field alone for an option not given).
    StationConfig c;
    std::string configPath;
    std::vector<std::string> slotOptions;
    auto* configOpt = app.add_option("--config", configPath, "read the settings from FILE")
                          ->type_name("FILE");
    app.add_option("--station", c.station, "the station's name (default: the host name)")
        ->type_name("NAME");
    app.add_option("--slot", slotOptions, "a slot and its port, e.g. A=/dev/ttyUSB0 (repeat it)")
        ->type_name("NAME=PORT")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--section", c.section, "the section to program, 1 to 255")
        ->type_name("N")
        ->check(CLI::Range(1, 255));
    app.add_option("--image", c.image, "the section's bytes: hex text (or raw, --format bin)")
        ->type_name("FILE");
    app.add_option("--format", c.format, "format of the image: hex or bin")
        ->check(CLI::IsMember({"hex", "bin"}));
    app.add_option("--recipe", c.recipe,
                   "program each board by the recipe FILE: its whole image, its serial fields "
                   "(not with --section or --image)")
        ->type_name("FILE");
    app.add_option("--mode", c.mode,
                   "production (runs only a released recipe; the default) or engineering")
        ->type_name("MODE")
        ->check(CLI::IsMember({"production", "engineering"}));
    app.add_option("--db", c.db,
                   "where records go: sqlite:PATH, postgresql://... (spooled while the "
                   "server is away), or none (memory only); default: the user's "
                   "SQLite file")
        ->type_name("URL");
    app.add_option("--dut-id-section", c.dutIdSection,
                   "read section N before each write, as the board's DUT id")
        ->type_name("N")
        ->check(CLI::Range(1, 255));
    app.add_option("--listen", c.listen, "address of the page and API (default 127.0.0.1:8080)")
        ->type_name("HOST:PORT");
    app.add_option("--token-file", c.tokenFile,
                   "the control token's file (default: beside --config, else in the "
                   "user's qmb-edit settings folder)")
        ->type_name("PATH");
    app.add_flag("--auth", c.auth, "the read-only views need the token too");
    auto* lockoutOpt = app.add_option("--lockout", c.lockout,
                   "failures in a row that stop a slot until acknowledged (default 3, or the "
                   "recipe's)")
        ->type_name("N")
        ->check(CLI::Range(1, 1000));
    app.add_option("--operator", c.operatorName, "the operator's name, kept in each record")
        ->type_name("NAME");
    app.add_option("--batch", c.batch, "the batch, kept in each record")->type_name("TEXT");
    // UTF-8 arguments (on Windows from the wide command line), which CLI11
    // takes last first; text that is not UTF-8 is refused before anything
    // is opened.
    std::vector<std::string> args = Utf8Arguments(argc, argv);
    std::reverse(args.begin(), args.end());
    if (!args.empty()) args.pop_back();  // the program's own name
    try {
        app.parse(args);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    const std::string notText = NonUtf8Option(app);
    if (!notText.empty()) return Fail(kExitUsage, notText + ": not valid UTF-8");

    try {
        if (!configPath.empty()) {
            ReadConfigFile(configPath, c);
            for (CLI::Option* option : app.get_options()) {
                if (option != configOpt && option->count() > 0) option->run_callback();
            }
        }
    } catch (const std::exception& e) {
        return Fail(kExitUsage, e.what());
    }
    if (!slotOptions.empty()) {
        c.slots.clear();
        for (const auto& text : slotOptions) {
            SlotConfig s;
            if (!ParseSlotOption(text, s))
                return Fail(kExitUsage, "--slot " + text + ": NAME=PORT expected (NAME: 1 to 32 characters, no '/')");
            c.slots.push_back(s);
        }
    }
    if (c.station.empty()) c.station = platform::HostName();
    if (c.station.empty()) c.station = "station";
    if (!IsValidUtf8(c.station))
        return Fail(kExitUsage, "this computer's name is not valid UTF-8: name the station "
                                "with --station");
    if (c.db.empty()) c.db = store::DefaultStoreUrl();
    const std::string problem = CheckConfig(c);
    if (!problem.empty()) return Fail(kExitUsage, problem);
    const std::string duplicate = DuplicatePorts(c.slots);
    if (!duplicate.empty()) return Fail(kExitUsage, duplicate);

    StationSettings settings;
    std::optional<production::LoadedRecipe> recipe;
    if (!c.recipe.empty()) {
        try {
            recipe = production::LoadRecipe(c.recipe);
        } catch (const production::RecipeError& e) {
            return Fail(e.Unreadable() ? kExitFile : kExitData, e.what());
        }
        if (const std::string why = TakeRecipe(*recipe, c, lockoutOpt->count() > 0, settings);
            !why.empty())
            return Fail(kExitUsage, why);
    } else {
        if (const int code = ReadImage(c, settings.image)) return code;
        settings.run.imageSha256 =
            platform::Sha256Hex(std::string(settings.image.begin(), settings.image.end()));
        settings.run.imageLength = static_cast<int64_t>(settings.image.size());
        settings.section = c.section;
        settings.dutIdSection = c.dutIdSection;
        settings.lockout = c.lockout;
    }
    settings.run.station = c.station;
    settings.run.operator_ = c.operatorName;
    settings.run.batch = c.batch;
    settings.run.mode = c.mode;
    settings.run.toolVersion = std::string("qmb-station ") + QMB_VERSION;
    const int firstSection = recipe ? recipe->image.front().number : c.section;
    const std::string refused = production::CheckRecordContext(settings.run, firstSection);
    if (!refused.empty()) return Fail(kExitUsage, refused);
    // Every slot's name as its records carry it: a name the store refuses
    // must not stop a slot at its first board.
    for (const auto& slot : c.slots) {
        const std::string why = production::CheckRecordContext(settings.run, firstSection, slot.name);
        if (!why.empty()) return Fail(kExitUsage, "slot " + slot.name + ": " + why);
    }

    // The record store, opened (and its schema made) before any board.
    std::unique_ptr<RecordStore> storeSink;
    std::string dbShown = "none (memory only)";
    bool lineView = false;
    if (c.db != "none") {
        try {
            storeSink = production::OpenProductionStore(c.db);
        } catch (const store::StoreError& e) {
            const bool invalid = e.kind() == store::StoreError::Kind::kInvalid;
            return Fail(invalid ? kExitUsage : kExitStore, std::string("records: ") + e.what());
        }
        dbShown = storeSink->Describe();
        lineView = c.db.rfind("postgres", 0) == 0;
    }

    // The recipe's release, quota and serial numbers, before any port opens.
    production::RecipeRun recipeRun;
    if (recipe) {
        try {
            production::PrepareRecipeRun(recipeRun, *recipe, c.db, storeSink.get(), settings.run,
                                         [](const std::string& line) {
                                             std::fprintf(stderr, "qmb-station: %s\n", line.c_str());
                                         });
        } catch (const production::RecipeFault& e) {
            return Fail(RecipeExit(e.kind()), e.what());
        }
        settings.serialSource = recipeRun.serials.get();
        settings.gate = recipeRun.quota.get();
    }
    std::vector<std::string> pools;
    if (recipe) {
        for (const auto& f : recipe->recipe.serials)
            pools.push_back(f.pool);
    }
    PoolLevels levels(recipeRun.serials.get(), pools);

    std::string token;
    try {
        bool created = false;
        const std::string path = c.tokenFile.empty() ? DefaultTokenFile(configPath) : c.tokenFile;
        token = LoadOrCreateToken(path, created);
        if (created)
            std::fprintf(stderr, "qmb-station: new control token (kept in %s, shown only now): %s\n",
                         path.c_str(), token.c_str());
    } catch (const std::exception& e) {
        return Fail(kExitFile, e.what());
    }

    platform::InstallInterruptHandlers();
    const std::unique_ptr<TickCounter> ticks = MakeSystemTicks();
    store::MemoryStore history;
    std::vector<RecordStore*> sinks = {&history};
    if (storeSink) sinks.push_back(storeSink.get());
    RecordStore& records = storeSink ? *storeSink : history;

    Station st(settings, c.slots, [] { return MakeSystemPort(); }, *ticks, sinks);
    ServerSettings server;
    server.token = token;
    server.auth = c.auth;
    json sections = json::array();
    for (const auto& part : recipe ? recipe->image : std::vector<production::ImageSection>{})
        sections.push_back(part.number);
    server.info = {{"station", c.station},
                   {"version", QMB_VERSION},
                   {"section", recipe ? json(nullptr) : json(c.section)},
                   {"sections", recipe ? sections : json::array({c.section})},
                   {"mode", c.mode},
                   {"recipe", recipe ? json(recipe->identity) : json(nullptr)},
                   {"product", recipe ? json(recipe->recipe.product) : json(nullptr)},
                   {"image_sha256", settings.run.imageSha256},
                   {"image_length", settings.run.imageLength},
                   {"operator", c.operatorName},
                   {"batch", c.batch},
                   {"lockout", settings.lockout},
                   {"auth", c.auth},
                   {"dut_id_section", settings.dutIdSection},
                   {"db", dbShown}};
    server.lineView = lineView;
    server.pools = &levels;
    std::string host, why;
    int port = 0;
    ParseListen(c.listen, host, port);
    server.loopbackOnly = host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
    WebServer web(st, records, server);
    if (!web.Bind(host, port, why)) return Fail(kExitUsage, why);
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    const std::string what =
        recipe ? "recipe " + recipe->identity.substr(0, 12) + " (" + recipe->recipe.product + ", " +
                     std::to_string(recipe->image.size()) + " section" +
                     (recipe->image.size() == 1 ? "" : "s") + ", " + c.mode + " mode)"
               : "section " + std::to_string(c.section);
    std::fprintf(stderr, "qmb-station: %s: %zu slot%s, %s, records: %s; page at http://%s:%d/\n",
                 c.station.c_str(), c.slots.size(), c.slots.size() == 1 ? "" : "s", what.c_str(),
                 dbShown.c_str(), shown.c_str(), web.Port());
    std::fflush(stderr);
    std::thread serving([&web] { web.Run(); });
    st.StartAll();
    while (!platform::Interrupted())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::fprintf(stderr, "qmb-station: stopping\n");
    st.Shutdown();
    web.Stop();
    serving.join();
    return 0;
}
