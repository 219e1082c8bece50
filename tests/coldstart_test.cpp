// Start-up and shutdown as the host drives them through VpiMain, on the
// simulated modem line.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <regex>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "capture/gate_change.h"
#include "common/alloc_hook.h"
#include "config/opt_in.h"
#include "serial/port.h"
#include "tests/driver_library.h"
#include "tests/driver_rig.h"
#include "tests/test_port_settings.h"

namespace {

using driver_test::DriverRig;
using driver_test::IndexOf;
using driver_test::LogText;
using korpro_sim::LogLine;

const std::string kBeta = "TELDRV> *********************** BETA VERSION *************************";

// The build's date and time as the compiler gives them, e.g. "Aug 24 1999" and "17:54:42".
const std::regex kStamp(
    "TELDRV> version compiled on (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] [0-9]{4} at time "
    "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]");

// The lines of the host's thread, without those of the auto-answer thread.
std::vector<LogLine> HostLines() {
    std::vector<LogLine> lines;
    for (const LogLine& line : korpro_sim::Log()) {
        if (line.text.rfind("TELDRV> AutoAnswerThread()", 0) != 0) lines.push_back(line);
    }
    return lines;
}

// Records the size of every allocation and fails those of one size.
std::vector<size_t> allocations;
size_t failingSize = 0;
void* RecordingAlloc(size_t size) {
    allocations.push_back(size);
    return size == failingSize ? nullptr : std::malloc(size);
}

class ColdStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedAlloc = driverAlloc;
        allocations.clear();
        failingSize = 0;
        driverAlloc = RecordingAlloc;
    }
    void TearDown() override { driverAlloc = savedAlloc; }
    DriverAllocFunction savedAlloc = nullptr;
};

TEST_F(ColdStartTest, ASuccessfulStartLogsInOrderAndRunsTheThread) {
    DriverRig rig;
    ASSERT_EQ(rig.Start("STATION = 7\nBAD LINE\n"), 0) << LogText();
    const std::vector<LogLine> lines = HostLines();
    ASSERT_EQ(lines.size(), 6u) << LogText(lines);
    EXPECT_EQ(lines[0].level, 64);
    EXPECT_TRUE(std::regex_match(lines[0].text, kStamp)) << lines[0].text;
    EXPECT_EQ(lines[1], (LogLine{32, kBeta}));
    EXPECT_EQ(lines[2], (LogLine{32, "TELDRV> ReadIntFile() illegal line 2 in 'TELDRV01.INT'"}));
    const unsigned handle = static_cast<unsigned>(LoadShared(rig.ctx->portHandle));
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(lines[3], (LogLine{64, "TELDRV> OpenCom() exited OK, file handle " + std::to_string(handle)}));
    EXPECT_EQ(lines[4], (LogLine{64, "TELDRV> ColdStart() port SIM1 opened, file handle " + std::to_string(handle)}));
    EXPECT_EQ(lines[5], (LogLine{64, "TELDRV> ColdStart() exit OK"}));

    // The port settings went to the line; the default buffer holds 1024 records.
    EXPECT_TRUE(rig.LineOpen());
    EXPECT_EQ(sim::Locked(rig.line)->dcb.BaudRate, 19200u);
    EXPECT_EQ(rig.ctx->portOptions, test_port::kOptions);
    EXPECT_EQ(rig.ctx->driverNumber, 1u);
    ASSERT_FALSE(allocations.empty());
    EXPECT_EQ(allocations.back(), 16384u);
    EXPECT_NE(rig.ctx->changeBuffer, nullptr);

    // The thread resets the modem and puts it into auto-answer.
    ASSERT_TRUE(DriverRig::WaitFor([&] { return rig.modem.SRegister(0) == 1; }, 20000));
    EXPECT_EQ(rig.modem.Commands(), (std::vector<std::string>{"ATH0", "ATZ", "ATS0=1"}));
    EXPECT_EQ(korpro_sim::Log()[IndexOf(korpro_sim::Log(), "TELDRV> AutoAnswerThread() info: thread started")].level,
              64);
    EXPECT_EQ(sim::RunningThreads(), 1);
}

