// The simulated world the driver runs in under test: one clock, the threads
// that take part in it, and the lock that guards every piece of simulated
// state (lines, modems, central stations, host runtime).
//
// In virtual mode time stands still while any participant runs, and jumps to
// the earliest deadline once every participant waits: a 45 s dial time-out
// costs no real time, and runs are repeatable. In real mode the clock is the
// machine's monotonic clock (for benchmarks that pace a line at a real baud
// rate).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/thread.h"
#include "platform/time.h"

#define SIM_API __attribute__((visibility("default")))

namespace sim {

constexpr int64_t kForever = INT64_MAX;

// The calendar time at which every simulation starts: 2026-12-07 00:00:00 UTC.
constexpr int64_t kEpochSeconds = 1796601600;

enum class ClockMode { Virtual, Real };

// The lock over all simulated state. Predicates given to WaitUntil run under it.
SIM_API std::mutex& WorldMutex();
using WorldLock = std::unique_lock<std::mutex>;

// Restarts the clock at 0 ms; calendar time is epochSeconds + now / 1000.
SIM_API void ResetClock(ClockMode mode, int64_t epochSeconds);
SIM_API ClockMode Mode();

// Milliseconds since the last reset.
SIM_API int64_t NowMs();
SIM_API int64_t NowMsLocked(const WorldLock& lock);
SIM_API int32_t CalendarSeconds();

// Blocks the calling thread until ready() holds or the clock reaches
// deadlineMs (absolute); returns ready(). Must be called with the world lock
// held; the lock is released while waiting.
SIM_API bool WaitUntil(WorldLock& lock, const std::function<bool()>& ready, int64_t deadlineMs);
SIM_API void SleepMs(uint32_t ms);

// f() under the world lock, and what it returns: for a test that looks at or
// sets simulated state (a peer's or a party's own fields) between calls.
template <typename F>
auto UnderWorldLock(F f) {
    WorldLock lock(WorldMutex());
    return f();
}

// Wakes waiters after simulated state changed. Call with the lock held.
SIM_API void Notify(const WorldLock& lock);

// A participant is a thread whose work holds virtual time still. Threads
// started through ThreadBackend() take part on their own; a test's main
// thread takes part through a Participant object.
SIM_API void JoinClock();
SIM_API void LeaveClock();
struct Participant {
    Participant() { JoinClock(); }
    ~Participant() { LeaveClock(); }
    Participant(const Participant&) = delete;
    Participant& operator=(const Participant&) = delete;
};

// Platform backends over this world: sleeps and calendar time on its clock,
// the machine's clock setting recorded instead of done, and threads that
// take part in the clock.
SIM_API const platform::TimeBackend* TimeBackend();
SIM_API const platform::ThreadBackend* ThreadBackend();

// What the driver asked the machine's clock to be set to, in order.
SIM_API std::vector<platform::SystemTime> SystemClockSets();
// Makes every later clock setting fail with this error code (0: succeed).
SIM_API void FailSystemClock(uint32_t errorCode);
// Number of threads started through ThreadBackend() that have not ended.
SIM_API int RunningThreads();
// Makes the next `count` thread starts fail.
SIM_API void FailThreadStarts(int count);

}  // namespace sim
