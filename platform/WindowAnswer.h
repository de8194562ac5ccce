// Windows only: how a window program answers on its command line (--help,
// --version, an unknown option). It has no console of its own: when its
// caller handed it standard handles (a pipe or a file, as scripts do) the
// text goes there; else, started from a command prompt, to that prompt's
// console, attached for the purpose, which shows it after the prompt, since
// the prompt does not wait for a window program; started with neither (from
// Explorer, a shortcut), in a message box titled title, as Windows' own
// window programs answer /?.
#pragma once

#include <windows.h>

#include <string>

namespace qmb {

// text and title are UTF-8; nothing happens for empty text. standardHandle:
// STD_OUTPUT_HANDLE or STD_ERROR_HANDLE; isError picks the box's icon.
void TellFromWindowProgram(const std::string& text, DWORD standardHandle, bool isError,
                           const std::string& title);

}  // namespace qmb
