// Request sessions over the simulated line, as the central station sees them.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <vector>

#include "capture/change_buffer.h"
#include "capture/gate_change.h"
#include "link/frame.h"
#include "sim/central_online.h"
#include "tests/link_rig.h"
#include "tests/log_text.h"

namespace {

using korpro_sim::LogLine;
using log_test::LinesAt;
using sim::Bytes;

class SessionTest : public ::testing::Test {
protected:
    LinkRig rig;
};

TEST_F(SessionTest, AWholeSessionOnTheWire) {
    rig.StartSession();
    sim::CentralStation& central = rig.central;

    central.SendRequestTagged(0x1234, {0x53});
    std::string why;
    std::optional<sim::Frame> station = central.ReadResponse(15000, &why);
    ASSERT_TRUE(station) << why;
    // The station's answer, framed with the tag just learnt.
    EXPECT_EQ(sim::EncodeFrame("FER", 0x1234, station->body),
              (Bytes{0x02, 'F', 'E', 'R', 0x12, 0x34, 0x00, 0x04, 0x10, 0x73, 0x07, 0x07, 0x07, 0x10,
                     static_cast<uint8_t>(sim::LinkChecksum(0x1234, {0x73, 7, 7, 7}) >> 8),
                     static_cast<uint8_t>(sim::LinkChecksum(0x1234, {0x73, 7, 7, 7}) & 0xFF), 0x03}));
    EXPECT_EQ(station->body, (Bytes{0x73, 7, 7, 7}));

    const platform::SystemTime utc{2026, 12, 1, 7, 22, 30, 15, 250};
    EXPECT_EQ(central.SyncClock(utc), (Bytes{0x63}));
    ASSERT_EQ(sim::SystemClockSets().size(), 1u);
    EXPECT_EQ(sim::SystemClockSets()[0].wYear, 2026);
    EXPECT_EQ(sim::SystemClockSets()[0].wMinute, 30);
    EXPECT_EQ(sim::SystemClockSets()[0].wMilliseconds, 250);

    EXPECT_EQ(central.Ask({0x53, 0x00}), (Bytes{0x40}));
    EXPECT_EQ(central.Ask({0x44}), (Bytes{0x40}));

    central.SendRequest({0x58});
    std::optional<sim::Frame> bye = central.ReadResponse(15000);
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->body, (Bytes{0x78}));
    const int64_t answeredAt = sim::NowMs();
    ASSERT_TRUE(rig.WaitSession(10000));
    EXPECT_EQ(rig.sessionResult, SessionResult::kSessionHungUp);
    EXPECT_EQ(rig.sessionEndedAt - answeredAt, 3000);

    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  {64, "TELDRV> DoTheCom() error, received FE_REQ_STATION request with wrong length (2 i.s.o. 1)"},
                  {64, "TELDRV> DoTheCom() error, received unknown request 44h"}}));
    // No further request is read after the hang-up: nothing the driver wrote after it.
    EXPECT_TRUE(central.TakeInput().empty());
}

TEST_F(SessionTest, NoStationDefinedAnswers255) {
    rig.ctx.stationNumber = 255;
    rig.StartSession();
    EXPECT_EQ(rig.central.Station(), (Bytes{0x73, 0xFF, 0xFF, 0xFF}));
    rig.central.HangUp();
    ASSERT_TRUE(rig.WaitSession(10000));
}

TEST_F(SessionTest, WrongLengthsAreRejectedWithTheirMessages) {
    rig.StartSession();
    EXPECT_EQ(rig.central.Ask({0x53, 1}), (Bytes{0x40}));
    EXPECT_EQ(rig.central.Ask(Bytes(16, 0x43)), (Bytes{0x40}));
    EXPECT_EQ(rig.central.Ask({0x58, 0}), (Bytes{0x40}));
    EXPECT_EQ(rig.central.Ask({0x41}), (Bytes{0x40}));
    EXPECT_TRUE(sim::SystemClockSets().empty());
    // A rejected hang-up does not end the session.
    EXPECT_EQ(rig.central.Station(), (Bytes{0x73, 7, 7, 7}));
    rig.central.HangUp();
    ASSERT_TRUE(rig.WaitSession(10000));
    EXPECT_EQ(rig.sessionResult, SessionResult::kSessionHungUp);
    EXPECT_EQ(
        LinesAt(64),
        (std::vector<LogLine>{
            {64, "TELDRV> DoTheCom() error, received FE_REQ_STATION request with wrong length (2 i.s.o. 1)"},
            {64, "TELDRV> DoTheCom() error, received FE_REQ_SYNC_CLOCK request with wrong length (16 i.s.o. 17)"},
            {64, "TELDRV> DoTheCom() error, received FE_REQ_HANG_UP request with wrong length (2 i.s.o. 1)"},
            {64, "TELDRV> DoTheCom() error, received unknown request 41h"}}));
}

