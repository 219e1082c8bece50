// Holds the auto-answer thread inside the host's err on its last line,
// "thread stopped", which it logs after clearing its running flag: a host
// that unloads the library once EndVpi has returned must not do so while
// the thread still has the library's code to return into, so EndVpi waits
// for the thread to end, hold or no hold.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "host/records.h"
#include "sim/korpro_sim.h"

namespace last_line {

struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int held = 0;      // threads that reached the line
    int released = 0;  // threads let go
};

inline Gate& TheGate() {
    static Gate gate;
    return gate;
}

// The log hook (korpro_sim::SetLogHook): waits on the last line until let go.
inline void Hold(const korpro_sim::LogLine& line) {
    if (line.text != "TELDRV> AutoAnswerThread() info: thread stopped") return;
    Gate& gate = TheGate();
    std::unique_lock lock(gate.mutex);
    const int mine = gate.held++;
    gate.changed.notify_all();
    gate.changed.wait(lock, [&gate, mine] { return gate.released > mine; });
}

// Threads held so far.
inline int Held() {
    std::lock_guard lock(TheGate().mutex);
    return TheGate().held;
}

// True once more than `before` threads have been held, within the time-out.
inline bool AwaitHeld(int before, std::chrono::seconds timeout) {
    Gate& gate = TheGate();
    std::unique_lock lock(gate.mutex);
    return gate.changed.wait_for(lock, timeout, [&gate, before] { return gate.held > before; });
}

// Lets the next held thread go.
inline void ReleaseOne() {
    Gate& gate = TheGate();
    std::lock_guard lock(gate.mutex);
    ++gate.released;
    gate.changed.notify_all();
}

struct HeldEnd {
    bool held = false;     // the thread reached its last line
    bool waiting = false;  // EndVpi had not returned by then
    int32_t result = -1;
};

// EndVpi on a thread of its own, as a host's, with the hook in place: once
// the auto-answer thread is held and EndVpi is seen still waiting, the
// thread is let go from here and EndVpi's return awaited.
inline HeldEnd EndVpiWhileHeld(VpiMainFunction vpiMain, VpiCallBlock end, std::chrono::seconds timeout) {
    const int before = Held();
    HeldEnd outcome;
    std::atomic<bool> returned{false};
    std::thread host([&] {
        outcome.result = vpiMain(&end);
        returned = true;
    });
    outcome.held = AwaitHeld(before, timeout);
    outcome.waiting = !returned;
    if (outcome.held) ReleaseOne();
    host.join();
    return outcome;
}

}  // namespace last_line
