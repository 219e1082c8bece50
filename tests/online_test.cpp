// On-line transfer over the simulated line, as the central station sees it:
// the start request with its host calls, continue requests with remote
// writes and retries, and the change stream end to end.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>

#include "common/alloc_hook.h"
#include "sim/central_online.h"
#include "tests/link_rig.h"
#include "tests/log_text.h"
#include "tests/online_rig.h"

namespace {

using korpro_sim::LogLine;
using korpro_sim::OnlineCall;
using log_test::LinesAt;
using online_test::kFirstHostId;
using online_test::LetThreadsRun;
using online_test::Numbered;
using online_test::NumberOf;
using sim::Bytes;

const LogLine kRetry{8, "TELDRV> info, retry sent"};

class OnlineTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (rig.sessionRunning) {
            rig.central.HangUp();
            EXPECT_TRUE(rig.WaitSession(20000));
        }
        EXPECT_TRUE(online_test::StopGateThread(&rig.ctx));
    }
    void Install(uint16_t gates, uint16_t capacity, std::vector<uint8_t> valueTypes = {0}) {
        tables.Install(&rig.ctx, gates, capacity, std::move(valueTypes));
    }
    // Starts a session and on-line transfer; the client the host registered.
    uint8_t StartOnline() {
        rig.StartSession();
        EXPECT_EQ(central.Start(), 0) << central.error();
        EXPECT_EQ(korpro_sim::Clients().size(), 1u);
        return korpro_sim::Clients().empty() ? 0 : korpro_sim::Clients().back();
    }
    void Raise(uint16_t gate, uint32_t n) {
        korpro_sim::RaiseValueChange(static_cast<uint16_t>(kFirstHostId + gate), Numbered(n), {1, 2, 3, 4, 5, 6});
    }
    sim::OnlineAnswer Poll() {
        std::optional<sim::OnlineAnswer> answer = central.Poll();
        EXPECT_TRUE(answer) << central.error();
        return answer.value_or(sim::OnlineAnswer{});
    }

    LinkRig rig;
    online_test::StationTables tables;
    sim::OnlinePoller central{rig.central};
};

TEST_F(OnlineTest, AStartRegistersSubscribesInBatchesOfSixtyFourAndAnswers6F00) {
    Install(130, 1024);
    tables.gates[5].hostGateId = kUnknownHostGate;
    rig.StartSession();
    EXPECT_EQ(rig.central.Ask({0x4F, 0x4F}), (Bytes{0x40}));
    EXPECT_TRUE(korpro_sim::Clients().empty());
    EXPECT_TRUE(korpro_sim::GateRequests().empty());

    EXPECT_EQ(rig.central.Ask(sim::StartOnlineRequest()), (Bytes{0x6F, 0x00}));
    ASSERT_EQ(korpro_sim::Clients().size(), 1u);
    const uint8_t client = korpro_sim::Clients()[0];
    EXPECT_EQ(rig.ctx.clientId, client);
    const std::vector<korpro_sim::GateRequest> requests = korpro_sim::GateRequests();
    ASSERT_EQ(requests.size(), 3u);
    std::vector<uint32_t> all;
    const size_t batches[] = {64, 64, 2};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(requests[i].gateIds.size(), batches[i]);
        EXPECT_EQ(requests[i].clientId, client);
        EXPECT_EQ(requests[i].kind, 5u);
        all.insert(all.end(), requests[i].gateIds.begin(), requests[i].gateIds.end());
    }
    for (uint32_t i = 0; i < 130; ++i) EXPECT_EQ(all[i], i == 5 ? 65535u : kFirstHostId + i) << i;
    EXPECT_EQ(sim::RunningThreads(), 2);  // the session and the gate message thread

    // The start set the sequence to 0: a continue with 0 is a retry of the
    // 2-byte answer.
    EXPECT_EQ(rig.central.Ask(sim::ContOnlineRequest(0)), (Bytes{0x6D, 0x00}));
    Raise(129, 1);
    Raise(0, 2);
    Raise(64, 3);
    LetThreadsRun();
    const sim::OnlineAnswer answer = Poll();
    ASSERT_EQ(answer.body.size(), 2u + 48u);
    EXPECT_EQ(Bytes(answer.body.begin() + 2, answer.body.begin() + 18),
              (Bytes{129, 0, 1, 0, 0, 0, 0xA5, 0x5A, 7, 0x3C, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(answer.changes[1].stationIndex, 0);
    EXPECT_EQ(answer.changes[2].stationIndex, 64);
    EXPECT_EQ(NumberOf(answer.changes[2].value), 3u);

    rig.central.HangUp();
    ASSERT_TRUE(rig.WaitSession(10000));
    EXPECT_EQ(rig.ctx.onlineActive, 0);
    EXPECT_EQ(rig.ctx.onlineThreadRunning, 0);
    EXPECT_EQ(korpro_sim::RemovedClients(), std::vector<uint8_t>{client});
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  {64, "TELDRV> DoTheCom() error, received FE_REQ_START_ONLINE request with wrong length (2 i.s.o. 1)"},
                  kRetry}));
}

