// SHA-256 of a byte string, as 64 lower-case hex digits: the digest of the
// image a board was programmed with, kept in its record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmb::station {

std::string Sha256Hex(const std::vector<uint8_t>& bytes);

}  // namespace qmb::station
