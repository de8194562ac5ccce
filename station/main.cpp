// qmb-station: a production station. Runs the production loop on every
// slot of a fixture at once (one serial port each), keeps a record of every
// board, and serves a live web page and a JSON API from the same process.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "cli/BoardRecord.h"
#include "cli/Common.h"
#include "cli/Sha256.h"
#include "cli/System.h"
#include "link/PortMap.h"
#include "link/Utf8.h"
#include "qmb/Version.h"
#include "station/Station.h"
#include "station/StationConfig.h"
#include "station/Token.h"
#include "station/WebServer.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <unistd.h>
#endif

namespace {

using namespace qmb;
using namespace qmb::station;

const char kDescription[] =
    "qmb-station runs the production loop (wait for ignition, pause 1 s, write the section,\n"
    "commit, read back and compare) on every slot of a fixture at once, records every board,\n"
    "and serves a live page and a JSON API (see qmb-station(1)). Control actions need the\n"
    "station's token, made at the first start and shown once on standard error.";

const char kFooter[] =
    "Configuration file: `key = value` lines (station, section, image, format, db, listen,\n"
    "token-file, auth, lockout, operator, batch) and `slot NAME = PORT` lines, in UTF-8; a #\n"
    "at a line's start or after a blank starts a comment (a # inside a value is kept).\n"
    "Options given on the command line win; --slot replaces the file's slots.\n"
    "Example: qmb-station --slot A=/dev/ttyUSB0 --slot B=/dev/ttyUSB1 --section 11 --image fw.hex\n";

std::string HostName() {
#ifdef _WIN32
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
#endif
    const std::string name = cli::HostName();  // read wide on Windows
    return name.empty() ? "station" : name;
}

// Paths are UTF-8; the file system library's are wide on Windows.
std::string DefaultTokenFile(const std::string& configPath) {
    if (!configPath.empty()) {
        const std::filesystem::path dir = PathFromUtf8(configPath).parent_path();
        return dir.empty() ? "station.token" : Utf8FromPath(dir / "station.token");
    }
    const std::string map = PortMapPath();
    if (map.empty()) return "station.token";
    const std::filesystem::path dir = PathFromUtf8(map).parent_path();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return Utf8FromPath(dir / "station.token");
}

// Two names of one device would program one board twice over.
std::string DuplicatePorts(const std::vector<SlotConfig>& slots) {
    const std::unique_ptr<Port> probe = cli::MakeSystemPort();
    std::map<std::string, std::string> seen;
    for (const auto& s : slots) {
        const std::string key = cli::SameDeviceKey(probe->DevicePath(s.port.c_str()));
        const auto [it, fresh] = seen.emplace(key, s.name);
        if (!fresh) return "slots " + it->second + " and " + s.name + " are the same device (" + key + ")";
    }
    return "";
}

int Fail(int code, const std::string& message) {
    std::fprintf(stderr, "qmb-station: %s\n", message.c_str());
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{kDescription, "qmb-station"};
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("qmb-station ") + QMB_VERSION);
    // An option given twice: the last one counts (a script's default, then the operator's).
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    StationConfig c;
    std::string configPath;
    std::vector<std::string> slotOptions;
    auto* configOpt = app.add_option("--config", configPath, "read the settings from FILE")
                          ->type_name("FILE");
    (void)configOpt;
    std::string station, image, format, db, listen, tokenFile, operatorName, batch;
    int section = 0, lockout = 0, dutIdSection = 0;
    bool auth = false;
    auto* stationOpt = app.add_option("--station", station, "the station's name (default: the host name)")
                           ->type_name("NAME");
    app.add_option("--slot", slotOptions, "a slot and its port, e.g. A=/dev/ttyUSB0 (repeat it)")
        ->type_name("NAME=PORT")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    auto* sectionOpt = app.add_option("--section", section, "the section to program, 1 to 255")
                           ->type_name("N")
                           ->check(CLI::Range(1, 255));
    auto* imageOpt = app.add_option("--image", image, "the section's bytes: hex text (or raw, --format bin)")
                         ->type_name("FILE");
    auto* formatOpt = app.add_option("--format", format, "format of the image: hex or bin")
                          ->check(CLI::IsMember({"hex", "bin"}));
    auto* dbOpt = app.add_option("--db", db,
                                 "where records go: sqlite:PATH, postgresql://... (spooled while the "
                                 "server is away), or none (memory only); default: the user's "
                                 "SQLite file")
                      ->type_name("URL");
    auto* dutOpt = app.add_option("--dut-id-section", dutIdSection,
                                  "read section N before each write, as the board's DUT id")
                       ->type_name("N")
                       ->check(CLI::Range(1, 255));
    auto* listenOpt = app.add_option("--listen", listen, "address of the page and API (default 127.0.0.1:8080)")
                          ->type_name("HOST:PORT");
    auto* tokenOpt = app.add_option("--token-file", tokenFile,
                                    "the control token's file (default: beside --config, else in the "
                                    "user's qmb-edit settings folder)")
                         ->type_name("PATH");
    auto* authOpt = app.add_flag("--auth", auth, "the read-only views need the token too");
    auto* lockoutOpt = app.add_option("--lockout", lockout,
                                      "failures in a row that stop a slot until acknowledged (default 3)")
                           ->type_name("N")
                           ->check(CLI::Range(1, 1000));
    auto* operatorOpt = app.add_option("--operator", operatorName, "the operator's name, kept in each record")
                            ->type_name("NAME");
    auto* batchOpt = app.add_option("--batch", batch, "the batch, kept in each record")->type_name("TEXT");
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
        return cli::kExitUsage;
    }
    const std::string notText = cli::NonUtf8Option(app);
    if (!notText.empty()) return Fail(cli::kExitUsage, notText + ": not valid UTF-8");

    try {
        if (!configPath.empty()) ReadConfigFile(configPath, c);
    } catch (const std::exception& e) {
        return Fail(cli::kExitUsage, e.what());
    }
    if (stationOpt->count()) c.station = station;
    if (!slotOptions.empty()) {
        c.slots.clear();
        for (const auto& text : slotOptions) {
            SlotConfig s;
            if (!ParseSlotOption(text, s))
                return Fail(cli::kExitUsage, "--slot " + text + ": NAME=PORT expected (NAME: 1 to 32 characters, no '/')");
            c.slots.push_back(s);
        }
    }
    if (sectionOpt->count()) c.section = section;
    if (imageOpt->count()) c.image = image;
    if (formatOpt->count()) c.format = format;
    if (dbOpt->count()) c.db = db;
    if (listenOpt->count()) c.listen = listen;
    if (tokenOpt->count()) c.tokenFile = tokenFile;
    if (authOpt->count()) c.auth = true;
    if (lockoutOpt->count()) c.lockout = lockout;
    if (dutOpt->count()) c.dutIdSection = dutIdSection;
    if (operatorOpt->count()) c.operatorName = operatorName;
    if (batchOpt->count()) c.batch = batch;
    if (c.station.empty()) c.station = HostName();
    if (!IsValidUtf8(c.station))
        return Fail(cli::kExitUsage, "this computer's name is not valid UTF-8: name the station "
                                     "with --station");
    if (c.db.empty()) c.db = cli::DefaultDbUrl();
    const std::string problem = CheckConfig(c);
    if (!problem.empty()) return Fail(cli::kExitUsage, problem);
    const std::string duplicate = DuplicatePorts(c.slots);
    if (!duplicate.empty()) return Fail(cli::kExitUsage, duplicate);

    StationSettings settings;
    try {
        settings.image = cli::ParseData(cli::ReadFileOrThrow(c.image), c.format == "bin");
    } catch (const cli::CliError& e) {
        return Fail(e.Code(), e.what());
    }
    if (settings.image.empty()) return Fail(cli::kExitData, "the image " + c.image + " holds no bytes");
    settings.run.station = c.station;
    settings.run.operator_ = c.operatorName;
    settings.run.batch = c.batch;
    settings.run.toolVersion = std::string("qmb-station ") + QMB_VERSION;
    settings.run.imageSha256 =
        cli::Sha256Hex(std::string(settings.image.begin(), settings.image.end()));
    settings.run.imageLength = static_cast<int64_t>(settings.image.size());
    settings.section = c.section;
    settings.dutIdSection = c.dutIdSection;
    settings.lockout = c.lockout;

    {
        // What every record will carry is checked once, before any board: a
        // name the store would refuse must not stop a slot mid-run.
        cli::BoardOutcome sample;
        sample.section = c.section;
        sample.board = 1;
        sample.status = "complete";
        sample.startedAt = sample.endedAt = std::chrono::system_clock::now();
        const std::string why = store::CheckRecord(cli::MakeRecord(sample, settings.run));
        if (!why.empty()) return Fail(cli::kExitUsage, why);
    }

    // The record store, opened (and its schema made) before any board.
    std::unique_ptr<StoreSink> storeSink;
    std::string dbShown = "none (memory only)";
    bool lineView = false;
    if (c.db != "none") {
        try {
            storeSink = std::make_unique<StoreSink>(cli::OpenLoopStore(c.db));
        } catch (const cli::CliError& e) {
            return Fail(e.Code(), e.what());
        }
        dbShown = storeSink->Describe();
        lineView = c.db.rfind("postgres", 0) == 0;
    }

    std::string token;
    try {
        bool created = false;
        const std::string path = c.tokenFile.empty() ? DefaultTokenFile(configPath) : c.tokenFile;
        token = LoadOrCreateToken(path, created);
        if (created)
            std::fprintf(stderr, "qmb-station: new control token (kept in %s, shown only now): %s\n",
                         path.c_str(), token.c_str());
    } catch (const std::exception& e) {
        return Fail(cli::kExitFile, e.what());
    }

    cli::InstallInterruptHandlers();
    const std::unique_ptr<TickCounter> ticks = cli::MakeSystemTicks();
    BoardHistory history;
    std::vector<BoardSink*> sinks = {&history};
    if (storeSink) sinks.push_back(storeSink.get());
    BoardSink& records = storeSink ? static_cast<BoardSink&>(*storeSink) : history;

    Station st(settings, c.slots, [] { return cli::MakeSystemPort(); }, *ticks, sinks);
    ServerSettings server;
    server.token = token;
    server.auth = c.auth;
    server.info = {{"station", c.station},
                   {"version", QMB_VERSION},
                   {"section", c.section},
                   {"image_sha256", settings.run.imageSha256},
                   {"image_length", settings.run.imageLength},
                   {"operator", c.operatorName},
                   {"batch", c.batch},
                   {"lockout", c.lockout},
                   {"auth", c.auth},
                   {"dut_id_section", c.dutIdSection},
                   {"db", dbShown}};
    server.lineView = lineView;
    std::string host, why;
    int port = 0;
    ParseListen(c.listen, host, port);
    server.loopbackOnly = host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
    WebServer web(st, records, server);
    if (!web.Bind(host, port, why)) return Fail(cli::kExitUsage, why);
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::fprintf(stderr, "qmb-station: %s: %zu slot%s, section %d, records: %s; page at http://%s:%d/\n",
                 c.station.c_str(), c.slots.size(), c.slots.size() == 1 ? "" : "s", c.section,
                 dbShown.c_str(), shown.c_str(), web.Port());
    std::fflush(stderr);
    std::thread serving([&web] { web.Run(); });
    st.StartAll();
    while (!cli::Interrupted())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::fprintf(stderr, "qmb-station: stopping\n");
    st.Shutdown();
    web.Stop();
    serving.join();
    return 0;
}
