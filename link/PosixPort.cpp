#include "link/PosixPort.h"

#include "link/PortMap.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qmb {

namespace {

int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Sleeps until the monotonic clock reaches deadlineNs.
void SleepUntil(int64_t deadlineNs) {
    timespec ts{static_cast<time_t>(deadlineNs / 1000000000),
                static_cast<long>(deadlineNs % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

bool BaudToSpeed(uint32_t baud, speed_t& speed) {
    static const struct {
        uint32_t baud;
        speed_t speed;
    } kSpeeds[] = {{1200, B1200},   {2400, B2400},     {4800, B4800},
                   {9600, B9600},   {19200, B19200},   {38400, B38400},
                   {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) {
            speed = s.speed;
            return true;
        }
    }
    return false;
}

bool DataBits(uint8_t byteSize, tcflag_t& flag) {
    switch (byteSize) {
        case 5:
            flag = CS5;
            return true;
        case 6:
            flag = CS6;
            return true;
        case 7:
            flag = CS7;
            return true;
        case 8:
            flag = CS8;
            return true;
        default:
            return false;
    }
}

// The Win32 encodings of LineSettings: parity 0 none, 1 odd, 2 even; stop
// bits 0 one, 2 two (1.5 has no termios form).
constexpr uint8_t kParityOdd = 1;
constexpr uint8_t kParityEven = 2;
constexpr uint8_t kTwoStopBits = 2;

}  // namespace

std::string PosixDevicePath(const char* deviceName) {
    const std::string name = deviceName ? deviceName : "";
    if (!IsComName(name)) return name;
    const std::string mapped = MappedDevice(name);
    if (!mapped.empty()) return mapped;
    return "/dev/ttyS" + std::to_string(std::atoi(name.c_str() + 3) - 1);
}

namespace {
OpenFailure FailureOf(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return OpenFailure::kAbsent;
        case EBUSY:
        case EWOULDBLOCK:
            return OpenFailure::kBusy;
        case EACCES:
        case EPERM:
        case EROFS:
            return OpenFailure::kDenied;
        case ENOTTY:
            return OpenFailure::kNotSerial;
        default:
            return OpenFailure::kOther;
    }
}
}  // namespace

bool PosixPort::Open(const char* deviceName) {
    Close();
    lost_ = false;
    openFailure_ = OpenFailure::kNone;
    const std::string path = PosixDevicePath(deviceName);
    if (path.empty()) {
        openFailure_ = OpenFailure::kAbsent;
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        openFailure_ = FailureOf(errno);
        return false;
    }
    // TIOCEXCL keeps other users out of the terminal (root excepted); the
    // lock also keeps out a second opener running as root.
    int error = 0;
    if (!isatty(fd)) {
        error = ENOTTY;
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::close(fd);
        openFailure_ = FailureOf(error);
        return false;
    }
    fd_ = fd;
    return true;
}

bool PosixPort::ApplyLineSettings(const LineSettings& s) {
    if (fd_ < 0) return false;
    termios t{};
    speed_t speed;
    tcflag_t size;
    if (tcgetattr(fd_, &t) != 0 || !BaudToSpeed(s.baudRate, speed) || !DataBits(s.byteSize, size)) {
        return false;
    }
    if (s.parity > kParityEven || (s.stopBits != kOneStopBit && s.stopBits != kTwoStopBits)) {
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= size | CREAD | CLOCAL;
    if (s.parity == kParityOdd) t.c_cflag |= PARENB | PARODD;
    if (s.parity == kParityEven) t.c_cflag |= PARENB;
    if (s.stopBits == kTwoStopBits) t.c_cflag |= CSTOPB;
    if (s.ctsOutputFlow) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    if (s.parityCheck) t.c_iflag |= INPCK;
    if (s.xonXoffOutput) t.c_iflag |= IXON;
    if (s.xonXoffInput) t.c_iflag |= IXOFF;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0 ||
        tcsetattr(fd_, TCSANOW, &t) != 0) {
        return false;
    }
    int lines = 0;
    if (s.dtrControl == kLineControlOn) lines |= TIOCM_DTR;
    if (s.rtsControl == kLineControlOn) lines |= TIOCM_RTS;
    if (lines && ::ioctl(fd_, TIOCMBIS, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
        return false;  // a pseudo-terminal has no modem lines: ENOTTY or EINVAL
    }
    return true;
}

bool PosixPort::ApplyTimeLimits(const TimeLimits& limits) {
    limits_ = limits;
    return true;
}

void PosixPort::Purge() {
    if (fd_ >= 0) tcflush(fd_, TCIOFLUSH);
}

size_t PosixPort::Read(uint8_t* buf, size_t count) {
    if (count == 0) return 0;
    const int64_t start = MonotonicNs();
    const uint64_t limitMs =
        limits_.readTotalConstant + static_cast<uint64_t>(limits_.readTotalMultiplier) * count;
    const bool unlimited = limitMs == 0;
    const int64_t deadline = start + static_cast<int64_t>(limitMs) * 1000000;
    if (fd_ < 0) {
        if (!unlimited) SleepUntil(deadline);
        return 0;
    }
    size_t got = 0;
    bool pollSaidReadable = false;
    while (got < count) {
        const ssize_t n = ::read(fd_, buf + got, count - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
            pollSaidReadable = false;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A raw terminal read with nothing there gives EAGAIN, or 0 (VMIN 0).
        // Anything else, or 0 right after poll reported data, means the line
        // failed (EIO after a hang-up): nothing more will come. The rest of
        // the limit is waited out so that a caller that retries cannot spin.
        const bool nothingYet = (n < 0 && errno == EAGAIN) || (n == 0 && !pollSaidReadable);
        if (!nothingYet) {
            lost_ = true;
            if (!unlimited) SleepUntil(deadline);
            break;
        }
        const int64_t left = deadline - MonotonicNs();
        if (!unlimited && left <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        const int timeoutMs = unlimited ? -1 : static_cast<int>((left + 999999) / 1000000);
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            if (!unlimited) SleepUntil(deadline);
            break;
        }
        if (ready > 0 && (p.revents & POLLIN)) {
            pollSaidReadable = true;
        } else if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            lost_ = true;
            if (!unlimited) SleepUntil(deadline);
            break;
        }
    }
    return got;
}

bool PosixPort::Write(const uint8_t* buf, size_t count) {
    if (fd_ < 0) return false;
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, buf + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
            if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
                lost_ = true;
                return false;
            }
        } else {
            if (n < 0 && (errno == EIO || errno == ENXIO || errno == ENODEV)) lost_ = true;
            return false;
        }
    }
    return true;
}

void PosixPort::Close() {
    if (fd_ < 0) return;
    // The exclusive mode outlives this descriptor when someone else (the
    // simulator) holds the terminal open: clear it for the next opener.
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // also releases the lock
    fd_ = -1;
}

uint32_t PosixTickCounter::Now() {
    return static_cast<uint32_t>(MonotonicNs() / 1000000);
}

void PosixTickCounter::Sleep(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace qmb
