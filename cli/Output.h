// Where qmb-cli's words go: data on standard output, messages and progress on
// standard error; with --json, one result object on standard output instead
// of the data. Progress is shown only on a terminal, never in a pipe or log.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

namespace qmb::cli {

class Output {
  public:
    Output(bool json, bool quiet, bool progressAllowed)
        : json_(json), quiet_(quiet), progress_(progressAllowed && !quiet) {}

    bool Json() const { return json_; }
    // A message for the person at the terminal (stderr; not with -q).
    void Say(const std::string& line);
    // A message that is always shown (stderr): errors.
    void Warn(const std::string& line);
    // Data (stdout), unless --json, where the data goes into Result().
    void Data(const std::string& text);
    // "section 12 of 125, 3.1 kB/s" on one self-rewriting line.
    void Progress(const std::string& what, size_t done, size_t total, size_t bytes);
    void EndProgress();

    // The JSON result of the command; printed once by PrintResult.
    nlohmann::json& Result() { return result_; }
    void PrintResult(int exitCode, const std::string& error);

  private:
    bool json_, quiet_, progress_;
    bool progressShown_ = false;
    bool started_ = false;
    std::chrono::steady_clock::time_point start_{};
    nlohmann::json result_ = nlohmann::json::object();
};

}  // namespace qmb::cli
