#include "DevSim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

extern char** environ;

namespace qmb::test {

int RunProgram(std::vector<std::string> args, const std::string& outPath,
               const std::string& errPath, int interruptMs, int signal) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (!std::freopen(outPath.empty() ? "/dev/null" : outPath.c_str(), "w", stdout) ||
            !std::freopen(errPath.empty() ? "/dev/null" : errPath.c_str(), "w", stderr)) {
            _exit(126);
        }
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (interruptMs >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(interruptMs));
        kill(pid, signal);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

double MsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

namespace {
// The next line from fd, or "" after timeoutMs.
std::string ReadLineWithin(int fd, int timeoutMs) {
    std::string line;
    const auto start = SteadyClock::now();
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
}  // namespace

std::string SimControl(const std::string& socketPath, const std::string& line) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string text = line + "\n";
        if (::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
            answer = ReadLineWithin(fd, 5000);
        }
    }
    ::close(fd);
    return answer;
}

DevSim::DevSim(std::string program) : program_(std::move(program)) {
    char pattern[] = "/tmp/qmb-devsim-XXXXXX";
    if (mkdtemp(pattern)) dir_ = pattern;
    link = dir_ + "/tty";
    control = dir_ + "/control";
}

DevSim::~DevSim() {
    Stop();
    ::unlink((dir_ + "/image").c_str());
    ::rmdir(dir_.c_str());
}

bool DevSim::Start(std::vector<std::string> extra) {
    std::vector<std::string> args = {program_, "--link", link, "--control", control};
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

void DevSim::Stop() {
    if (pid_ > 0) {
        Control("quit");
        int status = 0;
        const auto start = SteadyClock::now();
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

std::string DevSim::ReadLine(int timeoutMs) {
    return ReadLineWithin(stdout_, timeoutMs);
}

}  // namespace qmb::test
