// The auto-answer and alarm-call thread on the simulated modem: incoming
// calls, alarm calls with their retries, the alert, and the stop.
#include <gtest/gtest.h>

#include <cstring>

#include "calls/auto_answer.h"
#include "serial/port.h"
#include "tests/driver_rig.h"
#include "tests/test_port_settings.h"

namespace {

using driver_test::DriverRig;
using driver_test::IndexOf;
using driver_test::kCentralNumber;
using driver_test::kSecondNumber;
using driver_test::LogText;
using korpro_sim::Alert;
using korpro_sim::LogLine;
using log_test::Count;

const std::string kFailedText = "TELDRV, outgoing alarm call failed after 3 retries";

TEST(AutoAnswerThreadTest, AStopFlagAlreadySetGoesStraightToTheStopSequence) {
    SimEnvironment env;
    sim::Line& line = sim::CreateLine("SIM1");
    sim::Modem modem(line);
    StationContext ctx;
    std::memset(&ctx, 0, sizeof ctx);
    SetContextDefaults(&ctx);
    std::strcpy(ctx.portName, "SIM1");
    ASSERT_EQ(OpenPort("SIM1", test_port::kSettings, kPortOptionsDriver, &ctx.portHandle), PortResult::kPortOk);
    stopFlag = 1;
    platform::StartThread([](void* c) { AutoAnswerThread(static_cast<StationContext*>(c)); }, &ctx, 8192);
    ASSERT_TRUE(DriverRig::WaitFor([] { return sim::RunningThreads() == 0; }, 60000));
    stopFlag = 0;
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{
                                     {64, "TELDRV> AutoAnswerThread() info: thread started"},
                                     {64, "TELDRV> AutoAnswerThread() info: resetting modem..."},
                                     {64, "TELDRV> AutoAnswerThread() info: thread stopped"},
                                 }));
    EXPECT_EQ(modem.Commands(), (std::vector<std::string>{"ATH0", "ATZ", "ATH0", "ATZ", "ATS0=0"}));
    EXPECT_EQ(ctx.answerThreadRunning, 0);
    ClosePort(ctx.portHandle);
}

TEST(AutoAnswerThreadTest, ModemStatusFailuresEndEachPassWithTheirMessage) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(), 0);
    ASSERT_TRUE(DriverRig::WaitFor([&] { return rig.modem.SRegister(0) == 1; }, 20000));
    {
        const sim::LockedLine line(rig.line);
        line->faults.failModemStatus = 2;
        line->faults.modemStatusError = 1167;
    }
    platform::Sleep(10000);
    const std::string message = "TELDRV> AutoAnswerThread() error, getting modem control signals status, err 1167";
    EXPECT_EQ(Count(message), 2u) << LogText();
    EXPECT_EQ(korpro_sim::Log()[IndexOf(korpro_sim::Log(), message)].level, 32);
    // Each failure started a new pass with the auto-answer command.
    std::vector<std::string> commands = rig.modem.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "ATS0=1"), 3);
    // The thread still answers.
    ASSERT_TRUE(rig.CallIn());
    EXPECT_TRUE(rig.ServeAndHangUp());
}

TEST(AutoAnswerThreadTest, IncomingCallsAreServedAndNeverTouchTheEntries) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(), 0);
    ASSERT_EQ(rig.Write(2), 0);
    // Due far later; an incoming call must leave it exactly so.
    StoreShared<int32_t>(rig.ctx->dialEntries[0].dueTime, platform::CalendarTime() + 100000,
                         std::memory_order_relaxed);
    const auto entries = rig.Entries();
    ASSERT_TRUE(DriverRig::WaitFor([&] { return rig.modem.SRegister(0) == 1; }, 20000));

    ASSERT_TRUE(rig.CallIn());
    EXPECT_TRUE(rig.ServeAndHangUp());
    ASSERT_TRUE(rig.WaitIdle(30000));
    EXPECT_EQ(rig.Entries(), entries);

    // A call whose line drops ends the same way.
    ASSERT_TRUE(DriverRig::WaitFor([&] { return rig.modem.SRegister(0) == 1; }, 20000));
    ASSERT_TRUE(rig.CallIn());
    ASSERT_TRUE(rig.central.Station());
    rig.modem.DropCarrier();
    ASSERT_TRUE(DriverRig::WaitFor([&] { return rig.modem.SRegister(0) == 1; }, 30000));
    EXPECT_EQ(rig.Entries(), entries);
    EXPECT_TRUE(rig.Dials().empty());

    // Answered at the first ring, and after the session: reset and auto-answer.
    const std::vector<std::string> commands = rig.modem.Commands();
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 7),
              (std::vector<std::string>{"ATH0", "ATZ", "ATS0=1", "ATH0", "ATZ", "ATS0=1", "ATS0=1"}));
}

