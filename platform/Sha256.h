// SHA-256 of a board image, for its records: one file per platform's
// library (Sha256Nettle.cpp: GNU Nettle; Sha256Win32.cpp: the CryptoAPI of
// ADVAPI32, which every Windows ships). Any thread.
#pragma once

#include <string>

namespace qmb::platform {

// The digest of bytes as 64 lower-case hex digits.
std::string Sha256Hex(const std::string& bytes);

}  // namespace qmb::platform
