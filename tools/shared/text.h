// Text helpers of the tools: printf-style formatting into a std::string for
// their messages and traces (one line each, well under 256 characters),
// numbers and counted nouns, and reading numbers and names from the user.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdint>
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

// A decimal number of at most `maxDigits` digits, no sign, up to `max`.
inline bool ParseDecimal(const std::string& text, size_t maxDigits, uint64_t max, uint64_t* value) {
    if (text.empty() || text.size() > maxDigits) return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    if (result > max) return false;
    *value = result;
    return true;
}

// Upper case as the C locale has it, as the driver's readers compare names.
inline std::string UpperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Without the blanks, tabs and line ends around it.
inline std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace tools
