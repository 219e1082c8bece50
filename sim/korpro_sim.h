// The simulated host runtime: defines err and the ten Kor5 functions for test
// and demo hosts, and lets tests configure it and read what the driver did.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#if defined(_WIN32) && defined(KORPRO_BUILDING)
#define KORPRO_SIM_API __declspec(dllexport)
#elif defined(_WIN32)
#define KORPRO_SIM_API __declspec(dllimport)
#else
#define KORPRO_SIM_API __attribute__((visibility("default")))
#endif

namespace korpro_sim {

struct LogLine {
    int32_t level;
    std::string text;
    bool operator==(const LogLine&) const = default;
};

// How test failures show a line.
inline std::ostream& operator<<(std::ostream& out, const LogLine& line) {
    return out << "{" << line.level << ", \"" << line.text << "\"}";
}

// Forgets every log line and gate, and turns echo off.
KORPRO_SIM_API void Reset();

// Log lines in the order err received them.
KORPRO_SIM_API std::vector<LogLine> Log();
KORPRO_SIM_API void ClearLog();
// The lines logged since the last take, forgotten here: a long-running host
// reads them without losing one or keeping them all.
KORPRO_SIM_API std::vector<LogLine> TakeLog();
// Also print every line to stderr as "[level] text".
KORPRO_SIM_API void SetEcho(bool echo);

// Called with every line err receives, on the logging thread, after the line
// is in the log; nullptr (and Reset) removes it. A test may hold a driver
// thread there.
using LogHook = void (*)(const LogLine& line);
KORPRO_SIM_API void SetLogHook(LogHook hook);

// The host's gate names and ids that Kor5GetGateId answers from.
KORPRO_SIM_API void DefineGate(const std::string& name, uint16_t id);
KORPRO_SIM_API void ClearGates();

}  // namespace korpro_sim
