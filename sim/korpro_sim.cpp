// The simulated host runtime.
#include "sim/korpro_sim.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

#include "host/korpro.h"

namespace korpro_sim {
namespace {

struct State {
    std::mutex mutex;
    std::vector<LogLine> log;
    bool echo = false;
    std::map<std::string, uint16_t> gates;
};

State& S() {
    static State state;
    return state;
}

}  // namespace

void Reset() {
    std::lock_guard lock(S().mutex);
    S().log.clear();
    S().echo = false;
    S().gates.clear();
}

std::vector<LogLine> Log() {
    std::lock_guard lock(S().mutex);
    return S().log;
}

void ClearLog() {
    std::lock_guard lock(S().mutex);
    S().log.clear();
}

void SetEcho(bool echo) {
    std::lock_guard lock(S().mutex);
    S().echo = echo;
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

// Status the simulated host answers for a function it does not offer yet.
constexpr uint32_t kNotSupported = 0xFFFF;
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

    std::lock_guard lock(S().mutex);
    if (S().echo) std::fprintf(stderr, "[%d] %s\n", level, text.c_str());
    S().log.push_back({level, std::move(text)});
    return 0;
}

uint32_t Kor5GetGateId(uint32_t, const char* name, uint16_t* gateId) {
    std::lock_guard lock(S().mutex);
    auto found = S().gates.find(name);
    if (found == S().gates.end()) return kGateNotFound;
    *gateId = found->second;
    return 0;
}

uint32_t Kor5MkClient(const char*, uint32_t, uint32_t, uint8_t*) { return kNotSupported; }
uint32_t Kor5RqGateMsg(uint8_t, uint32_t, const uint32_t*, uint32_t) { return kNotSupported; }
uint32_t Kor5WaitMsg(uint8_t, void*, uint32_t) { return kNotSupported; }
uint32_t Kor5RmClient(uint8_t) { return 0; }
uint32_t Kor5PutGateVal(uint32_t, uint32_t, uint32_t, double, uint32_t, uint32_t) { return kNotSupported; }
uint32_t Kor5StartAlert(uint32_t, const char*, const char*, uint16_t, uint32_t, uint16_t, uint32_t, uint32_t,
                        uint32_t, uint32_t, uint32_t, uint32_t, uint32_t*) {
    return kNotSupported;
}
uint32_t Kor5VfiOpen(uint32_t, uint32_t, uint32_t, uint32_t, const void*, uint32_t*) { return kNotSupported; }
uint32_t Kor5VfiRead(uint32_t, uint32_t*, void*) { return kNotSupported; }
uint32_t Kor5VfiClose(uint32_t) { return 0; }

}  // extern "C"
