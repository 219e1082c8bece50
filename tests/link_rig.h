// A driver port on a simulated line with a central station wired straight to
// it, and a driver thread to run request sessions on.
#pragma once

#include <atomic>

#include "driver/context.h"
#include "link/session.h"
#include "serial/port.h"
#include "sim/central.h"
#include "sim/wire.h"
#include "tests/sim_environment.h"

struct LinkRig {
    LinkRig() {
        SetContextDefaults(&ctx);
        ctx.stationNumber = 7;
        const uint16_t settings[4] = {19200, 8, 0, 0};
        OpenPort("SIM1", settings, 0x0303, &ctx.portHandle);
        wire.Connect();
        korpro_sim::ClearLog();
    }
    ~LinkRig() {
        if (sessionRunning) WaitSession(sim::kForever);
        ClosePort(ctx.portHandle);
    }

    // DoTheCom on a driver thread of its own.
    void StartSession() {
        sessionRunning = true;
        sessionDone = false;
        platform::StartThread(
            [](void* raw) {
                auto* rig = static_cast<LinkRig*>(raw);
                const int result = DoTheCom(&rig->ctx);
                sim::WorldLock lock(sim::WorldMutex());
                rig->sessionResult = result;
                rig->sessionEndedAt = sim::NowMsLocked(lock);
                rig->sessionDone = true;
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

    SimEnvironment env;
    sim::Line& line = sim::CreateLine("SIM1");
    sim::CentralStation central;
    sim::DirectWire wire{line, central};
    StationContext ctx{};
    bool sessionRunning = false;
    std::atomic<bool> sessionDone{false};
    int sessionResult = -1;
    int64_t sessionEndedAt = -1;
};
