#include "sim/Simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/ImageFile.h"

namespace qmb::sim {

namespace {

// 38400 baud, 8N1: ten bit times a byte.
constexpr int64_t kByteNs = 10LL * 1000000000LL / 38400;  // about 260 µs
constexpr size_t kMaxQueuedBytes = 65536;                 // output kept while nobody reads
constexpr size_t kMaxClients = 16;
constexpr uint32_t kSessionQuietMs = 1500;  // no new ignition cycle while talking

volatile std::sig_atomic_t g_stopSignal = 0;
void OnStopSignal(int signal) {
    g_stopSignal = signal;
}

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// Raw 38400 8N1, no flow control, reads that do not wait.
bool MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

void WriteAllBlocking(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0) return;  // a client that does not read loses lines
        } else {
            return;
        }
    }
}

}  // namespace

Simulator::Simulator(SimOptions options)
    : options_(std::move(options)),
      started_(Clock::now()),
      byteTime_(options_.pacing ? kByteNs : 0) {
    rxLineFree_ = outLineFree_ = lastRequest_ = nextRepeat_ = handshakeDeadline_ = nextCycle_ =
        started_;
    actions_.startIgnition = [this] { StartHandshake(Clock::now()); };
    actions_.quit = [this] { quit_ = true; };
    actions_.statusExtra = [this] {
        std::string extra = "hangups " + std::to_string(hangUps_);
        if (!ptyPath_.empty()) extra += " terminal " + ptyPath_;
        // Bytes of replies not yet on the line: 0 once the device is quiet.
        extra += " sending " + std::to_string(out_.size());
        return extra;
    };
    for (const Fault& f : options_.faults)
        model_.AddFault(f);
    if (options_.trace) model_.SetObserver([this](const ModelEvent& e) { TraceModelEvent(e); });
}

Simulator::~Simulator() {
    CloseLine();
    for (Client& c : clients_)
        ::close(c.fd);
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(options_.controlPath.c_str());
    }
    if (!options_.linkPath.empty()) {
        char target[4096];
        const ssize_t n = ::readlink(options_.linkPath.c_str(), target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            if (ptyPath_ == target) ::unlink(options_.linkPath.c_str());
        }
    }
}

bool Simulator::Start() {
    if (!options_.imagePath.empty()) {
        std::string error;
        switch (LoadImage(options_.imagePath, model_, error)) {
            case ImageLoad::kBad:
                std::fprintf(stderr, "qmb-devsim: %s\n", error.c_str());
                return false;
            case ImageLoad::kMissing:
                if (!SaveImage(options_.imagePath, model_, error)) {
                    std::fprintf(stderr, "qmb-devsim: %s\n", error.c_str());
                    return false;
                }
                break;
            case ImageLoad::kLoaded:
                break;
        }
        model_.TakeEepromChanged();
    }
    if (!options_.linkPath.empty()) {
        struct stat st {};
        if (::lstat(options_.linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "qmb-devsim: %s exists and is not a symlink\n",
                         options_.linkPath.c_str());
            return false;
        }
    }
    // The control socket first: once the path is printed, everything is ready.
    if (!options_.controlPath.empty() && !OpenControlSocket()) return false;
    if (!OpenLine()) return false;
    // Standard input stays blocking (it may be the operator's terminal, shared
    // with the shell): it is only read when poll says it has data. Run in the
    // background of a shell, reading the terminal fails instead of stopping
    // the process, and the simulator then goes on without it.
    std::signal(SIGTTIN, SIG_IGN);
    const Time now = Clock::now();
    nextCycle_ = now + std::chrono::milliseconds(options_.ignitionEveryMs);
    return true;
}

bool Simulator::OpenLine() {
    return options_.portPath.empty() ? OpenPty() : OpenDevice();
}

