// A trace sink that writes one text line per event, for support logs:
//
//     0.412031 tx info    1/3 17 bytes  AA 03 00 0C ... 0B 00 33
//     0.430177 rx info    1/3 33/33 sound  AA 03 00 1C ... 5E
//     1.632514 rx read    1/3 0/25 timeout
//
// Seconds on the monotonic clock since the trace began, direction (tx to the
// device, rx from it), the command, attempt/attempts, the size (received of
// expected for replies), the verdict of a reply, and every byte in hex. Each
// line is flushed as it is written, so a trace survives a crash.
//
// Several lines may share one file: each event is written as one whole line
// under a lock, and a LabelledTrace puts its line's name (a port) after the
// time.
//
// Threads: OnTrace and Write from any thread.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "protocol/Trace.h"

namespace qmb {

class TraceFile : public TraceSink {
  public:
    TraceFile() = default;
    ~TraceFile() override { Close(); }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Opens path for appending ("-": standard error) and writes a first line
    // naming the program. False when it cannot be opened.
    bool Open(const std::string& path, const char* program);
    void Close();
    void OnTrace(const TraceEvent& event) override { Write(event, ""); }
    // The event's line with label ("" for none) after the time.
    void Write(const TraceEvent& event, const std::string& label);

  private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    bool ownsFile_ = false;
    std::chrono::steady_clock::time_point start_{};
};

// One line's events into a shared TraceFile, each labelled with the line's
// name.
class LabelledTrace : public TraceSink {
  public:
    LabelledTrace(TraceFile& file, std::string label) : file_(file), label_(std::move(label)) {}
    void OnTrace(const TraceEvent& event) override { file_.Write(event, label_); }

  private:
    TraceFile& file_;
    const std::string label_;
};

// The environment variable through which the windows are traced.
inline constexpr char kTraceVariable[] = "QMB_TRACE";

// When QMB_TRACE names a file, opens it and makes it the trace sink for the
// rest of the process. Returns false (and traces nothing) when it is unset,
// empty or cannot be opened; *error then says why when it was set.
bool TraceFromEnvironment(const char* program, std::string* error);

}  // namespace qmb
