// Real time, real serial path: the qmb-devsim executable on a
// pseudo-terminal, reached through PosixPort and the core's link and
// commands, as the tool reaches a device. Each test starts its own
// simulator; the simulator's terminal is named through QMB_COM1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"
#include "HeadlessPanel.h"
#include "VirtualTime.h"
#include "job/JobFlags.h"
#include "job/StartAbort.h"
#include "job/Worker.h"
#include "link/PosixPort.h"
#include "link/SerialLink.h"
#include "protocol/Commands.h"
#include "protocol/Frame.h"

extern char** environ;

namespace qmb::test {
namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// One qmb-devsim process with a link and a control socket in a fresh
// directory. Stopped (quit, or killed if it will not) when destroyed.
class DevSim {
  public:
    DevSim() {
        char pattern[] = "/tmp/qmb-devsim-test-XXXXXX";
        if (mkdtemp(pattern)) dir_ = pattern;
        link = dir_ + "/tty";
        control = dir_ + "/control";
    }
    ~DevSim() {
        Stop();
        ::unlink((dir_ + "/image").c_str());
        ::rmdir(dir_.c_str());
    }

    std::string ImagePath() const { return dir_ + "/image"; }

    // Starts the simulator and waits (5 s at most) for its terminal's path.
    bool Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {QMB_DEVSIM_PATH, "--link", link, "--control", control};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2], in[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        if (rc != 0) {
            pid_ = -1;
            return false;
        }
        terminal = ReadLine(5000);
        return !terminal.empty() && terminal[0] == '/';
    }

