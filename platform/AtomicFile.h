// Writing a file whole or not at all: the text goes to a temporary file
// beside it, which is renamed over the target only once it is complete and
// closed. A failed or interrupted write leaves the old file (or none) and no
// temporary behind it, never a file that looks whole but is not. Paths are
// UTF-8 (link/Utf8.h): on Windows they are opened by their wide names.
#pragma once

#include <string>

namespace qmb {

// A temporary name beside path ("PATH.partial-TAG-N"), new at every call and
// unique to this process.
std::string TemporaryPathFor(const std::string& path);

// Writes bytes to path as above, creating missing parent folders when
// makeFolders is set. False with *error (one line, naming the file) on
// failure.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, bool makeFolders,
                         std::string* error);

// Reads a whole file. False with *error (one line, naming the file).
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string* error);

}  // namespace qmb