TEST(AutoAnswerThreadTest, AnAlarmCallIsDialledAndAHangUpFreesEveryEntry) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(), 0);
    const int64_t written = sim::NowMs();
    ASSERT_EQ(rig.Write(1), 0);
    ASSERT_TRUE(rig.AwaitCall(60000));
    const std::vector<sim::ModemEvent> dials = rig.Dials();
    ASSERT_EQ(dials.size(), 1u);
    EXPECT_EQ(dials[0].text, std::string("ATDT") + kCentralNumber);
    EXPECT_GE(dials[0].timeMs, written + 3000);
    // Auto-answer off and a modem reset come before the dial.
    std::vector<std::string> commands = rig.modem.Commands();
    EXPECT_EQ(std::vector<std::string>(commands.end() - 4, commands.end()),
              (std::vector<std::string>{"ATS0=0", "ATH0", "ATZ", dials[0].text}));

    // Entries armed while the call stands go with it.
    ASSERT_EQ(rig.Write(2), 0);
    ASSERT_EQ(rig.Write(4), 0);
    EXPECT_TRUE(rig.ServeAndHangUp());
    ASSERT_TRUE(rig.WaitIdle(30000));
    for (size_t i = 0; i < kDialEntryCount; ++i) EXPECT_EQ(rig.Entry(i).reference, 0u) << i;
    platform::Sleep(10000);
    EXPECT_EQ(rig.Dials().size(), 1u);
    EXPECT_TRUE(korpro_sim::Alerts().empty());
}

TEST(AutoAnswerThreadTest, TheLowerEntryGoesFirstWhenTwoAreDue) {
    sim::CentralStation second;
    DriverRig rig;
    rig.modem.Register(kSecondNumber, &second);
    ASSERT_EQ(rig.Start(), 0);
    ASSERT_EQ(rig.Write(2), 0);
    ASSERT_EQ(rig.Write(1), 0);
    ASSERT_TRUE(second.WaitConnected(60000));
    EXPECT_FALSE(rig.central.IsConnected());
    ASSERT_EQ(rig.Dials().size(), 1u);
    EXPECT_EQ(rig.Dials()[0].text, std::string("ATDT") + kSecondNumber);
    platform::Sleep(500);
    EXPECT_TRUE(second.Station());
    EXPECT_TRUE(second.HangUp());
}

TEST(AutoAnswerThreadTest, ACarrierIsServedBeforeAnEntryDueInTheSamePoll) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(), 0);
    ASSERT_TRUE(DriverRig::WaitFor([&] { return rig.modem.SRegister(0) == 1; }, 20000));
    // Ring so that the carrier rises in the very millisecond the entry falls due.
    const int64_t nextSecond = (sim::NowMs() / 1000 + 1) * 1000;
    platform::Sleep(static_cast<uint32_t>(nextSecond - sim::NowMs()));
    ASSERT_EQ(rig.Write(1), 0);
    const int64_t due = nextSecond + 3000;
    platform::Sleep(static_cast<uint32_t>(due - 2000 - sim::NowMs()));
    rig.modem.Ring(rig.central);
    ASSERT_TRUE(rig.AwaitCall(10000));
    std::vector<sim::ModemEvent> events = rig.modem.Transcript();
    ASSERT_EQ(events.back().kind, sim::ModemEventKind::Connect);
    ASSERT_EQ(events.back().text, "incoming");
    ASSERT_EQ(events.back().timeMs, due);
    EXPECT_TRUE(rig.ServeAndHangUp());
    EXPECT_TRUE(rig.Dials().empty());
    ASSERT_TRUE(rig.WaitIdle(30000));
    // The alarm call comes on a later pass.
    ASSERT_TRUE(rig.AwaitCall(60000));
    ASSERT_EQ(rig.Dials().size(), 1u);
    EXPECT_TRUE(rig.ServeAndHangUp());
}

TEST(AutoAnswerThreadTest, ThreeFailedAttemptsAreDialRetryTimeApartThenTheAlertIsRaised) {
    DriverRig rig;
    rig.modem.Register(kCentralNumber, nullptr, sim::DialAnswer::NoAnswer);
    ASSERT_EQ(rig.Start(), 0);
    ASSERT_EQ(rig.Write(1), 0);
    ASSERT_TRUE(DriverRig::WaitForAlertLogged(kFailedText, 600000));
    const std::vector<sim::ModemEvent> dials = rig.Dials();
    ASSERT_EQ(dials.size(), 3u);
    // Each failure: the 45 s dial time-out, a modem reset, the 60 s wait, and
    // the next pass's commands before the dial.
    const int64_t gap = dials[1].timeMs - dials[0].timeMs;
    // Polls fall at any point of a calendar second.
    EXPECT_NEAR(static_cast<double>(dials[2].timeMs - dials[1].timeMs), static_cast<double>(gap), 1000.0);
    EXPECT_GE(gap, 45000 + 60000);
    EXPECT_LT(gap, 45000 + 60000 + 20000);

    const std::vector<Alert> alerts = korpro_sim::Alerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], (Alert{0, "FER", kFailedText, 1000, 0x40000000, 1000, 0, 0x14, 0, 0, 1, 0xFFFF, true}));
    EXPECT_EQ(korpro_sim::Log().back(), (LogLine{32, kFailedText}));
    EXPECT_EQ(rig.Entry(0).reference, 0u);
    platform::Sleep(120000);
    EXPECT_EQ(rig.Dials().size(), 3u);
}