TEST_F(ColdStartTest, TheChangeBufferIsSizedByTheInitFile) {
    DriverRig rig;
    ASSERT_EQ(rig.Start("STATION = 7\nONLINE_GATE_BUFFER = 100\n"), 0) << LogText();
    EXPECT_EQ(allocations.back(), 1600u);
    EXPECT_EQ(rig.ctx->changeCapacity, 100);
}

TEST_F(ColdStartTest, WithThePortDisabledNothingOpensAndEndVpiNeitherWaitsNorCloses) {
    DriverRig rig;
    rig.params.portEnabled = 0;
    ASSERT_EQ(rig.Start(), 0);
    EXPECT_FALSE(rig.LineOpen());
    EXPECT_EQ(sim::RunningThreads(), 0);
    EXPECT_EQ(rig.ctx->changeBuffer, nullptr);
    EXPECT_EQ(rig.ctx->portEnabled, 0);
    const std::vector<LogLine> lines = korpro_sim::Log();
    EXPECT_EQ(lines.back(), (LogLine{64, "TELDRV> ColdStart() exit OK"})) << LogText();
    EXPECT_EQ(IndexOf(lines, "TELDRV> OpenCom() exited with error"), lines.size());

    // Alarm calls are still booked, though nothing dials them.
    EXPECT_EQ(rig.Write(1), 0);
    korpro_sim::ClearLog();
    const int64_t before = sim::NowMs();
    EXPECT_EQ(rig.End(), 0);
    EXPECT_EQ(sim::NowMs(), before);
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{{64, "TELDRV> EndVpi() exited"}}));
    EXPECT_TRUE(rig.modem.Commands().empty());
}

TEST_F(ColdStartTest, WithoutAStationThePortStaysOpenUntilEndVpiClosesIt) {
    DriverRig rig;
    ASSERT_EQ(rig.Start("MODEM_NUMBER 1 = 123\n"), 1);
    EXPECT_EQ(korpro_sim::Log().back(),
              (LogLine{32, "TELDRV> ColdStart() ERROR, station was not defined or not defined correctly"}));
    EXPECT_TRUE(rig.LineOpen());
    EXPECT_EQ(sim::RunningThreads(), 0);
    EXPECT_EQ(rig.ctx->stationNumber, 255);

    korpro_sim::ClearLog();
    EXPECT_EQ(rig.End(), 0);
    EXPECT_FALSE(rig.LineOpen());
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{{64, "TELDRV> CloseCom() exited 0"}, {64, "TELDRV> EndVpi() exited"}}));
}

TEST_F(ColdStartTest, APortThatDoesNotOpenFailsTheStart) {
    DriverRig rig;
    sim::Locked(rig.line)->faults.failOpen = true;
    ASSERT_EQ(rig.Start(), 1);
    const std::vector<LogLine> lines = korpro_sim::Log();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], (LogLine{32, "TELDRV> OpenCom() exited with error"}));
    EXPECT_EQ(lines.back(), (LogLine{32, "TELDRV> ColdStart() unable to open SIM1 port"}));
    EXPECT_EQ(LoadShared(rig.ctx->portHandle), 0u);
    EXPECT_EQ(sim::RunningThreads(), 0);
}

TEST_F(ColdStartTest, AThreadThatCannotStartLeavesNoBufferAndNothingToWaitFor) {
    DriverRig rig;
    sim::FailThreadStarts(1);
    ASSERT_EQ(rig.Start(), 1);
    EXPECT_EQ(korpro_sim::Log().back(), (LogLine{32, "TELDRV> ColdStart() ERROR, starting Auto Answer thread"}));
    EXPECT_EQ(rig.ctx->changeBuffer, nullptr);
    EXPECT_EQ(LoadShared(rig.ctx->answerThreadRunning), 0);
    EXPECT_TRUE(rig.LineOpen());
    const int64_t before = sim::NowMs();
    EXPECT_EQ(rig.End(), 0);
    EXPECT_EQ(sim::NowMs(), before);
    EXPECT_FALSE(rig.LineOpen());
}

