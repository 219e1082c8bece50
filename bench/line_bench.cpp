// Line efficiency: a central polls on-line changes as fast as the protocol
// lets it over a line paced at a real baud rate, while the host raises
// changes faster than the line can carry them.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "bench/figures.h"
#include "bench/session_rig.h"
#include "sim/central_online.h"
#include "sim/korpro_online.h"

namespace {

constexpr uint32_t kCapacity = 1024;
constexpr double kGoalRatio = 0.97;

// 64 changes per request (13 + 2 bytes) and response (13 + 2 + 64 * 16
// bytes), 10 bits a byte on the wire.
double BoundChangesPerSecond(double baud) { return 64.0 / ((15.0 + 1039.0) * 10.0 / baud); }

void BM_LineEfficiency(benchmark::State& state) {
    const double baud = static_cast<double>(state.range(0));
    const int polls = static_cast<int>(state.range(1));
    bench::SessionRig rig(baud / 10.0, 64, kCapacity);
    const auto start = rig.central.Ask(sim::StartOnlineRequest());
    if (!start || start->response.body != sim::Bytes{0x6F, 0x00}) {
        state.SkipWithError("on-line start refused");
        return;
    }

    std::atomic<uint64_t> delivered{0};
    std::atomic<bool> stop{false};
    // Keeps the buffer well above one response's worth without overflowing it.
    std::thread host([&] {
        uint64_t raised = 0;
        while (!stop.load()) {
            while (raised - delivered.load() < kCapacity - 128) {
                const uint32_t n = static_cast<uint32_t>(raised++);
                korpro_sim::RaiseValueChange(static_cast<uint16_t>(bench::kFirstHostId + n % 64),
                                             {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)},
                                             {1, 2, 3, 4, 5, 6});
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    // Where a cycle's time beyond the wire goes: the driver's turnaround, and
    // the central's own lateness (its thread waking after a paced wait).
    const double byteSeconds = 10.0 / baud;
    double turnaround = 0;
    double centralLate = 0;
    bool first = true;
    bench::Clock::time_point lastReceived{};
    uint8_t sequence = 0;
    auto poll = [&]() -> int {
        const auto exchange = rig.central.Ask(sim::ContOnlineRequest(++sequence == 0 ? ++sequence : sequence));
        if (!exchange || exchange->response.body.size() < 2) return -1;
        const auto seconds = [](auto d) { return std::chrono::duration<double>(d).count(); };
        turnaround += seconds(exchange->firstByte - exchange->requestArrived);
        centralLate += seconds(exchange->requestArrived - exchange->requestSent) - 15 * byteSeconds;
        if (!first) centralLate += seconds(exchange->requestSent - lastReceived);
        first = false;
        lastReceived = exchange->received;
        const int changes = static_cast<int>((exchange->response.body.size() - 2) / 16);
        delivered.fetch_add(static_cast<uint64_t>(changes));
        return changes;
    };
    // Let the host fill the buffer and the session settle.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int i = 0; i < 2; ++i) poll();

    double rate = 0;
    int shortAnswers = 0;
    for (auto _ : state) {
        turnaround = 0;
        centralLate = 0;
        first = true;
        uint64_t changes = 0;
        const auto begin = bench::Clock::now();
        for (int i = 0; i < polls; ++i) {
            const int got = poll();
            if (got < 0) {
                state.SkipWithError("no proper response");
                break;
            }
            if (got < 64) ++shortAnswers;
            changes += static_cast<uint64_t>(got);
        }
        const double seconds = std::chrono::duration<double>(bench::Clock::now() - begin).count();
        state.SetIterationTime(seconds);
        rate = static_cast<double>(changes) / seconds;
    }
    stop.store(true);
    host.join();

    const double bound = BoundChangesPerSecond(baud);
    state.counters["changes_per_s"] = rate;
    state.counters["ratio"] = rate / bound;
    state.counters["short_answers"] = shortAnswers;
    state.counters["driver_turnaround_ms_per_poll"] = turnaround / polls * 1e3;
    state.counters["central_late_ms_per_poll"] = centralLate / polls * 1e3;
    const std::string name = "line efficiency " + std::to_string(static_cast<int>(baud)) + " baud";
    bench::Record(name, bench::Format("%.1f changes/s", rate) + bench::Format(" (%.1f%% of bound", 100 * rate / bound) +
                            bench::Format(" %.1f)", bound),
                  ">= 97% of bound", rate / bound >= kGoalRatio);
}

}  // namespace

// {baud, polls}: about 6 s of line time each.
BENCHMARK(BM_LineEfficiency)->Args({19200, 11})->Args({57600, 32})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
