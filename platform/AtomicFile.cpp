#include "platform/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "platform/Utf8.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace qmb {

namespace fs = std::filesystem;

std::string TemporaryPathFor(const std::string& path) {
    // A random tag of the process's own, and a count: two processes (or two
    // threads) writing the same file never share a temporary, so none ever
    // removes another's.
    static const uint64_t tag = [] {
        std::random_device random;
        return (static_cast<uint64_t>(random()) << 32) ^ random() ^
               static_cast<uint64_t>(
                   std::chrono::steady_clock::now().time_since_epoch().count());
    }();
    static std::atomic<uint32_t> count{0};
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".partial-%016llx-%u",
                  static_cast<unsigned long long>(tag), static_cast<unsigned>(++count));
    return path + suffix;
}

namespace {
bool Fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    return false;
}

void RemoveFile(const std::string& path) {
    std::error_code ec;
    fs::remove(PathFromUtf8(path), ec);
}

// Puts from in to's place, replacing it. False with *error on failure.
bool ReplaceFile(const std::string& from, const std::string& to, std::string* error) {
#ifdef _WIN32
    // The wide names, and a rename that replaces an existing file.
    if (MoveFileExW(PathFromUtf8(from).c_str(), PathFromUtf8(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    const std::error_code ec(static_cast<int>(GetLastError()), std::system_category());
#else
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec) return true;
#endif
    return Fail(error, to + ": " + ec.message());
}
}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& bytes, bool makeFolders,
                         std::string* error) {
    std::error_code ec;
    const fs::path target = PathFromUtf8(path);
    if (makeFolders && target.has_parent_path()) {
        fs::create_directories(target.parent_path(), ec);
        if (ec) return Fail(error, Utf8FromPath(target.parent_path()) + ": " + ec.message());
    }
    const std::string temporary = TemporaryPathFor(path);
    std::FILE* f = OpenFile(temporary, "wb");
    if (!f) return Fail(error, temporary + ": " + std::strerror(errno));
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const int writeErrno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        RemoveFile(temporary);
        return Fail(error, temporary + ": " + std::strerror(written ? errno : writeErrno));
    }
    if (!ReplaceFile(temporary, path, error)) {
        RemoveFile(temporary);
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string* error) {
    std::FILE* f = OpenFile(path, "rb");
    if (!f) return Fail(error, path + ": " + std::strerror(errno));
    bytes.clear();
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes.append(chunk, n);
    const bool bad = std::ferror(f) != 0;
    const int readErrno = errno;
    std::fclose(f);
    if (bad) return Fail(error, path + ": " + std::strerror(readErrno));
    return true;
}

}  // namespace qmb