TEST_F(OnlineTest, AnEmptyStationTableMakesOneGateRequestWithNoIds) {
    Install(0, 16);
    StartOnline();
    ASSERT_EQ(korpro_sim::GateRequests().size(), 1u);
    EXPECT_TRUE(korpro_sim::GateRequests()[0].gateIds.empty());
    EXPECT_EQ(Poll().body, (Bytes{0x6D, 0x00}));
}

TEST_F(OnlineTest, AFailedStartAnswersTwoAndLeavesNoClientAndNoThread) {
    Install(130, 64);
    rig.StartSession();
    auto expectIdle = [&](const char* what) {
        platform::Sleep(400);  // a thread that was started has ended by now
        EXPECT_EQ(rig.ctx.onlineThreadRunning, 0) << what;
        EXPECT_EQ(sim::RunningThreads(), 1) << what;
        EXPECT_TRUE(korpro_sim::Clients().empty()) << what;
    };

    korpro_sim::ForceResult(OnlineCall::MkClient, 0x10007, 0, 1);
    EXPECT_EQ(central.Start(), 2);
    expectIdle("registration");
    EXPECT_EQ(korpro_sim::RemovedClients(), std::vector<uint8_t>{255});
    EXPECT_TRUE(korpro_sim::GateRequests().empty());

    sim::FailThreadStarts(1);
    EXPECT_EQ(central.Start(), 2);
    expectIdle("thread start");
    EXPECT_EQ(korpro_sim::RemovedClients().size(), 2u);
    EXPECT_TRUE(korpro_sim::GateRequests().empty());

    korpro_sim::ForceResult(OnlineCall::RqGateMsg, 9, 1, 1);
    EXPECT_EQ(central.Start(), 2);
    expectIdle("gate request");
    EXPECT_EQ(korpro_sim::GateRequests().size(), 2u);
    EXPECT_EQ(korpro_sim::RemovedClients().size(), 3u);

    const DriverAllocFunction savedAlloc = driverAlloc;
    driverAlloc = [](size_t) -> void* { return nullptr; };
    EXPECT_EQ(central.Start(), 2);
    driverAlloc = savedAlloc;
    expectIdle("gate id table");
    EXPECT_EQ(korpro_sim::RemovedClients().size(), 4u);

    rig.ctx.changeBuffer = nullptr;
    EXPECT_EQ(central.Start(), 2);
    expectIdle("no buffer");
    EXPECT_EQ(korpro_sim::RemovedClients().size(), 4u);
    EXPECT_EQ(korpro_sim::GateRequests().size(), 2u);
    // Every removed client was removed once.
    const std::vector<uint8_t> removed = korpro_sim::RemovedClients();
    EXPECT_EQ(std::set<uint8_t>(removed.begin(), removed.end()).size(), removed.size());

    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{{64, "TELDRV> DoTheCom() error, registering Korpro, rc: 7"},
                                    {32, "TELDRV> DoTheCom() ERROR, starting OnLineGtMsgThread"},
                                    {64, "TELDRV> DoTheCom() error, requesting gate id's, rc: 9"},
                                    {64, "TELDRV> DoTheCom() error, allocating gate id table"},
                                    {64, "TELDRV> DoTheCom() error, FE_REQ_START_ONLINE without on-line gate buffer"}}));
}

TEST_F(OnlineTest, ASecondStartStopsTheFirstThreadBeforeItStartsAfresh) {
    Install(4, 64);
    const uint8_t first = StartOnline();
    Raise(1, 1);
    Raise(2, 2);
    LetThreadsRun();
    EXPECT_EQ(central.Start(), 0);
    EXPECT_EQ(korpro_sim::RemovedClients(), std::vector<uint8_t>{first});
    ASSERT_EQ(korpro_sim::Clients().size(), 1u);
    EXPECT_NE(korpro_sim::Clients()[0], first);
    EXPECT_EQ(sim::RunningThreads(), 2);
    // The new thread emptied the buffer; it is the one writer now.
    Raise(3, 3);
    LetThreadsRun();
    const sim::OnlineAnswer answer = Poll();
    ASSERT_EQ(answer.changes.size(), 1u);
    EXPECT_EQ(NumberOf(answer.changes[0].value), 3u);
}

