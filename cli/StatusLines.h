// Live status lines on a terminal: one line per thing that progresses (a
// backup's sections, a gang's ports), redrawn by a thread of its own at most
// a few times a second. Set() only stores the text, so a slow terminal (a
// Windows console, Wine) never holds up a transfer.
//
// Threads: Set() from any thread; Print() and Erase() from any thread (they
// wait for the terminal).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qmb::cli {

class StatusLines {
  public:
    explicit StatusLines(std::FILE* out,
                         std::chrono::milliseconds period = std::chrono::milliseconds(250));
    // Erases the lines and stops the thread.
    ~StatusLines();
    StatusLines(const StatusLines&) = delete;
    StatusLines& operator=(const StatusLines&) = delete;

    // Line index's new text; shown at the next redraw.
    void Set(size_t index, std::string text);
    // A line of its own above the status lines, which are drawn again after.
    void Print(const std::string& line);
    // Takes the lines off the terminal (until the next Set).
    void Erase();

  private:
    void Run();
    void Draw(const std::vector<std::string>& lines);
    void EraseShown();

    std::FILE* out_;
    const std::chrono::milliseconds period_;
    std::mutex mutex_;  // lines_, dirty_, stop_
    std::condition_variable wake_;
    std::vector<std::string> lines_;
    bool dirty_ = false;
    bool stop_ = false;
    std::mutex terminal_;  // what is on the terminal: shown_, widths
    size_t shown_ = 0;
    size_t shownWidth_ = 0;
    std::thread thread_;
};

}  // namespace qmb::cli
