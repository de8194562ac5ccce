// The command line of the windows (qmb-edit on Windows and on Linux). They
// take two options, which answer without opening the window: --help (-h)
// and --version. Any other option is refused; words that are no option are
// ignored, as they always were.
#pragma once

#include <string>
#include <vector>

namespace qmb {

struct CommandLineAnswer {
    bool answered = false;  // true: end the program with code, open no window
    int code = 0;           // 0 for --help and --version, 2 for an unknown option
    std::string out;        // what goes to standard output
    std::string err;        // one line for standard error
};

// Looks at the arguments (without the program's name) up to a "--". The
// first of --help, -h and --version answers; otherwise, with unknownToo, the
// first other word that starts with "-" is refused. Without unknownToo an
// unknown option is let through, for a toolkit that takes its own options
// (-platform, -style) off the command line later.
CommandLineAnswer AnswerCommandLine(const std::vector<std::string>& args, bool unknownToo);

// The text of --help.
std::string WindowHelpText();

}  // namespace qmb
