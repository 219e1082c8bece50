// History transfer over the simulated line, as the central station and the
// simulated host's history files see it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "calls/auto_answer.h"
#include "sim/central_history.h"
#include "sim/korpro_history.h"
#include "sim/modem.h"
#include "tests/link_rig.h"
#include "tests/log_text.h"
#include "tests/test_port_settings.h"

namespace {

using korpro_sim::HistoryEntry;
using korpro_sim::LogLine;
using log_test::LinesAt;
using sim::Bytes;

constexpr int32_t kT0 = static_cast<int32_t>(sim::kEpochSeconds);  // the rig's calendar time at its start

// Host gate ids of the station's gates and their station indices; every other
// id below the map's size maps to -1.
constexpr uint16_t kMapSize = 300;
const std::vector<std::pair<uint16_t, int16_t>> kStationGates = {{100, 0}, {101, 1}, {250, 517}, {7, 3}};

struct GateMap {
    GateMap() {
        map = static_cast<int16_t*>(std::malloc(kMapSize * sizeof(int16_t)));
        for (uint16_t i = 0; i < kMapSize; ++i) map[i] = -1;
        for (auto [id, index] : kStationGates) map[id] = index;
    }
    ~GateMap() { std::free(map); }
    int16_t* map;
};

int16_t IndexOf(uint16_t id) {
    for (auto [gate, index] : kStationGates) {
        if (gate == id) return index;
    }
    return -1;
}

bool IsStationGate(uint16_t id) { return IndexOf(id) != -1; }

HistoryEntry Entry(uint16_t gateId, int32_t time, uint32_t n) {
    return {gateId, korpro_sim::ValuePayload(time, static_cast<uint16_t>(n & 0xFFFF), static_cast<uint16_t>(n >> 16),
                                             0.5 + n),
            time};
}

// The continue answer the central must see for these host records.
Bytes Answer(uint8_t status, const std::vector<HistoryEntry>& records) {
    Bytes out = {0x74, status};
    for (const HistoryEntry& e : records) {
        const uint16_t index = static_cast<uint16_t>(IndexOf(e.gateId));
        out.push_back(static_cast<uint8_t>(index & 0xFF));
        out.push_back(static_cast<uint8_t>(index >> 8));
        out.insert(out.end(), e.payload.begin(), e.payload.end());
    }
    return out;
}

class HistoryTest : public ::testing::Test {
protected:
    HistoryTest() {
        rig.ctx.gateIdMap = gates.map;
        rig.ctx.gateIdMapSize = kMapSize;
    }
    void HangUp() {
        EXPECT_EQ(rig.central.HangUp(), (Bytes{0x78}));
        ASSERT_TRUE(rig.WaitSession(10000));
    }

    GateMap gates;  // outlives the rig's session
    LinkRig rig;
    sim::CentralStation& central = rig.central;
};

TEST_F(HistoryTest, OneBatchCarriesItsStationGateRecordsAndTheWindowThenEnds) {
    // 56 host records: 3 of station gates, the rest of gates without a station
    // index, at or beyond the map's size, or beyond any map.
    std::vector<HistoryEntry> batch;
    std::vector<HistoryEntry> wanted;
    const uint16_t others[] = {5, 299, 300, 301, 65535, 1000};
    for (uint32_t n = 0; n < 56; ++n) {
        const uint16_t id = n == 3 ? 250 : n == 17 ? 7 : n == 55 ? 100 : others[n % 6];
        batch.push_back(Entry(id, kT0 - 600 + static_cast<int32_t>(n), n));
        if (IsStationGate(id)) wanted.push_back(batch.back());
    }
    korpro_sim::AddHistory(batch);
    // Outside the window: before its start, and later than now + 1800 s.
    korpro_sim::AddHistory(Entry(100, kT0 - 601, 900));
    korpro_sim::AddHistory(Entry(101, kT0 + 1801, 901));

    rig.StartSession();
    const int32_t now = sim::CalendarSeconds();
    EXPECT_EQ(sim::StartHistory(central, kT0 - 600), (Bytes{0x68, 0x00}));
    const auto filter = korpro_sim::LastHistoryFilter();
    ASSERT_TRUE(filter);
    EXPECT_EQ(filter->gates, 65535u);
    EXPECT_EQ(filter->startTime, static_cast<uint32_t>(kT0 - 600));
    EXPECT_EQ(filter->endTime, static_cast<uint32_t>(now + 1800));
    EXPECT_EQ(filter->reserved, 0);

    std::optional<Bytes> first = sim::ContHistory(central, 1);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 2u + 54u);
    EXPECT_EQ(*first, Answer(0, wanted));
    EXPECT_EQ(korpro_sim::LastHistoryReadCount(), 56u);
    EXPECT_EQ(sim::ContHistory(central, 2), (Bytes{0x74, 0x00}));
    EXPECT_EQ(korpro_sim::HistoryReadCalls(), 2);
    EXPECT_TRUE(korpro_sim::Log().empty());