TEST_F(SessionTest, AClockTheMachineRefusesIsStillAnsweredC) {
    sim::FailSystemClock(1314);
    rig.StartSession();
    EXPECT_EQ(rig.central.SyncClock({2026, 12, 1, 7, 22, 30, 15, 0}), (Bytes{0x63}));
    EXPECT_EQ(rig.central.SyncClock({2026, 13, 1, 7, 22, 30, 15, 0}), (Bytes{0x63}));
    rig.central.HangUp();
    ASSERT_TRUE(rig.WaitSession(10000));
    EXPECT_EQ(LinesAt(64), (std::vector<LogLine>{{64, "TELDRV> DoTheCom() error, setting system clock, err 1314"},
                                                 {64, "TELDRV> DoTheCom() error, setting system clock, err 87"}}));
}

TEST_F(SessionTest, LosingTheLinkEndsTheSessionAtOnceWithOne) {
    rig.ctx.onlineActive = 1;
    rig.StartSession();
    EXPECT_EQ(rig.central.Station(), (Bytes{0x73, 7, 7, 7}));
    platform::Sleep(2000);
    rig.wire.Drop();
    ASSERT_TRUE(rig.WaitSession(60000));
    EXPECT_EQ(rig.sessionResult, SessionResult::kSessionLinkLost);
    EXPECT_EQ(rig.ctx.linkActive, 0);
    EXPECT_EQ(rig.ctx.onlineActive, 0);
    // The header read in progress times out (10 s), then the carrier check ends it: no 3 s pause.
    EXPECT_LE(rig.sessionEndedAt, 2000 + 10000 + 250 + 1);
    EXPECT_EQ(LinesAt(64).back().text, "TELDRV> Receive() error, modem hung up already");
}

TEST_F(SessionTest, ABadFrameGetsNoAnswerAndTheNextGoodOneIsServed) {
    rig.StartSession();
    Bytes bad = sim::EncodeFrame("FEC", 0x2222, {0x53});
    bad[10] ^= 0xFF;
    rig.central.SendBytes(bad);
    std::string why;
    EXPECT_FALSE(rig.central.ReadResponse(5000, &why));
    EXPECT_EQ(rig.ctx.frameTag, 0x2222);
    rig.central.SendRequestTagged(0x2223, {0x53});
    std::optional<sim::Frame> good = rig.central.ReadResponse(5000);
    ASSERT_TRUE(good);
    EXPECT_EQ(good->tag, 0x2223);
    EXPECT_EQ(good->body, (Bytes{0x73, 7, 7, 7}));
    rig.central.HangUp();
    ASSERT_TRUE(rig.WaitSession(10000));
}

