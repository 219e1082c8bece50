// Capture: AddInBuffer appends and GetFromBuffer drains of 16-byte changes,
// on one thread and between two threads on different cores, beside
// boost::lockfree::spsc_queue moving the same records and a plain memcpy of
// the same bytes.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>

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
constexpr auto kCrossWindow = std::chrono::milliseconds(1500);

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
    // would log a line per change and measure the log). Like a queue's own
    // push, it looks at the reader's index only when its copy says full, so
    // the harness adds no traffic of its own on the reader's cache line.
    bool Full() {
        const uint16_t write = LoadShared(ctx.changeWrite, std::memory_order_relaxed);
        const auto next = static_cast<uint16_t>((write + 1u) % kCapacity);
        if (next != readSeen) return false;
        readSeen = LoadShared(ctx.changeRead, std::memory_order_acquire);
        return next == readSeen;
    }
    uint16_t readSeen = 0;
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

// The consumer runs on the benchmark's own thread: it gets its cores back.
struct PinnedHere {
    explicit PinnedHere(int core) {
        pthread_getaffinity_np(pthread_self(), sizeof saved, &saved);
        Pin(core);
    }
    ~PinnedHere() { pthread_setaffinity_np(pthread_self(), sizeof saved, &saved); }
    cpu_set_t saved;
};

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

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A producer thread on core 0 appends until told to stop; the benchmark's
// thread on core 1 drains for kCrossSeconds. Reports changes drained per
// second, and the share of the window the two threads were on a core (on a
// loaded machine they seldom run at once, and the rate shows that).
template <typename Produce, typename Drain>
void CrossThread(benchmark::State& state, Produce produce, Drain drain) {
    uint64_t total = 0;
    double onCore = 0;
    for (auto _ : state) {
        std::atomic<bool> go{false};
        std::atomic<bool> stop{false};
        std::atomic<double> producerCpu{0};
        std::thread producer([&] {
            Pin(0);
            while (!go.load()) {
            }
            const double cpu = ThreadCpuSeconds();
            produce(stop);
            producerCpu.store(ThreadCpuSeconds() - cpu);
        });
        PinnedHere consumer(1);
        uint64_t drained = 0;
        const double cpu = ThreadCpuSeconds();
        const auto begin = std::chrono::steady_clock::now();
        const auto end = begin + kCrossWindow;
        go.store(true);
        for (unsigned i = 0;; ++i) {
            drained += drain();
            if (i % 256 == 0 && std::chrono::steady_clock::now() >= end) break;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        const double consumerCpu = ThreadCpuSeconds() - cpu;
        stop.store(true);
        producer.join();
        state.SetIterationTime(seconds);
        total += drained;
        onCore += (consumerCpu + producerCpu.load()) / (2 * seconds);
    }
    state.SetItemsProcessed(static_cast<int64_t>(total));
    state.counters["on_core_share"] = onCore / static_cast<double>(state.iterations());
}

void BM_CaptureCrossThread(benchmark::State& state) {
    korpro_sim::Reset();
    Buffer buffer;
    uint8_t out[64 * 16];
    CrossThread(
        state,
        [&](std::atomic<bool>& stop) {
            for (uint64_t n = 0; !stop.load(std::memory_order_relaxed); ++n) {
                while (buffer.Full()) {
                    if (stop.load(std::memory_order_relaxed)) return;
                }
                buffer.Add(n);
            }
        },
        [&] { return GetFromBuffer(&buffer.ctx, out, 64); });
    benchmark::DoNotOptimize(out);
}

void BM_BoostSpscCrossThread(benchmark::State& state) {
    boost::lockfree::spsc_queue<GateChange> queue(kCapacity);
    GateChange out[64];
    CrossThread(
        state,
        [&](std::atomic<bool>& stop) {
            for (uint64_t n = 0; !stop.load(std::memory_order_relaxed); ++n) {
                const GateChange change = Record(n);
                while (!queue.push(change)) {
                    if (stop.load(std::memory_order_relaxed)) return;
                }
            }
        },
        [&] { return queue.pop(out, 64); });
    benchmark::DoNotOptimize(out);
}

// The same records through boost's queue on one thread, for the cost of a
// change without any thread hand-over.
void BM_BoostSpscOneThread(benchmark::State& state) {
    boost::lockfree::spsc_queue<GateChange> queue(kCapacity);
    GateChange out[64];
    uint64_t n = 0;
    for (auto _ : state) {
        for (int i = 0; i < 64; ++i) queue.push(Record(n++));
        benchmark::DoNotOptimize(queue.pop(out, 64));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(n));
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
BENCHMARK(BM_BoostSpscOneThread)->MinTime(0.5);
BENCHMARK(BM_CaptureCrossThread)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BoostSpscCrossThread)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyCeiling)->MinTime(0.5);
