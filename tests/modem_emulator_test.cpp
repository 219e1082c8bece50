// The simulated modem as the port sees it: echo and result codes, dialling,
// rings, data mode and the ways out of it, faults, on the virtual clock.
#include <gtest/gtest.h>

#include <string>

#include "serial/port.h"
#include "sim/modem.h"
#include "tests/sim_environment.h"
#include "tests/test_port_settings.h"

namespace {

class Caller : public sim::Party {
public:
    void Connected(sim::WorldLock&, sim::Connection& c) override {
        connection = &c;
        ++connects;
    }
    void FromDriver(sim::WorldLock&, const uint8_t* data, size_t size) override { got.append(data, data + size); }
    void Disconnected(sim::WorldLock&) override {
        connection = nullptr;
        ++disconnects;
    }
    void Say(const std::string& text) {
        sim::WorldLock lock(sim::WorldMutex());
        connection->SendToDriver(lock, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    sim::Connection* connection = nullptr;
    int connects = 0;
    int disconnects = 0;
    std::string got;
};

struct EmulatorTest : ::testing::Test {
    SimEnvironment env;
    sim::Line& line = sim::CreateLine("SIM1");
    Caller central;
    sim::Modem modem{line};
    platform::PortHandle port = 0;

    void SetUp() override {
        ASSERT_EQ(OpenPort("SIM1", test_port::kSettings, kPortOptionsDriver, &port), PortResult::kPortOk);
        modem.Register("0123", &central);
    }
    void TearDown() override { ClosePort(port); }
    void Type(const std::string& text) {
        ASSERT_EQ(WriteAll(port, text.data(), uint32_t(text.size()), nullptr), PortResult::kPortOk);
    }
    // Everything the modem sent that the port has not read yet.
    std::string Take() {
        uint32_t errors = 0, waiting = 0;
        EXPECT_TRUE(platform::CommClearError(port, &errors, &waiting));
        const platform::CommTimeouts now{0xFFFFFFFF, 0, 0, 0, 0};
        platform::CommSetTimeouts(port, &now);
        std::string text(waiting, '\0');
        uint32_t got = 0;
        EXPECT_TRUE(platform::CommRead(port, text.data(), waiting, &got));
        text.resize(got);
        return text;
    }
    void Dtr(bool high) { platform::CommEscape(port, high ? platform::kSetDtr : platform::kClrDtr); }
    void Connect() {
        Type("ATD0123\r");
        platform::Sleep(8000);
        ASSERT_EQ(Take(), "ATD0123\r\r\nCONNECT\r\n");
    }
};

TEST_F(EmulatorTest, CommandModeEchoesAndAnswersInTheChosenForm) {
    Type("AT\r");
    EXPECT_EQ(Take(), "AT\r\r\nOK\r\n");
    Type("ATV0\r");
    EXPECT_EQ(Take(), "ATV0\r0\r");
    Type("ATE0 S0=3\r");
    EXPECT_EQ(Take(), "ATE0 S0=3\r0\r");
    EXPECT_EQ(modem.SRegister(0), 3);
    Type("ATV1S7?\r");
    EXPECT_EQ(Take(), "\r\n050\r\n\r\nOK\r\n");
    Type("ATY\r");
    EXPECT_EQ(Take(), "\r\nERROR\r\n");
    Type("noise+++at\r");  // only what follows AT counts
    EXPECT_EQ(Take(), "\r\nOK\r\n");
    Type("ATQ1\r");
    EXPECT_EQ(Take(), "");
    Type("ATZ\r");  // back to the stored profile
    EXPECT_EQ(Take(), "\r\nOK\r\n");
    Type("ATE1\r");
    EXPECT_EQ(Take(), "ATE1\r\r\nOK\r\n");
    EXPECT_TRUE(modem.Echo());
    EXPECT_EQ(modem.SRegister(0), 0);
    EXPECT_EQ(modem.Commands(),
              (std::vector<std::string>{"AT", "ATV0", "ATE0 S0=3", "ATV1S7?", "ATY", "at", "ATQ1", "ATZ", "ATE1"}));
    EXPECT_EQ(modem.Transcript()[4].reply, "\r\nERROR\r\n");
}

TEST_F(EmulatorTest, DialOutcomesComeAtTheirTimes) {
    modem.Register("555 1234", nullptr, sim::DialAnswer::Busy);
    Type("ATDT5551234\r");
    EXPECT_EQ(modem.State(), sim::ModemState::Dialing);
    platform::Sleep(2999);
    EXPECT_EQ(Take(), "ATDT5551234\r");
    platform::Sleep(1);
    EXPECT_EQ(Take(), "\r\nBUSY\r\n");

    Type("ATS7=5DP9\r");  // nobody at 9: NO CARRIER after S7 seconds
    platform::Sleep(5000);
    EXPECT_EQ(Take(), "ATS7=5DP9\r\r\nNO CARRIER\r\n");

    Type("ATD0123\r");
    platform::Sleep(1000);
    Type("x");  // a key aborts the dial
    EXPECT_EQ(Take(), "ATD0123\r\r\nNO CARRIER\r\n");
    EXPECT_EQ(modem.State(), sim::ModemState::Command);
    EXPECT_EQ(central.connects, 0);

    const int64_t start = sim::NowMs();
    Connect();
    EXPECT_TRUE(modem.Carrier());
    EXPECT_EQ(central.connects, 1);
    const std::vector<sim::ModemEvent> events = modem.Transcript();
    EXPECT_EQ(events.back().kind, sim::ModemEventKind::Connect);
    EXPECT_EQ(events.back().text, "0123");
    EXPECT_EQ(events.back().timeMs - start, 8000);
}

TEST_F(EmulatorTest, DataPassesUntilAGuardedEscape) {
    Connect();
    Type("AT\r+++");  // data, not commands; no guard before the "+++"
    central.Say("reply");
    platform::Sleep(2000);
    EXPECT_EQ(sim::UnderWorldLock([&] { return central.got; }), "AT\r+++");
    EXPECT_EQ(Take(), "reply");
    EXPECT_EQ(modem.State(), sim::ModemState::Data);

    Type("+++");
    platform::Sleep(500);
    Type("x");  // the silence after it is broken
    platform::Sleep(2000);
    EXPECT_EQ(modem.State(), sim::ModemState::Data);

    Type("+++");
    platform::Sleep(999);
    EXPECT_EQ(Take(), "");
    platform::Sleep(1);
    EXPECT_EQ(Take(), "\r\nOK\r\n");
    EXPECT_EQ(modem.State(), sim::ModemState::OnlineCommand);
    EXPECT_TRUE(modem.Carrier());
    central.Say("lost");  // nobody listens in command mode
    Type("ATO\r");
    EXPECT_EQ(Take(), "ATO\r\r\nCONNECT\r\n");
    central.Say("back");
    EXPECT_EQ(Take(), "back");

    platform::Sleep(1000);
    Type("+++");
    platform::Sleep(1000);
    Type("ATH0\r");
    EXPECT_EQ(Take(), "\r\nOK\r\nATH0\r\r\nOK\r\n");
    EXPECT_FALSE(modem.Carrier());
    EXPECT_EQ(sim::UnderWorldLock([&] { return central.disconnects; }), 1);
    EXPECT_EQ(sim::UnderWorldLock([&] { return central.got; }), "AT\r++++++x++++++");
}

TEST_F(EmulatorTest, DtrDropLineLossAndTheFarEndEachEndTheCall) {
    Connect();
    Dtr(false);
    EXPECT_EQ(Take(), "\r\nNO CARRIER\r\n");
    EXPECT_FALSE(modem.Carrier());
    EXPECT_EQ(sim::UnderWorldLock([&] { return central.disconnects; }), 1);
    Dtr(true);

    Connect();
    modem.DropCarrier();
    EXPECT_EQ(Take(), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(sim::UnderWorldLock([&] { return central.disconnects; }), 2);

    Connect();
    {
        sim::WorldLock lock(sim::WorldMutex());
        central.connection->HangUp(lock);
    }
    EXPECT_EQ(Take(), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(sim::UnderWorldLock([&] { return central.disconnects; }), 3);

    Type("AT&D0\r");
    Take();
    Connect();
    Dtr(false);  // ignored now
    EXPECT_TRUE(modem.Carrier());
    std::vector<sim::ModemEvent> events = modem.Transcript();
    std::vector<std::string> ends;
    for (const sim::ModemEvent& event : events) {
        if (event.kind == sim::ModemEventKind::HangUp) ends.push_back(event.text);
    }
    EXPECT_EQ(ends, (std::vector<std::string>{"DTR", "line lost", "party"}));
}

TEST_F(EmulatorTest, IncomingCallsRingAndAreAnsweredAtRingS0) {
    Caller caller;
    modem.Ring(caller, 3);  // auto-answer off: three rings, then the caller gives up
    EXPECT_EQ(Take(), "\r\nRING\r\n");
    platform::Sleep(12000);
    EXPECT_EQ(Take(), "\r\nRING\r\n\r\nRING\r\n");
    platform::Sleep(6001);
    EXPECT_EQ(caller.disconnects, 1);
    EXPECT_EQ(caller.connects, 0);

    modem.Ring(caller);
    Type("ATA\r");
    platform::Sleep(2000);
    EXPECT_EQ(Take(), "\r\nRING\r\nATA\r\r\nCONNECT\r\n");
    EXPECT_EQ(caller.connects, 1);
    Caller other;
    modem.Ring(other);  // busy: refused at once
    EXPECT_EQ(other.disconnects, 1);
    modem.DropCarrier();
    Take();

    Type("ATS0=2\r");
    Take();
    const int64_t start = sim::NowMs();
    modem.Ring(caller);
    platform::Sleep(7999);
    EXPECT_FALSE(modem.Carrier());
    EXPECT_EQ(modem.State(), sim::ModemState::Answering);
    platform::Sleep(1);
    EXPECT_TRUE(modem.Carrier());
    EXPECT_EQ(Take(), "\r\nRING\r\n\r\nRING\r\n\r\nCONNECT\r\n");
    caller.Say("FEC");
    EXPECT_EQ(Take(), "FEC");
    EXPECT_EQ(sim::NowMs() - start, 8000);

    // While DTR is low the modem does not answer.
    modem.DropCarrier();
    Dtr(false);
    modem.Ring(caller, 4);
    platform::Sleep(24001);
    EXPECT_EQ(caller.connects, 2);
    EXPECT_EQ(caller.disconnects, 4);
}

TEST_F(EmulatorTest, DeadAndErrorModems) {
    modem.SetFaults({.errorReplies = true});
    Type("ATS0=1\r");
    EXPECT_EQ(Take(), "ATS0=1\r\r\nERROR\r\n");
    EXPECT_EQ(modem.SRegister(0), 0);

    modem.SetFaults({});
    Connect();
    modem.SetFaults({.dead = true});  // a call standing ends silently
    EXPECT_EQ(sim::UnderWorldLock([&] { return central.disconnects; }), 1);
    EXPECT_FALSE(modem.Carrier());
    Type("ATD0123\r");
    platform::Sleep(60000);
    EXPECT_EQ(Take(), "");
    EXPECT_EQ(central.connects, 1);
}

}  // namespace
