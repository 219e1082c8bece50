// MODEM_CHECK_MIN and PORT_REOPEN_SEC on the simulated modem line, driven
// as the host drives the driver: a modem that stops answering or forgets
// its auto-answer, a port whose device goes away and comes back, and the
// host's own stop and close meanwhile. Verdicts: log lines with their levels
// and virtual milliseconds, the bytes on the line, the host's alerts.
#include <gtest/gtest.h>

#include <mutex>

#include "tests/driver_rig.h"

namespace {

using driver_test::DriverRig;
using driver_test::kStationInit;
using driver_test::LogText;
using korpro_sim::Alert;
using korpro_sim::LogLine;
using log_test::Count;

const std::string kCheckFailed = "TELDRV> CheckModem() error, modem 'SIM1' did not answer its check, resetting";
const std::string kNotAnswering = "TELDRV, modem 'SIM1' not answering";
const std::string kAnsweringAgain = "TELDRV> CheckModem() info, modem 'SIM1' answering again";
const std::string kLost = "TELDRV> ReopenPort() error, port 'SIM1' lost, reopening every 10 s";
const std::string kPortLostAlert = "TELDRV, port 'SIM1' lost";
const std::string kOpenAgain = "TELDRV> ReopenPort() info, port 'SIM1' open again";
const std::string kStatusFailed =
    "TELDRV> AutoAnswerThread() error, getting modem control signals status, err 31";
const std::string kReset = "+++ATH0\rATZ\r";

// The host's alert for a text, as the default ALERTS (2, 1000, 1000) raise it.
Alert HostAlert(const std::string& text) { return {0, "FER", text, 1000, 0x40000000, 1000, 0, 0x14, 0, 0, 1, 0xFFFF, true}; }

// Every log line with the virtual millisecond it was logged at.
struct TimedLine {
    int64_t ms;
    LogLine line;
};
std::mutex timedMutex;
std::vector<TimedLine> timedLog;
void RecordTime(const LogLine& line) {
    const int64_t now = sim::NowMs();
    std::lock_guard lock(timedMutex);
    timedLog.push_back({now, line});
}
std::vector<TimedLine> Timed(const std::string& text) {
    std::lock_guard lock(timedMutex);
    std::vector<TimedLine> found;
    for (const TimedLine& entry : timedLog) {
        if (entry.line.text == text) found.push_back(entry);
    }
    return found;
}

// A driver started with these settings, its log timed.
struct Station : DriverRig {
    explicit Station(const std::string& settings) {
        {
            std::lock_guard lock(timedMutex);
            timedLog.clear();
        }
        korpro_sim::SetLogHook(RecordTime);
        EXPECT_EQ(Start(kStationInit + settings), 0) << LogText();
        EXPECT_TRUE(WaitFor([&] { return modem.SRegister(0) == 1; }, 20000));
    }
    std::string Sent() {
        const std::vector<uint8_t> bytes = sim::BytesFromPort(line);
        return std::string(bytes.begin(), bytes.end());
    }
    // The virtual times at which the port wrote `text` (a write of its own).
    std::vector<int64_t> Writes(const std::string& text) {
        std::vector<int64_t> times;
        const sim::LockedLine locked(line);
        for (const sim::LineEvent& event : locked->transcript) {
            if (event.direction == sim::Direction::ToPeer && std::string(event.bytes.begin(), event.bytes.end()) == text) {
                times.push_back(event.timeMs);
            }
        }
        return times;
    }
};

TEST(ModemCheck, AModemThatStopsAnsweringIsResetAtEachCheckAlertsOnceAtTheThirdAndIsToldBack) {
    Station rig("MODEM_CHECK_MIN = 1\n");
    rig.modem.SetFaults({.dead = true, .errorReplies = false});
    const std::string autoAnswerFailed = "TELDRV> AutoAnswerOn() error, modem 'SIM1' not replying on auto-answer cmd";
    ASSERT_TRUE(DriverRig::WaitFor([&] { return Count(autoAnswerFailed) == 4; }, 10 * 60000)) << LogText();
    rig.modem.SetFaults({});
    ASSERT_TRUE(DriverRig::WaitFor([] { return log_test::Logged(kAnsweringAgain); }, 2 * 60000)) << LogText();

    EXPECT_EQ(korpro_sim::Alerts(), (std::vector<Alert>{HostAlert(kNotAnswering)}));
    // Each failed check: its line, then the reset and auto-answer with their
    // own; the third with the alert between.
    const std::vector<LogLine> failed = {{32, kCheckFailed},
                                         {32, "TELDRV> ResetModem() error, modem 'SIM1' not replying on hangup"},
                                         {32, "TELDRV> ResetModem() error, modem 'SIM1' not replying on reset"},
                                         {32, autoAnswerFailed}};
    std::vector<LogLine> expected = {{32, "TELDRV> *********************** BETA VERSION *************************"}};
    for (int check = 1; check <= 4; ++check) {
        expected.insert(expected.end(), failed.begin(), failed.begin() + 1);
        if (check == 3) expected.push_back({32, kNotAnswering});
        expected.insert(expected.end(), failed.begin() + 1, failed.end());
    }
    expected.push_back({32, kAnsweringAgain});
    EXPECT_EQ(log_test::LinesAt(32), expected) << LogText();

    // On the line: each check is the auto-answer command alone.
    const std::string check = "ATS0=1\r";
    std::string wire = kReset + check;
    for (int i = 0; i < 4; ++i) wire += check + kReset + check;
    EXPECT_EQ(rig.Sent(), wire + check);
    // A minute after the last check's dialogue ended (the reply's 1.5 s wait
    // after the auto-answer command), within a poll, and the 100 ms pause
    // before the command; the first a minute after the start's reset.
    const std::vector<int64_t> commands = rig.Writes("ATS0=1");
    ASSERT_EQ(commands.size(), 10u);
    EXPECT_GE(commands[1] - commands[0], 60000);
    EXPECT_LE(commands[1] - commands[0], 60100);
    for (size_t i = 3; i < commands.size(); i += 2) {
        const int64_t gap = commands[i] - commands[i - 1];
        EXPECT_GE(gap, 1500 + 60000 + 100) << i;
        EXPECT_LE(gap, 1500 + 60000 + 200) << i;
    }
    EXPECT_EQ(Timed(kAnsweringAgain).at(0).ms, commands[9]);
}

TEST(ModemCheck, AModemThatForgotItsAutoAnswerHasItBackAtTheCheckAndACallRestartsTheMinutes) {
    Station rig("MODEM_CHECK_MIN = 5\n");
    const int64_t first = rig.Writes("ATS0=1").at(0);
    rig.modem.Restart();
    EXPECT_EQ(rig.modem.SRegister(0), 0);
    rig.modem.Ring(rig.central, 3);
    EXPECT_FALSE(rig.central.WaitConnected(30000));

    ASSERT_TRUE(DriverRig::WaitFor([&] { return rig.modem.SRegister(0) == 1; }, 6 * 60000));
    const int64_t restored = rig.Writes("ATS0=1").at(1);
    EXPECT_GE(restored - first, 5 * 60000);
    EXPECT_LE(restored - first, 5 * 60000 + 100);
    EXPECT_EQ(log_test::LinesAt(32).size(), 1u) << LogText();  // the beta line alone

    // Two minutes on, a call: answered, and the next check five minutes
    // after the call, not after the last check.
    platform::Sleep(2 * 60000);
    ASSERT_TRUE(rig.CallIn());
    EXPECT_TRUE(rig.ServeAndHangUp());
    ASSERT_TRUE(rig.WaitIdle(30000));
    ASSERT_TRUE(DriverRig::WaitFor([&] { return rig.Writes("ATS0=1").size() == 4; }, 20000));
    const int64_t afterCall = rig.Writes("ATS0=1").back();
    platform::Sleep(static_cast<uint32_t>(afterCall + 5 * 60000 + 200 - sim::NowMs()));
    const std::vector<int64_t> commands = rig.Writes("ATS0=1");
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_GE(commands[4] - afterCall, 5 * 60000);
    EXPECT_LE(commands[4] - afterCall, 5 * 60000 + 100);
}

// From the first failed status query, PORT_REOPEN_SEC to the port's loss,
// within one pass on a dead port (200 ms).
void ExpectLostAfter(int64_t goneMs) {
    const std::vector<TimedLine> lost = Timed(kLost);
    ASSERT_EQ(lost.size(), 1u) << LogText();
    EXPECT_GE(lost[0].ms - goneMs, 10000);
    EXPECT_LE(lost[0].ms - goneMs, 10300);
}

TEST(PortReopen, APortGoneWhileWaitingIsClosedReopenedEveryPeriodAndAPendingAlarmCallWaitsForIt) {
    Station rig("PORT_REOPEN_SEC = 10\n");
    const int64_t gone = sim::NowMs();
    sim::SetDevicePresent(rig.line, false);
    ASSERT_EQ(rig.Write(1), 0);
    ASSERT_TRUE(DriverRig::WaitForAlertLogged(kPortLostAlert, 30000)) << LogText();
    ExpectLostAfter(gone);
    EXPECT_FALSE(rig.LineOpen());
    EXPECT_EQ(korpro_sim::Alerts(), (std::vector<Alert>{HostAlert(kPortLostAlert)}));

    // Away for 25 s: two tries fail without a word, the alarm call waits.
    platform::Sleep(25000);
    EXPECT_EQ(rig.Entry(0), (DriverRig::EntryView{1, rig.Entry(0).dueTime, 3}));
    const int64_t back = sim::NowMs();
    sim::SetDevicePresent(rig.line, true);
    ASSERT_TRUE(rig.AwaitCall(60000)) << LogText();
    EXPECT_TRUE(rig.ServeAndHangUp());

    // Opened at the third try, 30 s after the loss; then the reset and
    // auto-answer, and the alarm call as any other.
    const int64_t lostMs = Timed(kLost).at(0).ms;
    ASSERT_EQ(Timed(kOpenAgain).size(), 1u);
    EXPECT_EQ(Timed(kOpenAgain)[0].ms, lostMs + 30000);
    EXPECT_LT(back, lostMs + 30000);
    std::vector<LogLine> afterLoss = log_test::LinesAt(32);
    afterLoss.erase(afterLoss.begin(), afterLoss.begin() + static_cast<long>(log_test::IndexOf(afterLoss, kLost)));
    EXPECT_EQ(afterLoss, (std::vector<LogLine>{{32, kLost}, {32, kPortLostAlert}, {32, kOpenAgain}})) << LogText();
    // Nothing reached the line while the port was away.
    const std::string start = kReset + "ATS0=1\r";
    const std::string reopened = kReset + "ATS0=1\r" + "ATS0=0\r" + kReset + "ATDT0301234567\r";
    EXPECT_EQ(rig.Sent().rfind(start + reopened, 0), 0u) << rig.Sent();
    EXPECT_EQ(rig.Dials().size(), 1u);
    EXPECT_GE(rig.Dials()[0].timeMs, lostMs + 30000);
}

TEST(PortReopen, APortGoneDuringACallComesBackWithItsModemResetAndTheNextCallIsServed) {
    Station rig("PORT_REOPEN_SEC = 10\n");
    ASSERT_TRUE(rig.CallIn());
    ASSERT_TRUE(rig.central.Station());
    const int64_t gone = sim::NowMs();
    sim::SetDevicePresent(rig.line, false);
    // The session ends at its next look at the line; the modem keeps the call.
    ASSERT_TRUE(DriverRig::WaitForAlertLogged(kPortLostAlert, 60000)) << LogText();
    EXPECT_TRUE(rig.central.IsConnected());
    sim::SetDevicePresent(rig.line, true);
    ASSERT_TRUE(DriverRig::WaitFor([] { return log_test::Logged(kOpenAgain); }, 20000)) << LogText();
    // The reset's DTR drop ends the call that was left standing.
    ASSERT_TRUE(rig.WaitIdle(20000));
    EXPECT_EQ(rig.modem.SRegister(0), 1);
    EXPECT_TRUE(log_test::Logged({32, "TELDRV> Receive() error, getting modem control signals status, err 31"}) ||
                log_test::Logged({32, "TELDRV> Send() error, getting modem control signals status, err 31"}))
        << LogText();
    EXPECT_GE(Timed(kLost).at(0).ms - gone, 10000);
    ASSERT_TRUE(rig.CallIn());
    EXPECT_TRUE(rig.ServeAndHangUp());
}

// EndVpi while the port is away ends the waiting within a poll, and closes
// nothing more: the device is back, and a close would fail and show.
TEST(PortReopen, EndVpiWhileTheDeviceIsAwayReturnsAtOnceAndClosesNothingTwice) {
    Station rig("PORT_REOPEN_SEC = 10\n");
    sim::SetDevicePresent(rig.line, false);
    ASSERT_TRUE(DriverRig::WaitForAlertLogged(kPortLostAlert, 30000)) << LogText();
    EXPECT_TRUE(log_test::Logged({32, kStatusFailed}));
    sim::SetDevicePresent(rig.line, true);
    sim::Locked(rig.line)->faults.failClose = true;
    korpro_sim::ClearLog();
    const int64_t asked = sim::NowMs();
    EXPECT_EQ(rig.End(), 0);
    // A poll, then the stop sequence on no port: the escape's 1.5 s and
    // three 100 ms pauses; EndVpi looks every 100 ms.
    EXPECT_LE(sim::NowMs() - asked, 100 + 1500 + 300 + 100);
    const std::vector<LogLine> log = korpro_sim::Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(std::vector<LogLine>(log.end() - 2, log.end()),
              (std::vector<LogLine>{{64, "TELDRV> CloseCom() exited 0"}, {64, "TELDRV> EndVpi() exited"}}));
    EXPECT_FALSE(log_test::Logged(kOpenAgain));
    EXPECT_FALSE(rig.LineOpen());
}

// A port the host closed (CloseCom) is not the driver's to open again:
// closed before its device went, it is never lost; closed while it is away,
// it stays shut when the device comes back.
TEST(PortReopen, APortTheHostClosedIsNeverOpenedAgain) {
    {
        Station rig("PORT_REOPEN_SEC = 10\n");
        EXPECT_EQ(rig.Op(12), 0);
        EXPECT_FALSE(rig.LineOpen());
        platform::Sleep(40000);
        EXPECT_FALSE(log_test::Logged(kLost)) << LogText();
        EXPECT_TRUE(korpro_sim::Alerts().empty());
        EXPECT_EQ(rig.End(), 0);
    }
    Station rig("PORT_REOPEN_SEC = 10\n");
    sim::SetDevicePresent(rig.line, false);
    ASSERT_TRUE(DriverRig::WaitForAlertLogged(kPortLostAlert, 30000)) << LogText();
    korpro_sim::ClearLog();
    EXPECT_EQ(rig.Op(12), 0);
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{{64, "TELDRV> CloseCom() exited 0"}}));
    sim::SetDevicePresent(rig.line, true);
    platform::Sleep(40000);
    EXPECT_FALSE(log_test::Logged(kOpenAgain)) << LogText();
    EXPECT_FALSE(rig.LineOpen());
    EXPECT_EQ(rig.End(), 0);
}

}  // namespace
