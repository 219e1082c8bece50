// Capture: AddInBuffer appends and GetFromBuffer drains of 16-byte changes,
// on one thread and between two threads on different cores, beside
// boost::lockfree::spsc_queue moving the same records and a plain memcpy of
// the same bytes.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <boost/lockfree/spsc_queue.hpp>
#include <cstring>
#include <thread>
#include <vector>

#include "capture/change_buffer.h"
#include "capture/gate_change.h"
#include "config/station_gates.h"
#include "driver/context.h"
#include "sim/korpro_sim.h"

namespace {

constexpr uint16_t kGates = 64;
constexpr uint16_t kFirstHostId = 100;
constexpr uint16_t kCapacity = 4096;
constexpr uint64_t kCrossChanges = 20'000'000;

struct Buffer {
    Buffer() {
        SetContextDefaults(&ctx);
        map.assign(size_t{kFirstHostId} + kGates, -1);
        for (uint16_t i = 0; i < kGates; ++i) map[kFirstHostId + i] = static_cast<int16_t>(i);
        storage.assign(kCapacity, GateChange{});
        ctx.gateIdMap = map.data();
        ctx.gateIdMapSize = static_cast<uint16_t>(map.size());
        ctx.changeBuffer = storage.data();
        ctx.changeCapacity = kCapacity;
    }
    void Add(uint64_t n) {
        AddInBuffer(&ctx, static_cast<uint16_t>(kFirstHostId + n % kGates), n & 1, static_cast<uint32_t>(n), 0xA55A,
                    0x01020304, 0x0506);
    }
    // Room for one more: the producer never lets AddInBuffer overflow (that
    // would log a line per change and measure the log).
    bool Full() {
        const uint16_t write = LoadShared(ctx.changeWrite, std::memory_order_relaxed);
        return (write + 1u) % kCapacity == LoadShared(ctx.changeRead, std::memory_order_acquire);
    }
    StationContext ctx{};
    std::vector<int16_t> map;
    std::vector<GateChange> storage;
};

GateChange Record(uint64_t n) {
    GateChange change{};
    const auto index = static_cast<uint16_t>((n % kGates) | ((n & 1) << 15));
    std::memcpy(change.bytes, &index, 2);
    const auto low = static_cast<uint32_t>(n);
    std::memcpy(change.bytes + 2, &low, 4);
    return change;
}

void Pin(int core) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core % static_cast<int>(std::thread::hardware_concurrency()), &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

void BM_CaptureOneThread(benchmark::State& state) {
    korpro_sim::Reset();
    Buffer buffer;
    uint8_t out[64 * 16];
    uint64_t n = 0;
    for (auto _ : state) {
        for (int i = 0; i < 64; ++i) buffer.Add(n++);
        benchmark::DoNotOptimize(GetFromBuffer(&buffer.ctx, out, 64));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(n));
}

void BM_CaptureCrossThread(benchmark::State& state) {
    korpro_sim::Reset();
    for (auto _ : state) {
        Buffer buffer;
        std::atomic<bool> go{false};
        std::thread producer([&] {
            Pin(0);
            while (!go.load()) {
            }
            for (uint64_t n = 0; n < kCrossChanges; ++n) {
                while (buffer.Full()) {
                }
                buffer.Add(n);
            }
        });
        Pin(1);
        uint8_t out[64 * 16];
        uint64_t drained = 0;
        const auto begin = std::chrono::steady_clock::now();
        go.store(true);
        while (drained < kCrossChanges) drained += GetFromBuffer(&buffer.ctx, out, 64);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        producer.join();
        state.SetIterationTime(seconds);
    }
    state.SetItemsProcessed(static_cast<int64_t>(kCrossChanges * state.iterations()));
}

void BM_BoostSpscCrossThread(benchmark::State& state) {
    for (auto _ : state) {
        boost::lockfree::spsc_queue<GateChange> queue(kCapacity);
        std::atomic<bool> go{false};
        std::thread producer([&] {
            Pin(0);
            while (!go.load()) {
            }
            for (uint64_t n = 0; n < kCrossChanges; ++n) {
                const GateChange change = Record(n);
                while (!queue.push(change)) {
                }
            }
        });
        Pin(1);
        GateChange out[64];
        uint64_t drained = 0;
        const auto begin = std::chrono::steady_clock::now();
        go.store(true);
        while (drained < kCrossChanges) drained += queue.pop(out, 64);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        producer.join();
        benchmark::DoNotOptimize(out);
        state.SetIterationTime(seconds);
    }
    state.SetItemsProcessed(static_cast<int64_t>(kCrossChanges * state.iterations()));
}

void BM_MemcpyCeiling(benchmark::State& state) {
    std::vector<GateChange> ring(kCapacity);
    uint8_t out[64 * 16];
    uint64_t n = 0;
    size_t at = 0;
    for (auto _ : state) {
        std::memcpy(out, ring.data() + at, sizeof out);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
        at = (at + 64) % kCapacity;
        n += 64;
    }
    state.SetItemsProcessed(static_cast<int64_t>(n));
}

}  // namespace

BENCHMARK(BM_CaptureOneThread)->MinTime(0.5);
BENCHMARK(BM_CaptureCrossThread)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BoostSpscCrossThread)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyCeiling)->MinTime(0.5);