// The alert names the configured MODEM_DIAL_RETRIES, not the attempts made.
TEST(AutoAnswerThreadTest, TheAlertGivesTheConfiguredRetriesWhereZeroMeansOneAttempt) {
    DriverRig rig;
    rig.modem.Register(kCentralNumber, nullptr, sim::DialAnswer::NoAnswer);
    ASSERT_EQ(rig.Start(driver_test::kStationInit + "MODEM_DIAL_RETRIES = 0\n"), 0);
    ASSERT_EQ(rig.Write(1), 0);
    ASSERT_TRUE(DriverRig::WaitForAlertLogged("TELDRV, outgoing alarm call failed after 0 retries", 600000));
    EXPECT_EQ(rig.Dials().size(), 1u);
    EXPECT_EQ(korpro_sim::Alerts().at(0).text, "TELDRV, outgoing alarm call failed after 0 retries");
    EXPECT_EQ(Count("TELDRV, outgoing alarm call failed after 0 retries"), 1u);
}

TEST(AutoAnswerThreadTest, ALostAlarmCallCostsOneAttempt) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(), 0);
    ASSERT_EQ(rig.Write(1), 0);
    const int32_t armed = rig.Entry(0).dueTime;
    ASSERT_TRUE(rig.AwaitCall(60000));
    ASSERT_TRUE(rig.central.Station());
    rig.central.HangUpLine();
    const int32_t lost = platform::CalendarTime();
    // The driver counts the attempt and then sets the next due time, on its
    // own thread: both must have happened before the entry is looked at.
    ASSERT_TRUE(DriverRig::WaitFor([&] { return rig.Entry(0).retriesLeft == 2 && rig.Entry(0).dueTime != armed; },
                                   30000));
    const auto entry = rig.Entry(0);
    EXPECT_EQ(entry.reference, 1u);
    // Due dialRetryTime after the session ended (it noticed within a read).
    EXPECT_GE(entry.dueTime, lost + 60);
    EXPECT_LE(entry.dueTime, lost + 60 + 12);
    // And it is tried again.
    ASSERT_TRUE(rig.AwaitCall(120000));
    EXPECT_EQ(rig.Dials().size(), 2u);
    EXPECT_TRUE(rig.ServeAndHangUp());
}

class RaiseAlertTest : public ::testing::Test {
protected:
    void SetUp() override {
        korpro_sim::Reset();
        std::memset(&ctx, 0, sizeof ctx);
        SetContextDefaults(&ctx);
        ctx.alertSeverity = 500;
        ctx.alertZone = 7;
    }
    StationContext ctx;
};

TEST_F(RaiseAlertTest, EachClassLogsAtItsLevelAndRaisesItsFlags) {
    const struct {
        uint16_t alertClass;
        int level;
        uint32_t flags;  // 0: no host alert
    } classes[] = {{0, 64, 0},          {1, 32, 0},          {2, 32, 0x40000000},
                   {3, 32, 0xC0000000}, {4, 32, 0x60000000}, {5, 32, 0xE0000000}};
    for (const auto& c : classes) {
        korpro_sim::Reset();
        ctx.alertClass = c.alertClass;
        RaiseAlert(&ctx, "TELDRV, outgoing alarm call failed after 3 retries");
        EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{{c.level, kFailedText}})) << c.alertClass;
        const std::vector<Alert> alerts = korpro_sim::Alerts();
        if (c.flags == 0) {
            EXPECT_TRUE(alerts.empty()) << c.alertClass;
        } else {
            EXPECT_EQ(alerts, (std::vector<Alert>{{0, "FER", kFailedText, 500, c.flags, 7, 0, 0x14, 0, 0, 1, 0xFFFF,
                                                   true}}))
                << c.alertClass;
        }
    }
    // A class beyond 5 does nothing at all.
    korpro_sim::Reset();
    ctx.alertClass = 6;
    RaiseAlert(&ctx, "TELDRV, outgoing alarm call failed after 3 retries");
    EXPECT_TRUE(korpro_sim::Log().empty());
    EXPECT_TRUE(korpro_sim::Alerts().empty());
}

}  // namespace
