// REMOTE_WRITE and CLOCK_MAX_STEP_SEC over the simulated modem line: the
// whole driver started from its init file, called by a central station.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <set>

#include "sim/central_online.h"
#include "sim/korpro_online.h"
#include "tests/driver_rig.h"

namespace {

using driver_test::DriverRig;
using driver_test::LogText;
using korpro_sim::GateValueWrite;
using korpro_sim::LogLine;
using log_test::LinesAt;
using sim::Bytes;

// Station 7: gate 0 TANK_LEVEL (host id 11, value type 1), gate 1 PUMP_STATE (12, type 0).
std::string StationWith(const std::string& lines) { return lines + "STATION = 7\n"; }

// The clock's fields from the C library, not from the driver's own conversion.
platform::SystemTime Utc(int64_t seconds) {
    const auto t = static_cast<time_t>(seconds);
    tm parts{};
    gmtime_r(&t, &parts);
    return {static_cast<uint16_t>(parts.tm_year + 1900), static_cast<uint16_t>(parts.tm_mon + 1),
            static_cast<uint16_t>(parts.tm_wday), static_cast<uint16_t>(parts.tm_mday),
            static_cast<uint16_t>(parts.tm_hour), static_cast<uint16_t>(parts.tm_min),
            static_cast<uint16_t>(parts.tm_sec), 0};
}

std::string Text(int64_t seconds) {
    const auto t = static_cast<time_t>(seconds);
    tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

// Port handles count up from one start to the next: the number is cut off.
std::string WithoutHandle(const std::string& text) {
    const size_t at = text.find("file handle ");
    return at == std::string::npos ? text : text.substr(0, at + 12);
}

// Waits for the start of the next whole second of the virtual clock, so that
// the request below is served within that second; returns the second.
int64_t NextWholeSecond() {
    platform::Sleep(static_cast<uint32_t>(1000 - sim::NowMs() % 1000));
    return platform::CalendarTime();
}

TEST(RemoteAccessTest, ListedGatesAreWrittenOthersRefusedWithStatus128AndNoHostCall) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(StationWith("REMOTE_WRITE = pump_state, NO_SUCH_GATE\n") +
                        "REMOTE_WRITE = VALVE_9 ; after the station\n"),
              0)
        << LogText();
    // Unknown names are told at start-up, with their lines, and only they.
    EXPECT_EQ(LinesAt(32),
              (std::vector<LogLine>{
                  {32, "TELDRV> *********************** BETA VERSION *************************"},
                  {32, "TELDRV> ReadInitFile() WARNING: REMOTE_WRITE gate 'NO_SUCH_GATE' is not a station gate, "
                       "line 1 in 'TELDRV01.INT'"},
                  {32, "TELDRV> ReadInitFile() WARNING: REMOTE_WRITE gate 'VALVE_9' is not a station gate, line 3 "
                       "in 'TELDRV01.INT'"}}));
    korpro_sim::ClearLog();

    ASSERT_TRUE(rig.CallIn());
    sim::OnlinePoller central{rig.central};
    ASSERT_EQ(central.Start(), 0) << central.error();
    std::optional<sim::OnlineAnswer> refused = central.PollWrite(0, sim::WriteValue16(5));
    ASSERT_TRUE(refused) << central.error();
    EXPECT_EQ(refused->writeStatus, 128);
    EXPECT_TRUE(korpro_sim::GateValueWrites().empty());
    std::optional<sim::OnlineAnswer> written = central.PollWrite(1, sim::WriteValue16(5));
    ASSERT_TRUE(written) << central.error();
    EXPECT_EQ(written->writeStatus, 0);
    EXPECT_EQ(korpro_sim::GateValueWrites(), (std::vector<GateValueWrite>{{12, 5.0}}));
    // A gate number beyond the file keeps its own answer and line.
    std::optional<sim::OnlineAnswer> beyond = central.PollWrite(2, sim::WriteValue16(5));
    ASSERT_TRUE(beyond) << central.error();
    EXPECT_EQ(beyond->writeStatus, 128);
    EXPECT_TRUE(rig.ServeAndHangUp());
    ASSERT_TRUE(rig.WaitIdle(30000));
    EXPECT_EQ(rig.End(), 0);

