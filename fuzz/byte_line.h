// A serial backend for fuzzing: the port reads the fuzzer's bytes in order,
// every read returns at once with what is left (time-outs cost nothing), the
// carrier stays up while input remains, and writes are swallowed. Sleeps
// take no time. Everything runs on the fuzzer's own thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/serial.h"
#include "platform/time.h"
#include "sim/world.h"

namespace fuzz {

struct ByteLine {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    // Reads that found nothing left; the carrier drops after a few of them so
    // the session ends.
    int emptyReads = 0;
};

inline ByteLine& Line() {
    static ByteLine line;
    return line;
}

inline void* Open(const char*, uint32_t*) { return &Line(); }
inline uint32_t Close(void*) { return 0; }
inline uint32_t GetState(void*, platform::Dcb* dcb) {
    *dcb = {};
    return 0;
}
inline uint32_t SetState(void*, const platform::Dcb*) { return 0; }
inline uint32_t GetTimeouts(void*, platform::CommTimeouts* t) {
    *t = {};
    return 0;
}
inline uint32_t SetTimeouts(void*, const platform::CommTimeouts*) { return 0; }
inline uint32_t Setup(void*, uint32_t, uint32_t) { return 0; }
inline uint32_t ClearError(void*, uint32_t* errors, uint32_t* waiting) {
    if (errors) *errors = 0;
    // A drain reads what waits: hand it at most one frame's worth at a time so
    // the fuzzer's later bytes still reach the receiver.
    if (waiting) *waiting = 0;
    return 0;
}
inline uint32_t Read(void*, void* buffer, uint32_t count, uint32_t* received) {
    ByteLine& line = Line();
    const size_t n = std::min<size_t>(count, line.size - line.at);
    if (n) std::memcpy(buffer, line.data + line.at, n);
    line.at += n;
    if (n == 0) ++line.emptyReads;
    *received = static_cast<uint32_t>(n);
    return 0;
}
inline uint32_t Write(void*, const void*, uint32_t count, uint32_t* written) {
    *written = count;
    return 0;
}
inline uint32_t Escape(void*, uint32_t) { return 0; }
inline uint32_t ModemStatus(void*, uint32_t* status) {
    const ByteLine& line = Line();
    *status = (line.at < line.size || line.emptyReads < 3) ? platform::kModemStatusRlsdOn : 0;
    return 0;
}

inline const platform::SerialBackend kByteLine = {Open,       Close,      GetState, SetState, GetTimeouts, SetTimeouts,
                                                   Setup,      ClearError, Read,     Write,    Escape,      ModemStatus};

inline void NoSleep(uint32_t) {}
inline int32_t FixedTime() { return static_cast<int32_t>(sim::kEpochSeconds); }
inline uint64_t NoMonotonic() { return 0; }
inline uint32_t RefuseClock(const platform::SystemTime*) { return 5; }
inline uint64_t FixedWallClock() { return static_cast<uint64_t>(sim::kEpochSeconds) * 1000000u; }
inline const platform::TimeBackend kNoTime = {NoSleep, FixedTime, NoMonotonic, RefuseClock, FixedWallClock};

}  // namespace fuzz
