// Where qmb-cli's words go: data on standard output, messages and progress on
// standard error; with --json, one result object on standard output instead
// of the data. Progress is shown only on a terminal, never in a pipe or log,
// and drawn by a thread of its own a few times a second (StatusLines.h).
//
// Threads: Say, Warn, Data and Progress may be called from any thread; each
// message is written whole. Result() and PrintResult belong to the main
// thread.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/StatusLines.h"

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
    // Live status lines (a gang's ports), or nullptr when progress is not
    // shown (a pipe, -q). Messages are printed above them.
    StatusLines* Lines();

    // The JSON result of the command; printed once by PrintResult.
    nlohmann::json& Result() { return result_; }
    void PrintResult(int exitCode, const std::string& error);

  private:
    void Message(const std::string& line);

    bool json_, quiet_, progress_;
    std::mutex mutex_;  // lines_, started_, stdout
    std::unique_ptr<StatusLines> lines_;
    bool started_ = false;
    std::chrono::steady_clock::time_point start_{};
    nlohmann::json result_ = nlohmann::json::object();
};

}  // namespace qmb::cli