    const std::vector<uint32_t> open = korpro_sim::OpenHistoryHandles();
    ASSERT_EQ(open.size(), 1u);
    HangUp();
    EXPECT_TRUE(korpro_sim::OpenHistoryHandles().empty());
    EXPECT_EQ(korpro_sim::HistoryCloseCalls(), open);
}

TEST_F(HistoryTest, BatchesWithoutStationGatesAreReadWithinOneRequest) {
    std::vector<HistoryEntry> files;
    for (uint32_t n = 0; n < 3 * 56 + 10; ++n) files.push_back(Entry(static_cast<uint16_t>(20 + n % 50), kT0, n));
    files.push_back(Entry(101, kT0, 1000));
    files.push_back(Entry(7, kT0, 1001));
    for (uint32_t n = 0; n < 60; ++n) files.push_back(Entry(400, kT0, 2000 + n));
    files.push_back(Entry(100, kT0 + 5, 3000));
    korpro_sim::AddHistory(files);

    rig.StartSession();
    EXPECT_EQ(sim::StartHistory(central, kT0), (Bytes{0x68, 0x00}));
    EXPECT_EQ(sim::ContHistory(central, 9), Answer(0, {files[178], files[179]}));
    EXPECT_EQ(korpro_sim::HistoryReadCalls(), 4);
    // The rest of the fourth batch went with it; the next answer starts after it.
    EXPECT_EQ(sim::ContHistory(central, 10), Answer(0, {files.back()}));
    EXPECT_EQ(sim::ContHistory(central, 11), (Bytes{0x74, 0x00}));
    EXPECT_EQ(korpro_sim::HistoryReadCalls(), 6);

    // Without a gate map nothing is a station gate.
    rig.ctx.gateIdMap = nullptr;
    EXPECT_EQ(sim::StartHistory(central, kT0), (Bytes{0x68, 0x00}));
    EXPECT_EQ(sim::ContHistory(central, 1), (Bytes{0x74, 0x00}));
    HangUp();
    EXPECT_TRUE(korpro_sim::Log().empty());
}

TEST_F(HistoryTest, RetriesResendThePreviousAnswerWithoutReading) {
    std::vector<HistoryEntry> files;
    for (uint32_t n = 0; n < 20; ++n) files.push_back(Entry(n % 2 ? 100 : 250, kT0, n));
    korpro_sim::LimitHistoryBatch(4);
    korpro_sim::AddHistory(files);

    rig.StartSession();
    EXPECT_EQ(sim::StartHistory(central, kT0), (Bytes{0x68, 0x00}));
    // Right after a start, sequence 0 is a repetition: code, then the 2-byte
    // previous length as the buffer stands (the start answer's status).
    EXPECT_EQ(sim::ContHistory(central, 0), (Bytes{0x74, 0x00}));
    EXPECT_EQ(korpro_sim::HistoryReadCalls(), 0);
    // A wrong length changes no sequence state: 0 is still a repetition.
    EXPECT_EQ(central.Ask({0x54}), (Bytes{0x40}));
    EXPECT_EQ(central.Ask({0x54, 0, 0}), (Bytes{0x40}));
    EXPECT_EQ(sim::ContHistory(central, 0), (Bytes{0x74, 0x00}));

    const Bytes first = Answer(0, {files[0], files[1], files[2], files[3]});
    EXPECT_EQ(sim::ContHistory(central, 0x80), first);
    EXPECT_EQ(sim::ContHistory(central, 0x80), first);
    EXPECT_EQ(sim::ContHistory(central, 0x80), first);
    EXPECT_EQ(korpro_sim::HistoryReadCalls(), 1);
    EXPECT_EQ(sim::ContHistory(central, 0x81), Answer(0, {files[4], files[5], files[6], files[7]}));
    // A shorter answer after a longer one: the repetition is as short.
    korpro_sim::LimitHistoryBatch(1);
    EXPECT_EQ(sim::ContHistory(central, 0x82), Answer(0, {files[8]}));
    EXPECT_EQ(sim::ContHistory(central, 0x82), Answer(0, {files[8]}));
    EXPECT_EQ(korpro_sim::HistoryReadCalls(), 3);
    HangUp();

    EXPECT_EQ(LinesAt(8), std::vector<LogLine>(5, LogLine{8, "TELDRV> info, his retry sent"}));
    EXPECT_EQ(LinesAt(64),
              (std::vector<LogLine>{
                  {64, "TELDRV> DoTheCom() error, received FE_REQ_CONT_HISTORY request with wrong length (1 i.s.o. 2)"},
                  {64, "TELDRV> DoTheCom() error, received FE_REQ_CONT_HISTORY request with wrong length (3 i.s.o. 2)"}}));
}

