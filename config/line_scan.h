// Scanf-style matching of an init-file line against a keyword pattern.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kScanNumberSlots = 3;
constexpr size_t kScanTextSize = 256;  // an init-file line with its NUL

struct ScanValues {
    uint32_t numbers[kScanNumberSlots];  // the "%u" values in pattern order
    char text[kScanTextSize];            // the "%s" value
};

// Matches line against pattern: a blank matches any run of white space, none
// included; "%u" skips white space and reads decimal digits (no sign), keeping
// the low 32 bits; "%s" skips white space and reads a run of non-white-space
// characters; any other character must match itself. True when every value of
// the pattern was read; what follows the last value is ignored. A pattern may
// hold up to three "%u" and one "%s"; a "%s" value that does not fit text does
// not match.
bool ScanLine(const char* line, const char* pattern, ScanValues* values);
