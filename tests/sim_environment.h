// Puts the driver's platform layer on the simulated world for one test: the
// virtual clock, simulated threads and the simulated lines, with the test's
// own thread taking part in the clock.
#pragma once

#include "platform/serial.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "sim/korpro_sim.h"
#include "sim/line.h"
#include "sim/world.h"

struct SimEnvironment {
    explicit SimEnvironment(sim::ClockMode mode = sim::ClockMode::Virtual) {
        sim::ResetClock(mode, sim::kEpochSeconds);
        sim::ResetLines();
        korpro_sim::Reset();
        platform::UseTimeBackend(sim::TimeBackend());
        platform::UseThreadBackend(sim::ThreadBackend());
        platform::RegisterSerialBackend(sim::kLinePrefix, sim::LineBackend());
    }
    ~SimEnvironment() {
        platform::UnregisterSerialBackend(sim::kLinePrefix);
        platform::UseThreadBackend(nullptr);
        platform::UseTimeBackend(nullptr);
    }
    SimEnvironment(const SimEnvironment&) = delete;
    SimEnvironment& operator=(const SimEnvironment&) = delete;

    sim::Participant self;
};
