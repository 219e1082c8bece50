// The modem dialogue against the simulated modem: the bytes and DTR changes
// on the wire, the replies, the log lines and the virtual time taken.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serial/modem.h"
#include "serial/port.h"
#include "sim/modem.h"
#include "tests/sim_environment.h"
#include "tests/test_port_settings.h"

namespace {

using enum ModemResult;
using enum PortResult;

using korpro_sim::LogLine;

// What the port sent, with DTR changes as <DTR0>/<DTR1>.
std::string Wire(const sim::Line& line, sim::Direction direction = sim::Direction::ToPeer) {
    sim::WorldLock lock(sim::WorldMutex());
    std::string text;
    for (const sim::LineEvent& event : line.transcript) {
        if (event.direction == sim::Direction::Dtr && direction == sim::Direction::ToPeer) {
            text += event.bytes[0] ? "<DTR1>" : "<DTR0>";
        } else if (event.direction == direction) {
            text.append(event.bytes.begin(), event.bytes.end());
        }
    }
    return text;
}

class Callee : public sim::Party {
public:
    void Connected(sim::WorldLock&, sim::Connection& c) override { connection = &c; }
    void FromDriver(sim::WorldLock&, const uint8_t* data, size_t size) override { got.append(data, data + size); }
    void Disconnected(sim::WorldLock&) override { connection = nullptr; }
    sim::Connection* connection = nullptr;
    std::string got;
};

// A far end that only shows a carrier: no modem behind it.
class CarrierOnly : public sim::LinePeer {
public:
    void FromPort(sim::WorldLock&, const uint8_t*, size_t) override {}
    bool CarrierDetect(const sim::WorldLock&) override { return carrier; }
    bool carrier = false;
};

struct ModemTest : ::testing::Test {
    SimEnvironment env;
    sim::Line& line = sim::CreateLine("SIM1");
    StationContext ctx{};