TEST_F(ColdStartTest, ABufferThatCannotBeAllocatedLeavesTheThreadRunning) {
    DriverRig rig;
    failingSize = 16384;
    ASSERT_EQ(rig.Start(), 1);
    EXPECT_EQ(HostLines().back(),
              (LogLine{32, "TELDRV> ColdStart() ERROR, allocating on-line gate buffer (16384 bytes)"}));
    EXPECT_EQ(rig.ctx->changeBuffer, nullptr);
    EXPECT_EQ(sim::RunningThreads(), 1);
    // The thread still answers calls.
    ASSERT_TRUE(rig.CallIn());
    EXPECT_TRUE(rig.ServeAndHangUp());
    EXPECT_EQ(rig.End(), 0);
    EXPECT_EQ(sim::RunningThreads(), 0);
}

TEST_F(ColdStartTest, ASecondColdStartIsRefusedAndTheDriverRunsOn) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(), 0);
    const platform::PortHandle handle = LoadShared(rig.ctx->portHandle);
    GateChange* buffer = rig.ctx->changeBuffer;
    ASSERT_EQ(rig.Write(1), 0);
    korpro_sim::ClearLog();
    EXPECT_EQ(rig.Op(1, &rig.params), 1);
    EXPECT_EQ(HostLines(), (std::vector<LogLine>{{32, "TELDRV> ColdStart() error, driver already started on "
                                                             "this context, EndVpi() must come first"}}));
    EXPECT_EQ(LoadShared(rig.ctx->portHandle), handle);
    EXPECT_EQ(rig.ctx->changeBuffer, buffer);
    EXPECT_EQ(rig.Entry(0).reference, 1u);
    EXPECT_EQ(sim::RunningThreads(), 1);
    // The armed call still goes out.
    ASSERT_TRUE(rig.AwaitCall(30000));
    EXPECT_TRUE(rig.ServeAndHangUp());
}

// A start that failed with nothing running may be tried again on the same
// block: what it left open is given back first, so the port opens again.
TEST_F(ColdStartTest, AStartThatFailedWithNothingRunningCanBeRetried) {
    DriverRig rig;
    ASSERT_EQ(rig.Start("MODEM_NUMBER 1 = 123\n"), 1);  // no station, port left open
    ASSERT_TRUE(rig.LineOpen());
    korpro_sim::ClearLog();
    ASSERT_EQ(rig.Start(), 0) << LogText();
    const std::vector<LogLine> lines = HostLines();
    ASSERT_EQ(lines.size(), 5u) << LogText(lines);
    EXPECT_EQ(lines[2].text.rfind("TELDRV> OpenCom() exited OK", 0), 0u);
    EXPECT_EQ(lines[4], (LogLine{64, "TELDRV> ColdStart() exit OK"}));
    EXPECT_EQ(sim::RunningThreads(), 1);
    ASSERT_TRUE(rig.CallIn());
    EXPECT_TRUE(rig.ServeAndHangUp());
    EXPECT_EQ(rig.End(), 0);
    EXPECT_FALSE(rig.LineOpen());
}

// The host may free a failed block and get the same address for the next one,
// with other contents: the new start takes nothing from the old block.
TEST_F(ColdStartTest, AFailedBlockGivenOutAgainStartsAfresh) {
    DriverRig rig;
    sim::Locked(rig.line)->faults.failOpen = true;
    ASSERT_EQ(rig.Start(), 1);
    sim::FailThreadStarts(1);
    sim::Locked(rig.line)->faults.failOpen = false;
    ASSERT_EQ(rig.Start(), 1);
    EXPECT_EQ(korpro_sim::Log().back(), (LogLine{32, "TELDRV> ColdStart() ERROR, starting Auto Answer thread"}));
    std::memset(rig.ctx, 0xA5, sizeof(StationContext));
    ASSERT_EQ(rig.Start(), 0) << LogText();
    EXPECT_EQ(sim::RunningThreads(), 1);
    EXPECT_EQ(rig.End(), 0);
    EXPECT_FALSE(rig.LineOpen());
}

