// The station's control token: 32 random bytes as 64 hex digits, made at the
// first start and kept in a file only its owner may read (0600).
#pragma once

#include <string>

namespace qmb::station {

// Reads the token at path, or makes one there when the file is missing
// (created set to true then). Throws std::runtime_error with a one-line
// reason when the file cannot be read or written or holds no token.
std::string LoadOrCreateToken(const std::string& path, bool& created);

// Compares in time that does not depend on where the two differ.
bool SameToken(const std::string& a, const std::string& b);

}  // namespace qmb::station