// A continue request that repeats the last sequence byte gets the last answer
// again, without a second drain; a new sequence byte drains again.
TEST_F(SessionTest, TheSameRequestIsAnsweredWithTheSameBytes) {
    std::vector<GateChange> storage(8);
    int16_t idMap[3] = {-1, 0, 1};
    rig.ctx.changeBuffer = storage.data();
    rig.ctx.changeCapacity = 8;
    rig.ctx.gateIdMap = idMap;
    rig.ctx.gateIdMapSize = 3;
    AddInBuffer(&rig.ctx, 1, 1, 0x11223344, 0, 0, 0);
    const Bytes firstRecord = {0x00, 0x80, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    rig.StartSession();
    Bytes expected = {0x6D, 0x00};
    expected.insert(expected.end(), firstRecord.begin(), firstRecord.end());
    rig.central.SendRequestTagged(0x0042, sim::ContOnlineRequest(5));
    std::optional<sim::Frame> first = rig.central.ReadResponse(5000);
    AddInBuffer(&rig.ctx, 2, 0, 7, 0, 0, 0);
    rig.central.SendRequestTagged(0x0042, sim::ContOnlineRequest(5));
    std::optional<sim::Frame> second = rig.central.ReadResponse(5000);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->body, expected);
    EXPECT_EQ(sim::EncodeFrame("FER", first->tag, first->body), sim::EncodeFrame("FER", second->tag, second->body));
    EXPECT_EQ(LinesAt(8), (std::vector<LogLine>{{8, "TELDRV> info, retry sent"}}));

    EXPECT_EQ(rig.central.Ask(sim::ContOnlineRequest(6)),
              (Bytes{0x6D, 0x00, 0x01, 0x00, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    rig.central.HangUp();
    ASSERT_TRUE(rig.WaitSession(10000));
}

// A wrong checksum costs the frame and nothing more: the session purges the
// line and reads at once, with none of the 150 or 250 ms pauses of the other
// frame failures, so a frame sent just after the log line is served (during
// a pause it would arrive before the purge and be lost).
TEST_F(SessionTest, AChecksumFailureIsLoggedAndTheNextFrameIsReadWithoutAPause) {
    rig.StartSession();
    const uint16_t checksum = sim::LinkChecksum(0x2222, {0x53});
    Bytes bad = sim::EncodeFrame("FEC", 0x2222, {0x53});
    ASSERT_EQ(bad[11], checksum >> 8);
    bad[11] ^= 0xFF;
    rig.central.SendBytes(bad);
    char text[96];
    std::snprintf(text, sizeof text, "TELDRV> Receive() error, invalid message checksum (%02x%02xh iso %02x%02xh",
                  (checksum >> 8) ^ 0xFF, checksum & 0xFF, checksum >> 8, checksum & 0xFF);
    const int64_t until = sim::NowMs() + 5000;
    while (LinesAt(64).empty() && sim::NowMs() < until) platform::Sleep(1);
    EXPECT_EQ(LinesAt(64), (std::vector<LogLine>{{64, text}}));
    const int64_t sent = sim::NowMs();
    rig.central.SendRequestTagged(0x2223, {0x53});
    std::optional<sim::Frame> answer = rig.central.ReadResponse(5000);
    const int64_t took = sim::NowMs() - sent;
    rig.central.HangUp();
    ASSERT_TRUE(rig.WaitSession(10000));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->tag, 0x2223);
    EXPECT_LT(took, 100);
    EXPECT_EQ(LinesAt(64)[0], (LogLine{64, text}));
}

// Random bytes, truncated and mutated frames between good requests: the
// session keeps its footing and answers every good request that follows.
TEST_F(SessionTest, NoiseNeverStopsTheSessionFromAnsweringGoodFrames) {
    rig.StartSession();
    std::mt19937 random(20261207);
    const Bytes good = sim::EncodeFrame("FEC", 0x0100, {0x53});
    for (int round = 0; round < 60; ++round) {
        Bytes noise;
        switch (round % 4) {
            case 0: noise.resize(random() % 40); for (auto& b : noise) b = static_cast<uint8_t>(random()); break;
            case 1: noise = good; noise.resize(random() % good.size()); break;
            case 2: noise = good; noise[random() % noise.size()] ^= static_cast<uint8_t>(1 + random() % 255); break;
            case 3: noise = sim::EncodeFrame("FEC", 7, Bytes(random() % 1400, static_cast<uint8_t>(random()))); break;
        }
        rig.central.SendBytes(noise);
        // Let the driver finish with whatever the noise started: a partial
        // header costs two header time-outs, a partial body or footer two of 500 ms.
        platform::Sleep(25000);
        rig.central.TakeInput();
        const uint16_t tag = static_cast<uint16_t>(0x3000 + round);
        rig.central.SendRequestTagged(tag, {0x53});
        std::optional<sim::Frame> answer = rig.central.ReadResponse(15000);
        ASSERT_TRUE(answer) << "round " << round;
        EXPECT_EQ(answer->tag, tag);
        EXPECT_EQ(answer->body, (Bytes{0x73, 7, 7, 7}));
    }
    rig.central.HangUp();
    ASSERT_TRUE(rig.WaitSession(10000));
}

}  // namespace