// Under LeakSanitizer: everything the driver allocated so far has been given
// back. Elsewhere the test still drives every release (a wrong free shows).
void ExpectNothingLeaked() {
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

// No station: the port stays open, with phone numbers, the block of the
// opt-in settings and its list of REMOTE_WRITE names (272 bytes: room for 8).
const std::string kLimitsWithoutStation =
    "REMOTE_WRITE = PUMP_STATE\nCLOCK_MAX_STEP_SEC = 60\nMODEM_NUMBER 1 = 123\nMODEM_NUMBER 9 = 456\n"
    "MODEM_CHECK_MIN = 10\nPORT_REOPEN_SEC = 30\n";

// A failed start's block, memory and port, given back by the retry; the
// last start's by EndVpi.
TEST_F(ColdStartTest, RetriedStartsWithRemoteWriteAndAClockLimitKeepNothing) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(kLimitsWithoutStation), 1);
    ASSERT_EQ(rig.Start(kLimitsWithoutStation), 1);
    ASSERT_EQ(rig.Start("STATION = 7\n" + kLimitsWithoutStation), 0) << LogText();
    EXPECT_EQ(std::count(allocations.begin(), allocations.end(), 272u), 3);
    EXPECT_EQ(std::count(allocations.begin(), allocations.end(), sizeof(OptInSettings)), 3);
    EXPECT_EQ(rig.End(), 0);
    EXPECT_FALSE(rig.LineOpen());
    ExpectNothingLeaked();
}

// The host may free the block of a failed start and get it back with other
// contents: EndVpi then neither waits on its bytes nor frees or writes
// them, and gives back what the start took.
TEST_F(ColdStartTest, EndVpiOnAFailedBlockGivenOutAgainActsOnWhatTheStartTookAlone) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(kLimitsWithoutStation), 1);
    ASSERT_TRUE(rig.LineOpen());
    std::memset(rig.ctx, 0xA5, sizeof(StationContext));
    korpro_sim::ClearLog();
    const int64_t before = sim::NowMs();
    EXPECT_EQ(rig.End(), 0);
    EXPECT_EQ(sim::NowMs(), before);
    EXPECT_FALSE(rig.LineOpen());
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{{64, "TELDRV> CloseCom() exited 0"}, {64, "TELDRV> EndVpi() exited"}}));
    const auto* bytes = reinterpret_cast<const unsigned char*>(rig.ctx);
    EXPECT_EQ(std::count(bytes, bytes + sizeof(StationContext), 0xA5), static_cast<long>(sizeof(StationContext)));
    ExpectNothingLeaked();
}

// While the thread of a failed start runs, a second start is still refused.
TEST_F(ColdStartTest, AStartThatFailedWithItsThreadRunningIsNotRetried) {
    DriverRig rig;
    failingSize = 16384;
    ASSERT_EQ(rig.Start(), 1);
    failingSize = 0;
    korpro_sim::ClearLog();
    EXPECT_EQ(rig.Op(1, &rig.params), 1);
    EXPECT_EQ(HostLines(), (std::vector<LogLine>{{32, "TELDRV> ColdStart() error, driver already started on "
                                                             "this context, EndVpi() must come first"}}));
    EXPECT_EQ(sim::RunningThreads(), 1);
}

// Any non-zero word opens the port, and EndVpi closes it, 0x100 included.
TEST_F(ColdStartTest, APortEnabledWordWithAZeroLowByteIsClosedByEndVpi) {
    DriverRig rig;
    rig.params.portEnabled = 0x100;
    ASSERT_EQ(rig.Start(), 0);
    ASSERT_TRUE(rig.LineOpen());
    korpro_sim::ClearLog();
    EXPECT_EQ(rig.End(), 0);
    EXPECT_FALSE(rig.LineOpen());
    const std::vector<LogLine> lines = HostLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], (LogLine{64, "TELDRV> CloseCom() exited 0"}));
}

