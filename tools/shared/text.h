// Text helpers of the tools: printf-style formatting into a std::string for
// their messages and traces (one line each, well under 256 characters),
// numbers and counted nouns.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace tools {

inline std::string Format(const char* format, auto... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

// A value as the transcripts show it: "%g".
inline std::string Number(double value) { return Format("%g", value); }

// "1 record", "2 records".
inline std::string Plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

}  // namespace tools
