#include "protocol/TraceFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Utf8.h"
#include "protocol/Frame.h"
#include "protocol/HexBytes.h"

namespace qmb {

bool TraceFile::Open(const std::string& path, const char* program) {
    Close();
    if (path == "-") {
        file_ = stderr;
        ownsFile_ = false;
    } else {
        file_ = OpenFile(path, "a");  // a UTF-8 path, wide on Windows
        if (!file_) return false;
        ownsFile_ = true;
    }
    start_ = std::chrono::steady_clock::now();
    std::fprintf(file_, "# frame trace of %s: seconds dir command attempt size verdict bytes\n",
                 program);
    std::fflush(file_);
    return true;
}

void TraceFile::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ && ownsFile_) std::fclose(file_);
    file_ = nullptr;
    ownsFile_ = false;
}

void TraceFile::Write(const TraceEvent& e, const std::string& label) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::string line;
    line.reserve(64 + e.count * 3);
    char head[96];
    if (e.sent) {
        std::snprintf(head, sizeof head, "%12.6f tx %-8s %d/%d %zu bytes ", seconds, e.command,
                      e.attempt, e.attempts, e.count);
    } else {
        std::snprintf(head, sizeof head, "%12.6f rx %-8s %d/%d %zu/%zu %s ", seconds, e.command,
                      e.attempt, e.attempts, e.count, e.expected, ReplyVerdictName(e.verdict));
    }
    if (!label.empty()) {
        // "   0.412031 [COM3] tx ...": the label after the time.
        line.append(head, 12);
        line += " [" + label + "]";
        line += head + 12;
    } else {
        line += head;
    }
    if (e.count > 0) {
        line += ' ';
        line += HexPairs(e.bytes, e.count);
    }
    line += '\n';
    std::fputs(line.c_str(), file_);
    std::fflush(file_);
}

bool TraceFromEnvironment(const char* program, std::string* error) {
    const std::string path = EnvironmentValue(kTraceVariable);
    if (path.empty()) return false;
    // Never destroyed: a worker may still trace while the process ends.
    static TraceFile* file = new TraceFile;
    if (!file->Open(path, program)) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    ExchangeContext::Default().SetTraceSink(file);
    return true;
}

}  // namespace qmb
