#include "sim/world.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include <system_error>
#include <thread>

#include "platform/error.h"

namespace sim {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct Waiter {
    int64_t deadline;
    const std::function<bool()>* ready;
};

struct SimThread;

struct World {
    std::mutex mutex;
    std::condition_variable changed;
    ClockMode mode = ClockMode::Virtual;
    int64_t virtualNow = 0;
    SteadyClock::time_point realStart = SteadyClock::now();
    int64_t epochSeconds = kEpochSeconds;
    int participants = 0;
    int running = 0;  // participants not inside a wait
    std::vector<Waiter*> waiters;
    std::vector<platform::SystemTime> clockSets;
    uint32_t clockError = 0;
    int threads = 0;
    int failThreadStarts = 0;
    std::set<SimThread*> unjoined;  // joinable threads, until joined
};

// Never destroyed: a detached thread's last moments in this file may come
// after the test has returned from main.
World& W() {
    static auto* world = new World;
    return *world;
}

thread_local int participation = 0;

int64_t Now(const World& w) {
    if (w.mode == ClockMode::Virtual) return w.virtualNow;
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - w.realStart).count();
}

[[noreturn]] void Deadlock(const World& w) {
    std::fprintf(stderr,
                 "sim: virtual clock deadlock at %lld ms: %d participants all wait without a deadline\n",
                 static_cast<long long>(w.virtualNow), w.participants);
    std::abort();
}

// Every participant waits: let the ones that can go on run, or move time to
// the earliest deadline.
void Advance(World& w) {
    int64_t earliest = kForever;
    for (const Waiter* waiter : w.waiters) {
        if ((*waiter->ready)() || waiter->deadline <= w.virtualNow) {
            w.changed.notify_all();
            return;
        }
        earliest = std::min(earliest, waiter->deadline);
    }
    if (w.waiters.empty()) return;
    if (earliest == kForever) Deadlock(w);
    w.virtualNow = earliest;
    w.changed.notify_all();
}

void Join(World& w) {
    ++w.participants;
    ++w.running;
}

void Leave(World& w) {
    --w.participants;
    --w.running;
    if (w.mode == ClockMode::Virtual && w.running == 0) Advance(w);
}

}  // namespace

std::mutex& WorldMutex() { return W().mutex; }

void ResetClock(ClockMode mode, int64_t epochSeconds) {
    std::lock_guard lock(W().mutex);
    W().mode = mode;
    W().virtualNow = 0;
    W().realStart = SteadyClock::now();
    W().epochSeconds = epochSeconds;
    W().clockSets.clear();
    W().clockError = 0;
    W().failThreadStarts = 0;
}

ClockMode Mode() {
    std::lock_guard lock(W().mutex);
    return W().mode;
}

int64_t NowMs() {
    std::lock_guard lock(W().mutex);
    return Now(W());
}

int64_t NowMsLocked(const WorldLock&) { return Now(W()); }

int32_t CalendarSeconds() {
    std::lock_guard lock(W().mutex);
    return static_cast<int32_t>(W().epochSeconds + Now(W()) / 1000);
}

bool WaitUntil(WorldLock& lock, const std::function<bool()>& ready, int64_t deadlineMs) {
    World& w = W();
    if (ready()) return true;
    if (w.mode == ClockMode::Real) {
        // kForever (or any deadline decades away) has no time point: in the
        // clock's nanoseconds it would overflow.
        const bool forever = deadlineMs >= (int64_t{1} << 40);
        const auto until = w.realStart + std::chrono::milliseconds(forever ? 0 : deadlineMs);
        while (!ready()) {
            if (forever) {
                w.changed.wait(lock);
            } else if (w.changed.wait_until(lock, until) == std::cv_status::timeout) {
                return ready();
            }
        }
        return true;
    }

    // A thread outside the clock takes part for the length of its wait.
    const bool guest = participation == 0;
    if (guest) Join(w);
    Waiter self{deadlineMs, &ready};
    w.waiters.push_back(&self);
    --w.running;
    for (;;) {
        if (ready() || w.virtualNow >= deadlineMs) break;
        if (w.running == 0) {
            Advance(w);
            if (ready() || w.virtualNow >= deadlineMs) break;
        }
        w.changed.wait(lock);
    }
    std::erase(w.waiters, &self);
    ++w.running;
    if (guest) Leave(w);
    return ready();
}

