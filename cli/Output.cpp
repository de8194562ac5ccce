#include "cli/Output.h"

#include <cstdio>

#include "cli/ExitCodes.h"

namespace qmb::cli {

void Output::Say(const std::string& line) {
    if (quiet_) return;
    EndProgress();
    std::fprintf(stderr, "%s\n", line.c_str());
}

void Output::Warn(const std::string& line) {
    EndProgress();
    std::fprintf(stderr, "qmb-cli: %s\n", line.c_str());
}

void Output::Data(const std::string& text) {
    if (json_) return;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void Output::Progress(const std::string& what, size_t done, size_t total, size_t bytes) {
    if (!progress_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!started_) {
        started_ = true;
        start_ = now;
    }
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? bytes / seconds : 0;
    std::fprintf(stderr, "\r%s %zu/%zu, %zu bytes, %.0f bytes/s   ", what.c_str(), done, total,
                 bytes, rate);
    std::fflush(stderr);
    progressShown_ = true;
}

void Output::EndProgress() {
    if (!progressShown_) return;
    std::fprintf(stderr, "\r%*s\r", 79, "");
    std::fflush(stderr);
    progressShown_ = false;
}

void Output::PrintResult(int exitCode, const std::string& error) {
    EndProgress();
    if (!json_) return;
    result_["ok"] = exitCode == kExitOk;
    result_["exit_code"] = exitCode;
    result_["result"] = ExitCodeName(exitCode);
    if (!error.empty()) result_["error"] = error;
    std::printf("%s\n", result_.dump().c_str());
    std::fflush(stdout);
}

}  // namespace qmb::cli
