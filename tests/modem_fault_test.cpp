// A modem that is switched off, refuses every command or does not echo: the
// driver logs each failed step, never stops its thread, still books and
// counts alarm calls, and EndVpi always returns.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/driver_rig.h"

namespace {

using driver_test::DriverRig;
using driver_test::LogText;
using korpro_sim::LogLine;
using log_test::Logged;

const std::vector<LogLine> kFailedSteps = {
    {32, "TELDRV> ResetModem() error, modem 'SIM1' not replying on hangup"},
    {32, "TELDRV> ResetModem() error, modem 'SIM1' not replying on reset"},
    {32, "TELDRV> AutoAnswerOn() error, modem 'SIM1' not replying on auto-answer cmd"},
};

TEST(ModemFaults, ADeadModemCostsEveryAttemptOfAnAlarmCallAndEndVpiStillReturns) {
    DriverRig rig;
    rig.modem.SetFaults({.dead = true, .errorReplies = false});
    korpro_sim::SetAlertStatus(7);  // the host's alert fails too; nobody looks
    ASSERT_EQ(rig.Start(), 0);
    ASSERT_EQ(rig.Write(1), 0);
    // Three attempts, each a dial time-out and a retry delay apart.
    ASSERT_TRUE(DriverRig::WaitForAlertLogged("TELDRV, outgoing alarm call failed after 3 retries", 10 * 60 * 1000))
        << LogText();
    EXPECT_EQ(korpro_sim::Alerts()[0].text, "TELDRV, outgoing alarm call failed after 3 retries");
    EXPECT_TRUE(Logged({32, "TELDRV, outgoing alarm call failed after 3 retries"}));
    // The modem keeps no record of what it ignores; the line does.
    const std::vector<uint8_t> sent = sim::BytesFromPort(rig.line);
    const std::string dial = "ATDT0301234567\r";
    size_t dials = 0;
    for (auto at = sent.begin(); (at = std::search(at, sent.end(), dial.begin(), dial.end())) != sent.end(); ++at) {
        ++dials;
    }
    EXPECT_EQ(dials, 3u);
    EXPECT_EQ(rig.Entry(0), (DriverRig::EntryView{0, rig.Entry(0).dueTime, rig.Entry(0).retriesLeft}));
    for (const LogLine& line : kFailedSteps) EXPECT_TRUE(Logged(line)) << line << "\n" << LogText();
    EXPECT_TRUE(Logged({32, "TELDRV> AutoAnswerOff() error, modem 'SIM1' not replying on no-answer cmd"}));
    // A caller rings on unanswered.
    rig.modem.Ring(rig.central, 3);
    EXPECT_FALSE(rig.central.WaitConnected(30000));
    EXPECT_EQ(rig.End(), 0);
    EXPECT_TRUE(Logged({64, "TELDRV> EndVpi() exited"}));
    EXPECT_FALSE(rig.LineOpen());
}

// A modem that answers ERROR, or OK without echo, fails every step of the
// dialogue as the driver sees it; the echo-less one still does what it was
// told, so an incoming call is answered and served.
TEST(ModemFaults, ErrorRepliesAndEchoOffFailEveryStepAndTheThreadGoesOn) {
    for (const bool echoOff : {false, true}) {
        SCOPED_TRACE(echoOff ? "echo off" : "ERROR replies");
        DriverRig rig;
        if (echoOff) {
            sim::ModemProfile profile;
            profile.echo = false;
            rig.modem.SetProfile(profile);
        } else {
            rig.modem.SetFaults({.dead = false, .errorReplies = true});
        }
        ASSERT_EQ(rig.Start(), 0);
        platform::Sleep(30000);
        for (const LogLine& line : kFailedSteps) EXPECT_TRUE(Logged(line)) << line << "\n" << LogText();
        if (echoOff) {
            ASSERT_TRUE(rig.CallIn()) << LogText();
            EXPECT_TRUE(rig.ServeAndHangUp());
            EXPECT_TRUE(rig.WaitIdle(60000));
        } else {
            rig.modem.Ring(rig.central, 3);
            EXPECT_FALSE(rig.central.WaitConnected(30000));
        }
        EXPECT_EQ(LoadShared(rig.ctx->answerThreadRunning), 1);
        EXPECT_EQ(rig.End(), 0);
        EXPECT_EQ(LoadShared(rig.ctx->answerThreadRunning), 0);
        EXPECT_TRUE(Logged({64, "TELDRV> EndVpi() exited"}));
    }
}

}  // namespace
