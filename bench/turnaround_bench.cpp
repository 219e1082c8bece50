// Turnaround: from the last byte of a request at the driver's port to the
// first byte of its response leaving it, on an unpaced simulated line with
// the central asking again at once.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/figures.h"
#include "bench/session_rig.h"
#include "capture/change_buffer.h"
#include "sim/central_history.h"
#include "sim/central_online.h"
#include "sim/korpro_history.h"

namespace {

constexpr int kSamples = 3000;
constexpr int32_t kT0 = static_cast<int32_t>(sim::kEpochSeconds);
constexpr double kGoalP99Us = 50;

uint8_t Sequence(int64_t n) { return static_cast<uint8_t>(n % 255 + 1); }

void FillChanges(StationContext* ctx, uint32_t count, uint32_t serial) {
    for (uint32_t i = 0; i < count; ++i) {
        AddInBuffer(ctx, static_cast<uint16_t>(bench::kFirstHostId + i % 64), 0, serial + i, 0xA55A, 0x01020304,
                    0x0506);
    }
}

// Asks `request(n)` once per iteration after `prepare(n)`, checks the body's
// size and times the turnaround.
template <typename Prepare, typename Request>
void Turnaround(benchmark::State& state, bench::SessionRig& rig, const std::string& name, size_t bodySize,
                Prepare prepare, Request request) {
    std::vector<double> samples;
    std::vector<double> work;  // after the driver's thread runs again: what the driver itself spends
    samples.reserve(kSamples);
    work.reserve(kSamples);
    int64_t n = 0;
    for (auto _ : state) {
        prepare(n);
        const auto exchange = rig.central.Ask(request(n));
        ++n;
        if (!exchange || exchange->response.body.size() != bodySize) {
            state.SkipWithError("no proper response");
            return;
        }
        const double seconds = std::chrono::duration<double>(exchange->firstByte - exchange->requestArrived).count();
        state.SetIterationTime(seconds);
        samples.push_back(seconds * 1e6);
        work.push_back(std::chrono::duration<double>(exchange->firstByte - exchange->driverRunning).count() * 1e6);
    }
    const double median = bench::Percentile(samples, 0.5);
    const double p99 = bench::Percentile(samples, 0.99);
    state.counters["median_us"] = median;
    state.counters["p99_us"] = p99;
    state.counters["work_median_us"] = bench::Percentile(work, 0.5);
    state.counters["work_p99_us"] = bench::Percentile(work, 0.99);
    bench::Record("turnaround " + name + " median", bench::Format("%.1f us", median), "-", true);
    bench::Record("turnaround " + name + " p99", bench::Format("%.1f us", p99), "< 50 us", p99 < kGoalP99Us);
    bench::Record("turnaround " + name + " p99, driver's own part",
                  bench::Format("%.1f us", state.counters["work_p99_us"]), "-", true);
}

void BM_TurnaroundStation(benchmark::State& state) {
    bench::SessionRig rig(0);
    Turnaround(state, rig, "STATION", 4, [](int64_t) {}, [](int64_t) { return sim::StationRequest(); });
}

void BM_TurnaroundEmptyContOnline(benchmark::State& state) {
    bench::SessionRig rig(0);
    Turnaround(state, rig, "CONT_ONLINE empty", 2, [](int64_t) {},
               [](int64_t n) { return sim::ContOnlineRequest(Sequence(n)); });
}

void BM_TurnaroundFullContOnline(benchmark::State& state) {
    bench::SessionRig rig(0);
    // The bench thread fills the buffer between requests, so no gate message
    // thread runs: the session is the only reader, the bench the only writer.
    Turnaround(
        state, rig, "CONT_ONLINE 64", 2 + 64 * 16,
        [&](int64_t n) { FillChanges(&rig.ctx, 64, static_cast<uint32_t>(n * 64)); },
        [](int64_t n) { return sim::ContOnlineRequest(Sequence(n)); });
}

void BM_TurnaroundFullContHistory(benchmark::State& state) {
    bench::SessionRig rig(0);
    std::vector<korpro_sim::HistoryEntry> files;
    for (uint32_t n = 0; n < 56u * (kSamples + 20); ++n) {
        const auto id = static_cast<uint16_t>(bench::kFirstHostId + n % 64);
        files.push_back({id, korpro_sim::ValuePayload(kT0, static_cast<uint16_t>(n), 0, 0.5 + n), kT0});
    }
    korpro_sim::AddHistory(files);
    const auto start = rig.central.Ask(sim::StartHistoryRequest(kT0 - 600));
    if (!start || start->response.body != sim::Bytes{0x68, 0x00}) {
        state.SkipWithError("history start refused");
        return;
    }
    Turnaround(state, rig, "CONT_HISTORY 56", 2 + 56 * 18, [](int64_t) {},
               [](int64_t n) { return sim::ContHistoryRequest(Sequence(n)); });
}

}  // namespace

BENCHMARK(BM_TurnaroundStation)->Iterations(kSamples)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TurnaroundEmptyContOnline)->Iterations(kSamples)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TurnaroundFullContOnline)->Iterations(kSamples)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TurnaroundFullContHistory)->Iterations(kSamples)->UseManualTime()->Unit(benchmark::kMicrosecond);
