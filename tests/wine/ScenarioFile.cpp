#include "ScenarioFile.h"

#include <fstream>

namespace qmb::test {

bool SplitLine(const std::string& line, std::vector<std::string>* words) {
    words->clear();
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            std::string text;
            for (++i;; ++i) {
                if (i >= line.size()) return false;
                char t = line[i];
                if (t == '"') break;
                if (t == '\\') {
                    if (++i >= line.size()) return false;
                    switch (line[i]) {
                        case 'r':
                            t = '\r';
                            break;
                        case 'n':
                            t = '\n';
                            break;
                        case 't':
                            t = '\t';
                            break;
                        default:
                            t = line[i];
                            break;
                    }
                }
                text += t;
            }
            ++i;
            words->push_back(text);
        } else {
            size_t end = line.find_first_of(" \t\r\n", i);
            if (end == std::string::npos) end = line.size();
            words->push_back(line.substr(i, end - i));
            i = end;
        }
    }
    return true;
}

bool LoadScenarios(const std::string& path, std::vector<Scenario>* scenarios, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    scenarios->clear();
    std::string line;
    std::vector<std::string> words;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!SplitLine(line, &words)) {
            *error = path + ":" + std::to_string(number) + ": unterminated text";
            return false;
        }
        if (words.empty()) continue;
        if (words[0] == "scenario" && words.size() == 2) {
            scenarios->push_back(Scenario{words[1], {}});
            continue;
        }
        if (scenarios->empty()) {
            *error = path + ":" + std::to_string(number) + ": step before the first scenario";
            return false;
        }
        Step step;
        step.line = number;
        step.verb = words[0];
        step.args.assign(words.begin() + 1, words.end());
        scenarios->back().steps.push_back(step);
    }
    return true;
}

}  // namespace qmb::test