    // Sends one control line over the socket; returns the answer line.
    std::string Control(const std::string& line) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, control.c_str(), sizeof addr.sun_path - 1);
        std::string answer;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            const std::string text = line + "\n";
            if (::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
                answer = ReadLineFrom(fd, 5000);
            }
        }
        ::close(fd);
        return answer;
    }

    // The next line the simulator prints (a new path after a hang-up).
    std::string ReadLine(int timeoutMs) { return ReadLineFrom(stdout_, timeoutMs); }

    void Stop() {
        if (pid_ > 0) {
            Control("quit");
            int status = 0;
            const auto start = Clock::now();
            while (::waitpid(pid_, &status, WNOHANG) == 0) {
                if (MsSince(start) > 3000) {
                    ::kill(pid_, SIGKILL);
                    ::waitpid(pid_, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            pid_ = -1;
        }
        if (stdin_ >= 0) ::close(stdin_);
        if (stdout_ >= 0) ::close(stdout_);
        stdin_ = stdout_ = -1;
    }

    std::string link, control, terminal;

  private:
    std::string ReadLineFrom(int fd, int timeoutMs) {
        std::string line;
        const auto start = Clock::now();
        char c;
        while (MsSince(start) < timeoutMs) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            if (::read(fd, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return "";
    }

    std::string dir_;
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1;
};

std::function<void()> g_jobBody;
void RunStoredBody() {
    g_jobBody();
}

class Realtime : public ::testing::Test {
  protected:
    void SetUp() override {
        JobFlags.store(0);
        ClockRunning.store(0);
        HeldSectionNumber = kInitialSectionNumber;
        BindPanel(&panel);
        BindPort(&port, &ticks);
        SetWorkerStarter(&StartJoinableWorker);
        ASSERT_TRUE(sim.Start()) << "qmb-devsim did not start";
        setenv("QMB_COM1", sim.link.c_str(), 1);
    }
    void TearDown() override {
        port.Close();
        JoinWorkers();
        SetWorkerStarter(nullptr);
        BindPort(nullptr, nullptr);
        BindPanel(nullptr);
        unsetenv("QMB_COM1");
    }

    // Runs body as the worker would, on this thread: 0, or FailJob's code.
    int RunAsJob(std::function<void()> body) {
        g_jobBody = std::move(body);
        const int code = RunJob(&RunStoredBody);
        g_jobBody = nullptr;
        return code;
    }
    int RunWorker(uint32_t modeBits) {
        JobFlags.store(kJobBusy | modeBits);
        return JobWorker();
    }

    // Opens COM1 as OpenPort does, for tests that use the port directly.
    void OpenDirect(PosixPort& p) {
        ASSERT_TRUE(p.Open("COM1"));
        ASSERT_TRUE(p.ApplyLineSettings(kLineSettings));
        ASSERT_TRUE(p.ApplyTimeLimits(kTimeLimits));
        p.Purge();
    }

    Bytes Query(int section) {
        Bytes request(kSectionInfoRequestSize);
        BuildSectionInfoRequest(request.data(), section);
        return request;
    }

    HeadlessPanel panel;
    PosixPort port;
    PosixTickCounter ticks;
    DevSim sim;
};

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + 37 * i);
    return b;
}

// The device's EEPROM bytes for a section, as its "dump" reports them.
std::string EepromHex(DevSim& sim, int section) {
    const std::string dump = sim.Control("dump " + std::to_string(section));
    const size_t at = dump.find(" eeprom ");
    return at == std::string::npos ? dump : dump.substr(at + 8);
}

std::string Hex(const Bytes& b) {
    std::string s;
    char piece[3];
    for (uint8_t x : b) {
        std::snprintf(piece, sizeof piece, "%02X", x);
        s += piece;
    }
    return s;
}

TEST_F(Realtime, QueryReadWriteCommitOfSectionsOfLength1_8_17_255) {
    const std::pair<int, uint16_t> sections[] = {{1, 1}, {11, 8}, {3, 17}, {4, 255}};
    const int code = RunAsJob([&] {
        ASSERT_TRUE(OpenPort('1'));
        for (const auto& [section, length] : sections) {
            SCOPED_TRACE("section " + std::to_string(section));
            SectionInfo info{};
            ASSERT_TRUE(QuerySectionInfo(section, info));
            ASSERT_EQ(info.length, length);
            Bytes before(length);
            ASSERT_TRUE(ReadSectionMemory(before.data(), info.address, length));
            const Bytes data = Pattern(length, static_cast<uint8_t>(section + 0x50));
            ASSERT_NE(data[0], before[0]) << "the first byte must change too";
            ASSERT_TRUE(WriteSectionMemory(data.data(), info.address, length));
            Bytes after(length);
            ASSERT_TRUE(ReadSectionMemory(after.data(), info.address, length));
            EXPECT_EQ(after, data) << "write then read";
            ASSERT_TRUE(CommitSection(section));
            EXPECT_EQ(EepromHex(sim, section), Hex(data)) << "EEPROM after commit";
        }
        ClosePort();
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(panel.Messages().empty());
}

TEST_F(Realtime, CommittedSectionSurvivesASimulatorRestartWithImage) {
    sim.Stop();
    ASSERT_TRUE(sim.Start({"--image", sim.ImagePath()}));
    const Bytes committed = Pattern(8, 0x11);
    const Bytes ramOnly = {0xE1};
    const uint8_t address11[3] = {0x11, 0x22, 0x33};
    const uint8_t address1[3] = {0x01, 0x01, 0x00};
    ASSERT_EQ(RunAsJob([&] {
                  ASSERT_TRUE(OpenPort('1'));
                  ASSERT_TRUE(WriteSectionMemory(committed.data(), address11, 8));
                  ASSERT_TRUE(CommitSection(11));
                  ASSERT_TRUE(WriteSectionMemory(ramOnly.data(), address1, 1));  // no commit
                  ClosePort();
              }),
              0);

    sim.Stop();
    ASSERT_TRUE(sim.Start({"--image", sim.ImagePath()}));
    Bytes got11(8), got1(1);
    ASSERT_EQ(RunAsJob([&] {
                  ASSERT_TRUE(OpenPort('1'));
                  ASSERT_TRUE(ReadSectionMemory(got11.data(), address11, 8));
                  ASSERT_TRUE(ReadSectionMemory(got1.data(), address1, 1));
                  ClosePort();
              }),
              0);
    EXPECT_EQ(got11, committed);
    EXPECT_EQ(got1, Bytes{0x01}) << "an uncommitted write is lost with the RAM";
}

TEST_F(Realtime, SilentReadAttemptReturnsNothingAfterAbout400ms) {
    ASSERT_EQ(sim.Control("fault silent on info").rfind("ok", 0), 0u);
    OpenDirect(port);
    const Bytes request = Query(11);
    ASSERT_TRUE(port.Write(request.data(), request.size()));
    uint8_t buf[33];
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
    const double ms = MsSince(start);
    EXPECT_GE(ms, 350);
    EXPECT_LE(ms, 1000);
}

TEST_F(Realtime, ReplyInThreePiecesIsReceivedWholeWithinOneAttempt) {
    ASSERT_EQ(sim.Control("fault pieces 11,11 60,60 on info").rfind("ok", 0), 0u);
    double ms = 0;
    bool received = false;
    uint8_t buf[33];
    ASSERT_EQ(RunAsJob([&] {
                  ASSERT_TRUE(OpenPort('1'));
                  const Bytes request = Query(11);
                  SendBytes(request.data(), request.size());
                  const auto start = Clock::now();
                  received = ReceiveBytes(buf, sizeof buf);
                  ms = MsSince(start);
                  ClosePort();
              }),
              0);
    EXPECT_TRUE(received);
    EXPECT_EQ(BytesReceived, 33u);
    EXPECT_GE(ms, 120) << "both pauses lie inside the transfer";
    EXPECT_LT(ms, 350) << "one attempt, ended by the last piece, not by the limit";
    EXPECT_TRUE(ValidateReply(buf, 33));
}

TEST_F(Realtime, SecondOpenOfABusyPortFailsUntilTheFirstCloses) {
    PosixPort first, second;
    ASSERT_TRUE(first.Open("COM1"));
    EXPECT_FALSE(second.Open("COM1"));
    EXPECT_FALSE(second.Open(sim.terminal.c_str())) << "the same terminal by its own path";
    first.Close();
    EXPECT_TRUE(second.Open("COM1"));
}

TEST_F(Realtime, HangUpDuringAJobEndsItThroughFailJobQuietlyAndWithoutSpinning) {
    ASSERT_EQ(sim.Control("fault hangup 10 on info").rfind("ok", 0), 0u);
    panel.Type(IDC_SECTION, "11");
    const double cpuBefore = CpuMs();
    const auto start = Clock::now();
    EXPECT_EQ(RunWorker(kJobRead), 1);
    const double wallMs = MsSince(start);
    const double cpuMs = CpuMs() - cpuBefore;
    EXPECT_TRUE(panel.Messages().empty()) << panel.Messages().front();
    EXPECT_TRUE(panel.IsIdle());
    // Two dead read attempts of 400 ms, the 2 s pause, then the failed write.
    EXPECT_GE(wallMs, 2700);
    EXPECT_LT(cpuMs, 100) << "over " << wallMs << " ms";
    RecordProperty("cpu_ms", std::to_string(cpuMs));

    // The simulator put a fresh terminal behind the link: the next job works.
    const std::string fresh = sim.ReadLine(5000);
    EXPECT_FALSE(fresh.empty());
    EXPECT_NE(fresh, sim.terminal);
    EXPECT_EQ(RunWorker(kJobRead), 0);
    EXPECT_EQ(panel.Text(IDC_LENGTH), "8");
}

TEST_F(Realtime, TatJobCompletesWhenTheSimulatorIgnites) {
    ASSERT_EQ(sim.Control("ignition"), "ok ignition started");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the first I goes stale
    const auto start = Clock::now();
    EXPECT_EQ(RunWorker(kJobTat), 0);
    EXPECT_LT(MsSince(start), 3000) << "the repeated I is seen after the open's purge";
    EXPECT_NE(sim.Control("status").find("handshakes 1"), std::string::npos);
}

// A request of n bytes takes n x 260 µs to cross the line: no answer before.
TEST_F(Realtime, NoAnswerBeforeTheWholeRequestCouldHaveArrived) {
    OpenDirect(port);
    const uint8_t address4[3] = {0x01, 0x04, 0x00};
    const Bytes data = Pattern(255, 0x04);
    Bytes request(kWriteRequestBufferSize);
    request.resize(BuildWriteRequest(request.data(), address4, data.data(), 255));
    ASSERT_EQ(request.size(), 280u);
    const auto start = Clock::now();
    ASSERT_TRUE(port.Write(request.data(), request.size()));
    uint8_t first;
    ASSERT_EQ(port.Read(&first, 1), 1u);
    EXPECT_GE(MsSince(start), 280 * 0.2604) << "answered before the request was through";
}

// 272 bytes (a read of 255) at 38400 8N1: 271 byte times from the first to
// the last, 70.6 ms. A loaded machine can only stretch a measurement, so a
// few tries are allowed; the bound itself stays at 10 %.
TEST_F(Realtime, ReplyOf272BytesArrivesAt260MicrosecondsPerByteWithin10Percent) {
    OpenDirect(port);
    Bytes request(kReadRequestSize);
    const uint8_t address4[3] = {0x01, 0x04, 0x00};
    BuildReadRequest(request.data(), address4, 255);
    const double expectedMs = 271 * 10.0 / 38400 * 1000;
    std::vector<double> spans;
    for (int attempt = 0; attempt < 5; ++attempt) {
        ASSERT_TRUE(port.Write(request.data(), request.size()));
        uint8_t reply[272];
        ASSERT_EQ(port.Read(reply, 1), 1u);
        const auto first = Clock::now();
        ASSERT_EQ(port.Read(reply + 1, 271), 271u);
        spans.push_back(MsSince(first));
        ASSERT_TRUE(ValidateReply(reply, 272));
        if (std::abs(spans.back() - expectedMs) <= expectedMs * 0.10) break;
    }
    std::string all;
    for (double s : spans)
        all += std::to_string(s) + " ";
    RecordProperty("spans_ms", all);
    EXPECT_NEAR(spans.back(), expectedMs, expectedMs * 0.10) << "spans (ms): " << all;
}

}  // namespace
}  // namespace qmb::test
