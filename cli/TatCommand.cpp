// tat: wait for the device's ignition handshake.
#include <chrono>

#include "cli/Commands.h"
#include "protocol/Messages.h"

namespace qmb::cli {

namespace {
struct TatOptions {
    double timeoutSeconds = 0;  // 0: wait for ever
};

int RunTat(Context& c, const TatOptions& o) {
    auto device = OpenDevice(c);
    c.out->Say(kStatusIgnition);
    const auto start = std::chrono::steady_clock::now();
    device->WaitForHandshake(static_cast<uint32_t>(o.timeoutSeconds * 1000));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    c.out->Result()["handshake"] = true;
    c.out->Result()["seconds"] = seconds;
    c.out->Say("ignition handshake complete");
    return kExitOk;
}
}  // namespace

void AddTatCommand(CLI::App& app, Context& c) {
    auto o = std::make_shared<TatOptions>();
    auto* tat = app.add_subcommand("tat", "wait for the device's ignition handshake");
    tat->add_option("--timeout", o->timeoutSeconds,
                    "give up after S seconds (default: wait for ever)")
        ->type_name("S")
        ->check(CLI::NonNegativeNumber);
    WhenChosen(tat, c, o, RunTat);
}

}  // namespace qmb::cli
