// teldrv-central's value and time codecs: times as the command line gives
// them and the output shows them, and gate values as a write request carries
// them and the answers bring them. The calendar itself is
// tools/shared/civil_time.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace central {

// Seconds since 1970 from "now", a number of seconds, or a UTC date and time
// "YYYY-MM-DD[THH:MM[:SS]][Z]".
bool ParseTime(const std::string& text, int64_t now, int64_t* seconds);
// "YYYY-MM-DDTHH:MM:SSZ".
std::string FormatTime(int64_t seconds);

// Value bytes 4-7 of a write request, as the gate's value type reads them.
bool EncodeWriteValue(const std::string& text, std::optional<uint8_t> valueType, uint8_t bytes[4], std::string* error);
// Value types the station answers 0 to without writing anything.
bool StationIgnoresWrite(std::optional<uint8_t> valueType);

// The 8-byte little-endian double of a change or history record.
double LeDouble(const uint8_t* at);
// A value as the output shows it: up to 10 significant digits, or "nan".
std::string FormatValue(double value);

}  // namespace central