    void SetUp() override {
        SetContextDefaults(&ctx);
        std::strcpy(ctx.portName, "SIM1");
        ASSERT_EQ(OpenPort("SIM1", test_port::kSettings, kPortOptionsDriver, &ctx.portHandle), kPortOk);
    }
    void TearDown() override { ClosePort(ctx.portHandle); }
    void Give(const std::string& text) {
        sim::WorldLock lock(sim::WorldMutex());
        sim::SendToPort(lock, line, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    std::vector<LogLine> Errors(std::initializer_list<std::string> texts) {
        std::vector<LogLine> lines;
        for (const std::string& text : texts) lines.push_back({32, text});
        return lines;
    }
};

TEST_F(ModemTest, SendModemCmdAppendsOneCrDrainsFirstAndLeavesTheTimeOutAt15s) {
    CarrierOnly peer;
    sim::Locked(line)->peer = &peer;
    Give("stale");
    int64_t start = sim::NowMs();
    EXPECT_EQ(SendModemCmd(ctx.portHandle, "ATH0"), kModemOk);
    EXPECT_EQ(sim::NowMs() - start, 150);  // 50 ms to drain, 100 ms pause
    EXPECT_TRUE(sim::Locked(line)->toPort.empty());
    EXPECT_EQ(sim::Locked(line)->timeouts.ReadTotalTimeoutConstant, 1500u);
    EXPECT_EQ(SendModemCmd(ctx.portHandle, "ATZ\r"), kModemOk);
    EXPECT_EQ(Wire(line), "ATH0\rATZ\r");
    EXPECT_EQ(sim::Locked(line)->transcript.size(), 4u);  // "stale", "ATH0", CR, "ATZ\r"

    // The escape: DTR low 1.5 s, "+++" without CR, 1.6 s of silence; no drain.
    sim::Locked(line)->transcript.clear();
    Give("junk");
    start = sim::NowMs();
    EXPECT_EQ(SendModemCmd(ctx.portHandle, "+++"), kModemOk);
    EXPECT_EQ(sim::NowMs() - start, 3100);
    EXPECT_EQ(Wire(line), "<DTR0><DTR1>+++");
    EXPECT_EQ(sim::Locked(line)->transcript[1].timeMs - start, 0);
    EXPECT_EQ(sim::Locked(line)->transcript[2].timeMs - start, 1500);
    EXPECT_EQ(sim::Locked(line)->transcript[3].timeMs - start, 1500);
    EXPECT_EQ(sim::Locked(line)->toPort.size(), 4u);

    sim::Locked(line)->faults.failWrites = 1;
    EXPECT_EQ(SendModemCmd(ctx.portHandle, "ATH0"), kModemFailed);
    sim::Locked(line)->faults.writeLimit = 3;
    EXPECT_EQ(SendModemCmd(ctx.portHandle, "ATH0"), kModemFailed);
    sim::Locked(line)->faults.writeLimit = 0;
    EXPECT_EQ(SendModemCmd(ctx.portHandle, ""), kModemFailed);  // the CR went nowhere
}

TEST_F(ModemTest, WaitModemOkReadsTheEchoAndOkAndNothingElse) {
    sim::Modem modem(line);
    for (const char* command : {"ATH0", "ATH0\r"}) {
        ASSERT_EQ(SendModemCmd(ctx.portHandle, command), kModemOk);
        EXPECT_EQ(WaitModemOk(ctx.portHandle, command), kModemOk) << command;
        EXPECT_TRUE(sim::Locked(line)->toPort.empty());  // exactly 11 bytes both times
    }
    EXPECT_EQ(Wire(line, sim::Direction::ToPort), "ATH0\r\r\nOK\r\nATH0\r\r\nOK\r\n");

    // An error reply of the full length holds no "OK".
    modem.SetFaults({false, true});
    SendModemCmd(ctx.portHandle, "ATS0=1");
    int64_t start = sim::NowMs();
    EXPECT_EQ(WaitModemOk(ctx.portHandle, "ATS0=1"), kModemFailed);
    EXPECT_EQ(sim::NowMs(), start);

    // Echo off: six bytes, then a whole time-out without more.
    modem.SetFaults({});
    modem.SetProfile({.echo = false});
    SendModemCmd(ctx.portHandle, "ATZ");
    start = sim::NowMs();
    EXPECT_EQ(WaitModemOk(ctx.portHandle, "ATZ"), kModemFailed);
    EXPECT_EQ(sim::NowMs() - start, 3000);

    // A command whose reply could not be held is not read at all.
    const int reads = sim::Locked(line)->reads;
    EXPECT_EQ(WaitModemOk(ctx.portHandle, std::string(65, 'A').c_str()), kModemFailed);
    EXPECT_EQ(sim::Locked(line)->reads, reads);
}

TEST_F(ModemTest, ResetModemEscapesHangsUpAndResets) {
    sim::Modem modem(line);
    const int64_t start = sim::NowMs();
    ResetModem(&ctx);
    EXPECT_EQ(sim::NowMs() - start, 3350);  // with 50 ms to drain the echoed "+++"
    EXPECT_EQ(Wire(line), "<DTR0><DTR1>+++ATH0\rATZ\r");
    EXPECT_EQ(Wire(line, sim::Direction::ToPort), "+++ATH0\r\r\nOK\r\nATZ\r\r\nOK\r\n");
    EXPECT_EQ(modem.Commands(), (std::vector<std::string>{"ATH0", "ATZ"}));
    EXPECT_TRUE(korpro_sim::Log().empty());

    modem.SetFaults({.dead = true});
    ResetModem(&ctx);
    EXPECT_EQ(korpro_sim::Log(), Errors({"TELDRV> ResetModem() error, modem 'SIM1' not replying on hangup",
                                         "TELDRV> ResetModem() error, modem 'SIM1' not replying on reset"}));

    korpro_sim::ClearLog();
    sim::Locked(line)->faults.failWrites = -1;
    ResetModem(&ctx);
    EXPECT_EQ(korpro_sim::Log(), Errors({"TELDRV> ResetModem() error, setting modem 'SIM1' to command mode",
                                         "TELDRV> ResetModem() error, sending hangup to modem 'SIM1'",
                                         "TELDRV> ResetModem() error, modem 'SIM1' not replying on hangup",
                                         "TELDRV> ResetModem() error, sending reset to modem 'SIM1'",
                                         "TELDRV> ResetModem() error, modem 'SIM1' not replying on reset"}));
}

TEST_F(ModemTest, AutoAnswerOnAndOffSetS0AndLogEachFailedStep) {
    sim::Modem modem(line);
    AutoAnswerOn(&ctx);
    EXPECT_EQ(modem.SRegister(0), 1);
    AutoAnswerOff(&ctx);
    EXPECT_EQ(modem.SRegister(0), 0);
    EXPECT_EQ(Wire(line), "ATS0=1\rATS0=0\r");
    EXPECT_TRUE(korpro_sim::Log().empty());

    modem.SetFaults({.errorReplies = true});
    AutoAnswerOn(&ctx);
    AutoAnswerOff(&ctx);
    sim::Locked(line)->faults.failWrites = -1;
    AutoAnswerOn(&ctx);
    AutoAnswerOff(&ctx);
    EXPECT_EQ(korpro_sim::Log(),
              Errors({"TELDRV> AutoAnswerOn() error, modem 'SIM1' not replying on auto-answer cmd",
                      "TELDRV> AutoAnswerOff() error, modem 'SIM1' not replying on no-answer cmd",
                      "TELDRV> AutoAnswerOn() error, sending auto-answer to modem 'SIM1'",
                      "TELDRV> AutoAnswerOn() error, modem 'SIM1' not replying on auto-answer cmd",
                      "TELDRV> AutoAnswerOff() error, sending no-answer to modem 'SIM1'",
                      "TELDRV> AutoAnswerOff() error, modem 'SIM1' not replying on no-answer cmd"}));
}

TEST_F(ModemTest, DialModemWaitsForTheCarrierAndDrainsWhatTheModemSaid) {
    sim::Modem modem(line, {}, {.connectMs = 12000});
    Callee central;
    modem.Register("012-345", &central);
    const int64_t start = sim::NowMs();
    EXPECT_EQ(DialModem(&ctx, "012345", 7), kModemOk);
    EXPECT_EQ(sim::NowMs() - start, 12150);  // the first poll after the connect, 50 ms of drain
    EXPECT_EQ(Wire(line), "ATDT012345\r");
    EXPECT_TRUE(sim::Locked(line)->toPort.empty());  // echo and CONNECT drained
    EXPECT_NE(sim::UnderWorldLock([&] { return central.connection; }), nullptr);
    EXPECT_TRUE(korpro_sim::Log().empty());
}

TEST_F(ModemTest, DialModemEndsOnTheSecondAfterItsDeadline) {
    CarrierOnly peer;
    sim::Locked(line)->peer = &peer;
    ctx.dialTimeout = 0;  // still polls until the second changes
    int64_t start = sim::NowMs();
    EXPECT_EQ(DialModem(&ctx, "999", 1), kModemFailed);
    EXPECT_EQ(sim::NowMs() - start, 1000);

    ctx.dialTimeout = 45;
    platform::Sleep(400);
    start = sim::NowMs();
    EXPECT_EQ(DialModem(&ctx, "999", 1), kModemFailed);
    EXPECT_GE(sim::NowMs() - start, 45000);
    EXPECT_LE(sim::NowMs() - start, 46100);
    EXPECT_TRUE(korpro_sim::Log().empty());
}

TEST_F(ModemTest, DialModemWithCarrierPresentOrStatusFailing) {
    CarrierOnly peer;
    sim::Locked(line)->peer = &peer;
    sim::UnderWorldLock([&] { peer.carrier = true; });
    int64_t start = sim::NowMs();
    EXPECT_EQ(DialModem(&ctx, "1", 1), kModemOk);
    EXPECT_EQ(sim::NowMs() - start, 200);  // 100 ms before the command, one poll

    sim::Locked(line)->faults.failModemStatus = 1;
    sim::Locked(line)->faults.modemStatusError = 1234;
    start = sim::NowMs();
    EXPECT_EQ(DialModem(&ctx, "1", 1), kModemFailed);
    EXPECT_EQ(sim::NowMs() - start, 200);

    sim::Locked(line)->faults.failWrites = 1;  // goes on waiting all the same
    EXPECT_EQ(DialModem(&ctx, "2", 1), kModemOk);
    EXPECT_EQ(korpro_sim::Log(),
              Errors({"TELDRV> DialModem() error, getting modem control signals status, err 1234",
                      "TELDRV> DialModem() error, sending 'ATDT2' dial command to modem 'SIM1'"}));
}

TEST_F(ModemTest, DialCommandThatWouldNotFitIsRefusedNotCut) {
    CarrierOnly peer;
    sim::Locked(line)->peer = &peer;
    std::memset(ctx.dialPrefix, 'P', 31);
    ctx.dialPrefix[31] = '\0';
    const std::string fits(64, '5');  // 31 + 64 = 95 characters and the NUL
    EXPECT_EQ(DialModem(&ctx, fits.c_str(), 3), kModemFailed);
    EXPECT_EQ(Wire(line), std::string(31, 'P') + fits + "\r");
    sim::Locked(line)->transcript.clear();
    korpro_sim::ClearLog();

    const std::string tooLong(65, '5');
    const int64_t start = sim::NowMs();
    EXPECT_EQ(DialModem(&ctx, tooLong.c_str(), 3), kModemFailed);
    EXPECT_EQ(sim::NowMs(), start);
    EXPECT_EQ(Wire(line), "");
    EXPECT_EQ(korpro_sim::Log(), Errors({"TELDRV> DialModem() error, dial command for dial reference 3 too long "
                                         "(96 characters), not dialled"}));
}

// The whole dialogue an alarm call makes, and data passing afterwards.
TEST_F(ModemTest, ResetAutoAnswerAndDialAgainstTheModem) {
    sim::Modem modem(line);
    Callee central;
    modem.Register("0123", &central);
    ResetModem(&ctx);
    AutoAnswerOn(&ctx);
    AutoAnswerOff(&ctx);
    ResetModem(&ctx);
    ASSERT_EQ(DialModem(&ctx, "0123", 1), kModemOk);
    EXPECT_EQ(Wire(line),
              "<DTR0><DTR1>+++ATH0\rATZ\rATS0=1\rATS0=0\r<DTR0><DTR1>+++ATH0\rATZ\rATDT0123\r");
    EXPECT_EQ(Wire(line, sim::Direction::ToPort),
              "+++ATH0\r\r\nOK\r\nATZ\r\r\nOK\r\nATS0=1\r\r\nOK\r\nATS0=0\r\r\nOK\r\n"
              "+++ATH0\r\r\nOK\r\nATZ\r\r\nOK\r\nATDT0123\r\r\nCONNECT\r\n");
    EXPECT_TRUE(korpro_sim::Log().empty());

    uint8_t reply[4];
    ASSERT_EQ(WriteAll(ctx.portHandle, "ping", 4, nullptr), kPortOk);
    EXPECT_EQ(sim::UnderWorldLock([&] { return central.got; }), "ping");
    {
        sim::WorldLock lock(sim::WorldMutex());
        central.connection->SendToDriver(lock, reinterpret_cast<const uint8_t*>("pong"), 4);
    }
    ASSERT_EQ(ReadExact(ctx.portHandle, reply, 4, nullptr), kPortOk);
    EXPECT_EQ(std::string(reply, reply + 4), "pong");

    // The next reset hangs the call up by its DTR drop.
    ResetModem(&ctx);
    EXPECT_EQ(sim::UnderWorldLock([&] { return central.connection; }), nullptr);
    EXPECT_FALSE(modem.Carrier());
    EXPECT_TRUE(korpro_sim::Log().empty());
}

}  // namespace
