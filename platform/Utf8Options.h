// The command-line arguments' UTF-8 check, for every program that parses
// its arguments with CLI11 (header-only, as CLI11 is).
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "platform/Utf8.h"

namespace qmb {

// The first option or argument, of app or of a command chosen in it, whose
// text is not valid UTF-8: its name as help shows it ("--operator",
// "FILE"); "" when all are text. Both programs ask it right after parsing,
// before anything is opened.
inline std::string NonUtf8Option(const CLI::App& app) {
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& value : option->results()) {
            if (IsValidUtf8(value)) continue;
            const std::string name = option->get_name();
            return name.empty() ? "an argument" : name;
        }
    }
    for (const CLI::App* command : app.get_subcommands()) {
        const std::string name = NonUtf8Option(*command);
        if (!name.empty()) return name;
    }
    return "";
}

}  // namespace qmb
