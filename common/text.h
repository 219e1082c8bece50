// Upper-casing of the texts the driver compares with its keywords. The two
// differ beyond ASCII, and each keeps the behaviour its caller has always had.
#pragma once

#include <cctype>
#include <string>

// In place, 'a' to 'z' only: an init file line reads the same in any locale.
inline void AsciiUpperCase(char* text) {
    for (char* c = text; *c != '\0'; ++c) {
        if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
    }
}

// A copy through std::toupper: letters beyond ASCII follow the C locale the
// host process has set. For gate addresses, which the log shows upper-cased.
inline std::string LocaleUpperCase(const char* text) {
    std::string upper(text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}