// One sequence byte and one previous length serve both continue requests.
TEST_F(HistoryTest, TheOnlineContinueSharesTheSequenceByte) {
    const std::vector<HistoryEntry> files = {Entry(100, kT0, 1), Entry(250, kT0, 2)};
    korpro_sim::AddHistory(files);
    rig.StartSession();
    EXPECT_EQ(sim::StartHistory(central, kT0), (Bytes{0x68, 0x00}));
    const Bytes history = Answer(0, files);
    EXPECT_EQ(sim::ContHistory(central, 4), history);

    Bytes online = history;
    online[0] = 0x6D;
    EXPECT_EQ(central.Ask({0x4D, 4}), online);
    EXPECT_EQ(sim::ContHistory(central, 4), history);
    EXPECT_EQ(korpro_sim::HistoryReadCalls(), 1);
    HangUp();
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{{8, "TELDRV> info, retry sent"},
                                                        {8, "TELDRV> info, his retry sent"}}));
}

TEST_F(HistoryTest, RefusedOpenAndContinueWithoutOpenFiles) {
    korpro_sim::AddHistory(Entry(100, kT0, 1));
    rig.StartSession();
    EXPECT_EQ(central.Ask({0x48}), (Bytes{0x40}));
    EXPECT_EQ(central.Ask({0x48, 0, 0, 0, 0, 0}), (Bytes{0x40}));
    EXPECT_EQ(korpro_sim::HistoryOpenCalls(), 0);
    // Before any start, a continue finds no open files.
    EXPECT_EQ(sim::ContHistory(central, 0), (Bytes{0x74, 0xFF}));

    korpro_sim::FailHistoryOpen(0x0103);
    EXPECT_EQ(sim::StartHistory(central, kT0), (Bytes{0x68, 0x03}));
    EXPECT_TRUE(korpro_sim::OpenHistoryHandles().empty());
    EXPECT_EQ(sim::ContHistory(central, 5), (Bytes{0x74, 0xFF}));
    EXPECT_EQ(sim::ContHistory(central, 5), (Bytes{0x74, 0xFF}));
    EXPECT_EQ(korpro_sim::HistoryReadCalls(), 0);
    HangUp();
    EXPECT_TRUE(korpro_sim::HistoryCloseCalls().empty());

    const LogLine closed{64, "TELDRV> DoTheCom() error, received FE_REQ_CONT_HISTORY request but VFI handle closed"};
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  {64, "TELDRV> DoTheCom() error, received FE_REQ_START_HISTORY request with wrong length (1 i.s.o. 5)"},
                  {64, "TELDRV> DoTheCom() error, received FE_REQ_START_HISTORY request with wrong length (6 i.s.o. 5)"},
                  closed,
                  {64, "TELDRV> DoTheCom() open history files failed, Kor5VfiOpen() rc 259"},
                  closed,
                  closed}));
}

TEST_F(HistoryTest, AFailedReadAnswersItsStatusAndTheNextRequestGoesOn) {
    std::vector<HistoryEntry> files;
    for (uint32_t n = 0; n < 56; ++n) files.push_back(Entry(30, kT0, n));
    files.push_back(Entry(101, kT0, 100));
    korpro_sim::AddHistory(files);
    korpro_sim::FailHistoryReadAfter(1, 0x0207);

    rig.StartSession();
    EXPECT_EQ(sim::StartHistory(central, kT0), (Bytes{0x68, 0x00}));
    EXPECT_EQ(sim::ContHistory(central, 1), (Bytes{0x74, 0x07}));
    EXPECT_EQ(sim::ContHistory(central, 1), (Bytes{0x74, 0x07}));
    EXPECT_EQ(sim::ContHistory(central, 2), Answer(0, {files.back()}));
    HangUp();
    EXPECT_EQ(LinesAt(64), (std::vector<LogLine>{
                               {64, "TELDRV> DoTheCom() reading histy. files failed, Kor5VfiRead() rc 519"}}));
}

