// The operator-panel scenario table (tests/scenarios/panel.scenarios): a
// plain text file of named scenarios, each a list of steps, that any
// front-end's GUI tests can replay against its own widgets. The file itself
// documents the steps.
#pragma once

#include <string>
#include <vector>

namespace qmb::test {

struct Step {
    int line = 0;                   // in the file, for messages
    std::string verb;               // "click", "wait", ...
    std::vector<std::string> args;  // words and unquoted texts, in order
};

struct Scenario {
    std::string name;
    std::vector<Step> steps;
};

// Reads every scenario of the file. False with a message in error when the
// file cannot be read or a line cannot be split (e.g. an unterminated text).
bool LoadScenarios(const std::string& path, std::vector<Scenario>* scenarios, std::string* error);

// Splits one line into words; "..." is one word with \" \\ \r \n \t escapes.
// A # outside a text starts a comment. False on an unterminated text.
bool SplitLine(const std::string& line, std::vector<std::string>* words);

}  // namespace qmb::test
