#include "sim/ImageFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "sim/Control.h"

namespace qmb::sim {

namespace {

struct ImageLine {
    int number;
    std::array<uint8_t, 3> address;
    std::vector<uint8_t> data;
};

bool ParseDecimal(const std::string& word, int max, int& value) {
    if (word.empty() || word.size() > 3) return false;
    value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= max;
}

bool ParseImageLine(const std::string& line, ImageLine& out) {
    std::istringstream in(line);
    std::string number, address, length, data, extra;
    if (!(in >> number >> address >> length >> data) || (in >> extra)) return false;
    int n = 0, len = 0;
    if (!ParseDecimal(number, kSectionCount, n) || n == 0) return false;
    if (!ParseDecimal(length, static_cast<int>(kMaxSectionLength), len)) return false;
    std::vector<uint8_t> addressBytes;
    if (address.size() != 6 || !ParseHexBytes(address, addressBytes)) return false;
    out.number = n;
    std::copy(addressBytes.begin(), addressBytes.end(), out.address.begin());
    if (data == "-") {
        out.data.clear();
    } else if (!ParseHexBytes(data, out.data)) {
        return false;
    }
    return out.data.size() == static_cast<size_t>(len);
}

std::string ErrnoText(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

ImageLoad LoadImage(const std::string& path, DeviceModel& model, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        if (errno == ENOENT) return ImageLoad::kMissing;
        error = ErrnoText("cannot read", path);
        return ImageLoad::kBad;
    }
    std::vector<ImageLine> lines;
    std::string line;
    for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        ImageLine parsed;
        if (!ParseImageLine(line, parsed)) {
            error = path + ":" + std::to_string(lineNumber) +
                    ": expected NUMBER ADDRESS LENGTH DATA, e.g. 11 112233 8 A0A1A2A3A4A5A6A7";
            return ImageLoad::kBad;
        }
        lines.push_back(std::move(parsed));
    }
    for (const ImageLine& l : lines)
        model.LoadSection(l.number, l.address, l.data.data(), l.data.size());
    return ImageLoad::kLoaded;
}

std::string FormatImage(const DeviceModel& model) {
    std::string out = "# qmb-devsim EEPROM image: NUMBER ADDRESS LENGTH DATA (hex, - when empty)\n";
    for (int number = 1; number <= kSectionCount; ++number) {
        const Section& s = *model.GetSection(number);
        out += std::to_string(number) + " " + HexDigits(s.address.data(), 3) + " " +
               std::to_string(s.length) + " " + HexDigits(s.eeprom.data(), s.length) + "\n";
    }
    return out;
}

bool SaveImage(const std::string& path, const DeviceModel& model, std::string& error) {
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = ErrnoText("cannot create", temp);
        return false;
    }
    if (!WriteAll(fd, FormatImage(model)) || ::fsync(fd) != 0) {
        error = ErrnoText("cannot write", temp);
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    ::close(fd);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        error = ErrnoText("cannot replace", path);
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

}  // namespace qmb::sim
