// The gate message thread at full speed against a polling session on the
// machine's own clock: producer, gate message thread and poller run truly in
// parallel, so ThreadSanitizer sees every hand-over of the change buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "link/session.h"
#include "tests/online_rig.h"
#include "tests/sim_environment.h"

namespace {

using online_test::kFirstHostId;
using online_test::Numbered;

TEST(OnlineStressTest, NoChangeIsLostOrDuplicatedAtFullSpeed) {
    SimEnvironment env(sim::ClockMode::Real);
    constexpr uint16_t kGates = 16;
    constexpr uint16_t kCapacity = 128;
    // Fewer in flight than the buffer holds: any loss is a fault, not an overflow.
    constexpr uint32_t kInFlight = kCapacity - 8;
    StationContext ctx{};
    SetContextDefaults(&ctx);
    online_test::StationTables tables;
    tables.Install(&ctx, kGates, kCapacity);

    SessionState session{};
    session.previousLength = 2;
    session.lastSequence = kNoSequence;
    const uint8_t start[1] = {FE_REQ_START_ONLINE};
    HandleRequest(&ctx, start, 1, &session);
    ASSERT_EQ(session.responseLength, 2);
    ASSERT_EQ(responseBuffer[1], 0);

    std::atomic<uint32_t> received{0};
    std::atomic<uint32_t> produced{0};
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        for (uint32_t n = 1; !stop.load(); ++n) {
            while (n - received.load() > kInFlight) {
                if (stop.load()) return;
                std::this_thread::yield();
            }
            korpro_sim::RaiseValueChange(static_cast<uint16_t>(kFirstHostId + n % kGates), Numbered(n),
                                         {1, 2, 3, 4, 5, 6});
            produced.store(n);
        }
    });

    const auto begin = std::chrono::steady_clock::now();
    const auto produceUntil = begin + std::chrono::seconds(2);
    const auto giveUpAt = begin + std::chrono::seconds(4);
    uint8_t sequence = 0;
    uint32_t expected = 1;
    int polls = 0;
    int retries = 0;
    bool ordered = true;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= produceUntil && !stop.load()) {
            stop.store(true);
            producer.join();
        }
        if (stop.load() && expected > produced.load()) break;
        if (now >= giveUpAt) break;

        const uint8_t poll[2] = {FE_REQ_CONT_ONLINE, ++sequence};
        HandleRequest(&ctx, poll, 2, &session);
        ++polls;
        const std::vector<uint8_t> answer(responseBuffer, responseBuffer + session.responseLength);
        if (answer.size() == 2) {
            // Nothing waited: leave the cores to the producer and the thread.
            std::this_thread::yield();
            continue;
        }
        if (polls % 16 == 0) {
            // A repeated sequence byte gets the same answer and takes nothing.
            HandleRequest(&ctx, poll, 2, &session);
            ++retries;
            if (std::vector<uint8_t>(responseBuffer, responseBuffer + session.responseLength) != answer) {
                ADD_FAILURE() << "retry answer differs at poll " << polls;
                break;
            }
        }
        ASSERT_EQ((answer.size() - 2) % 16, 0u);
        for (size_t at = 2; at < answer.size(); at += 16) {
            const uint32_t n = answer[at + 2] | (answer[at + 3] << 8) | (answer[at + 4] << 16) |
                               (uint32_t{answer[at + 5]} << 24);
            if (n != expected || answer[at] != n % kGates) {
                ordered = false;
                break;
            }
            ++expected;
        }
        if (!ordered) break;
        received.store(expected - 1);
    }
    if (!stop.load()) {
        stop.store(true);
        producer.join();
    }

    EXPECT_TRUE(ordered) << "change " << expected << " missing or out of order";
    EXPECT_EQ(expected - 1, produced.load());
    EXPECT_GT(produced.load(), 1000u);
    // The buffer never overflowed and the thread never complained.
    int retryLines = 0;
    for (const korpro_sim::LogLine& line : korpro_sim::Log()) {
        if (line == korpro_sim::LogLine{8, "TELDRV> info, retry sent"}) {
            ++retryLines;
        } else {
            ADD_FAILURE() << line;
        }
    }
    EXPECT_EQ(retryLines, retries);
    EXPECT_TRUE(online_test::StopGateThread(&ctx));
    EXPECT_EQ(korpro_sim::RemovedClients().size(), 1u);
    std::printf("stress: %u changes in %d polls (%d retries)\n", produced.load(), polls, retries);
}

}  // namespace
