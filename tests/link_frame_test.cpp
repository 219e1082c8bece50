// Frames on the wire: the driver's Receive and Send against the bytes a
// central station sends and sees.
#include <gtest/gtest.h>

#include "link/frame.h"
#include "tests/link_rig.h"

namespace {

using enum LinkResult;

using korpro_sim::LogLine;
using sim::Bytes;

std::vector<LogLine> Lines() { return korpro_sim::Log(); }

TEST(FrameChecksum, TheTwoExampleFramesCheckByteForByte) {
    EXPECT_EQ(sim::EncodeFrame("FER", 0x0000, {0x61, 0x62, 0x63}),
              (Bytes{0x02, 0x46, 0x45, 0x52, 0x00, 0x00, 0x00, 0x03, 0x10, 0x61, 0x62, 0x63, 0x10, 0x02, 0x3B, 0x03}));
    EXPECT_EQ(sim::EncodeFrame("FEC", 0x1234, {0x53}),
              (Bytes{0x02, 0x46, 0x45, 0x43, 0x12, 0x34, 0x00, 0x01, 0x10, 0x53, 0x10, 0x01, 0x9C, 0x03}));
    const uint8_t header[9] = {0x02, 'F', 'E', 'R', 0x00, 0x00, 0x00, 0x03, 0x10};
    const uint8_t body[3] = {0x61, 0x62, 0x63};
    EXPECT_EQ(FrameChecksum(header, body, 3), 0x023B);
}

class ReceiveTest : public ::testing::Test {
protected:
    // Receive on the test's own thread, with what the central sent already waiting.
    LinkResult ReceiveNow(uint16_t* length = nullptr) {
        uint16_t got = 0xBEEF;
        start = sim::NowMs();
        const LinkResult result = Receive(&rig.ctx, body, &got);
        elapsed = sim::NowMs() - start;
        if (length) *length = got;
        return result;
    }
    LinkRig rig;
    uint8_t body[kMaxBodyLength];
    int64_t start = 0;
    int64_t elapsed = 0;
};

TEST_F(ReceiveTest, AGoodFrameGivesItsBodyAndTag) {
    rig.central.SendBytes(sim::EncodeFrame("FEC", 0x1234, {0x53}));
    uint16_t length = 0;
    EXPECT_EQ(ReceiveNow(&length), kLinkDone);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(body[0], 0x53);
    EXPECT_EQ(rig.ctx.frameTag, 0x1234);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ReceiveTest, NothingSentWaitsTheHeaderTimeOutThenSleeps) {
    rig.ctx.comTimeout = 300;  // 3 s
    uint16_t length = 0xBEEF;
    EXPECT_EQ(ReceiveNow(&length), kLinkFrameFailed);
    EXPECT_EQ(length, 0xBEEF);
    EXPECT_EQ(elapsed, 3000 + 250);
    EXPECT_EQ(Lines(), (std::vector<LogLine>{{64, "TELDRV> Receive() error, reading message header (0/9)"}}));
}

TEST_F(ReceiveTest, ForeignMagicIsAnInvalidHeaderAndTheInputIsDrained) {
    for (const char* magic : {"FER", "XYZ"}) {
        korpro_sim::ClearLog();
        rig.ctx.frameTag = 0x0101;
        rig.central.SendBytes(sim::EncodeFrame(magic, 0x7777, {0x53, 1, 2, 3}));
        EXPECT_EQ(ReceiveNow(), kLinkFrameFailed);
        EXPECT_EQ(rig.ctx.frameTag, 0x0101) << "a header that fails its check teaches no tag";
        EXPECT_EQ(Lines(), (std::vector<LogLine>{{64, "TELDRV> Receive() error, invalid message header"}}));
        EXPECT_TRUE(sim::Locked(rig.line)->toPort.empty()) << magic;
        EXPECT_GE(elapsed, 150);
    }
}

TEST_F(ReceiveTest, BodyLengthLimitIs1280) {
    Bytes longest(1280, 0xA5);
    longest[0] = 0x53;
    rig.central.SendBytes(sim::EncodeFrame("FEC", 1, longest));
    uint16_t length = 0;
    EXPECT_EQ(ReceiveNow(&length), kLinkDone);
    EXPECT_EQ(length, 1280);

    Bytes tooLong(1281, 0xA5);
    rig.central.SendBytes(sim::EncodeFrame("FEC", 2, tooLong));
    EXPECT_EQ(ReceiveNow(), kLinkFrameFailed);
    EXPECT_EQ(Lines(), (std::vector<LogLine>{{64, "TELDRV> Receive() error, message body too long (1281)"}}));
    EXPECT_EQ(elapsed, 250);
    EXPECT_EQ(rig.ctx.frameTag, 2);
}

TEST_F(ReceiveTest, EmptyAndShortBodiesFail) {
    rig.central.SendBytes(sim::EncodeFrame("FEC", 5, {}));
    EXPECT_EQ(ReceiveNow(), kLinkFrameFailed);
    EXPECT_EQ(rig.ctx.frameTag, 5);
    // The frame's own footer waits behind; the caller drains it.
    PurgeInput(rig.ctx.portHandle);

    Bytes frame = sim::EncodeFrame("FEC", 6, {1, 2, 3, 4, 5});
    frame.resize(9 + 3);  // three of five body bytes, then silence
    rig.central.SendBytes(frame);
    EXPECT_EQ(ReceiveNow(), kLinkFrameFailed);
    EXPECT_EQ(elapsed, 500 + 500 + 250) << "a read with bytes, one that times out, then the pause";
    EXPECT_EQ(Lines(), (std::vector<LogLine>{{64, "TELDRV> Receive() error, reading message body (0/0)"},
                                             {64, "TELDRV> Receive() error, reading message body (3/5)"}}));
}

TEST_F(ReceiveTest, FooterFaults) {
    Bytes frame = sim::EncodeFrame("FEC", 9, {0x53});
    frame.pop_back();  // no ETX
    rig.central.SendBytes(frame);
    EXPECT_EQ(ReceiveNow(), kLinkFrameFailed);
    EXPECT_EQ(elapsed, 500 + 500 + 250);

    frame = sim::EncodeFrame("FEC", 9, {0x53});
    frame.back() = 0x04;
    rig.central.SendBytes(frame);
    EXPECT_EQ(ReceiveNow(), kLinkFrameFailed);
    EXPECT_EQ(elapsed, 250);
    EXPECT_EQ(Lines(), (std::vector<LogLine>{{64, "TELDRV> Receive() error, reading message footer (3/4)"},
                                             {64, "TELDRV> Receive() error, invalid message footer"}}));
}

TEST_F(ReceiveTest, ABadChecksumIsReportedAtOnceAndStillTeachesTheTag) {
    Bytes frame = sim::EncodeFrame("FEC", 0x1234, {0x53});  // checksum 019C
    frame[12] = 0x9D;
    rig.central.SendBytes(frame);
    EXPECT_EQ(ReceiveNow(), kLinkFrameFailed);
    EXPECT_EQ(elapsed, 0);
    EXPECT_EQ(rig.ctx.frameTag, 0x1234);

    frame = sim::EncodeFrame("FEC", 0x4321, {0x53});
    frame[11] = 0xFE;
    rig.central.SendBytes(frame);
    EXPECT_EQ(ReceiveNow(), kLinkFrameFailed);
    EXPECT_EQ(rig.ctx.frameTag, 0x4321);
    const uint16_t sum = sim::LinkChecksum(0x4321, {0x53});
    char expected[96];
    std::snprintf(expected, sizeof expected, "TELDRV> Receive() error, invalid message checksum (fe%02xh iso %02x%02xh",
                  sum & 0xFF, sum >> 8, sum & 0xFF);
    EXPECT_EQ(Lines(), (std::vector<LogLine>{{64, "TELDRV> Receive() error, invalid message checksum (019dh iso 019ch"},
                                             {64, expected}}));
}

TEST_F(ReceiveTest, NoCarrierOrNoStatusMeansTheLinkIsGoneUntouched) {
    rig.central.SendBytes(sim::EncodeFrame("FEC", 1, {0x53}));
    rig.wire.Drop();
    const int writesBefore = sim::Locked(rig.line)->timeoutWrites;
    const size_t waiting = sim::Locked(rig.line)->toPort.size();
    EXPECT_EQ(ReceiveNow(), kLinkGone);
    EXPECT_EQ(sim::Locked(rig.line)->timeoutWrites, writesBefore);
    EXPECT_EQ(sim::Locked(rig.line)->toPort.size(), waiting);

    sim::Locked(rig.line)->faults.failModemStatus = 1;
    sim::Locked(rig.line)->faults.modemStatusError = 1167;
    EXPECT_EQ(ReceiveNow(), kLinkGone);
    EXPECT_EQ(Lines(), (std::vector<LogLine>{
                           {64, "TELDRV> Receive() error, modem hung up already"},
                           {32, "TELDRV> Receive() error, getting modem control signals status, err 1167"}}));
}

class SendTest : public ReceiveTest {};

TEST_F(SendTest, AResponseGoesOutAsThreeWritesWithTheLearntTag) {
    rig.ctx.frameTag = 0x0000;
    const uint8_t abc[3] = {0x61, 0x62, 0x63};
    EXPECT_EQ(Send(&rig.ctx, abc, 3), kLinkDone);
    EXPECT_EQ(rig.central.TakeInput(),
              (Bytes{0x02, 0x46, 0x45, 0x52, 0x00, 0x00, 0x00, 0x03, 0x10, 0x61, 0x62, 0x63, 0x10, 0x02, 0x3B, 0x03}));
    int writes = 0;
    {
        const sim::LockedLine line(rig.line);
        for (const sim::LineEvent& event : line->transcript) writes += event.direction == sim::Direction::ToPeer;
    }
    EXPECT_EQ(writes, 3);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(SendTest, WriteFaultsAndALostCarrier) {
    const uint8_t body[5] = {1, 2, 3, 4, 5};
    sim::Locked(rig.line)->faults.writeLimit = 5;
    EXPECT_EQ(Send(&rig.ctx, body, 5), kLinkFrameFailed);
    sim::Locked(rig.line)->faults.writeLimit = -1;
    sim::Locked(rig.line)->faults.failWrites = 1;
    EXPECT_EQ(Send(&rig.ctx, body, 5), kLinkFrameFailed);
    sim::Locked(rig.line)->faults.writeLimit = 3;  // header needs 9
    sim::Locked(rig.line)->faults.writeLimit = -1;
    rig.wire.Drop();
    EXPECT_EQ(Send(&rig.ctx, body, 5), kLinkGone);
    EXPECT_EQ(Lines(), (std::vector<LogLine>{{64, "TELDRV> Send() error, sending message header (5/9)"},
                                             {64, "TELDRV> Send() error, sending message header (0/9)"},
                                             {64, "TELDRV> Send() error, modem hung up already"}}));
}

TEST_F(SendTest, AShortBodyOrFooterIsReportedWithItsCount) {
    const uint8_t body[20] = {};
    // The header goes whole; then the line takes only 7 bytes a write.
    struct Limiter : sim::LinePeer {
        sim::LinePeer* inner;
        sim::Line* line;
        int writes = 0;
        void FromPort(sim::WorldLock& lock, const uint8_t* d, size_t n) override {
            inner->FromPort(lock, d, n);
            if (++writes == 1) line->faults.writeLimit = 7;
        }
        bool CarrierDetect(const sim::WorldLock& lock) override { return inner->CarrierDetect(lock); }
    } limiter;
    limiter.inner = &rig.wire;
    limiter.line = &rig.line;
    sim::Locked(rig.line)->peer = &limiter;
    EXPECT_EQ(Send(&rig.ctx, body, 20), kLinkFrameFailed);
    sim::Locked(rig.line)->faults.writeLimit = -1;
    limiter.writes = 1;
    // Now a whole header and body, and a footer cut to 2 bytes.
    struct FooterCut : sim::LinePeer {
        sim::LinePeer* inner;
        sim::Line* line;
        int writes = 0;
        void FromPort(sim::WorldLock& lock, const uint8_t* d, size_t n) override {
            inner->FromPort(lock, d, n);
            if (++writes == 2) line->faults.writeLimit = 2;
        }
        bool CarrierDetect(const sim::WorldLock& lock) override { return inner->CarrierDetect(lock); }
    } cut;
    cut.inner = &rig.wire;
    cut.line = &rig.line;
    sim::Locked(rig.line)->peer = &cut;
    EXPECT_EQ(Send(&rig.ctx, body, 20), kLinkFrameFailed);
    sim::Locked(rig.line)->peer = &rig.wire;
    EXPECT_EQ(Lines(), (std::vector<LogLine>{{64, "TELDRV> Send() error, sending message body (7/20)"},
                                             {64, "TELDRV> Send() error, sending message footer (2/4)"}}));
}

}  // namespace
