// Start-up: ColdStart with a 32768-gate station file and a full init file on
// the simulated modem line, and the memory the started driver holds.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "bench/figures.h"
#include "bench/session_rig.h"
#include "bench/station_files.h"
#include "capture/gate_change.h"
#include "common/alloc_hook.h"
#include "config/station_gates.h"
#include "driver/operations.h"
#include "host/records.h"
#include "sim/modem.h"
#include "tests/test_port_settings.h"

namespace {

constexpr unsigned kGates = 32768;
constexpr double kGoalMs = 50;

// Every allocation the driver makes through its allocator hook; all of them
// are held until EndVpi.
size_t allocated = 0;
void* CountingAlloc(size_t size) {
    allocated += size;
    return std::malloc(size);
}

void BM_ColdStart(benchmark::State& state) {
    bench::RealSimPlatform platformOnSim;
    sim::Line& line = sim::CreateLine("SIM1");
    sim::Modem modem(line);
    bench::StationFiles files(kGates);
    const DriverAllocFunction savedAlloc = driverAlloc;
    driverAlloc = CountingAlloc;

    std::vector<double> samples;
    for (auto _ : state) {
        auto* ctx = static_cast<StationContext*>(std::malloc(sizeof(StationContext)));
        ColdStartParams params = test_port::ColdStartOn("SIM1");
        VpiCallBlock block{ctx, 0, 1, 0, &params};
        allocated = 0;
        const auto begin = bench::Clock::now();
        const HostResult result = ColdStart(&block);
        const double seconds = std::chrono::duration<double>(bench::Clock::now() - begin).count();
        const bool whole = result == HostResult::kHostDone && ctx->stationGateCount == kGates;
        EndVpi(&block);
        std::free(ctx);
        if (!whole) {
            state.SkipWithError("cold start failed");
            break;
        }
        state.SetIterationTime(seconds);
        samples.push_back(seconds * 1e3);
    }
    driverAlloc = savedAlloc;

    // The gate table (36 bytes a gate), the id map (2 bytes a host id, ids
    // 1..32768), the change buffer and the phone numbers as the init file
    // gives them.
    size_t numbers = 0;
    for (unsigned reference = 1; reference <= 254; ++reference) {
        numbers += 4 + std::to_string(100000 + reference).size() + 1;
    }
    const size_t tables = size_t{kGates} * sizeof(StationGate) + (size_t{kGates} + 1) * sizeof(int16_t) +
                          size_t{bench::kBufferRecords} * sizeof(GateChange) + numbers;
    const double median = bench::Percentile(samples, 0.5);
    state.counters["median_ms"] = median;
    state.counters["held_bytes"] = static_cast<double>(allocated);
    state.counters["tables_bytes"] = static_cast<double>(tables);
    bench::Record("start-up ColdStart 32768 gates (median)", bench::Format("%.2f ms", median), "< 50 ms",
                  median < kGoalMs);
    bench::Record("start-up memory held",
                  bench::Format("%.0f B", static_cast<double>(allocated)) +
                      bench::Format(" (%.1f B/gate)", static_cast<double>(allocated) / kGates),
                  bench::Format("<= tables %.0f B", static_cast<double>(tables)), allocated <= tables);
}

}  // namespace

BENCHMARK(BM_ColdStart)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
