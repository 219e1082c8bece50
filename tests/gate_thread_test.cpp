// The gate message thread against the simulated host, on the virtual clock.
#include <gtest/gtest.h>

#include "capture/change_buffer.h"
#include "capture/gate_thread.h"
#include "host/korpro.h"
#include "tests/online_rig.h"
#include "tests/sim_environment.h"

namespace {

using korpro_sim::LogLine;
using korpro_sim::OnlineCall;
using online_test::kFirstHostId;
using online_test::LetThreadsRun;

class GateThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetContextDefaults(&ctx);
        tables.Install(&ctx, 8, 64);
        StoreShared<uint8_t>(ctx.linkActive, 1);
        ASSERT_EQ(Kor5MkClient("TELDRVEM", 1, 0, &ctx.clientId), 0u);
        std::vector<uint32_t> ids;
        for (uint32_t i = 0; i < 8; ++i) ids.push_back(kFirstHostId + i);
        ids.push_back(5000);  // a gate the host knows and the map does not
        ASSERT_EQ(Kor5RqGateMsg(ctx.clientId, static_cast<uint32_t>(ids.size()), ids.data(), 5), 0u);
    }
    void TearDown() override { EXPECT_TRUE(online_test::StopGateThread(&ctx)); }

    void Start() {
        StoreShared<uint8_t>(ctx.onlineThreadRunning, 1);
        ASSERT_EQ(platform::StartThread(OnLineGtMsgThreadEntry, &ctx, kGateThreadStack), 0);
        LetThreadsRun();
        ASSERT_EQ(ctx.onlineActive, 1);
    }
    std::vector<uint8_t> DrainBytes() {
        uint8_t out[64 * 16];
        const uint16_t n = GetFromBuffer(&ctx, out, 64);
        return std::vector<uint8_t>(out, out + n * 16);
    }
    bool Ended() const { return LoadShared(const_cast<uint8_t&>(ctx.onlineThreadRunning)) == 0; }

    SimEnvironment env;
    StationContext ctx{};
    online_test::StationTables tables;
};

TEST_F(GateThreadTest, MessagesBecomeRecordsOrLogLines) {
    ctx.changeRead = 40;  // the start empties the buffer
    ctx.changeWrite = 45;
    Start();
    EXPECT_EQ(ctx.changeRead, 0);
    EXPECT_EQ(ctx.changeWrite, 0);

    korpro_sim::RaiseValueChange(kFirstHostId + 3, {1, 2, 3, 4, 5, 6, 7, 8}, {9, 10, 11, 12, 13, 14});
    korpro_sim::RaiseStatusChange(kFirstHostId + 4, {0x01, 2, 3, 4, 5, 6, 7, 8}, {0x21, 0x22, 0x23, 0x24, 0x25, 0x26});
    korpro_sim::RaiseStatusChange(kFirstHostId + 7, {0xFE, 2, 3, 4, 5, 6, 7, 8}, {0x31, 0x32, 0x33, 0x34, 0x35, 0x36});
    korpro_sim::RaiseValueChange(5000, {1, 2, 3, 4, 5, 6, 7, 8}, {});
    for (uint16_t type : {2, 121, 11, 7, 0x1234}) korpro_sim::SendMessageToAll(type, kFirstHostId, {1}, {1});
    LetThreadsRun();

    EXPECT_EQ(DrainBytes(), (std::vector<uint8_t>{
                                0x03, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14,                //
                                0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26,  //
                                0x07, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36}));
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{{32, "TELDRV> OnLineGtMsgThread() error, lost messages"},
                                    {64, "TELDRV> OnLineGtMsgThread() warning, received unknown message 7"},
                                    {64, "TELDRV> OnLineGtMsgThread() warning, received unknown message 4660"}}));
    EXPECT_FALSE(Ended());
    EXPECT_EQ(ctx.linkActive, 1);
}

TEST_F(GateThreadTest, AnEmptyWaitGoesOnAndAFailedOneEndsTheThreadAndRemovesTheClient) {
    korpro_sim::ForceResult(OnlineCall::WaitMsg, 4, 0, 2);
    Start();
    platform::Sleep(1000);
    EXPECT_FALSE(Ended());
    korpro_sim::RaiseValueChange(kFirstHostId, {}, {});
    LetThreadsRun();
    EXPECT_EQ(ctx.changeWrite, 1);
    EXPECT_TRUE(korpro_sim::Log().empty());

    const uint8_t client = ctx.clientId;
    korpro_sim::ForceResult(OnlineCall::WaitMsg, 5, 0, 1);
    platform::Sleep(400);
    EXPECT_TRUE(Ended());
    EXPECT_EQ(ctx.onlineActive, 0);
    EXPECT_EQ(ctx.linkActive, 1);
    EXPECT_EQ(korpro_sim::RemovedClients(), std::vector<uint8_t>{client});
    EXPECT_TRUE(korpro_sim::Clients().empty());
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{{64, "TELDRV> OnLineGtMsgThread() error, Kor5WaitMsg rc 5"}}));
    // Waiting records stay for the central station.
    EXPECT_EQ(DrainBytes().size(), 16u);
}

TEST_F(GateThreadTest, AStopMessageEndsTheThreadAndTheLink) {
    Start();
    korpro_sim::SendMessageToAll(0);
    LetThreadsRun();
    EXPECT_TRUE(Ended());
    EXPECT_EQ(ctx.onlineActive, 0);
    EXPECT_EQ(ctx.linkActive, 0);
    EXPECT_EQ(korpro_sim::RemovedClients().size(), 1u);
    EXPECT_TRUE(korpro_sim::Log().empty());
}

TEST_F(GateThreadTest, AClearedOnlineActiveIsNoticedWithinOneWait) {
    Start();
    platform::Sleep(100);
    const int64_t clearedAt = sim::NowMs();
    const int waitsBefore = korpro_sim::WaitCalls();
    StoreShared<uint8_t>(ctx.onlineActive, 0);
    while (!Ended()) platform::Sleep(1);
    EXPECT_LE(sim::NowMs() - clearedAt, 350);
    EXPECT_EQ(korpro_sim::WaitCalls(), waitsBefore);
    EXPECT_EQ(korpro_sim::RemovedClients().size(), 1u);
    EXPECT_EQ(ctx.linkActive, 1);
}

}  // namespace
