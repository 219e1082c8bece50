// A bounded soak of the whole driver on the simulated modem line: lives of
// ColdStart, many calls (incoming and alarm calls) with on-line changes at a
// high rate and random faults, and EndVpi at random points. Every change the
// host raised while on-line is delivered exactly once, in order, or counted
// by the overflow message; the heap stays flat; EndVpi always returns.
//
// TELDRV_SOAK_SEED (default 1) makes a run reproducible; TELDRV_SOAK_SECONDS
// (default 120) bounds it in real time, TELDRV_SOAK_LIVES (default 400) in lives.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>

#include "sim/central_online.h"
#include "sim/korpro_online.h"
#include "tests/driver_rig.h"
#include "tests/online_rig.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TELDRV_SOAK_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TELDRV_SOAK_SANITIZED 1
#endif

namespace {

using driver_test::DriverRig;
using driver_test::LogText;
using korpro_sim::LogLine;
using sim::Bytes;

const std::string kOverflow = "TELDRV> AddInBuffer() error, on-line gate buffer overflow, gate change missed!";
constexpr uint16_t kHostIds[2] = {11, 12};  // TANK_LEVEL and PUMP_STATE of the rig's gate file
const Bytes kStationAnswer{0x73, 7, 7, 7};

uint64_t Setting(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

size_t Overflows() { return log_test::Count(kOverflow); }

struct Stats {
    int lives = 0;
    int sessions = 0;
    int alarmCalls = 0;
    int drops = 0;
    int midShutdowns = 0;
    int lostAnswers = 0;
    int badFrames = 0;
    uint64_t raised = 0;
    uint64_t delivered = 0;
    uint64_t overflowed = 0;
};

class Soak {
public:
    Soak(DriverRig& rig, std::mt19937& random, Stats& stats) : rig_(rig), random_(random), stats_(stats) {}

    // Waits for a call: an alarm call the driver places, or an incoming one.
    bool AwaitCall(bool alarm) {
        if (alarm && !rig_.central.IsConnected()) {
            ++stats_.alarmCalls;
            if (rig_.Write(1) != 0) return false;
        }
        for (int tries = 0; tries < 3 && !rig_.central.IsConnected(); ++tries) {
            if (!alarm) rig_.modem.Ring(rig_.central);
            if (rig_.central.WaitConnected(120000)) break;
        }
        if (!rig_.central.IsConnected()) return false;
        platform::Sleep(500);
        rig_.central.TakeInput();
        return true;
    }

    // One call with on-line transfer; EndVpi may start part-way through it.
    void Session(std::atomic<bool>* endVpiDone) {
        ++stats_.sessions;
        sim::CentralStation& central = rig_.central;
        ASSERT_EQ(central.Station(), kStationAnswer) << LogText();
        ASSERT_EQ(central.Ask(sim::StartOnlineRequest()), (Bytes{0x6F, 0x00})) << LogText();
        const size_t overflowsBefore = Overflows();
        std::vector<uint32_t> raised;
        std::vector<uint32_t> delivered;
        uint8_t sequence = 0;
        bool lost = false;
        const int polls = 5 + static_cast<int>(random_() % 40);
        const int dropAt = random_() % 4 == 0 ? static_cast<int>(random_() % polls) : -1;
        const int endAt = endVpiDone != nullptr ? static_cast<int>(random_() % polls) : -1;
        for (int poll = 0; poll < polls; ++poll) {
            // Once EndVpi has begun the driver is no longer on-line: the host's
            // later changes are nobody's.
            if (poll == endAt) StartEndVpi(endVpiDone, true);
            for (int i = 0, n = poll >= endAt && endAt >= 0 ? 0 : static_cast<int>(random_() % 24); i < n; ++i) {
                raised.push_back(++serial_);
                korpro_sim::RaiseValueChange(kHostIds[random_() % 2], online_test::Numbered(serial_), {});
            }
            online_test::LetThreadsRun();
            if (poll == dropAt) {
                ++stats_.drops;
                rig_.modem.DropCarrier();
                lost = true;
                break;
            }
            sequence = static_cast<uint8_t>(sequence % 255 + 1);
            const Bytes request = sim::ContOnlineRequest(sequence);
            switch (random_() % 8) {
                case 0:  // the answer is lost on the way back
                    ++stats_.lostAnswers;
                    central.SendRequest(request);
                    central.ReadResponse(15000);
                    break;
                case 1: {  // the request is garbled on the way out
                    ++stats_.badFrames;
                    Bytes bad = sim::EncodeFrame("FEC", 0x7777, request);
                    bad[random_() % bad.size()] ^= static_cast<uint8_t>(1 + random_() % 255);
                    central.SendBytes(bad);
                    platform::Sleep(25000);
                    central.TakeInput();
                    break;
                }
                default: break;
            }
            Collect(central.Ask(request), &delivered);
        }
        if (!lost) {
            // Collect what is left, then end the call.
            for (int empty = 0; empty < 2;) {
                online_test::LetThreadsRun();
                sequence = static_cast<uint8_t>(sequence % 255 + 1);
                empty = Collect(central.Ask(sim::ContOnlineRequest(sequence)), &delivered) == 0 ? empty + 1 : 0;
            }
            ASSERT_EQ(central.HangUp(), Bytes{0x78});
        }
        ASSERT_TRUE(rig_.WaitIdle(120000)) << LogText();

        const size_t overflows = Overflows() - overflowsBefore;
        stats_.raised += raised.size();
        stats_.delivered += delivered.size();
        stats_.overflowed += overflows;
        // Exactly once and in order: strictly rising serial numbers, each one raised here.
        for (size_t i = 0; i < delivered.size(); ++i) {
            ASSERT_TRUE(i == 0 || delivered[i] > delivered[i - 1]) << "duplicate or out of order " << delivered[i];
            ASSERT_TRUE(std::binary_search(raised.begin(), raised.end(), delivered[i])) << delivered[i];
        }
        // Every change the driver took and that a later one overtook was delivered; on a
        // call that ended cleanly every change was. The rest are the overflow's.
        const uint32_t last = delivered.empty() ? 0 : delivered.back();
        size_t missing = 0;
        for (const uint32_t n : raised) {
            if ((lost ? n < last : true) && !std::binary_search(delivered.begin(), delivered.end(), n)) ++missing;
        }
        if (lost) {
            EXPECT_LE(missing, overflows);
        } else {
            EXPECT_EQ(missing, overflows);
        }
    }

    bool endVpiStarted() const { return endVpiDone_ != nullptr; }

    void StartEndVpi(std::atomic<bool>* done, bool duringCall) {
        if (duringCall) ++stats_.midShutdowns;
        endVpiRig_ = &rig_;
        endVpiDone_ = done;
        platform::StartThread(
            [](void* raw) {
                auto* soak = static_cast<Soak*>(raw);
                EndVpi(&soak->endVpiRig_->block);
                soak->endVpiDone_->store(true);
            },
            this, 8192);
    }

private:
    size_t Collect(const std::optional<Bytes>& body, std::vector<uint32_t>* delivered) {
        EXPECT_TRUE(body) << LogText();
        if (!body) return 0;
        sim::OnlineAnswer answer;
        EXPECT_EQ(sim::DecodeOnlineAnswer(*body, false, &answer), "");
        for (const sim::ReceivedChange& change : answer.changes) {
            delivered->push_back(online_test::NumberOf(change.value));
        }
        return answer.changes.size();
    }

    DriverRig& rig_;
    std::mt19937& random_;
    Stats& stats_;
    uint32_t serial_ = 0;
    DriverRig* endVpiRig_ = nullptr;
    std::atomic<bool>* endVpiDone_ = nullptr;
};

TEST(Soak, SessionsWithRandomFaultsLoseNothingAndLeakNothing) {
    const uint64_t seed = Setting("TELDRV_SOAK_SEED", 1);
    const auto budget = std::chrono::seconds(Setting("TELDRV_SOAK_SECONDS", 120));
    const uint64_t maxLives = Setting("TELDRV_SOAK_LIVES", 400);
    std::mt19937 random(static_cast<uint32_t>(seed));
    Stats stats;
    size_t heapAfterFirstLife = 0;
    const auto began = std::chrono::steady_clock::now();

    for (uint64_t life = 0; life < maxLives && std::chrono::steady_clock::now() - began < budget; ++life) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " life " + std::to_string(life));
        {
            DriverRig rig;
            const unsigned capacity = 16 + random() % 200;
            ASSERT_EQ(rig.Start(driver_test::kStationInit + "ONLINE_GATE_BUFFER = " + std::to_string(capacity) + "\n"),
                      0)
                << LogText();
            Soak soak(rig, random, stats);
            std::atomic<bool> ended{false};
            const int sessions = 1 + static_cast<int>(random() % 5);
            const int endDuring = random() % 3 == 0 ? static_cast<int>(random() % sessions) : -1;
            for (int s = 0; s < sessions && !ended.load(); ++s) {
                ASSERT_TRUE(soak.AwaitCall(random() % 3 == 0)) << LogText();
                soak.Session(s == endDuring ? &ended : nullptr);
                if (::testing::Test::HasFatalFailure()) return;
                if (s == endDuring) break;
            }
            // A call lost before its chosen moment leaves EndVpi to come now.
            if (!soak.endVpiStarted()) soak.StartEndVpi(&ended, false);
            // Calls that still come (alarm calls due) are served while EndVpi waits.
            const bool returned = DriverRig::WaitFor(
                [&] {
                    if (rig.central.IsConnected()) {
                        platform::Sleep(500);
                        rig.ServeAndHangUp();
                    }
                    return ended.load();
                },
                15 * 60 * 1000);
            ASSERT_TRUE(returned) << "EndVpi did not return\n" << LogText();
            rig.ended = true;
            EXPECT_EQ(LoadShared(rig.ctx->answerThreadRunning), 0);
            EXPECT_EQ(LoadShared(rig.ctx->onlineThreadRunning), 0);
            EXPECT_FALSE(rig.LineOpen());
            ++stats.lives;
        }
        if (life == 0) heapAfterFirstLife = HeapInUse();
    }
    const size_t heapAtEnd = HeapInUse();
    std::printf(
        "soak seed %llu: %d lives, %d sessions (%d alarm calls, %d carrier drops, %d EndVpi during a call), "
        "%d lost answers, %d garbled requests, %llu changes raised, %llu delivered, %llu overflowed; "
        "heap %zu -> %zu bytes\n",
        static_cast<unsigned long long>(seed), stats.lives, stats.sessions, stats.alarmCalls, stats.drops,
        stats.midShutdowns, stats.lostAnswers, stats.badFrames, static_cast<unsigned long long>(stats.raised),
        static_cast<unsigned long long>(stats.delivered), static_cast<unsigned long long>(stats.overflowed),
        heapAfterFirstLife, heapAtEnd);
    EXPECT_GT(stats.lives, 1);
#ifndef TELDRV_SOAK_SANITIZED
    // Sanitizer allocators keep their own books; there the leak checker watches instead.
    EXPECT_LE(heapAtEnd, heapAfterFirstLife + 256 * 1024);
#endif
}

}  // namespace