TEST_F(HistoryTest, ANewStartGivesUpTheEarlierWindowAndTheSessionEndClosesTheLast) {
    for (uint32_t n = 0; n < 10; ++n) korpro_sim::AddHistory(Entry(100, kT0 + static_cast<int32_t>(n), n));
    rig.StartSession();
    EXPECT_EQ(sim::StartHistory(central, kT0), (Bytes{0x68, 0x00}));
    const std::vector<uint32_t> first = korpro_sim::OpenHistoryHandles();
    ASSERT_EQ(first.size(), 1u);
    korpro_sim::LimitHistoryBatch(3);
    EXPECT_EQ(sim::ContHistory(central, 1).value_or(Bytes{}).size(), 2u + 3 * 18);

    // The new window starts afresh at its own start time.
    EXPECT_EQ(sim::StartHistory(central, kT0 + 8), (Bytes{0x68, 0x00}));
    const std::vector<uint32_t> second = korpro_sim::OpenHistoryHandles();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second, first);
    EXPECT_EQ(korpro_sim::HistoryCloseCalls(), first);
    EXPECT_EQ(sim::ContHistory(central, 1),
              Answer(0, {Entry(100, kT0 + 8, 8), Entry(100, kT0 + 9, 9)}));

    // A refused open still gives up the window before it.
    korpro_sim::FailHistoryOpen(0x0103);
    EXPECT_EQ(sim::StartHistory(central, kT0), (Bytes{0x68, 0x03}));
    EXPECT_TRUE(korpro_sim::OpenHistoryHandles().empty());
    EXPECT_EQ(korpro_sim::HistoryCloseCalls(), (std::vector<uint32_t>{first[0], second[0]}));
    korpro_sim::FailHistoryOpen(0);

    // Open files the link drops with are closed as the session ends.
    EXPECT_EQ(sim::StartHistory(central, kT0), (Bytes{0x68, 0x00}));
    const std::vector<uint32_t> third = korpro_sim::OpenHistoryHandles();
    rig.wire.Drop();
    ASSERT_TRUE(rig.WaitSession(60000));
    EXPECT_EQ(rig.sessionResult, SessionResult::kSessionLinkLost);
    EXPECT_TRUE(korpro_sim::OpenHistoryHandles().empty());
    EXPECT_EQ(korpro_sim::HistoryCloseCalls(), (std::vector<uint32_t>{first[0], second[0], third[0]}));
}

// Several thousand host records collected over a line that loses requests and
// answers: every station-gate record of the window arrives once, in order.
TEST_F(HistoryTest, AWholeWindowSurvivesALossyLine) {
    std::mt19937 random(8);
    std::vector<HistoryEntry> files;
    std::vector<sim::HistoryRecordOnWire> wanted;
    const uint16_t ids[] = {100, 101, 250, 7, 5, 299, 300, 4000};
    int32_t time = kT0 - 3600;
    for (uint32_t n = 0; n < 6000; ++n) {
        // Long stretches of foreign gates now and then, so that some answers
        // read several batches.
        const bool quiet = (n / 400) % 3 == 1;
        const uint16_t id = quiet ? 4000 : ids[random() % 8];
        if (random() % 4 == 0) ++time;
        files.push_back(Entry(id, time, n));
        if (IsStationGate(id)) wanted.push_back({static_cast<uint16_t>(IndexOf(id)), files.back().payload});
    }
    korpro_sim::AddHistory(files);
    ASSERT_GT(wanted.size(), 1500u);

    rig.StartSession();
    sim::HistoryCollectOptions options;
    options.timeoutMs = 3000;
    size_t lostRequests = 0, lostAnswers = 0;
    options.loseRequest = [&](int frame) { return frame > 0 && frame % 7 == 3 && ++lostRequests; };
    options.loseAnswer = [&](int frame) { return frame % 5 == 2 && ++lostAnswers; };
    const sim::HistoryCollection got = sim::CollectHistory(central, static_cast<uint32_t>(kT0 - 3600), options);
    EXPECT_TRUE(got.complete) << got.error;
    EXPECT_GT(got.repetitions, 20);
    EXPECT_EQ(got.records.size(), wanted.size());
    EXPECT_TRUE(got.records == wanted);
    HangUp();
    EXPECT_TRUE(korpro_sim::OpenHistoryHandles().empty());
    EXPECT_EQ(korpro_sim::HistoryCloseCalls().size(), 1u);
    // Each lost answer makes the driver see one repetition; each lost request
    // is one bad frame.
    EXPECT_EQ(LinesAt(8), std::vector<LogLine>(lostAnswers, LogLine{8, "TELDRV> info, his retry sent"}));
    EXPECT_EQ(LinesAt(64).size(), lostRequests);
}