TEST_F(ColdStartTest, CloseComClosesOnceAndThenFindsNoPort) {
    DriverRig rig;
    // Before any start the block's handle is garbage, not a port.
    EXPECT_EQ(rig.Op(12), 0);
    ASSERT_EQ(rig.Start(), 0);
    korpro_sim::ClearLog();
    EXPECT_EQ(rig.Op(12), 0);
    EXPECT_EQ(LoadShared(rig.ctx->portHandle), 0u);
    // A call of the thread's still in flight keeps the device until it returns.
    EXPECT_TRUE(DriverRig::WaitFor([&] { return !rig.LineOpen(); }, 2000));
    EXPECT_EQ(rig.Op(12), 0);
    EXPECT_EQ(HostLines(),
              (std::vector<LogLine>{{64, "TELDRV> CloseCom() exited 0"}, {64, "TELDRV> CloseCom() exited 0"}}));
}

TEST_F(ColdStartTest, APortThatRefusesToCloseKeepsItsHandleAndEndVpiStillEnds) {
    DriverRig rig;
    // No station: the port stays open with no thread that could hold a call
    // in flight on it (such a call would take the close over).
    ASSERT_EQ(rig.Start("MODEM_NUMBER 1 = 123\n"), 1);
    const platform::PortHandle handle = LoadShared(rig.ctx->portHandle);
    sim::Locked(rig.line)->faults.failClose = true;
    korpro_sim::ClearLog();
    EXPECT_EQ(rig.Op(12), 2);
    // A refused close is tried again, and the handle is still kept.
    EXPECT_EQ(rig.Op(12), 2);
    EXPECT_EQ(LoadShared(rig.ctx->portHandle), handle);
    EXPECT_EQ(HostLines(),
              (std::vector<LogLine>{{64, "TELDRV> CloseCom() exited 2"}, {64, "TELDRV> CloseCom() exited 2"}}));

    korpro_sim::ClearLog();
    EXPECT_EQ(rig.End(), 0);
    const std::vector<LogLine> lines = HostLines();
    EXPECT_EQ(lines, (std::vector<LogLine>{{64, "TELDRV> CloseCom() exited 2"}, {64, "TELDRV> EndVpi() exited"}}));

    // Nothing is released twice, however often the host asks: the released
    // block, given to a library loaded anew, still holds the handle and the
    // freed pointers, and that library must touch neither. The port would
    // close now, so a second close would show.
    sim::Locked(rig.line)->faults.failClose = false;
    korpro_sim::ClearLog();
    LoadedDriver fresh = LoadFreshDriver();
    rig.block.operationCode = 12;
    EXPECT_EQ(fresh.vpiMain(&rig.block), 0);
    rig.block.operationCode = 11;
    EXPECT_EQ(fresh.vpiMain(&rig.block), 0);
    EXPECT_EQ(HostLines(),
              (std::vector<LogLine>{{64, "TELDRV> CloseCom() exited 0"}, {64, "TELDRV> EndVpi() exited"}}));
    EXPECT_TRUE(rig.LineOpen());
    EXPECT_EQ(ClosePort(handle), PortResult::kPortOk);
}