    EXPECT_EQ(korpro_sim::GateValueWrites().size(), 1u);
    EXPECT_EQ(LinesAt(32), (std::vector<LogLine>{
                               {32, "TELDRV> DoTheCom() WARNING, remote write to gate 0 'TANK_LEVEL' refused by "
                                    "REMOTE_WRITE"}}))
        << LogText();
    EXPECT_TRUE(driver_test::Logged("TELDRV> DoTheCom() error, write request (remote) for gate number 2"));
}

TEST(RemoteAccessTest, NoneRefusesEveryGate) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(StationWith("REMOTE_WRITE = NONE\n")), 0) << LogText();
    ASSERT_TRUE(rig.CallIn());
    sim::OnlinePoller central{rig.central};
    ASSERT_EQ(central.Start(), 0) << central.error();
    for (uint16_t gate = 0; gate < 2; ++gate) {
        std::optional<sim::OnlineAnswer> answer = central.PollWrite(gate, sim::WriteValue16(1));
        ASSERT_TRUE(answer) << central.error();
        EXPECT_EQ(answer->writeStatus, 128) << gate;
    }
    EXPECT_TRUE(korpro_sim::GateValueWrites().empty());
    EXPECT_TRUE(rig.ServeAndHangUp());
    EXPECT_TRUE(driver_test::Logged(
        "TELDRV> DoTheCom() WARNING, remote write to gate 1 'PUMP_STATE' refused by REMOTE_WRITE"));
}

TEST(RemoteAccessTest, AClockStepUpToTheLimitIsSetOneSecondMoreIsNot) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(StationWith("CLOCK_MAX_STEP_SEC = 60\n")), 0) << LogText();
    ASSERT_TRUE(rig.CallIn());
    korpro_sim::ClearLog();

    std::vector<std::string> refusals;
    std::vector<platform::SystemTime> accepted;
    for (const int64_t step : {60, -60, 61, -61}) {
        const int64_t now = NextWholeSecond();
        EXPECT_EQ(rig.central.SyncClock(Utc(now + step)), (Bytes{0x63})) << step;
        if (step == 60 || step == -60) {
            accepted.push_back(Utc(now + step));
        } else {
            refusals.push_back("TELDRV> DoTheCom() WARNING, clock not set to " + Text(now + step) + ", station clock " +
                               Text(now) + ": step above CLOCK_MAX_STEP_SEC");
        }
    }
    // An impossible date is refused by the clock itself, as without the limit.
    EXPECT_EQ(rig.central.SyncClock({2026, 13, 1, 7, 22, 30, 15, 0}), (Bytes{0x63}));
    EXPECT_TRUE(rig.ServeAndHangUp());

    const std::vector<platform::SystemTime> sets = sim::SystemClockSets();
    ASSERT_EQ(sets.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(std::memcmp(&sets[i], &accepted[i], sizeof sets[i]), 0) << i;
    }
    std::vector<LogLine> expected;
    for (const std::string& text : refusals) expected.push_back({32, text});
    EXPECT_EQ(LinesAt(32), expected) << LogText();
    EXPECT_EQ(LinesAt(64).back().text, "TELDRV> DoTheCom() error, setting system clock, err 87");
}

// What a mixed run leaves: the central's answers, the log, the line's bytes.
struct MixedRunResult {
    std::vector<Bytes> answers;
    std::multiset<std::string> startLog;  // two threads log at start-up, in either order
    std::string callLog;
    Bytes fromPort;
    Bytes toPort;
    uintmax_t captureBytes = 0;  // LINK_CAPTURE's file, when the keyword is there
};