TEST_F(OnlineTest, ContinueRequestsWriteByValueTypeAndAlwaysCarryTheRecords) {
    Install(10, 256, {0, 1, 2, 3, 4, 5, 6, 7});
    StartOnline();
    // The host accepts the writes here without reporting them back as
    // changes, so every answer holds just the records raised below.
    korpro_sim::ForceResult(OnlineCall::PutGateVal, 0);
    for (uint32_t n = 1; n <= 3; ++n) Raise(static_cast<uint16_t>(n), n);
    LetThreadsRun();
    std::optional<sim::OnlineAnswer> answer = central.Poll();
    ASSERT_TRUE(answer) << central.error();
    EXPECT_EQ(answer->body.size(), 2u + 48u);

    for (uint32_t n = 4; n <= 6; ++n) Raise(static_cast<uint16_t>(n), n);
    LetThreadsRun();
    answer = central.PollWrite(1, {0x12, 0x34, 0xFE, 0xFF});
    ASSERT_TRUE(answer) << central.error();
    ASSERT_EQ(answer->body.size(), 3u + 48u);
    EXPECT_EQ(answer->writeStatus, 0);
    EXPECT_EQ(NumberOf(answer->changes[0].value), 4u);
    // A retry sends the same bytes and writes nothing again.
    std::optional<sim::OnlineAnswer> again = central.Repeat();
    ASSERT_TRUE(again) << central.error();
    EXPECT_EQ(again->body, answer->body);
    EXPECT_EQ(korpro_sim::GateValueWrites(), (std::vector<korpro_sim::GateValueWrite>{{kFirstHostId + 1, -2.0}}));

    struct Case {
        uint16_t gate;
        sim::WriteValue value;
        double written;
    };
    const Case cases[] = {
        {0, sim::WriteValue16(0xFFFE, 0x1234), 65534.0},  {2, sim::WriteValue16(40000, 0xFFFF), 40000.0},
        {3, sim::WriteValueFloat(-1.5f), -1.5},           {4, sim::WriteValue32(0xFFFFFFFE), -2.0},
        {5, sim::WriteValue32(0xFFFFFFFE), 4294967294.0}, {6, sim::WriteValue16(7, 0x8000), 7.0},
        {9, sim::WriteValue16(0x8001), -32767.0}};
    for (const Case& c : cases) {
        korpro_sim::ClearGateValueWrites();
        answer = central.PollWrite(c.gate, c.value);
        ASSERT_TRUE(answer) << central.error();
        EXPECT_EQ(answer->writeStatus, 0);
        EXPECT_EQ(korpro_sim::GateValueWrites(),
                  (std::vector<korpro_sim::GateValueWrite>{{uint32_t{kFirstHostId} + c.gate, c.written}}))
            << "gate " << c.gate;
    }

    // valueType 7 writes nothing; a gate number not below the count gets
    // 128; a refused write its result's low byte; the records still follow.
    korpro_sim::ClearGateValueWrites();
    Raise(1, 7);
    LetThreadsRun();
    answer = central.PollWrite(7, sim::WriteValue32(1));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->writeStatus, 0);
    EXPECT_EQ(answer->changes.size(), 1u);
    Raise(1, 8);
    LetThreadsRun();
    answer = central.PollWrite(10, sim::WriteValue32(1));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->writeStatus, 128);
    EXPECT_EQ(answer->changes.size(), 1u);
    EXPECT_TRUE(korpro_sim::GateValueWrites().empty());
    korpro_sim::ForceResult(OnlineCall::PutGateVal, 0x1234);
    answer = central.PollWrite(4, sim::WriteValue32(1));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->writeStatus, 0x34);

    // A wrong length changes neither the sequence nor the previous length.
    EXPECT_EQ(rig.central.Ask({0x4D, 0x77, 0, 0}), (Bytes{0x40}));
    again = central.Repeat();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->body, answer->body);
    EXPECT_EQ(korpro_sim::GateValueWrites().size(), 1u);

    EXPECT_EQ(LinesAt(64),
              (std::vector<LogLine>{
                  {64, "TELDRV> DoTheCom() error, write request (remote) for gate number 10"},
                  {64, "TELDRV> DoTheCom() error, received FE_REQ_CONT_ONLINE request with wrong length (4 i.s.o. 2)"}}));
    EXPECT_EQ(LinesAt(8), (std::vector<LogLine>{kRetry, kRetry}));
}

