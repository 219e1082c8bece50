// The simulated host's log as tests read it: the lines logged, found by text
// or by line, and shown as "[level] text" to say what came instead.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "sim/korpro_sim.h"

namespace log_test {

using korpro_sim::LogLine;

inline std::string LogText(const std::vector<LogLine>& lines = korpro_sim::Log()) {
    std::string text;
    for (const LogLine& line : lines) text += "[" + std::to_string(line.level) + "] " + line.text + "\n";
    return text;
}

// Logged at any level.
inline bool Logged(const std::string& text) {
    const std::vector<LogLine> log = korpro_sim::Log();
    return std::any_of(log.begin(), log.end(), [&](const LogLine& line) { return line.text == text; });
}

inline bool Logged(const LogLine& wanted) {
    const std::vector<LogLine> log = korpro_sim::Log();
    return std::find(log.begin(), log.end(), wanted) != log.end();
}

// How many times the text was logged, at any level.
inline size_t Count(const std::string& text) {
    const std::vector<LogLine> log = korpro_sim::Log();
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const LogLine& line) { return line.text == text; }));
}

// The first of `lines` with this text; lines.size() when none has it.
inline size_t IndexOf(const std::vector<LogLine>& lines, const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].text == text) return i;
    }
    return lines.size();
}

inline std::vector<LogLine> LinesAt(int level) {
    std::vector<LogLine> out;
    for (const LogLine& line : korpro_sim::Log()) {
        if (line.level == level) out.push_back(line);
    }
    return out;
}

}  // namespace log_test