bool Simulator::OpenPty() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::fprintf(stderr, "qmb-devsim: cannot create a pseudo-terminal: %s\n",
                     std::strerror(errno));
        if (master >= 0) ::close(master);
        return false;
    }
    const char* name = ::ptsname(master);
    const int slave = name ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (slave < 0 || !MakeRaw(slave) || !SetNonBlocking(master)) {
        std::fprintf(stderr, "qmb-devsim: cannot set up the pseudo-terminal: %s\n",
                     std::strerror(errno));
        if (slave >= 0) ::close(slave);
        ::close(master);
        return false;
    }
    lineFd_ = master;
    slaveKeepFd_ = slave;
    ptyPath_ = name;
    if (!PointLink()) return false;
    PrintPath();
    return true;
}

bool Simulator::OpenDevice() {
    const int fd = ::open(options_.portPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || !MakeRaw(fd)) {
        std::fprintf(stderr, "qmb-devsim: cannot open %s: %s\n", options_.portPath.c_str(),
                     std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return false;
    }
    lineFd_ = fd;
    return true;
}

void Simulator::CloseLine() {
    if (lineFd_ >= 0) ::close(lineFd_);
    if (slaveKeepFd_ >= 0) ::close(slaveKeepFd_);
    lineFd_ = slaveKeepFd_ = -1;
    writeBlocked_ = false;
}

bool Simulator::PointLink() {
    if (options_.linkPath.empty()) return true;
    // A new symlink renamed over the old one: the link is never missing.
    const std::string temp = options_.linkPath + ".new";
    ::unlink(temp.c_str());
    if (::symlink(ptyPath_.c_str(), temp.c_str()) != 0 ||
        ::rename(temp.c_str(), options_.linkPath.c_str()) != 0) {
        std::fprintf(stderr, "qmb-devsim: cannot point %s at %s: %s\n", options_.linkPath.c_str(),
                     ptyPath_.c_str(), std::strerror(errno));
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

void Simulator::PrintPath() {
    std::printf("%s\n", ptyPath_.c_str());
    std::fflush(stdout);
}

void Simulator::HangUp() {
    ++hangUps_;
    Trace("--", {}, "hang-up: line closed");
    out_.clear();
    model_.ResetReceiver();
    CloseLine();
    // A terminal whose master has closed stays dead for whoever holds it; a
    // fresh one takes its place (and the link moves to it), so later jobs work.
    while (!quit_ && !OpenLine()) {
        ::sleep(1);
    }
    const Time now = Clock::now();
    rxLineFree_ = outLineFree_ = now;
}

void Simulator::Received(const uint8_t* bytes, size_t n, Time now) {
    // The request is complete only when its last byte could have crossed the line.
    rxLineFree_ = std::max(now, rxLineFree_) + byteTime_ * static_cast<int64_t>(n);
    const ModelStats before = model_.Stats();
    std::vector<Emission> emissions = model_.Feed(bytes, n);
    const ModelStats& after = model_.Stats();
    // A completed handshake starts a session as much as a request does: the
    // tool's requests follow it (after a Loop job's one-second wait), and a
    // new "I" must not land among their replies.
    if (after.requests != before.requests || after.refused != before.refused ||
        after.handshakes != before.handshakes) {
        lastRequest_ = now;
    }
    Schedule(emissions, rxLineFree_ + std::chrono::milliseconds(options_.latencyMs));
    SaveImageIfChanged();
}

void Simulator::Schedule(const std::vector<Emission>& emissions, Time base) {
    Time t = base;
    for (const Emission& e : emissions) {
        t += std::chrono::milliseconds(e.delayMs);
        const Time start = std::max(t, outLineFree_);
        for (size_t i = 0; i < e.bytes.size(); ++i) {
            OutByte b;
            b.due = start + byteTime_ * static_cast<int64_t>(i + 1);
            b.byte = e.bytes[i];
            if (i == 0 && options_.trace) {
                b.frame = std::make_shared<const std::vector<uint8_t>>(e.bytes);
            }
            out_.push_back(std::move(b));
        }
        outLineFree_ = start + byteTime_ * static_cast<int64_t>(e.bytes.size());
        t = outLineFree_;
        if (e.hangUp) {
            OutByte marker;
            marker.due = t;
            marker.hangUp = true;
            out_.push_back(std::move(marker));
        }
    }
    while (out_.size() > kMaxQueuedBytes)
        out_.pop_front();
}

void Simulator::SendDue(Time now) {
    while (!out_.empty() && out_.front().due <= now && lineFd_ >= 0) {
        if (out_.front().hangUp) {
            HangUp();
            return;
        }
        std::vector<uint8_t> batch;
        for (size_t i = 0; i < out_.size() && !out_[i].hangUp && out_[i].due <= now; ++i) {
            batch.push_back(out_[i].byte);
        }
        const ssize_t n = ::write(lineFd_, batch.data(), batch.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            writeBlocked_ = true;  // EAGAIN: the other side's buffer is full
            return;
        }
        writeBlocked_ = static_cast<size_t>(n) < batch.size();
        for (ssize_t i = 0; i < n; ++i) {
            if (out_.front().frame) Trace("tx", *out_.front().frame, "");
            out_.pop_front();
        }
        if (writeBlocked_) return;
    }
}

void Simulator::StartHandshake(Time now) {
    Schedule(model_.Ignite(), now);
    handshake_ = true;
    nextRepeat_ = now + std::chrono::milliseconds(options_.ignitionRepeatMs);
    handshakeDeadline_ = now + std::chrono::milliseconds(options_.ignitionLimitMs);
}

void Simulator::RunTimers(Time now) {
    if (options_.ignitionEveryMs > 0 && now >= nextCycle_) {
        const Time quietFrom = lastRequest_ + std::chrono::milliseconds(kSessionQuietMs);
        if (now < quietFrom && lastRequest_ != started_) {
            nextCycle_ = quietFrom;  // the tool is talking to the device: later
        } else {
            StartHandshake(now);
            nextCycle_ = now + std::chrono::milliseconds(options_.ignitionEveryMs);
        }
    }
    if (!handshake_) return;
    if (!model_.AwaitingIgnitionAnswer()) {
        handshake_ = false;
    } else if (now >= handshakeDeadline_) {
        model_.AbandonIgnition();
        handshake_ = false;
    } else if (now >= nextRepeat_) {
        Schedule(model_.Ignite(), now);
        nextRepeat_ = now + std::chrono::milliseconds(options_.ignitionRepeatMs);
    }
}

void Simulator::SaveImageIfChanged() {
    if (!model_.TakeEepromChanged() || options_.imagePath.empty()) return;
    std::string error;
    if (!SaveImage(options_.imagePath, model_, error)) {
        std::fprintf(stderr, "qmb-devsim: %s\n", error.c_str());
    }
}

bool Simulator::OpenControlSocket() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (options_.controlPath.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "qmb-devsim: control path too long\n");
        return false;
    }
    std::strcpy(addr.sun_path, options_.controlPath.c_str());
    struct stat st {};
    if (::lstat(addr.sun_path, &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(addr.sun_path);
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 8) != 0) {
        std::fprintf(stderr, "qmb-devsim: cannot listen on %s: %s\n", addr.sun_path,
                     std::strerror(errno));
        return false;
    }
    return true;
}

void Simulator::AcceptClient() {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (clients_.size() >= kMaxClients) {
        WriteAllBlocking(fd, "error too many control connections\n");
        ::close(fd);
        return;
    }
    clients_.push_back(Client{fd, {}});
}

void Simulator::Answer(int fd, const std::string& line) {
    const std::string answer = RunControlLine(line, model_, actions_);
    if (!answer.empty()) WriteAllBlocking(fd, answer + "\n");
    SaveImageIfChanged();
}

void Simulator::RunLines(std::string& input, int fd) {
    size_t newline;
    while (!quit_ && (newline = input.find('\n')) != std::string::npos) {
        std::string line = input.substr(0, newline);
        input.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Answer(fd, line);
    }
    if (input.size() > 65536) input.clear();  // no line is that long
}

void Simulator::Trace(const char* direction, const std::vector<uint8_t>& bytes,
                      const std::string& note) {
    if (!options_.trace) return;
    const double t = std::chrono::duration<double>(Clock::now() - started_).count();
    std::string line = Hex(bytes);
    if (!note.empty()) line += (line.empty() ? "" : "  ") + ("(" + note + ")");
    std::fprintf(stderr, "%12.6f %s %s\n", t, direction, line.c_str());
}

void Simulator::TraceModelEvent(const ModelEvent& e) {
    switch (e.kind) {
        case ModelEvent::kRequest:
            Trace("rx", e.bytes, e.note);
            break;
        case ModelEvent::kBadFrame:
            Trace("rx", e.bytes, "BAD FRAME: " + e.note);
            break;
        case ModelEvent::kRefused:
            Trace("rx", e.bytes, "REFUSED: " + e.note);
            break;
        case ModelEvent::kGarbage:
            Trace("rx", e.bytes, "GARBAGE: skipped");
            break;
        case ModelEvent::kIgnition:
        case ModelEvent::kFault:
            Trace("--", {}, e.note);
            break;
    }
}

int Simulator::Run() {
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // The stop signals are only let in while waiting, so none is missed.
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);

    std::vector<pollfd> fds;
    while (!quit_ && !g_stopSignal) {
        Time now = Clock::now();
        RunTimers(now);
        SendDue(now);
        if (quit_) break;

        Time wake = now + std::chrono::seconds(1);
        if (!out_.empty() && !writeBlocked_) wake = std::min(wake, out_.front().due);
        if (handshake_) wake = std::min({wake, nextRepeat_, handshakeDeadline_});
        if (options_.ignitionEveryMs > 0) wake = std::min(wake, nextCycle_);

        fds.clear();
        fds.push_back({lineFd_, static_cast<short>(POLLIN | (writeBlocked_ ? POLLOUT : 0)), 0});
        fds.push_back({stdinOpen_ ? STDIN_FILENO : -1, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (const Client& c : clients_)
            fds.push_back({c.fd, POLLIN, 0});

        const auto wait = std::max(std::chrono::nanoseconds(0), wake - Clock::now());
        timespec timeout{static_cast<time_t>(wait.count() / 1000000000),
                         static_cast<long>(wait.count() % 1000000000)};
        const int ready = ::ppoll(fds.data(), fds.size(), &timeout, &waitMask);
        if (ready < 0) continue;  // EINTR: a stop signal, looked at above
        now = Clock::now();

        if (fds[0].revents & POLLOUT) writeBlocked_ = false;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            uint8_t buf[4096];
            const ssize_t n = ::read(lineFd_, buf, sizeof buf);
            if (n > 0) {
                Received(buf, static_cast<size_t>(n), now);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // The line itself failed (a device unplugged): start afresh.
                Trace("--", {}, std::string("line failed: ") + std::strerror(errno));
                HangUp();
                continue;
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n > 0) {
                stdinInput_.append(buf, static_cast<size_t>(n));
                RunLines(stdinInput_, STDOUT_FILENO);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                stdinOpen_ = false;  // standard input closed: keep running
            }
        }
        if (fds[2].revents & POLLIN) AcceptClient();
        for (size_t i = 3; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Client* client = nullptr;
            for (Client& c : clients_) {
                if (c.fd == fds[i].fd) client = &c;
            }
            if (!client) continue;
            char buf[4096];
            const ssize_t n = ::read(client->fd, buf, sizeof buf);
            if (n > 0) {
                client->input.append(buf, static_cast<size_t>(n));
                RunLines(client->input, client->fd);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                ::close(client->fd);
                client->fd = -1;
            }
        }
        clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                      [](const Client& c) { return c.fd < 0; }),
                       clients_.end());
    }
    // Bytes already due go out before the line closes (e.g. the answer to quit).
    SendDue(Clock::now());
    return 0;
}

}  // namespace qmb::sim
