#include "cli/StatusLines.h"

namespace qmb::cli {

StatusLines::StatusLines(std::FILE* out, std::chrono::milliseconds period)
    : out_(out), period_(period), thread_([this] { Run(); }) {}

StatusLines::~StatusLines() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    Erase();
}

void StatusLines::Set(size_t index, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.size() <= index) lines_.resize(index + 1);
    if (lines_[index] == text) return;
    lines_[index] = std::move(text);
    dirty_ = true;
}

void StatusLines::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, period_, [this] { return stop_; });
        if (stop_ || !dirty_) continue;
        std::vector<std::string> lines = lines_;
        dirty_ = false;
        lock.unlock();
        Draw(lines);
        lock.lock();
    }
}

// One line is rewritten in place with a carriage return; several are
// redrawn below each other with the terminal's cursor-up sequence.
void StatusLines::Draw(const std::vector<std::string>& lines) {
    std::lock_guard<std::mutex> lock(terminal_);
    if (lines.size() == 1) {
        std::string text = "\r" + lines[0];
        if (lines[0].size() < shownWidth_) text += std::string(shownWidth_ - lines[0].size(), ' ');
        std::fputs(text.c_str(), out_);
        shownWidth_ = lines[0].size();
        shown_ = 1;
    } else {
        std::string text;
        if (shown_ > 0) text += "\x1b[" + std::to_string(shown_) + "A";
        for (const auto& line : lines)
            text += "\r\x1b[2K" + line + "\n";
        std::fputs(text.c_str(), out_);
        shown_ = lines.size();
        shownWidth_ = 0;
    }
    std::fflush(out_);
}

void StatusLines::EraseShown() {
    if (shown_ == 0) return;
    if (shownWidth_ > 0 || shown_ == 1) {
        std::fprintf(out_, "\r%*s\r", static_cast<int>(shownWidth_), "");
    } else {
        std::fprintf(out_, "\x1b[%zuA\r\x1b[J", shown_);
    }
    std::fflush(out_);
    shown_ = 0;
    shownWidth_ = 0;
}

void StatusLines::Print(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dirty_ = !lines_.empty();
    }
    std::lock_guard<std::mutex> lock(terminal_);
    EraseShown();
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

void StatusLines::Erase() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
        dirty_ = false;
    }
    std::lock_guard<std::mutex> lock(terminal_);
    EraseShown();
}

}  // namespace qmb::cli