TEST_F(ColdStartTest, EndVpiStopsTheThreadAndReturnsAfterIt) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(), 0);
    // At once: the thread may not even have marked itself yet.
    korpro_sim::ClearLog();
    EXPECT_EQ(rig.End(), 0);
    EXPECT_EQ(LoadShared(rig.ctx->answerThreadRunning), 0);
    EXPECT_FALSE(rig.LineOpen());
    // The thread reset the modem and switched auto-answer off before the port closed.
    const std::vector<std::string> commands = rig.modem.Commands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(commands.end() - 3, commands.end()),
              (std::vector<std::string>{"ATH0", "ATZ", "ATS0=0"}));
    const std::vector<LogLine> lines = korpro_sim::Log();
    const size_t resetting = IndexOf(lines, "TELDRV> AutoAnswerThread() info: resetting modem...");
    const size_t closed = IndexOf(lines, "TELDRV> CloseCom() exited 0");
    ASSERT_LT(resetting, lines.size()) << LogText();
    EXPECT_LT(resetting, closed);
    EXPECT_LT(closed, IndexOf(lines, "TELDRV> EndVpi() exited"));
    ASSERT_TRUE(DriverRig::WaitFor([] { return sim::RunningThreads() == 0; }, 1000));
    EXPECT_TRUE(driver_test::Logged("TELDRV> AutoAnswerThread() info: thread stopped"));
}

TEST_F(ColdStartTest, EndVpiWaitsForACallInProgressAndForTheGateMessageThread) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(), 0);
    ASSERT_TRUE(rig.CallIn());
    // A gate message thread that ends a minute after onlineActive falls.
    StoreShared<uint8_t>(rig.ctx->onlineThreadRunning, 1);
    StoreShared<uint8_t>(rig.ctx->onlineActive, 1);
    struct Online {
        DriverRig* rig;
        std::atomic<int64_t> endedAt{-1};
    } online{&rig};
    platform::StartThread(
        [](void* raw) {
            auto* o = static_cast<Online*>(raw);
            while (LoadShared(o->rig->ctx->onlineActive) != 0) platform::Sleep(50);
            platform::Sleep(60000);
            o->endedAt = sim::NowMs();
            StoreShared<uint8_t>(o->rig->ctx->onlineThreadRunning, 0);
        },
        &online, 4096);
    // The central serves on for 5 s while the host ends the driver.
    int64_t endedAt = -1;
    std::atomic<bool> ended{false};
    struct Host {
        DriverRig* rig;
        std::atomic<bool>* ended;
        int64_t* endedAt;
    } host{&rig, &ended, &endedAt};
    platform::StartThread(
        [](void* raw) {
            auto* h = static_cast<Host*>(raw);
            EndVpi(&h->rig->block);
            *h->endedAt = sim::NowMs();
            h->ended->store(true);
        },
        &host, 8192);
    platform::Sleep(5000);
    EXPECT_FALSE(ended.load());
    EXPECT_TRUE(rig.ServeAndHangUp());
    const int64_t hungUp = sim::NowMs();
    ASSERT_TRUE(DriverRig::WaitFor([&] { return ended.load(); }, 120000));
    rig.ended = true;
    // The session's 3 s, the modem resets and the final reset sequence, and
    // then the gate message thread.
    EXPECT_GT(endedAt, hungUp + 3000);
    EXPECT_GE(endedAt, online.endedAt.load());
    EXPECT_GT(online.endedAt.load(), 60000);
    EXPECT_FALSE(rig.LineOpen());
}

TEST_F(ColdStartTest, AfterEndVpiEveryCallAnswersZeroAndDoesNothing) {
    DriverRig rig;
    ASSERT_EQ(rig.Start(), 0);
    ASSERT_EQ(rig.End(), 0);
    korpro_sim::ClearLog();
    VpiInfo info{};
    EXPECT_EQ(rig.Op(14, &info), 0);
    EXPECT_EQ(info.typeCode, 0u);
    EXPECT_EQ(rig.Op(1, &rig.params), 0);
    EXPECT_EQ(rig.Op(17), 0);
    EXPECT_EQ(rig.Write(1), 0);
    EXPECT_EQ(rig.Op(12), 0);
    EXPECT_EQ(rig.Op(11), 0);
    EXPECT_TRUE(korpro_sim::Log().empty()) << LogText();
    EXPECT_FALSE(rig.LineOpen());
    EXPECT_EQ(sim::RunningThreads(), 0);
}

}  // namespace