// The same over the modem: the central calls, the auto-answer thread answers
// and serves the session, and the host goes on writing history meanwhile.
TEST(HistoryOverModem, ACalledStationDeliversItsWholeWindow) {
    SimEnvironment env;
    sim::Line& line = sim::CreateLine("SIM1");
    sim::Modem modem(line);
    sim::CentralStation central;
    GateMap gates;
    StationContext ctx{};
    SetContextDefaults(&ctx);
    std::strcpy(ctx.portName, "SIM1");
    ASSERT_EQ(OpenPort("SIM1", test_port::kSettings, kPortOptionsDriver, &ctx.portHandle), PortResult::kPortOk);
    ctx.gateIdMap = gates.map;
    ctx.gateIdMapSize = kMapSize;
    stopFlag = 0;

    std::mt19937 random(44);
    std::vector<sim::HistoryRecordOnWire> wanted;
    const uint16_t ids[] = {100, 101, 250, 7, 5, 299, 300, 4000, 4001, 4002};
    std::vector<HistoryEntry> files;
    for (uint32_t n = 0; n < 4000; ++n) {
        const uint16_t id = ids[random() % 10];
        files.push_back(Entry(id, kT0 - 7200 + static_cast<int32_t>(n), n));
        if (IsStationGate(id)) wanted.push_back({static_cast<uint16_t>(IndexOf(id)), files.back().payload});
    }
    korpro_sim::AddHistory(files);

    ASSERT_EQ(platform::StartThread([](void* c) { AutoAnswerThread(static_cast<StationContext*>(c)); }, &ctx,
                                    kAutoAnswerStackSize),
              0);
    for (int i = 0; i < 100 && modem.SRegister(0) != 1; ++i) platform::Sleep(100);
    ASSERT_EQ(modem.SRegister(0), 1);
    modem.Ring(central);
    ASSERT_TRUE(central.WaitConnected(60000));
    platform::Sleep(500);

    sim::HistoryCollectOptions options;
    options.timeoutMs = 3000;
    uint32_t written = 0;
    options.loseRequest = [&](int frame) { return frame % 11 == 6; };
    options.loseAnswer = [&](int frame) {
        // A station gate changes now and then while the window is read.
        if (frame % 4 == 0) {
            const int32_t now = sim::CalendarSeconds();
            korpro_sim::RecordGateValue(101, 7.25 + written, now);
            wanted.push_back({1, korpro_sim::ValuePayload(now, 0, 0, 7.25 + written)});
            ++written;
        }
        return frame % 9 == 4;
    };
    const sim::HistoryCollection got = sim::CollectHistory(central, static_cast<uint32_t>(kT0 - 7200), options);
    EXPECT_TRUE(got.complete) << got.error;
    EXPECT_GT(got.repetitions, 10);
    EXPECT_GT(written, 10u);
    EXPECT_EQ(got.records.size(), wanted.size());
    EXPECT_TRUE(got.records == wanted);
    EXPECT_EQ(central.HangUp(), (Bytes{0x78}));
    platform::Sleep(5000);
    EXPECT_TRUE(korpro_sim::OpenHistoryHandles().empty());
    EXPECT_EQ(korpro_sim::HistoryCloseCalls().size(), 1u);

    stopFlag = 1;
    for (int i = 0; i < 300 && LoadShared(ctx.answerThreadRunning) != 0; ++i) platform::Sleep(100);
    EXPECT_EQ(LoadShared(ctx.answerThreadRunning), 0);
    ClosePort(ctx.portHandle);
}

}  // namespace