// Start, an incoming call with on-line transfer and writes, an alarm call,
// EndVpi, with `extra` lines in the init file.
MixedRunResult MixedRun(const std::string& extra) {
    MixedRunResult run;
    DriverRig rig;
    EXPECT_EQ(rig.Start(StationWith(extra + "MODEM_NUMBER 1 = 0301234567\n")), 0) << LogText();
    EXPECT_TRUE(rig.CallIn());
    for (const LogLine& line : korpro_sim::Log()) {
        run.startLog.insert(std::to_string(line.level) + " " + WithoutHandle(line.text));
    }
    korpro_sim::ClearLog();
    sim::CentralStation& central = rig.central;
    const Bytes requests[] = {sim::StationRequest(),
                              sim::SyncClockRequest({2031, 5, 3, 14, 9, 41, 7, 120}),
                              sim::StartOnlineRequest(),
                              sim::ContOnlineWriteRequest(1, 0, sim::WriteValue16(0xFFFE)),
                              sim::ContOnlineWriteRequest(2, 1, sim::WriteValue16(3)),
                              sim::ContOnlineRequest(2),
                              sim::ContOnlineRequest(3),
                              sim::HangUpRequest()};
    // The host takes the writes without raising changes of its own, whose
    // arrival would race the poll; the test raises them between polls.
    korpro_sim::ForceResult(korpro_sim::OnlineCall::PutGateVal, 0);
    uint32_t serial = 0;
    for (const Bytes& request : requests) {
        run.answers.push_back(central.Ask(request).value_or(Bytes{}));
        korpro_sim::RaiseValueChange(11, {1, 2, 3, 4, 5, 6, 7, static_cast<uint8_t>(++serial)}, {1, 2, 3, 4, 5, 6});
        platform::Sleep(50);
    }
    EXPECT_TRUE(rig.WaitIdle(30000));
    EXPECT_EQ(rig.Write(1), 0);
    EXPECT_TRUE(rig.AwaitCall(60000));
    run.answers.push_back(central.Station().value_or(Bytes{}));
    run.answers.push_back(central.HangUp().value_or(Bytes{}));
    EXPECT_TRUE(rig.WaitIdle(30000));
    EXPECT_EQ(rig.End(), 0);
    run.callLog = LogText();
    std::error_code none;
    run.captureBytes = std::filesystem::exists("LINE.PCAPNG") ? std::filesystem::file_size("LINE.PCAPNG", none) : 0;
    const sim::LockedLine line(rig.line);
    for (const sim::LineEvent& event : line->transcript) {
        Bytes& side = event.direction == sim::Direction::ToPeer ? run.fromPort : run.toPort;
        if (event.direction != sim::Direction::Dtr) side.insert(side.end(), event.bytes.begin(), event.bytes.end());
    }
    return run;
}

// The same mixed run with and without opt-in keywords that allow everything,
// are never triggered or only watch (LINK_CAPTURE): the same answers on the wire, the same bytes both
// ways, and the same log, line for line.
TEST(RemoteAccessTest, KeywordsThatAllowEverythingChangeNoByteAndNoLogLine) {
    const MixedRunResult without = MixedRun("");
    const MixedRunResult with = MixedRun(
        "REMOTE_WRITE = ALL\nCLOCK_MAX_STEP_SEC = 4294967295\nMODEM_CHECK_MIN = 1440\nPORT_REOPEN_SEC = 3600\n"
        "LINK_CAPTURE = line.pcapng\nLINK_CAPTURE_KB = 64\n");
    EXPECT_EQ(with.answers, without.answers);
    EXPECT_EQ(with.startLog, without.startLog);
    EXPECT_EQ(with.callLog, without.callLog);
    EXPECT_EQ(with.fromPort, without.fromPort);
    EXPECT_EQ(with.toPort, without.toPort);
    // The capture was written all the same: header, every frame, the modem's dialogue.
    EXPECT_EQ(without.captureBytes, 0u);
    EXPECT_GT(with.captureBytes, with.fromPort.size() + with.toPort.size());
    // The exchange did what it says: both writes answered 0, each poll with the change raised before it.
    ASSERT_EQ(without.answers.size(), 10u);
    for (const size_t poll : {3u, 4u}) {
        ASSERT_EQ(without.answers[poll].size(), 3u + 16u) << poll;
        EXPECT_EQ(without.answers[poll][2], 0) << poll;
    }
    // The retry drained nothing, so the next poll has two.
    EXPECT_EQ(without.answers[5], without.answers[4]);
    EXPECT_EQ(without.answers[6].size(), 2u + 32u);
    // The alarm call was placed and served.
    EXPECT_EQ(without.answers[8], (Bytes{0x73, 7, 7, 7}));
    EXPECT_EQ(without.answers[9], (Bytes{0x78}));
    const std::string dial = "ATDT0301234567\r";
    EXPECT_NE(std::search(without.fromPort.begin(), without.fromPort.end(), dial.begin(), dial.end()),
              without.fromPort.end());
}

}  // namespace
