// A driver port on a simulated line in real-clock mode with the bench central
// at its far end, a DoTheCom session on a driver thread, and station tables
// with a change buffer (station gate i has host id kFirstHostId + i).
#pragma once

#include <atomic>
#include <vector>

#include "bench/bench_central.h"
#include "capture/gate_change.h"
#include "config/station_gates.h"
#include "driver/context.h"
#include "link/session.h"
#include "platform/serial.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "serial/port.h"
#include "sim/central.h"
#include "sim/korpro_sim.h"
#include "sim/line.h"
#include "sim/world.h"
#include "tests/test_port_settings.h"

namespace bench {

constexpr uint16_t kFirstHostId = 100;

// The platform on the simulated world, on the machine's own clock.
struct RealSimPlatform {
    RealSimPlatform() {
        sim::ResetClock(sim::ClockMode::Real, sim::kEpochSeconds);
        sim::ResetLines();
        korpro_sim::Reset();
        platform::UseTimeBackend(sim::TimeBackend());
        platform::UseThreadBackend(sim::ThreadBackend());
        platform::RegisterSerialBackend(sim::kLinePrefix, sim::LineBackend());
    }
    ~RealSimPlatform() {
        platform::UnregisterSerialBackend(sim::kLinePrefix);
        platform::UseThreadBackend(nullptr);
        platform::UseTimeBackend(nullptr);
    }
};

struct SessionRig {
    explicit SessionRig(double bytesPerSecond, uint16_t gates = 64, uint16_t capacity = 1024)
        : central(sim::CreateLine("SIM1"), bytesPerSecond) {
        stopFlag = 0;
        SetContextDefaults(&ctx);
        ctx.stationNumber = 7;
        OpenPort("SIM1", test_port::kSettings, test_port::kOptions, &ctx.portHandle);
        stationGates.assign(gates, StationGate{});
        map.assign(size_t{kFirstHostId} + gates, -1);
        for (uint16_t i = 0; i < gates; ++i) {
            stationGates[i].hostGateId = static_cast<uint16_t>(kFirstHostId + i);
            map[kFirstHostId + i] = static_cast<int16_t>(i);
        }
        buffer.assign(capacity, GateChange{});
        ctx.stationGates = stationGates.data();
        ctx.stationGateCount = gates;
        ctx.gateIdMap = map.data();
        ctx.gateIdMapSize = static_cast<uint16_t>(map.size());
        ctx.changeBuffer = buffer.data();
        ctx.changeCapacity = capacity;
        platform::StartThread(
            [](void* raw) {
                auto* rig = static_cast<SessionRig*>(raw);
                DoTheCom(&rig->ctx);
                rig->sessionDone.store(true);
            },
            this, 65536);
        platform::Sleep(50);  // the session drains its input first
    }
    ~SessionRig() {
        // A hang-up request would cost the session's 3 s pause; a lost line does not.
        central.DropCarrier();
        while (!sessionDone.load()) platform::Sleep(10);
        // A gate message thread of an on-line start uses the tables until it
        // has seen the session's end.
        while (LoadShared(ctx.onlineThreadRunning) != 0) platform::Sleep(10);
        ClosePort(ctx.portHandle);
    }

    RealSimPlatform platformOnSim;
    BenchCentral central;
    StationContext ctx{};
    std::vector<StationGate> stationGates;
    std::vector<int16_t> map;
    std::vector<GateChange> buffer;
    std::atomic<bool> sessionDone{false};
};

}  // namespace bench
