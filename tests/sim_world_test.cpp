// The simulated world every link and modem test stands on.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/error.h"
#include "platform/serial.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "tests/sim_environment.h"

namespace {

TEST(VirtualClock, SleepsCostNoRealTimeAndAddUp) {
    SimEnvironment env;
    const int64_t start = sim::NowMs();
    const int32_t calendar = platform::CalendarTime();
    platform::Sleep(45000);
    platform::Sleep(1500);
    EXPECT_EQ(sim::NowMs() - start, 46500);
    EXPECT_EQ(platform::CalendarTime() - calendar, 46);
}

struct Pinger {
    std::atomic<int> wakes{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> ended{false};
};

TEST(VirtualClock, TimeStandsStillWhileAParticipantWorks) {
    SimEnvironment env;
    Pinger pinger;
    ASSERT_EQ(platform::StartThread(
                  [](void* raw) {
                      auto* p = static_cast<Pinger*>(raw);
                      while (!p->stop) {
                          platform::Sleep(100);
                          ++p->wakes;
                      }
                      p->ended = true;
                  },
                  &pinger, 8192),
              0);
    // The main thread runs: the other thread's 100 ms sleep cannot end.
    const int64_t before = sim::NowMs();
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(sim::NowMs(), before);
    EXPECT_EQ(pinger.wakes, 0);
    // The pinger's tenth wake falls at 1000 ms; ours after it.
    platform::Sleep(1050);
    EXPECT_EQ(pinger.wakes, 10);
    pinger.stop = true;
    while (!pinger.ended) platform::Sleep(100);
    EXPECT_EQ(sim::RunningThreads(), 0);
}

// A participant that joins a thread waits like one that sleeps: the clock
// moves on for the thread it joins, and the join returns when that ends.
TEST(VirtualClock, AJoinWaitsOnTheClockForTheThreadItJoins) {
    SimEnvironment env;
    std::atomic<int64_t> endedAt{-1};
    platform::ThreadHandle thread;
    ASSERT_EQ(platform::StartThread(
                  [](void* raw) {
                      platform::Sleep(45000);
                      static_cast<std::atomic<int64_t>*>(raw)->store(sim::NowMs());
                  },
                  &endedAt, 8192, &thread),
              0);
    platform::JoinThread(&thread);
    EXPECT_EQ(endedAt.load(), 45000);
    EXPECT_EQ(sim::NowMs(), 45000);
    EXPECT_EQ(thread.backend, nullptr);
    EXPECT_EQ(sim::RunningThreads(), 0);
}

TEST(VirtualClock, SystemClockSettingsAreValidatedAndRecorded) {
    SimEnvironment env;
    platform::SystemTime good{2026, 12, 1, 7, 23, 59, 58, 999};
    EXPECT_TRUE(platform::SetSystemClock(good));
    platform::SystemTime bad = good;
    bad.wMonth = 13;
    EXPECT_FALSE(platform::SetSystemClock(bad));
    EXPECT_EQ(platform::LastError(), 87u);
    bad = good;
    bad.wDay = 32;
    EXPECT_FALSE(platform::SetSystemClock(bad));
    bad = good;
    bad.wHour = 24;
    EXPECT_FALSE(platform::SetSystemClock(bad));
    bad = {2025, 2, 0, 29, 0, 0, 0, 0};  // not a leap year
    EXPECT_FALSE(platform::SetSystemClock(bad));
    sim::FailSystemClock(1314);
    EXPECT_FALSE(platform::SetSystemClock(good));
    EXPECT_EQ(platform::LastError(), 1314u);
    ASSERT_EQ(sim::SystemClockSets().size(), 1u);
    EXPECT_EQ(sim::SystemClockSets()[0].wSecond, 58);
}

class NullPeer : public sim::LinePeer {
public:
    void FromPort(sim::WorldLock&, const uint8_t* data, size_t size) override { got.insert(got.end(), data, data + size); }
    bool CarrierDetect(const sim::WorldLock&) override { return carrier; }
    std::vector<uint8_t> got;
    bool carrier = false;
};

TEST(SimulatedLine, ReadsWaitTheirTotalTimeOutOnTheVirtualClock) {
    SimEnvironment env;
    sim::Line& line = sim::CreateLine("SIM1");
    NullPeer peer;
    sim::Locked(line)->peer = &peer;
    platform::PortHandle port = platform::CommOpen("SIM1");
    ASSERT_NE(port, platform::kInvalidPortHandle);
    EXPECT_EQ(platform::CommOpen("SIM1"), platform::kInvalidPortHandle);  // exclusive
    EXPECT_EQ(platform::LastError(), platform::kErrorAccessDenied);

    platform::CommTimeouts timeouts{0, 0, 1500, 0, 0};
    ASSERT_TRUE(platform::CommSetTimeouts(port, &timeouts));
    uint8_t buffer[9];
    uint32_t got = 99;
    int64_t start = sim::NowMs();
    ASSERT_TRUE(platform::CommRead(port, buffer, 9, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(sim::NowMs() - start, 1500);

    {
        sim::WorldLock lock(sim::WorldMutex());
        const uint8_t bytes[] = {1, 2, 3};
        sim::SendToPort(lock, line, bytes, 3);
    }
    start = sim::NowMs();
    ASSERT_TRUE(platform::CommRead(port, buffer, 9, &got));
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(sim::NowMs() - start, 1500);

    const uint8_t out[] = {'A', 'T', '\r'};
    uint32_t written = 0;
    ASSERT_TRUE(platform::CommWrite(port, out, 3, &written));
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(sim::UnderWorldLock([&] { return peer.got; }), (std::vector<uint8_t>{'A', 'T', '\r'}));

    uint32_t status = 0;
    ASSERT_TRUE(platform::CommModemStatus(port, &status));
    EXPECT_EQ(status & platform::kModemStatusRlsdOn, 0u);
    sim::UnderWorldLock([&] { peer.carrier = true; });
    ASSERT_TRUE(platform::CommModemStatus(port, &status));
    EXPECT_NE(status & platform::kModemStatusRlsdOn, 0u);

    ASSERT_TRUE(platform::CommClose(port));
    EXPECT_FALSE(platform::CommModemStatus(port, &status));  // stale handle
    EXPECT_EQ(platform::LastError(), platform::kErrorInvalidHandle);
}

TEST(SimulatedLine, ABlockedReadWakesWhenBytesArrive) {
    SimEnvironment env;
    sim::Line& line = sim::CreateLine("SIM2");
    NullPeer peer;
    sim::Locked(line)->peer = &peer;
    platform::PortHandle port = platform::CommOpen("SIM2");
    platform::CommTimeouts timeouts{0, 0, 10000, 0, 0};
    platform::CommSetTimeouts(port, &timeouts);

    struct Reader {
        platform::PortHandle port;
        uint32_t got = 0;
        int64_t at = 0;
        std::atomic<bool> done{false};
    } reader{port};
    platform::StartThread(
        [](void* raw) {
            auto* r = static_cast<Reader*>(raw);
            uint8_t buffer[4];
            platform::CommRead(r->port, buffer, 4, &r->got);
            r->at = sim::NowMs();
            r->done = true;
        },
        &reader, 8192);
    platform::Sleep(2000);
    {
        sim::WorldLock lock(sim::WorldMutex());
        const uint8_t bytes[] = {1, 2, 3, 4};
        sim::SendToPort(lock, line, bytes, 4);
    }
    while (!reader.done) platform::Sleep(10);
    EXPECT_EQ(reader.got, 4u);
    EXPECT_EQ(reader.at, 2000);
    platform::CommClose(port);
}

}  // namespace
