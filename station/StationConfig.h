// The station's settings: a small file of `key = value` lines and
// `slot NAME = PORT` lines, then the command line over it. Paths in the file
// are taken from the file's own folder. A comment starts with a `#` at the
// start of a line or after a space or a tab; a `#` inside a value (a path
// `/data/line#2`, a password `pa#ss`) is part of the value. The file is
// UTF-8 text.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace qmb::station {

struct SlotConfig {
    std::string name, port;
};

struct StationConfig {
    std::string station;                   // default: the host name
    std::vector<SlotConfig> slots;
    int section = 0;                       // 1..255; 0 with a recipe
    std::string image;                     // the section's bytes (hex text, or raw with format bin)
    std::string format = "hex";
    std::string recipe;                    // a recipe file instead of section and image
    std::string mode = "production";       // or "engineering" (runs a recipe not released)
    std::string db;                        // record store URL, "none" for memory only; "": the default
    std::string listen = "127.0.0.1:8080";
    std::string tokenFile;                 // default: beside the configuration file
    bool auth = false;                     // read-only views need the token too
    int lockout = 3;                       // failures in a row that stop a slot
    bool lockoutSet = false;               // the file set lockout (a recipe's must not meet it)
    int dutIdSection = 0;                  // read before each write as the DUT id; 0: none
    std::string operatorName, batch;
};

// Reads FILE into config (only the keys it sets). Throws std::runtime_error
// "FILE:LINE: reason" (one line), and then config is left as it was.
void ReadConfigFile(const std::string& path, StationConfig& config);
// The same on text already open; name stands for the file in reasons, dir
// is the folder relative paths are taken from ("" for none).
void ReadConfigText(std::istream& in, const std::string& name, const std::string& dir,
                    StationConfig& config);


// "" when the settings can run a station, else the one-line reason.
std::string CheckConfig(const StationConfig& config);

// A slot name: 1 to 32 characters, no '/', no control character.
bool IsSlotName(const std::string& name);

// "HOST:PORT" ("[::1]:8080" for IPv6); false when it is not one.
bool ParseListen(const std::string& text, std::string& host, int& port);

// "NAME=PORT" of --slot.
bool ParseSlotOption(const std::string& text, SlotConfig& slot);

// A decimal of digits only (no sign, at most 12) within min..max; the
// settings file and the API's query parameters read numbers this way.
bool ParseNumber(const std::string& text, int64_t min, int64_t max, int64_t& value);

}  // namespace qmb::station
