// A driver port on a simulated line with a central station wired straight to
// it, and a driver thread to run request sessions on.
#pragma once

#include <atomic>

#include "driver/context.h"
#include "link/session.h"
#include "serial/port.h"
#include "sim/central.h"
#include "sim/wire.h"
#include "tests/session_runner.h"
#include "tests/sim_environment.h"

struct LinkRig : SessionRunner {
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

    void StartSession() { Start(&ctx); }

    SimEnvironment env;
    sim::Line& line = sim::CreateLine("SIM1");
    sim::CentralStation central;
    sim::DirectWire wire{line, central};
    StationContext ctx{};
};