void SleepMs(uint32_t ms) {
    WorldLock lock(W().mutex);
    const int64_t deadline = Now(W()) + ms;
    static const std::function<bool()> never = [] { return false; };
    WaitUntil(lock, never, deadline);
}

void Notify(const WorldLock&) { W().changed.notify_all(); }

void JoinClock() {
    std::lock_guard lock(W().mutex);
    if (participation++ == 0) Join(W());
}

void LeaveClock() {
    std::lock_guard lock(W().mutex);
    if (--participation == 0) Leave(W());
}

namespace {

void SleepBackend(uint32_t ms) { SleepMs(ms); }
int32_t CalendarBackend() { return CalendarSeconds(); }
uint64_t MonotonicBackend() { return static_cast<uint64_t>(NowMs()); }
uint64_t WallClockBackend() {
    std::lock_guard lock(W().mutex);
    return static_cast<uint64_t>(W().epochSeconds * 1000000 + Now(W()) * 1000);
}

uint32_t SetClockBackend(const platform::SystemTime* utc) {
    if (!platform::ValidSystemTime(*utc)) return platform::kErrorInvalidParameter;
    std::lock_guard lock(W().mutex);
    if (W().clockError != 0) return W().clockError;
    W().clockSets.push_back(*utc);
    return 0;
}

const platform::TimeBackend kTime = {SleepBackend, CalendarBackend, MonotonicBackend, SetClockBackend,
                                     WallClockBackend};

// What a join waits for: set under the world lock once the driver's entry
// has returned. From there on the thread runs only this file's code, so the
// driver's library may go; the thread itself stays detached. The world holds
// each until it is joined, so one a test never joins is not lost.
struct SimThread {
    bool ended = false;
};

struct ThreadStart {
    platform::ThreadEntry entry;
    void* arg;
    SimThread* joinable;  // nullptr: detached
};

void RunParticipant(ThreadStart start) {
    {
        std::lock_guard lock(W().mutex);
        ++participation;  // counted by the starter already
    }
    start.entry(start.arg);
    std::lock_guard lock(W().mutex);
    // Before Leave: with this thread gone the clock may find every
    // participant waiting, and a join must count as ready then.
    if (start.joinable) start.joinable->ended = true;
    --participation;
    --W().threads;
    Leave(W());
    if (start.joinable) W().changed.notify_all();
}

// The stack size is the driver's wish for the real machine; simulated
// threads keep the default, which sanitizer builds need.
int StartBackend(platform::ThreadEntry entry, void* arg, uint32_t, uintptr_t* handle) {
    {
        std::lock_guard lock(W().mutex);
        if (W().failThreadStarts > 0) {
            --W().failThreadStarts;
            return -1;
        }
        // Counted before it runs, so time cannot move on without it.
        Join(W());
        ++W().threads;
    }
    SimThread* joinable = nullptr;
    if (handle != nullptr) {
        joinable = new SimThread;
        std::lock_guard lock(W().mutex);
        W().unjoined.insert(joinable);
    }
    try {
        std::thread(RunParticipant, ThreadStart{entry, arg, joinable}).detach();
        if (handle != nullptr) *handle = reinterpret_cast<uintptr_t>(joinable);
        return 0;
    } catch (const std::system_error&) {
    }
    std::lock_guard lock(W().mutex);
    W().unjoined.erase(joinable);
    delete joinable;
    --W().threads;
    Leave(W());
    return -1;
}

// A wait like any other: a participant that joins counts as waiting, so the
// clock moves on for the thread it waits for.
void JoinBackend(uintptr_t handle) {
    auto* thread = reinterpret_cast<SimThread*>(handle);
    WorldLock lock(W().mutex);
    WaitUntil(lock, [thread] { return thread->ended; }, kForever);
    W().unjoined.erase(thread);
    delete thread;
}

const platform::ThreadBackend kThreads = {StartBackend, JoinBackend};

}  // namespace

const platform::TimeBackend* TimeBackend() { return &kTime; }
const platform::ThreadBackend* ThreadBackend() { return &kThreads; }

std::vector<platform::SystemTime> SystemClockSets() {
    std::lock_guard lock(W().mutex);
    return W().clockSets;
}

void FailSystemClock(uint32_t errorCode) {
    std::lock_guard lock(W().mutex);
    W().clockError = errorCode;
}

int RunningThreads() {
    std::lock_guard lock(W().mutex);
    return W().threads;
}

void FailThreadStarts(int count) {
    std::lock_guard lock(W().mutex);
    W().failThreadStarts = count;
}

}  // namespace sim
