// The qmb-devsim process around the device model: the line (a fresh
// pseudo-terminal, or an existing serial device), line pacing, the ignition
// timers, the control channels (standard input and a Unix socket), the trace
// and the image file. One thread; everything waits in one ppoll().
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/Control.h"
#include "sim/DeviceModel.h"

namespace qmb::sim {

struct SimOptions {
    std::string linkPath;              // --link: symlink kept pointing at the terminal
    std::string portPath;              // --port: an existing serial device instead of a pty
    std::string imagePath;             // --image
    std::string controlPath;           // --control: Unix socket
    uint32_t ignitionEveryMs = 0;      // 0: only on the "ignition" command
    uint32_t ignitionRepeatMs = 500;   // "I" again while no "O" came
    uint32_t ignitionLimitMs = 30000;  // a handshake is given up after this
    bool pacing = true;
    uint32_t latencyMs = 0;
    bool trace = false;
    std::vector<Fault> faults;
};

class Simulator {
  public:
    explicit Simulator(SimOptions options);
    ~Simulator();

    // Opens the line and the control socket, loads the image; prints the
    // terminal's path. False (with a message on stderr) when it cannot.
    bool Start();
    // Runs until "quit", SIGINT or SIGTERM. Returns the process exit code.
    int Run();

  private:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    struct OutByte {
        Time due;  // when the byte has crossed the line
        uint8_t byte = 0;
        bool hangUp = false;                                // a marker, not a byte
        std::shared_ptr<const std::vector<uint8_t>> frame;  // first byte: for the trace
    };
    struct Client {
        int fd;
        std::string input;
    };

    bool OpenLine();
    bool OpenPty();
    bool OpenDevice();
    void CloseLine();
    void HangUp();
    bool PointLink();

    void Received(const uint8_t* bytes, size_t n, Time now);
    void Schedule(const std::vector<Emission>& emissions, Time base);
    void SendDue(Time now);
    void RunTimers(Time now);
    void StartHandshake(Time now);
    void SaveImageIfChanged();

    bool OpenControlSocket();
    void AcceptClient();
    // Runs the complete lines in input; answers through fd. False on quit.
    void RunLines(std::string& input, int fd);
    void Answer(int fd, const std::string& line);

    void Trace(const char* direction, const std::vector<uint8_t>& bytes, const std::string& note);
    void TraceModelEvent(const ModelEvent& event);
    void PrintPath();

    SimOptions options_;
    DeviceModel model_;
    ControlActions actions_;
    Time started_;
    std::chrono::nanoseconds byteTime_;

    int lineFd_ = -1;
    int slaveKeepFd_ = -1;  // keeps the terminal from reporting a hang-up between jobs
    std::string ptyPath_;
    bool writeBlocked_ = false;
    Time rxLineFree_;
    Time outLineFree_;
    Time lastRequest_;
    std::deque<OutByte> out_;

    bool handshake_ = false;
    Time nextRepeat_, handshakeDeadline_, nextCycle_;

    int listenFd_ = -1;
    std::vector<Client> clients_;
    bool stdinOpen_ = true;
    std::string stdinInput_;
    bool quit_ = false;
    uint64_t hangUps_ = 0;
};

}  // namespace qmb::sim