TEST_F(OnlineTest, AHundredWaitingChangesGoAsSixtyFourAndThirtySix) {
    Install(8, 1024);
    StartOnline();
    for (uint32_t n = 1; n <= 100; ++n) Raise(static_cast<uint16_t>(n % 8), n);
    LetThreadsRun();
    const sim::OnlineAnswer first = Poll();
    const sim::OnlineAnswer second = Poll();
    ASSERT_EQ(first.changes.size(), 64u);
    ASSERT_EQ(second.changes.size(), 36u);
    EXPECT_EQ(first.body.size(), 2u + 64u * 16u);
    EXPECT_EQ(NumberOf(first.changes.back().value), 64u);
    EXPECT_EQ(NumberOf(second.changes.front().value), 65u);
    EXPECT_EQ(NumberOf(second.changes.back().value), 100u);
    EXPECT_TRUE(Poll().changes.empty());
}

TEST_F(OnlineTest, AStopMessageEndsTheThreadAndTheSession) {
    Install(4, 64);
    const uint8_t client = StartOnline();
    LetThreadsRun();  // the session waits for its next request
    korpro_sim::SendMessageToAll(korpro_sim::kMessageStop);
    LetThreadsRun();
    EXPECT_EQ(rig.ctx.onlineThreadRunning, 0);
    // The session ends after the request it is on.
    EXPECT_EQ(rig.central.Station(), (Bytes{0x73, 7, 7, 7}));
    ASSERT_TRUE(rig.WaitSession(30000));
    EXPECT_EQ(rig.sessionResult, SessionResult::kSessionLinkLost);
    EXPECT_EQ(rig.ctx.linkActive, 0);
    EXPECT_EQ(korpro_sim::RemovedClients(), std::vector<uint8_t>{client});
}

// The whole stream: bursts of changes on a small buffer that wraps many
// times, lost answers repeated, remote writes the host reports back; every
// change reaches the central station once and in order.
TEST_F(OnlineTest, EveryChangeArrivesOnceAndInOrderAcrossRetriesAndWraps) {
    constexpr uint16_t kGates = 12;
    Install(kGates, 50, {1});
    StartOnline();
    std::mt19937 random(1207);
    uint32_t raised = 0;
    uint32_t expected = 1;
    std::vector<double> written;
    std::vector<double> echoed;
    auto take = [&](const sim::OnlineAnswer& answer) {
        for (const sim::ReceivedChange& change : answer.changes) {
            if (change.value[4] == 0xA5 && change.value[5] == 0x5A) {
                EXPECT_EQ(NumberOf(change.value), expected);
                EXPECT_EQ(change.stationIndex, expected % kGates);
                ++expected;
            } else {
                double value = 0;
                std::memcpy(&value, change.value.data(), sizeof value);
                echoed.push_back(value);
            }
        }
    };
    for (int round = 0; round < 300; ++round) {
        const uint32_t burst = random() % 45;
        for (uint32_t i = 0; i < burst; ++i, ++raised) Raise(static_cast<uint16_t>((raised + 1) % kGates), raised + 1);
        LetThreadsRun();
        std::optional<sim::OnlineAnswer> answer;
        if (round % 5 == 4) {
            const int16_t value = static_cast<int16_t>(round - 1000);
            written.push_back(value);
            answer = central.PollWrite(static_cast<uint16_t>(round % kGates), sim::WriteValue16(static_cast<uint16_t>(value)));
            ASSERT_TRUE(answer) << central.error();
            EXPECT_EQ(answer->writeStatus, 0);
        } else {
            answer = central.Poll();
            ASSERT_TRUE(answer) << central.error();
        }
        if (round % 7 == 3) {
            // The answer was "lost": the same sequence brings the same records.
            std::optional<sim::OnlineAnswer> again = central.Repeat();
            ASSERT_TRUE(again) << central.error();
            EXPECT_EQ(again->body, answer->body);
        }
        take(*answer);
    }
    LetThreadsRun();
    for (std::optional<sim::OnlineAnswer> answer = central.Poll(); answer && !answer->changes.empty();
         answer = central.Poll()) {
        take(*answer);
    }
    EXPECT_EQ(expected, raised + 1);
    EXPECT_EQ(echoed, written);
    EXPECT_EQ(korpro_sim::GateValueWrites().size(), written.size());
    EXPECT_TRUE(LinesAt(64).empty());
}

}  // namespace
