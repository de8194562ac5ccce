// Text at the programs' doors. Text is UTF-8 inside every program; what the
// system hands over (arguments, environment values, paths) is taken as
// UTF-8 once, here: on Windows from the wide (UTF-16) forms, never from the
// ANSI code page; on POSIX systems as the bytes they are, which the programs
// then check with IsValidUtf8 and refuse when they are not text.
//
// Any thread. Nothing here throws but std::bad_alloc.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qmb {

// True when text is well-formed UTF-8: no stray continuation byte, no cut
// sequence, no overlong form, no UTF-16 surrogate (U+D800..U+DFFF), nothing
// above U+10FFFF. The empty text is valid.
bool IsValidUtf8(std::string_view text);

// The process's arguments as UTF-8: argv itself on POSIX systems; on Windows
// the wide command line (argv, in the ANSI code page, is ignored).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// An environment variable's value as UTF-8 ("" when it is not set).
std::string EnvironmentValue(const char* name);

// A UTF-8 path as the file system library's path (wide on Windows), and back.
std::filesystem::path PathFromUtf8(const std::string& path);
std::string Utf8FromPath(const std::filesystem::path& path);

// fopen of a UTF-8 path (through the wide name on Windows). nullptr with
// errno set on failure.
std::FILE* OpenFile(const std::string& path, const char* mode);

#ifdef _WIN32
// UTF-16 and UTF-8, both ways ("" for nullptr). Unpaired surrogates become
// U+FFFD.
std::string Utf8FromWide(const wchar_t* wide);
std::wstring WideFromUtf8(const std::string& text);
#endif

}  // namespace qmb
