// The device simulator as a child process, for real-time tests, benchmarks
// and the soak: qmb-devsim on a fresh pseudo-terminal with a stable link and
// a control socket in a private directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace qmb::test {

using SteadyClock = std::chrono::steady_clock;

// Milliseconds on the monotonic clock since start.
double MsSince(SteadyClock::time_point start);
// CPU time (user + system) this process has used, in milliseconds.
double CpuMs();

// Sends one line to a simulator's control socket; returns its answer line
// ("" when the socket cannot be reached or gives no answer in 5 s).
std::string SimControl(const std::string& socketPath, const std::string& line);

// Runs a program (args[0] is its path) to its end, its standard output and
// error going to the files named ("" for /dev/null), and sends it signal
// (SIGINT unless said) interruptMs after the start when that is not
// negative. Returns its exit code, or 1000 + the signal that ended it.
int RunProgram(std::vector<std::string> args, const std::string& outPath,
               const std::string& errPath, int interruptMs = -1, int signal = 2);

// One qmb-devsim process. Stopped (quit, or killed if it will not) when
// destroyed.
class DevSim {
  public:
    // program: the qmb-devsim executable.
    explicit DevSim(std::string program);
    ~DevSim();
    DevSim(const DevSim&) = delete;
    DevSim& operator=(const DevSim&) = delete;

    std::string ImagePath() const { return dir_ + "/image"; }

    // Starts the simulator and waits (5 s at most) for its terminal's path.
    bool Start(std::vector<std::string> extra = {});
    // Sends one control line over the socket; returns the answer line.
    std::string Control(const std::string& line) { return SimControl(control, line); }
    // True when the answer to the control line starts with "ok".
    bool ControlOk(const std::string& line) { return Control(line).rfind("ok", 0) == 0; }
    // The next line the simulator prints (a new path after a hang-up).
    std::string ReadLine(int timeoutMs);
    void Stop();
    pid_t Pid() const { return pid_; }

    std::string link, control, terminal;

  private:
    std::string program_;
    std::string dir_;
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1;
};

}  // namespace qmb::test
