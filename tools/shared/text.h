// printf-style formatting into a std::string, for the tools' messages and
// traces (one line each, well under 256 characters).
#pragma once

#include <cstdio>
#include <string>

namespace central {

inline std::string Format(const char* format, auto... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

}  // namespace central
