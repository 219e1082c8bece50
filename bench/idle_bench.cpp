// Idle cost: the CPU time of a started driver waiting for calls, on the
// machine's own clock and threads (the native platform backends). Its port
// is a simulated line with a modem emulator on the real clock, so the
// driver's modem status polls see a modem as they would on a serial port.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdlib>
#include <thread>

#include "bench/figures.h"
#include "bench/station_files.h"
#include "driver/context.h"
#include "driver/operations.h"
#include "host/records.h"
#include "platform/serial.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "sim/line.h"
#include "sim/modem.h"
#include "sim/world.h"
#include "tests/test_port_settings.h"

namespace {

constexpr double kGoalShare = 0.001;  // 0.1 % of one core
constexpr int kWindowSeconds = 10;

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void BM_IdleCost(benchmark::State& state) {
    sim::ResetClock(sim::ClockMode::Real, sim::kEpochSeconds);
    sim::ResetLines();
    korpro_sim::Reset();
    platform::UseTimeBackend(nullptr);
    platform::UseThreadBackend(nullptr);
    platform::RegisterSerialBackend(sim::kLinePrefix, sim::LineBackend());
    sim::Line& line = sim::CreateLine("SIM1");
    double share = 0;
    {
        sim::Modem modem(line);
        bench::StationFiles files(64);
        auto* ctx = static_cast<StationContext*>(std::malloc(sizeof(StationContext)));
        ColdStartParams params = test_port::ColdStartOn("SIM1");
        VpiCallBlock block{ctx, 0, 1, 0, &params};
        if (ColdStart(&block) != HostResult::kHostDone) state.SkipWithError("cold start failed");
        // The thread resets the modem and turns auto-answer on, then waits.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        for (auto _ : state) {
            const double cpuBegin = ProcessCpuSeconds();
            const auto begin = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::seconds(kWindowSeconds));
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            const double cpu = ProcessCpuSeconds() - cpuBegin;
            state.SetIterationTime(wall);
            share = cpu / wall;
        }
        EndVpi(&block);
        std::free(ctx);
    }
    platform::UnregisterSerialBackend(sim::kLinePrefix);

    state.counters["cpu_share_percent"] = share * 100;
    state.counters["cpu_ms_per_60s"] = share * 60e3;
    bench::Record("idle cost (10 s window, scaled to 60 s)",
                  bench::Format("%.3f ms CPU/60 s", share * 60e3) + bench::Format(" = %.4f%% of a core", share * 100),
                  "< 0.1% of a core", share < kGoalShare);
}

}  // namespace

BENCHMARK(BM_IdleCost)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
