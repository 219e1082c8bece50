// The figures the benchmarks find, each beside its goal, for the one table
// the bench command prints at the end of a run.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

struct Figure {
    std::string name;
    std::string value;
    std::string goal;
    bool met;
};

inline std::vector<Figure>& Figures() {
    static std::vector<Figure> figures;
    return figures;
}

// A benchmark that runs again (repetitions) replaces its earlier figure.
inline void Record(const std::string& name, const std::string& value, const std::string& goal, bool met) {
    for (Figure& figure : Figures()) {
        if (figure.name == name) {
            figure = {name, value, goal, met};
            return;
        }
    }
    Figures().push_back({name, value, goal, met});
}

inline std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A fraction's percentile of samples sorted in place (nearest rank).
inline double Percentile(std::vector<double>& samples, double fraction) {
    if (samples.empty()) return 0;
    if (!std::is_sorted(samples.begin(), samples.end())) std::sort(samples.begin(), samples.end());
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(samples.size()));
    if (rank >= samples.size()) rank = samples.size() - 1;
    return samples[rank];
}

inline void PrintTable() {
    size_t nameWidth = 6, valueWidth = 6, goalWidth = 4;
    for (const Figure& f : Figures()) {
        nameWidth = std::max(nameWidth, f.name.size());
        valueWidth = std::max(valueWidth, f.value.size());
        goalWidth = std::max(goalWidth, f.goal.size());
    }
    const int n = static_cast<int>(nameWidth), v = static_cast<int>(valueWidth), g = static_cast<int>(goalWidth);
    std::printf("\n| %-*s | %-*s | %-*s | met |\n", n, "figure", v, "result", g, "goal");
    std::printf("|%s|%s|%s|-----|\n", std::string(nameWidth + 2, '-').c_str(), std::string(valueWidth + 2, '-').c_str(),
                std::string(goalWidth + 2, '-').c_str());
    for (const Figure& f : Figures()) {
        std::printf("| %-*s | %-*s | %-*s | %-3s |\n", n, f.name.c_str(), v, f.value.c_str(), g, f.goal.c_str(),
                    f.met ? "yes" : "NO");
    }
    std::fflush(stdout);
}

}  // namespace bench
