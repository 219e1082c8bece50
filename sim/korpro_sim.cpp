// The simulated host runtime.
#include "sim/korpro_sim.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

#include "host/korpro.h"
#include "sim/korpro_parts.h"

namespace korpro_sim {
namespace {

struct State {
    std::mutex mutex;
    std::vector<LogLine> log;
    bool echo = false;
    LogHook hook = nullptr;
    std::map<std::string, uint16_t> gates;
};

State& S() {
    static State state;
    return state;
}

}  // namespace

void Reset() {
    {
        std::lock_guard lock(S().mutex);
        S().log.clear();
        S().echo = false;
        S().hook = nullptr;
        S().gates.clear();
    }
    ResetOnline();
    ResetHistory();
    ResetAlerts();
}

std::vector<LogLine> Log() {
    std::lock_guard lock(S().mutex);
    return S().log;
}

std::vector<LogLine> TakeLog() {
    std::lock_guard lock(S().mutex);
    std::vector<LogLine> taken;
    taken.swap(S().log);
    return taken;
}

void ClearLog() {
    std::lock_guard lock(S().mutex);
    S().log.clear();
}

void SetEcho(bool echo) {
    std::lock_guard lock(S().mutex);
    S().echo = echo;
}

void SetLogHook(LogHook hook) {
    std::lock_guard lock(S().mutex);
    S().hook = hook;
}

void DefineGate(const std::string& name, uint16_t id) {
    std::lock_guard lock(S().mutex);
    S().gates[name] = id;
}

void ClearGates() {
    std::lock_guard lock(S().mutex);
    S().gates.clear();
}

}  // namespace korpro_sim

using korpro_sim::S;

// Kor5GetGateId's answer for a name the host does not know.
constexpr uint32_t kGateNotFound = 1;

extern "C" {

int32_t err(int32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);

    korpro_sim::LogHook hook = nullptr;
    korpro_sim::LogLine line{level, std::move(text)};
    {
        std::lock_guard lock(S().mutex);
        if (S().echo) std::fprintf(stderr, "[%d] %s\n", level, line.text.c_str());
        S().log.push_back(line);
        hook = S().hook;
    }
    if (hook) hook(line);
    return 0;
}

uint32_t Kor5GetGateId(uint32_t, const char* name, uint16_t* gateId) {
    std::lock_guard lock(S().mutex);
    auto found = S().gates.find(name);
    if (found == S().gates.end()) return kGateNotFound;
    *gateId = found->second;
    return 0;
}

}  // extern "C"
