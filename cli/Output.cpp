#include "cli/Output.h"

#include <cstdio>

#include "cli/ExitCodes.h"

namespace qmb::cli {

void Output::Message(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines_) {
        lines_->Print(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

void Output::Say(const std::string& line) {
    if (!quiet_) Message(line);
}

void Output::Warn(const std::string& line) {
    Message("qmb-cli: " + line);
}

void Output::Data(const std::string& text) {
    if (json_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

StatusLines* Output::Lines() {
    if (!progress_) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!lines_) lines_ = std::make_unique<StatusLines>(stderr);
    return lines_.get();
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
    char text[160];
    std::snprintf(text, sizeof text, "%s %zu/%zu, %zu bytes, %.0f bytes/s", what.c_str(), done,
                  total, bytes, rate);
    Lines()->Set(0, text);
}

void Output::EndProgress() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.reset();
}

void Output::PrintResult(int exitCode, const std::string& error) {
    EndProgress();
    if (!json_) return;
    result_["ok"] = exitCode == kExitOk;
    result_["exit_code"] = exitCode;
    result_["result"] = ExitCodeName(exitCode);
    if (!error.empty()) result_["error"] = error;
    // Text from the system (a device's path, a message) need not be UTF-8:
    // such bytes are replaced, never thrown over.
    std::printf("%s\n",
                result_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    std::fflush(stdout);
}

}  // namespace qmb::cli
