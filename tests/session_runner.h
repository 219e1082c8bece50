// Runs DoTheCom on a driver thread of its own, as the auto-answer thread
// would, and lets the test wait for it on the virtual clock.
#pragma once

#include <atomic>
#include <optional>

#include "driver/context.h"
#include "link/session.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "sim/world.h"

struct SessionRunner {
    void Start(StationContext* context) {
        ctx = context;
        sessionRunning = true;
        sessionDone = false;
        platform::StartThread(
            [](void* raw) {
                auto* runner = static_cast<SessionRunner*>(raw);
                const SessionResult result = DoTheCom(runner->ctx);
                sim::WorldLock lock(sim::WorldMutex());
                runner->sessionResult = result;
                runner->sessionEndedAt = sim::NowMsLocked(lock);
                runner->sessionDone = true;
                sim::Notify(lock);
            },
            this, 8192);
        // As a central lets the line settle: the session drains its input first.
        platform::Sleep(100);
    }
    // Waits until the session has returned; false on time-out.
    bool WaitSession(int64_t timeoutMs) {
        sim::WorldLock lock(sim::WorldMutex());
        const int64_t deadline = timeoutMs == sim::kForever ? sim::kForever : sim::NowMsLocked(lock) + timeoutMs;
        const bool done = sim::WaitUntil(lock, [&] { return sessionDone.load(); }, deadline);
        if (done) sessionRunning = false;
        return done;
    }

    StationContext* ctx = nullptr;
    bool sessionRunning = false;
    std::atomic<bool> sessionDone{false};
    std::optional<SessionResult> sessionResult;  // once the session has returned
    int64_t sessionEndedAt = -1;
};
