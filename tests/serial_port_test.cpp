// The port layer over the simulated line: set-up, time-outs, drain, reads
// and writes, with the calls the line saw and the virtual time they took.
#include <gtest/gtest.h>

#include "platform/error.h"
#include "serial/port.h"
#include "tests/sim_environment.h"

namespace {

using enum PortResult;

class Silent : public sim::LinePeer {
public:
    void FromPort(sim::WorldLock&, const uint8_t*, size_t) override {}
    bool CarrierDetect(const sim::WorldLock&) override { return false; }
};

struct PortTest : ::testing::Test {
    SimEnvironment env;
    sim::Line& line = sim::CreateLine("SIM1");
    Silent peer;
    platform::PortHandle port = 0;
    const uint16_t settings[4] = {19200, 7, 2, 2};

    void SetUp() override { sim::Locked(line)->peer = &peer; }
    void TearDown() override {
        sim::Locked(line)->faults = {};
        ClosePort(port);
    }
    void Open() { ASSERT_EQ(OpenPort("SIM1", settings, kPortOptionsDriver, &port), kPortOk); }
    void Give(size_t count) {
        sim::WorldLock lock(sim::WorldMutex());
        std::vector<uint8_t> bytes(count, 0x55);
        sim::SendToPort(lock, line, bytes.data(), bytes.size());
    }
};

TEST_F(PortTest, OpenSetsTheLineFromSettingsAndKeepsWhatItDoesNotOwn) {
    Open();
    const sim::Line seen = *sim::Locked(line);
    EXPECT_EQ(seen.dcb.BaudRate, 19200u);
    EXPECT_EQ(seen.dcb.ByteSize, 7);
    EXPECT_EQ(seen.dcb.StopBits, 2);  // stop bits come before parity in the settings
    EXPECT_EQ(seen.dcb.Parity, 2);
    EXPECT_EQ(seen.dcb.fBinary, 1);
    EXPECT_EQ(seen.dcb.fParity, 1);
    EXPECT_EQ(seen.dcb.fDtrControl, platform::kDtrControlEnable);
    EXPECT_EQ(seen.dcb.fRtsControl, platform::kRtsControlEnable);
    EXPECT_EQ(static_cast<uint8_t>(seen.dcb.ErrorChar), 0xFC);
    EXPECT_EQ(seen.dcb.XonLim, 2048);  // as the port reported it
    EXPECT_EQ(seen.dcb.EofChar, 0x1A);
    EXPECT_EQ(seen.dcb.fTXContinueOnXoff, 1);
    EXPECT_EQ(seen.timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(seen.timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(seen.inQueueSize, 1200u);
    EXPECT_EQ(seen.outQueueSize, 1200u);
    EXPECT_EQ(ClosePort(port), kPortOk);
    EXPECT_FALSE(sim::Locked(line)->open);
}

TEST_F(PortTest, OptionWordPicksDtrAndRtsControlFirstMatchWins) {
    struct Case {
        uint16_t options;
        uint8_t dtr, rts;
    } cases[] = {{0x0000, 0, 0}, {0x0100, 1, 0}, {0x8001, 1, 0}, {0x8000, 2, 0}, {0x0200, 0, 1},
                 {0x3002, 0, 1}, {0x3000, 0, 2}, {0x2000, 0, 3}, {0x0303, 1, 1}, {0x4CFC, 0, 0}};
    for (const Case& c : cases) {
        ASSERT_EQ(OpenPort("SIM1", settings, c.options, &port), kPortOk);
        EXPECT_EQ(sim::Locked(line)->dcb.fDtrControl, c.dtr) << std::hex << c.options;
        EXPECT_EQ(sim::Locked(line)->dcb.fRtsControl, c.rts) << std::hex << c.options;
        ClosePort(port);
    }
}

TEST_F(PortTest, FailedStepsGiveTheirCodeAndLeaveThePortClosed) {
    sim::Locked(line)->faults.failOpen = true;
    EXPECT_EQ(OpenPort("SIM1", settings, kPortOptionsDriver, &port), kPortOpenFailed);
    EXPECT_EQ(port, platform::kInvalidPortHandle);
    sim::Locked(line)->faults.failOpen = false;

    bool sim::LineFaults::*steps[] = {&sim::LineFaults::failGetState, &sim::LineFaults::failSetTimeouts,
                                      &sim::LineFaults::failSetState};
    const PortResult codes[] = {kPortGetStateFailed, kPortOpenFailed, kPortSetStateFailed};
    for (int i = 0; i < 3; ++i) {
        sim::Locked(line)->faults = {};
        sim::Locked(line)->faults.*steps[i] = true;
        port = 0;
        EXPECT_EQ(OpenPort("SIM1", settings, kPortOptionsDriver, &port), codes[i]);
        EXPECT_NE(port, 0u);  // stored whatever happened
        EXPECT_FALSE(sim::Locked(line)->open) << i;
        EXPECT_EQ(platform::LastError(), platform::kErrorGenFailure);  // the failed step's error, not the close's
    }
    sim::Locked(line)->faults = {};
    const uint16_t nine[4] = {19200, 9, 0, 0};
    EXPECT_EQ(OpenPort("SIM1", nine, kPortOptionsDriver, &port), kPortSetStateFailed);

    Open();
    sim::Locked(line)->faults.failClose = true;
    EXPECT_EQ(ClosePort(port), kPortCallFailed);
    sim::Locked(line)->faults.failClose = false;
    EXPECT_EQ(ClosePort(port), kPortOk);
}

TEST_F(PortTest, NulIsOpenedUnconfiguredButLowerCaseNulIsNot) {
    sim::Line& nul = sim::CreateLine("NUL");
    platform::RegisterSerialBackend("NUL", sim::LineBackend());
    ASSERT_EQ(OpenPort("NUL", settings, kPortOptionsDriver, &port), kPortOk);
    EXPECT_EQ(sim::Locked(nul)->timeoutWrites, 0);
    EXPECT_EQ(sim::Locked(nul)->inQueueSize, 0u);
    EXPECT_EQ(sim::Locked(nul)->dcb.BaudRate, 9600u);
    ClosePort(port);
    platform::UnregisterSerialBackend("NUL");
    // The platform's own null device has no serial state.
    EXPECT_EQ(OpenPort("nul", settings, kPortOptionsDriver, &port), kPortGetStateFailed);
    EXPECT_EQ(ClosePort(port), kPortCallFailed);  // closed already
}

TEST_F(PortTest, SetReadTimeoutWritesOnlyAChange) {
    Open();
    const int writes = sim::Locked(line)->timeoutWrites;
    EXPECT_EQ(SetReadTimeout(port, 100), 100);
    EXPECT_EQ(sim::Locked(line)->timeoutWrites, writes);
    EXPECT_EQ(SetReadTimeout(port, 150), 100);
    EXPECT_EQ(sim::Locked(line)->timeouts.ReadTotalTimeoutConstant, 1500u);
    EXPECT_EQ(sim::Locked(line)->timeoutWrites, writes + 1);
    sim::Locked(line)->timeouts.ReadTotalTimeoutConstant = 1009;
    EXPECT_EQ(SetReadTimeout(port, 7), 100);  // truncated
    sim::Locked(line)->faults.failSetTimeouts = true;
    EXPECT_EQ(SetReadTimeout(port, 8), 0);
    sim::Locked(line)->faults.failGetTimeouts = true;
    EXPECT_EQ(SetReadTimeout(port, 9), 0);
}

TEST_F(PortTest, PurgeReadsOnlyWhenBytesWaitAndPutsTheTimeOutBack) {
    Open();
    int reads = sim::Locked(line)->reads;
    int64_t start = sim::NowMs();
    EXPECT_EQ(PurgeInput(port), kPortOk);
    EXPECT_EQ(sim::Locked(line)->reads, reads);
    EXPECT_EQ(sim::NowMs(), start);

    Give(512);  // a full block, then one that brings nothing after 50 ms
    EXPECT_EQ(PurgeInput(port), kPortOk);
    EXPECT_EQ(sim::Locked(line)->reads, reads + 2);
    EXPECT_EQ(sim::NowMs() - start, 50);
    EXPECT_TRUE(sim::Locked(line)->toPort.empty());
    EXPECT_EQ(sim::Locked(line)->timeouts.ReadTotalTimeoutConstant, 1000u);

    Give(700);
    reads = sim::Locked(line)->reads;
    EXPECT_EQ(PurgeInput(port), kPortOk);
    EXPECT_EQ(sim::Locked(line)->reads, reads + 2);  // 512, then the 188 left

    SetReadTimeout(port, 0);  // a previous 0 is not put back
    Give(1);
    EXPECT_EQ(PurgeInput(port), kPortOk);
    EXPECT_EQ(sim::Locked(line)->timeouts.ReadTotalTimeoutConstant, 50u);

    sim::Locked(line)->faults.failClearError = 1;  // drains all the same
    Give(3);
    EXPECT_EQ(PurgeInput(port), kPortOk);
    EXPECT_TRUE(sim::Locked(line)->toPort.empty());

    Give(600);
    sim::Locked(line)->faults.failReads = 1;
    EXPECT_EQ(PurgeInput(port), kPortOpenFailed);
}

TEST_F(PortTest, ReadExactGivesUpAfterOneTimeOutWithoutAByte) {
    Open();
    uint8_t buffer[16];
    uint32_t received = 99;
    int64_t start = sim::NowMs();
    EXPECT_EQ(ReadExact(port, buffer, 9, &received), kPortCallFailed);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(sim::NowMs() - start, 1000);

    Give(3);
    start = sim::NowMs();
    EXPECT_EQ(ReadExact(port, buffer, 9, &received), kPortCallFailed);
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(sim::NowMs() - start, 2000);

    Give(1);
    EXPECT_EQ(ReadExact(port, buffer, 0, &received), kPortCallFailed);  // its one read brings nothing
    EXPECT_EQ(received, 0u);

    EXPECT_EQ(ReadExact(port, buffer, 1, nullptr), kPortOk);
    Give(2);
    sim::Locked(line)->faults.failReads = 1;
    EXPECT_EQ(ReadExact(port, buffer, 2, &received), kPortCallFailed);
    EXPECT_EQ(received, 0u);
}

TEST_F(PortTest, ReadExactKeepsGoingWhileABlockTrickles) {
    Open();
    struct Feeder {
        sim::Line* line;
    } feeder{&line};
    // Three bytes every 900 ms: each read ends at its 1 s time-out with some.
    ASSERT_EQ(platform::StartThread(
                  [](void* raw) {
                      auto* f = static_cast<Feeder*>(raw);
                      for (int i = 0; i < 3; ++i) {
                          platform::Sleep(900);
                          sim::WorldLock lock(sim::WorldMutex());
                          const uint8_t bytes[3] = {uint8_t(i), uint8_t(i), uint8_t(i)};
                          sim::SendToPort(lock, *f->line, bytes, 3);
                      }
                  },
                  &feeder, 8192),
              0);
    uint8_t buffer[9];
    uint32_t received = 0;
    EXPECT_EQ(ReadExact(port, buffer, 9, &received), kPortOk);
    EXPECT_EQ(received, 9u);
    EXPECT_EQ(buffer[8], 2);
    EXPECT_EQ(sim::NowMs(), 2700);
    while (sim::RunningThreads() > 0) platform::Sleep(10);
}

TEST_F(PortTest, WriteAllReportsShortAndFailedWrites) {
    Open();
    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
    uint32_t written = 99;
    EXPECT_EQ(WriteAll(port, bytes, 5, &written), kPortOk);
    EXPECT_EQ(written, 5u);
    sim::Locked(line)->faults.writeLimit = 3;
    EXPECT_EQ(WriteAll(port, bytes, 5, &written), kPortShortWrite);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(WriteAll(port, bytes, 5, nullptr), kPortShortWrite);
    sim::Locked(line)->faults.failWrites = 1;
    written = 99;
    EXPECT_EQ(WriteAll(port, bytes, 5, &written), kPortCallFailed);
    EXPECT_EQ(written, 99u);
    EXPECT_EQ(sim::BytesFromPort(line), (std::vector<uint8_t>{1, 2, 3, 4, 5, 1, 2, 3, 1, 2, 3}));
}

}  // namespace
