// The simulator's control language: one command a line, one answer line each,
// the same on standard input and on the control socket. The syntax is in
// sim/README.md. Parsing and answering only; the transport reads the lines
// and carries out what needs it (the ignition timer, quitting).
#pragma once

#include <functional>
#include <string>

#include "sim/DeviceModel.h"

namespace qmb::sim {

// What a control command may ask of the transport.
struct ControlActions {
    std::function<void()> startIgnition;
    std::function<void()> quit;
    // Extra words for the status line (e.g. the terminal path); may be empty.
    std::function<std::string()> statusExtra;
};

// Parses a fault description, e.g. "truncate 10 on read skip 1 count 2"
// (the words after "fault"). False with a reason in error on bad syntax.
bool ParseFault(const std::string& text, Fault& fault, std::string& error);

// Runs one control line and returns its answer line (no newline): "ok ..." or
// "error ...". A blank line or a comment ("#...") gives an empty answer,
// which the transport does not send.
std::string RunControlLine(const std::string& line, DeviceModel& model,
                           const ControlActions& actions);

// Hex digits (spaces allowed between bytes) to bytes; false on anything else
// or an odd digit count.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes);
// Bytes as upper-case hex digits with no spaces ("-" when empty).
std::string HexDigits(const uint8_t* bytes, size_t n);

}  // namespace qmb::sim
