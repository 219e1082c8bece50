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
#include "tests/test_port_settings.h"

// Central: the simulated central station, or a test's own kind of it.
template <typename Central>
struct BasicLinkRig : SessionRunner {
    BasicLinkRig() {
        SetContextDefaults(&ctx);
        ctx.stationNumber = 7;
        OpenPort("SIM1", test_port::kSettings, test_port::kOptions, &ctx.portHandle);
        wire.Connect();
        korpro_sim::ClearLog();
    }
    ~BasicLinkRig() {
        if (sessionRunning) WaitSession(sim::kForever);
        ClosePort(ctx.portHandle);
    }

    void StartSession() { Start(&ctx); }

    SimEnvironment env;
    sim::Line& line = sim::CreateLine("SIM1");
    Central central;
    sim::DirectWire wire{line, central};
    StationContext ctx{};
};

using LinkRig = BasicLinkRig<sim::CentralStation>;
