#include "station/Token.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace qmb::station {

namespace {
bool IsToken(const std::string& t) {
    if (t.size() != 64) return false;
    for (char c : t) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::string RandomHex(size_t bytes) {
    std::random_device rd;  // /dev/urandom (getrandom) on Linux, the OS's generator on Windows
    std::string out;
    char hex[3];
    for (size_t i = 0; i < bytes; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(rd() & 0xFF));
        out += hex;
    }
    return out;
}

// error: the errno of the call that failed, saved before any other call.
[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

// Writes the whole line and makes it durable; 0, or the errno of the first
// call that failed (a failed close counts: the bytes may not have landed).
int WriteAndClose(int fd, const std::string& line) {
    int error = 0;
#ifdef _WIN32
    const int n = ::_write(fd, line.data(), static_cast<unsigned>(line.size()));
    if (n != static_cast<int>(line.size())) error = n < 0 ? errno : EIO;
    if (::_close(fd) != 0 && error == 0) error = errno;
#else
    const ssize_t n = ::write(fd, line.data(), line.size());
    if (n != static_cast<ssize_t>(line.size()))
        error = n < 0 ? errno : ENOSPC;  // a short write: the disk is full
    else if (::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
#endif
    return error;
}
}  // namespace

std::string LoadOrCreateToken(const std::string& path, bool& created) {
    created = false;
    std::ifstream in(std::filesystem::u8path(path));  // UTF-8, wide on Windows
    if (in) {
        std::string token;
        std::getline(in, token);
        while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
        if (!IsToken(token))
            throw std::runtime_error("token file " + path + " holds no token (64 hex digits)");
#ifndef _WIN32
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
            throw std::runtime_error("token file " + path +
                                     " may be read by others: chmod 600 it or make a new one");
#endif
        return token;
    }
    const std::string token = RandomHex(32);
#ifdef _WIN32
    const int fd = ::_wopen(std::filesystem::u8path(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
#endif
    if (fd < 0) Fail("cannot create token file", path, errno);
    const int error = WriteAndClose(fd, token + "\n");
    if (error != 0) {
        std::remove(path.c_str());  // a half-written token is no token
        Fail("cannot write token file", path, error);
    }
    created = true;
    return token;
}

bool SameToken(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace qmb::station
