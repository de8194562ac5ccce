#include "production/SerialFormat.h"

#include <cctype>

namespace qmb::production {

namespace {
// 1 to 32 from the digits after a layout's name; false on anything else.
bool ParseCount(const std::string& digits, int& n) {
    if (digits.empty() || digits.size() > 2 || digits[0] == '0') return false;
    int v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > kMaxSerialBytes) return false;
    n = v;
    return true;
}

bool IsDecimal(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// The decimal digits without leading zeros ("0" for zero).
std::string Significant(const std::string& digits) {
    const size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? "0" : digits.substr(first);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "00:1A:2B", "00-1a-2b" or "001A2B" (one separator throughout).
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    const char sep = text.size() > 2 && (text[2] == ':' || text[2] == '-') ? text[2] : 0;
    size_t i = 0;
    while (i < text.size()) {
        if (i + 2 > text.size()) return false;
        const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
        i += 2;
        if (sep && i < text.size()) {
            if (text[i] != sep || i + 1 == text.size()) return false;
            ++i;
        }
    }
    if (out.empty()) return false;
    bytes = std::move(out);
    return true;
}

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}
}  // namespace

std::string SerialFormat::Name() const {
    switch (kind) {
        case Kind::kUnsigned:
            return "u" + std::to_string(size * 8) + (size == 1 ? "" : bigEndian ? "be" : "le");
        case Kind::kBcd:
            return "bcd" + std::to_string(size);
        case Kind::kAscii:
            return "ascii" + std::to_string(size);
        case Kind::kBytes:
            return "bytes" + std::to_string(size);
    }
    return "?";
}

bool ParseSerialFormat(const std::string& text, SerialFormat& format, std::string* error) {
    SerialFormat f;
    int n = 0;
    auto prefixed = [&](const char* prefix, SerialFormat::Kind kind) {
        const std::string p(prefix);
        if (text.rfind(p, 0) != 0 || !ParseCount(text.substr(p.size()), n)) return false;
        f.kind = kind;
        f.size = n;
        return true;
    };
    bool ok = false;
    if (text == "u8") {
        f.kind = SerialFormat::Kind::kUnsigned;
        f.size = 1;
        ok = true;
    } else if (text.size() >= 4 && text[0] == 'u' &&
               (text.compare(text.size() - 2, 2, "le") == 0 ||
                text.compare(text.size() - 2, 2, "be") == 0)) {
        const std::string digits = text.substr(1, text.size() - 3);
        const int bits = IsDecimal(digits) && digits.size() == 2 ? std::stoi(digits) : 0;
        if (bits >= 16 && bits <= 64 && bits % 8 == 0) {
            f.kind = SerialFormat::Kind::kUnsigned;
            f.size = bits / 8;
            f.bigEndian = text.compare(text.size() - 2, 2, "be") == 0;
            ok = true;
        }
    } else {
        ok = prefixed("bcd", SerialFormat::Kind::kBcd) ||
             prefixed("ascii", SerialFormat::Kind::kAscii) ||
             prefixed("bytes", SerialFormat::Kind::kBytes);
    }
    if (!ok)
        return Fail(error, "unknown layout \"" + text +
                               "\" (u8, u16le/be ... u64le/be, bcdN, asciiN or bytesN, N 1 to 32)");
    format = f;
    return true;
}

bool EncodeSerial(const SerialFormat& f, const std::string& value, std::vector<uint8_t>& out,
                  std::string* error) {
    std::vector<uint8_t> bytes(static_cast<size_t>(f.size), 0);
    const std::string shown = "value \"" + value.substr(0, 40) + "\"";
    if (f.kind == SerialFormat::Kind::kBytes) {
        std::vector<uint8_t> parsed;
        if (!ParseHexBytes(value, parsed))
            return Fail(error, shown + " is not hex bytes (like 00:1A:2B) for " + f.Name());
        if (parsed.size() != bytes.size())
            return Fail(error, shown + " has " + std::to_string(parsed.size()) + " bytes, " +
                                   f.Name() + " takes " + std::to_string(f.size));
        out = std::move(parsed);
        return true;
    }
    if (!IsDecimal(value)) return Fail(error, shown + " is not a decimal number for " + f.Name());
    const std::string digits = Significant(value);
    switch (f.kind) {
        case SerialFormat::Kind::kUnsigned: {
            uint64_t v = 0;
            for (char c : digits) {
                const uint64_t d = static_cast<uint64_t>(c - '0');
                if (v > (UINT64_MAX - d) / 10) return Fail(error, shown + " does not fit " + f.Name());
                v = v * 10 + d;
            }
            if (f.size < 8 && v >> (8 * f.size) != 0) return Fail(error, shown + " does not fit " + f.Name());
            for (int i = 0; i < f.size; ++i) {
                const uint8_t b = static_cast<uint8_t>(v >> (8 * i));
                bytes[f.bigEndian ? f.size - 1 - i : i] = b;
            }
            break;
        }
        case SerialFormat::Kind::kBcd: {
            const size_t places = 2 * static_cast<size_t>(f.size);
            if (digits.size() > places) return Fail(error, shown + " does not fit " + f.Name());
            const std::string padded = std::string(places - digits.size(), '0') + digits;
            for (size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<uint8_t>((padded[2 * i] - '0') << 4 | (padded[2 * i + 1] - '0'));
            break;
        }
        case SerialFormat::Kind::kAscii: {
            if (digits.size() > bytes.size()) return Fail(error, shown + " does not fit " + f.Name());
            const std::string padded = std::string(bytes.size() - digits.size(), '0') + digits;
            bytes.assign(padded.begin(), padded.end());
            break;
        }
        case SerialFormat::Kind::kBytes:
            break;
    }
    out = std::move(bytes);
    return true;
}

bool DecodeSerial(const SerialFormat& f, const std::vector<uint8_t>& bytes, std::string& value) {
    if (bytes.size() != static_cast<size_t>(f.size)) return false;
    std::string text;
    switch (f.kind) {
        case SerialFormat::Kind::kUnsigned: {
            uint64_t v = 0;
            for (int i = 0; i < f.size; ++i)
                v = v << 8 | bytes[f.bigEndian ? i : f.size - 1 - i];
            text = std::to_string(v);
            break;
        }
        case SerialFormat::Kind::kBcd:
            for (uint8_t b : bytes) {
                if ((b >> 4) > 9 || (b & 0x0F) > 9) return false;
                text += static_cast<char>('0' + (b >> 4));
                text += static_cast<char>('0' + (b & 0x0F));
            }
            text = Significant(text);
            break;
        case SerialFormat::Kind::kAscii:
            text.assign(bytes.begin(), bytes.end());
            if (!IsDecimal(text)) return false;
            text = Significant(text);
            break;
        case SerialFormat::Kind::kBytes: {
            static const char kHex[] = "0123456789ABCDEF";
            for (size_t i = 0; i < bytes.size(); ++i) {
                if (i) text += ':';
                text += kHex[bytes[i] >> 4];
                text += kHex[bytes[i] & 0x0F];
            }
            break;
        }
    }
    value = std::move(text);
    return true;
}

std::string CanonicalSerial(const SerialFormat& format, const std::string& value) {
    std::vector<uint8_t> bytes;
    std::string text;
    if (!EncodeSerial(format, value, bytes, nullptr) || !DecodeSerial(format, bytes, text)) return "";
    return text;
}

}  // namespace qmb::production
