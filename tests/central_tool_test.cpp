// teldrv-central against the driver, end to end: the driver on SIM1 behind
// its modem, the tool on SIM2 behind a modem of its own, and an exchange
// between the two; everything on the virtual clock.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "platform/thread.h"
#include "serial/port.h"
#include "sim/korpro_history.h"
#include "sim/korpro_online.h"
#include "sim/line.h"
#include "tests/driver_rig.h"
#include "tests/sim_environment.h"
#include "tests/test_port_settings.h"
#include "tools/central/codecs.h"
#include "tools/central/link.h"
#include "tools/central/tool.h"
#include "tools/shared/gate_file.h"
#include "tools/shared/modem_bridge.h"

namespace {

using central::ToolOptions;
using driver_test::DriverRig;
using driver_test::Logged;

constexpr const char* kStationNumber = "0307000007";
constexpr uint16_t kTankLevel = 11;  // station gate 0, value type 1
constexpr uint16_t kPumpState = 12;  // station gate 1, value type 0

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool Has(const std::string& text, const std::string& line) {
    for (const std::string& l : Lines(text)) {
        if (l == line) return true;
    }
    return false;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The world of the tests: the driver on SIM1 and the tool's modem on SIM2,
// with the driver's modem at kStationNumber.
struct CentralRig {
    CentralRig() {
        toolModem.Register(kStationNumber, &exchange);
        options.port = "SIM2";
        options.dial = kStationNumber;
        options.gatesFile = "07_GATES.DAT";
    }
    ~CentralRig() { StopPlant(); }

    void StartStation() {
        ASSERT_EQ(driver.Start(), 0);
        ASSERT_TRUE(DriverRig::WaitFor([&] { return driver.modem.SRegister(0) == 1; }, 30000));
    }

    int Run() {
        out.str("");
        err.str("");
        return central::RunTool(options, out, err);
    }

    // The pump goes on and off every second while the plant runs.
    void StartPlant() {
        plant = std::thread([this] {
            sim::Participant self;
            for (uint8_t on = 1; !stop.load(); on ^= 1) {
                korpro_sim::RaiseStatusChange(kPumpState, {on, 0, 0, 0, 0, 0, 0, 0}, {0x10, 0x20, 0x30, 0x40, 0, 0});
                sim::SleepMs(1000);
            }
        });
    }
    void StopPlant() {
        stop.store(true);
        if (!plant.joinable()) return;
        sim::LeaveClock();
        plant.join();
        sim::JoinClock();
    }

    // Breaks the answers picked by number (1 = the first answer): `drop`
    // loses them whole, `corrupt` flips a bit of their checksum.
    void BreakAnswers(std::vector<int> drop, std::vector<int> corrupt) {
        exchange.SetLineFilter([this, drop, corrupt](std::vector<uint8_t>& bytes) {
            if (bytes.size() >= 4 && bytes[0] == 0x02 && std::memcmp(&bytes[1], "FER", 3) == 0) ++answers;
            if (std::find(drop.begin(), drop.end(), answers) != drop.end()) bytes.clear();
            const bool footer = bytes.size() == 4 && bytes[0] == 0x10 && bytes[3] == 0x03;
            if (footer && std::find(corrupt.begin(), corrupt.end(), answers) != corrupt.end()) bytes[2] ^= 0x01;
        });
    }

    DriverRig driver;
    sim::Line& toolLine = sim::CreateLine("SIM2");
    sim::Modem toolModem{toolLine};
    tools::ModemBridge exchange{driver.modem};
    ToolOptions options;
    std::ostringstream out;
    std::ostringstream err;
    std::thread plant;
    std::atomic<bool> stop{false};
    int answers = 0;
};

central::Command Make(central::Command::Kind kind) {
    central::Command command;
    command.kind = kind;
    return command;
}

TEST(CentralTool, DialsTheStationAndRunsEveryCommandInOrder) {
    CentralRig rig;
    rig.StartStation();
    const int32_t base = sim::CalendarSeconds();
    korpro_sim::AddHistory({{kTankLevel, korpro_sim::ValuePayload(base - 600, 250, 0, 12.5), base - 600},
                            {99, korpro_sim::ValuePayload(base - 500, 0, 0, 1), base - 500},  // not a station gate
                            {kPumpState, korpro_sim::ValuePayload(base - 400, 0, 1, 1), base - 400}});
    rig.StartPlant();

    central::Command clock = Make(central::Command::Clock);
    int64_t when = 0;
    ASSERT_TRUE(central::ParseTime("2026-12-08T01:02:03Z", 0, &when));
    clock.time = when;
    central::Command online = Make(central::Command::Online);
    online.seconds = 4;
    online.write = central::WriteRequest{0, "-2", ""};
    central::Command history = Make(central::Command::History);
    history.time = base - 3600;
    rig.options.commands = {Make(central::Command::Station), clock, online, history, Make(central::Command::HangUp)};
    rig.options.csvFile = "history.csv";
    rig.options.trace = true;

    ASSERT_EQ(rig.Run(), central::kExitOk) << rig.err.str();
    rig.StopPlant();
    const std::string out = rig.out.str();
    EXPECT_TRUE(Has(out, "station 7")) << out;
    EXPECT_TRUE(Has(out, "clock set to 2026-12-08T01:02:03Z")) << out;
    const std::vector<platform::SystemTime> sets = sim::SystemClockSets();
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(std::vector<uint16_t>({sets[0].wYear, sets[0].wMonth, sets[0].wDayOfWeek, sets[0].wDay, sets[0].wHour,
                                     sets[0].wMinute, sets[0].wSecond, sets[0].wMilliseconds}),
              std::vector<uint16_t>({2026, 12, 2, 8, 1, 2, 3, 0}));

    // The write goes half-way through, as a signed 16-bit value for a type 1 gate.
    EXPECT_EQ(korpro_sim::GateValueWrites(), (std::vector<korpro_sim::GateValueWrite>{{kTankLevel, -2.0}}));
    EXPECT_TRUE(Has(out, "write gate 0 TANK_LEVEL = -2: status 0 (taken)")) << out;
    // The change the write raised, stamped by the host; status changes carry
    // no value (switching off leaves all value bytes 0).
    EXPECT_NE(out.find("    0  TANK_LEVEL                        -2       0  2026-12-07T"), std::string::npos) << out;
    EXPECT_TRUE(Has(out, "    1  PUMP_STATE                         -       1  2004-02-16T01:42:40.000Z")) << out;
    EXPECT_TRUE(Has(out, "    1  PUMP_STATE                         0       0  2004-02-16T01:42:40.000Z")) << out;
    EXPECT_TRUE(Has(out, " gate  name                           value  status  time")) << out;

    std::ifstream csv("history.csv");
    std::stringstream csvText;
    csvText << csv.rdbuf();
    const std::string stamp600 = central::FormatTime(base - 600), stamp400 = central::FormatTime(base - 400);
    EXPECT_EQ(csvText.str(), "gate,name,time,milliseconds,status,value,payload\n"
                             "0,TANK_LEVEL," + stamp600 + ",250,0,12.5," +
                                 central::Hex(korpro_sim::ValuePayload(base - 600, 250, 0, 12.5).data(), 16) + "\n" +
                                 "1,PUMP_STATE," + stamp400 + ",0,1,1," +
                                 central::Hex(korpro_sim::ValuePayload(base - 400, 0, 1, 1).data(), 16) + "\n");
    EXPECT_TRUE(Has(out, "history since " + central::FormatTime(base - 3600) + ": 2 records written to history.csv"))
        << out;
    EXPECT_TRUE(Has(out, "station hung up"));

    // The modem dialogue: reset, dial, and a DTR drop at the end.
    const std::vector<std::string> commands = rig.toolModem.Commands();
    EXPECT_EQ(commands, (std::vector<std::string>{"ATZ", std::string("ATDT") + kStationNumber}));
    bool dtrDropped = false;
    for (const sim::ModemEvent& event : rig.toolModem.Transcript()) dtrDropped |= event.kind == sim::ModemEventKind::DtrLow;
    EXPECT_TRUE(dtrDropped);
    EXPECT_EQ(rig.toolModem.State(), sim::ModemState::Command);

    // The trace: every frame each way, with the checksum verdict of each answer.
    const std::string trace = rig.err.str();
    EXPECT_NE(trace.find("-> FEC tag 0001  FE_REQ_STATION | 02 46 45 43 00 01 00 01 10 53 10 01 9D 03 | checksum 019D"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find("<- FER tag 0001  station 7 | 02 46 45 52 00 01 00 04 10 73 07 07 07 10 02 B0 03 | checksum "
                         "02B0 ok"),
              std::string::npos)
        << trace;
    EXPECT_EQ(Count(trace, "-> FEC"), Count(trace, "<- FER"));
    EXPECT_EQ(Count(trace, " ok\n"), Count(trace, "<- FER"));
    EXPECT_TRUE(DriverRig::WaitFor([&] { return rig.driver.modem.SRegister(0) == 1 && !rig.driver.modem.Carrier(); },
                                   30000));
    EXPECT_EQ(rig.driver.End(), 0);
}

TEST(CentralTool, LostAndBrokenAnswersAreAskedAgainWithTheSameSequenceByte) {
    CentralRig rig;
    rig.StartStation();
    korpro_sim::AddHistory({{kTankLevel, korpro_sim::ValuePayload(100, 0, 0, 1), sim::CalendarSeconds() - 60}});
    // Answers: 1 station, 2 start on-line, 3.. polls; then start history and its continues.
    rig.BreakAnswers({1, 4}, {5});
    central::Command online = Make(central::Command::Online);
    online.seconds = 3;
    online.write = central::WriteRequest{1, "7", ""};
    central::Command history = Make(central::Command::History);
    history.time = 0;
    rig.options.commands = {Make(central::Command::Station), online, history, Make(central::Command::HangUp)};
    rig.options.trace = true;
    rig.options.timeoutMs = 2000;

    ASSERT_EQ(rig.Run(), central::kExitOk) << rig.err.str();
    const std::string trace = rig.err.str();
    // No --csv: stdout holds the history CSV alone, the results go to stderr.
    EXPECT_TRUE(Has(rig.err.str(), "station 7"));
    EXPECT_FALSE(Has(rig.out.str(), "station 7"));
    EXPECT_NE(trace.find("FE_REQ_STATION (again)"), std::string::npos) << trace;
    EXPECT_NE(trace.find("-- no answer within 2000 ms"), std::string::npos) << trace;
    // The first poll's answer (4) is lost, its repetition's (5) broken; the
    // third send keeps sequence byte 1 and is answered from the station's buffer.
    EXPECT_EQ(Count(trace, "FE_REQ_CONT_ONLINE seq 1 (again)"), 2u) << trace;
    EXPECT_NE(trace.find("bad frame: checksum 0222, computed 0223: BAD |"), std::string::npos) << trace;
    EXPECT_EQ(Count(trace, "FE_REQ_CONT_ONLINE seq 2"), 1u) << trace;
    EXPECT_TRUE(Logged("TELDRV> info, retry sent"));
    EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: warning: 3 requests sent again (answers lost or broken on the line; "
                                    "--trace shows them)"))
        << trace;
    // The write went once, however often its request was sent.
    EXPECT_EQ(korpro_sim::GateValueWrites().size(), 1u);
    EXPECT_EQ(Count(rig.err.str(), "    1  PUMP_STATE                         7       0"), 1u) << rig.err.str();
    EXPECT_NE(rig.err.str().find(": 1 record\n"), std::string::npos) << rig.err.str();
    EXPECT_EQ(Lines(rig.out.str()).size(), 2u) << rig.out.str();
}

// Answers to earlier frames, 450 ms apart, on a line with no station.
void SendStaleAnswers(void* raw) {
    auto* line = static_cast<sim::Line*>(raw);
    const central::Bytes frame = central::EncodeFrame("FER", 0x7777, {'s', 7, 0, 0});
    for (int i = 0; i < 12; ++i) {
        sim::SleepMs(450);
        sim::WorldLock lock(sim::WorldMutex());
        sim::SendToPort(lock, *line, frame.data(), frame.size());
    }
}

TEST(CentralTool, AnswersToEarlierFramesDoNotExtendTheWaitForTheAnswer) {
    SimEnvironment env;
    sim::Line& line = sim::CreateLine("SIM3");
    platform::PortHandle port = platform::kInvalidPortHandle;
    ASSERT_EQ(OpenPort("SIM3", test_port::kSettings, test_port::kOptions, &port), PortResult::kPortOk);
    ASSERT_EQ(platform::StartThread(SendStaleAnswers, &line, 8192), 0);
    central::LinkOptions options;
    options.attempts = 1;
    options.timeoutMs = 2000;
    options.trace = true;
    std::ostringstream trace;
    central::Link link(port, options, trace);
    central::Bytes response;
    const int64_t start = sim::NowMs();

    EXPECT_EQ(link.Ask({'S'}, &response), central::AskResult::NoAnswer);
    // Four of them come within the 2 s, and the wait ends with the 2 s.
    EXPECT_EQ(sim::NowMs() - start, 2000) << trace.str();
    EXPECT_EQ(Count(trace.str(), "<- FER tag 7777  answer to an earlier frame, ignored | 02 46 45 52 77 77 00 04 10 73 07 "
                                 "00 00 10"),
              4u)
        << trace.str();
    EXPECT_NE(trace.str().find("-- no answer within 2000 ms"), std::string::npos) << trace.str();
    while (sim::RunningThreads() > 0) sim::SleepMs(100);
    ClosePort(port);
}

TEST(CentralTool, FailuresEndWithTheExitCodeOfWhatFailed) {
    {
        // Nobody at the number: the dial ends NO CARRIER after S7.
        CentralRig rig;
        rig.options.dial = "0309999999";
        rig.options.commands = {Make(central::Command::Station)};
        const int64_t start = sim::NowMs();
        EXPECT_EQ(rig.Run(), central::kExitNoCarrier) << rig.err.str();
        EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: no carrier: NO CARRIER")) << rig.err.str();
        EXPECT_GE(sim::NowMs() - start, 50000);
    }
    {
        // A switched-off modem takes no commands.
        CentralRig rig;
        rig.toolModem.SetFaults({true, false});
        rig.options.commands = {Make(central::Command::Station)};
        EXPECT_EQ(rig.Run(), central::kExitPort) << rig.err.str();
        EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: modem does not answer ATZ: check that it is switched on, on this port, and at this baud rate")) << rig.err.str();
    }
    {
        // A modem answers, but no driver listens: every request goes out
        // retries + 1 times, then the tool gives up and hangs up.
        CentralRig rig;
        rig.driver.modem.SetProfile({true, true, false, true, 1, 50, 50});
        rig.options.commands = {Make(central::Command::Station), Make(central::Command::HangUp)};
        rig.options.retries = 2;
        rig.options.timeoutMs = 3000;
        rig.options.trace = true;
        const int64_t start = sim::NowMs();
        EXPECT_EQ(rig.Run(), central::kExitNoAnswer) << rig.err.str();
        EXPECT_EQ(Count(rig.err.str(), "-> FEC"), 3u) << rig.err.str();
        EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: FE_REQ_STATION: no answer from the station after 3 sends")) << rig.err.str();
        EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: failed: no answer"));
        EXPECT_LT(sim::NowMs() - start, 8000 + 2500 + 9000 + 5000);
        EXPECT_FALSE(rig.toolModem.Carrier());
    }
    {
        // The line drops in the middle of on-line transfer.
        CentralRig rig;
        rig.StartStation();
        const int64_t dropAt = sim::NowMs() + 15000;
        std::thread line([&] {
            sim::Participant self;
            sim::SleepMs(static_cast<uint32_t>(dropAt - sim::NowMs()));
            rig.driver.modem.DropCarrier();
        });
        central::Command online = Make(central::Command::Online);
        online.seconds = 30;
        rig.options.commands = {online, Make(central::Command::HangUp)};
        EXPECT_EQ(rig.Run(), central::kExitNoCarrier) << rig.err.str();
        EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: FE_REQ_CONT_ONLINE: carrier lost")) << rig.err.str();
        EXPECT_LT(sim::NowMs(), dropAt + 2000);
        sim::LeaveClock();
        line.join();
        sim::JoinClock();
    }
    {
        // Every answer broken: bad frame. Then a refused history: rejected.
        CentralRig rig;
        rig.StartStation();
        rig.BreakAnswers({}, {1, 2});
        rig.options.retries = 1;
        rig.options.commands = {Make(central::Command::Station)};
        EXPECT_EQ(rig.Run(), central::kExitBadFrame) << rig.err.str();
        EXPECT_NE(rig.err.str().find("FE_REQ_STATION: bad frame: checksum"), std::string::npos) << rig.err.str();
        ASSERT_TRUE(rig.driver.WaitIdle(30000));

        rig.exchange.SetLineFilter(nullptr);
        korpro_sim::FailHistoryOpen(0x0103);
        central::Command history = Make(central::Command::History);
        history.time = 0;
        rig.options.commands = {history, Make(central::Command::Station), Make(central::Command::HangUp)};
        EXPECT_EQ(rig.Run(), central::kExitRejected) << rig.err.str();
        EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: FE_REQ_START_HISTORY: the station could not open its history (status 3)"))
            << rig.err.str();
        // A refused request does not end the call: the later commands still run.
        EXPECT_TRUE(Has(rig.err.str(), "station 7")) << rig.err.str();
        EXPECT_TRUE(Has(rig.err.str(), "station hung up")) << rig.err.str();
    }
}

// The station's alarm call taken on the modem: the driver dials reference 2,
// which reaches the tool's modem; ATA (or the modem's own answer, S0=1),
// CONNECT, the commands, the hang-up that delivers the call. No ring: exit 9.
TEST(CentralTool, AnswersTheStationsAlarmCall) {
    for (const bool autoAnswer : {false, true}) {
        CentralRig rig;
        tools::ModemBridge toTool{rig.toolModem};
        rig.driver.modem.Register(driver_test::kSecondNumber, &toTool);
        rig.StartStation();
        rig.options.dial.clear();
        rig.options.answer = true;
        rig.options.autoAnswer = autoAnswer;
        rig.options.commands = {Make(central::Command::Station)};
        ASSERT_EQ(rig.driver.Write(2), 0);
        const int64_t start = sim::NowMs();
        ASSERT_EQ(rig.Run(), central::kExitOk) << rig.err.str();
        EXPECT_EQ(rig.out.str(), "station 7\nstation hung up\n");
        const std::vector<std::string> commands = autoAnswer ? std::vector<std::string>{"ATZ", "ATS0=1", "ATS0=0"}
                                                             : std::vector<std::string>{"ATZ", "ATS0=0", "ATA"};
        EXPECT_EQ(rig.toolModem.Commands(), commands);
        for (const char* line : {"modem: RING", "connected: the station's call answered"}) {
            EXPECT_TRUE(Has(rig.err.str(), line)) << line << '\n' << rig.err.str();
        }
        // Due 3 s after the write, reset (3.3 s), 8 s to connect, 1.5 s to settle.
        EXPECT_LT(sim::NowMs() - start, 25000) << rig.err.str();
        // Delivered: the hang-up request freed the entry.
        EXPECT_TRUE(DriverRig::WaitFor([&] { return rig.driver.Entry(0).reference == 0; }, 30000));
    }
    CentralRig rig;
    rig.options.dial.clear();
    rig.options.answer = true;
    rig.options.answerTimeoutMs = 5000;
    rig.options.commands = {Make(central::Command::Station)};
    EXPECT_EQ(rig.Run(), central::kExitNoRing) << rig.err.str();
    EXPECT_NE(rig.err.str().find("teldrv-central: no ring within 5 s: check that the station's alarm call is due"),
              std::string::npos)
        << rig.err.str();
    EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: failed: no ring")) << rig.err.str();
}

// Every send of a call's first request waits its own short time, and each
// resend is said on a line of its own; later requests keep --timeout.
TEST(CentralTool, TheFirstRequestIsSentAgainSoon) {
    CentralRig rig;
    rig.StartStation();
    rig.BreakAnswers({1, 2, 4}, {});
    rig.options.commands = {Make(central::Command::Station), Make(central::Command::Station)};
    rig.options.firstTimeoutMs = 2000;
    rig.options.timeoutMs = 5000;
    rig.options.trace = true;
    const int64_t start = sim::NowMs();
    ASSERT_EQ(rig.Run(), central::kExitOk) << rig.err.str();
    const std::string err = rig.err.str();
    EXPECT_EQ(Count(err, "-- no answer within 2000 ms\nteldrv-central: warning: no answer to the first request "
                         "within 2 s, sent again\n"),
              2u)
        << err;
    EXPECT_EQ(Count(err, "-- no answer within 5000 ms"), 1u) << err;
    EXPECT_EQ(Count(err, "FE_REQ_STATION (again)"), 3u) << err;
    // The first resend is not one of the retries.
    EXPECT_TRUE(Has(err, "teldrv-central: warning: 2 requests sent again (answers lost or broken on the line; "
                         "--trace shows them)"))
        << err;
    // Dial 8 s, settle 2.5 s, 2 + 2 + 5 s of waits, the hang-up's DTR drop.
    EXPECT_LT(sim::NowMs() - start, 8000 + 2500 + 9000 + 3000) << err;

    // A station that never answers: the first request's sends, 2 s apart.
    rig.BreakAnswers({5, 6, 7, 8, 9, 10}, {});
    rig.options.retries = 1;
    rig.options.commands = {Make(central::Command::Station)};
    EXPECT_EQ(rig.Run(), central::kExitNoAnswer) << rig.err.str();
    EXPECT_EQ(Count(rig.err.str(), "sent again\n"), 2u) << rig.err.str();
    EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: FE_REQ_STATION: no answer from the station after 3 sends"))
        << rig.err.str();
}

TEST(CentralTool, CommandLine) {
    ToolOptions options;
    std::string error;
    ASSERT_EQ(central::ParseCommandLine({"ttyS1", "--baud", "9600", "--parity", "even", "--stop", "2", "--data", "7",
                                         "--dial", "030-7000007", "--retries", "5", "--timeout", "800", "station",
                                         "clock", "online", "--write", "3=2.5", "--seconds", "30", "clock",
                                         "2026-12-24T18:00", "history", "--since", "2026-12-01", "hangup", "--trace",
                                         "--csv", "h.csv", "--gates", "07_GATES.DAT"},
                                        &options, &error),
              central::kExitOk)
        << error;
    EXPECT_EQ(options.port, "ttyS1");
    EXPECT_EQ(std::vector<uint16_t>(options.settings, options.settings + 4), (std::vector<uint16_t>{9600, 7, 2, 2}));
    EXPECT_EQ(options.dial, "030-7000007");
    EXPECT_EQ(options.retries, 5);
    EXPECT_EQ(options.timeoutMs, 800u);
    EXPECT_TRUE(options.trace);
    EXPECT_EQ(options.csvFile, "h.csv");
    ASSERT_EQ(options.commands.size(), 6u);
    EXPECT_FALSE(options.commands[1].time);  // now, taken when the command runs
    EXPECT_EQ(options.commands[2].seconds, 30u);
    ASSERT_TRUE(options.commands[2].write);
    EXPECT_EQ(options.commands[2].write->gate, 3u);
    EXPECT_EQ(options.commands[2].write->value, "2.5");
    EXPECT_EQ(central::FormatTime(*options.commands[3].time), "2026-12-24T18:00:00Z");
    EXPECT_EQ(central::FormatTime(*options.commands[4].time), "2026-12-01T00:00:00Z");
    EXPECT_EQ(options.commands[5].kind, central::Command::HangUp);

    ToolOptions sim;
    ASSERT_EQ(central::ParseCommandLine({"--sim", "--dial", "0307000007", "station"}, &sim, &error), 0) << error;
    EXPECT_EQ(sim.port, "SIM2");
    EXPECT_EQ(sim.firstTimeoutMs, 3000u);
    ToolOptions answer;
    ASSERT_EQ(central::ParseCommandLine({"--sim", "--answer", "--auto-answer", "--answer-timeout", "90", "--driver",
                                         "12", "--first-timeout", "0", "station"},
                                        &answer, &error),
              0)
        << error;
    EXPECT_TRUE(answer.answer && answer.autoAnswer);
    EXPECT_EQ(std::vector<uint32_t>({answer.answerTimeoutMs, answer.driverNumber, answer.firstTimeoutMs}),
              std::vector<uint32_t>({90000, 12, 0}));

    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"station"}, "no PORT given"},
        {{"ttyS0"}, "no COMMAND given"},
        {{"ttyS0", "history"}, "history needs --since TIME"},
        {{"ttyS0", "history", "--since", "2026-02-30"}, "history --since: bad time '2026-02-30'"},
        {{"ttyS0", "online", "--write", "=1"}, "--write takes GATE=VALUE, not '=1'"},
        {{"ttyS0", "online", "--write", "40000=1"}, "--write: gate number '40000' above 32767"},
        {{"ttyS0", "--baud", "0", "station"}, "--baud takes a rate in bits per second"},
        {{"ttyS0", "-v", "station"}, "-v needs --sim"},
        {{"ttyS0", "--parity", "bad", "station"}, "--parity takes none, odd, even, mark or space"},
        {{"ttyS0", "--retries", "many", "station"}, "--retries needs a number, not 'many'"},
        {{"ttyS0", "station", "extra"}, "unknown argument 'extra'"},
        {{"ttyS0", "--answer", "--dial", "1", "station"}, "give --dial or --answer, not both"},
        {{"ttyS0", "--auto-answer", "station"}, "--auto-answer needs --answer"},
        {{"ttyS0", "--answer-timeout", "9", "station"}, "--answer-timeout needs --answer"},
        {{"ttyS0", "--answer", "--answer-timeout", "0", "station"}, "--answer-timeout takes 1 to 86400 seconds"},
        {{"ttyS0", "--driver", "2", "station"}, "--driver needs --sim (and --station-dir)"},
    };
    for (const auto& [args, message] : bad) {
        ToolOptions ignored;
        EXPECT_EQ(central::ParseCommandLine(args, &ignored, &error), central::kExitUsage) << message;
        EXPECT_EQ(error, message);
    }
}

TEST(CentralTool, WriteValuesAsTheGateTypeReadsThem) {
    struct Case {
        std::string text;
        std::optional<uint8_t> type;
        std::vector<uint8_t> bytes;  // empty: refused
    };
    const std::vector<Case> cases = {
        {"-2", 1, {0, 0, 0xFE, 0xFF}},           {"65535", 0, {0, 0, 0xFF, 0xFF}},
        {"1.5", 3, {0x00, 0x00, 0xC0, 0x3F}},    {"-70000", 4, {0x90, 0xEE, 0xFE, 0xFF}},
        {"4000000000", 5, {0x00, 0x28, 0x6B, 0xEE}}, {"5", std::nullopt, {0, 0, 5, 0}},
        {"0.5", std::nullopt, {0x00, 0x00, 0x00, 0x3F}}, {"40000", 1, {}},
        {"-1", 0, {}},                            {"1.5", 1, {}},
        {"abc", 3, {}},                           {"9", 7, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        uint8_t bytes[4] = {0xAA, 0xAA, 0xAA, 0xAA};
        std::string error;
        const bool ok = central::EncodeWriteValue(c.text, c.type, bytes, &error);
        EXPECT_EQ(ok, !c.bytes.empty()) << c.text << " " << error;
        if (ok) {
            EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), c.bytes) << c.text;
        }
    }
}

TEST(CentralTool, FramesAndTimes) {
    // The documented example frames, and why broken ones are refused.
    const central::Bytes frame = central::EncodeFrame("FER", 0x0000, {'a', 'b', 'c'});
    EXPECT_EQ(central::Hex(frame), "02 46 45 52 00 00 00 03 10 61 62 63 10 02 3B 03");
    EXPECT_EQ(central::Hex(central::EncodeFrame("FEC", 0x1234, {'S'})), "02 46 45 43 12 34 00 01 10 53 10 01 9C 03");
    central::Frame decoded;
    EXPECT_EQ(central::CheckFrame(frame, "FER", &decoded), "");
    EXPECT_EQ(decoded.body, (central::Bytes{'a', 'b', 'c'}));
    central::Bytes broken = frame;
    broken[14] ^= 1;
    EXPECT_EQ(central::CheckFrame(broken, "FER", &decoded), "checksum 023A, computed 023B: BAD");
    EXPECT_EQ(central::CheckFrame(frame, "FEC", &decoded), "bad header");
    EXPECT_EQ(central::CheckFrame(central::Bytes(frame.begin(), frame.end() - 2), "FER", &decoded),
              "short footer (2 of 4 bytes)");
    broken = frame;
    broken[15] = 0;
    EXPECT_EQ(central::CheckFrame(broken, "FER", &decoded), "bad footer");

    int64_t seconds = 0;
    EXPECT_TRUE(central::ParseTime("2026-12-07", 0, &seconds));
    EXPECT_EQ(seconds, 1796601600);
    EXPECT_TRUE(central::ParseTime("2026-12-07T00:00:01Z", 0, &seconds));
    EXPECT_EQ(seconds, 1796601601);
    EXPECT_TRUE(central::ParseTime("2024-02-29 23:59", 0, &seconds));
    EXPECT_EQ(central::FormatTime(seconds), "2024-02-29T23:59:00Z");
    EXPECT_TRUE(central::ParseTime("now", 42, &seconds));
    EXPECT_EQ(seconds, 42);
    for (const char* bad : {"2026-13-01", "2026-02-29", "2026-12-07T25:00", "2026-12-07T10", "yesterday", "1969-12-31", ""}) {
        EXPECT_FALSE(central::ParseTime(bad, 0, &seconds)) << bad;
    }
}

TEST(CentralTool, CommandLineOfTheField) {
    ToolOptions options;
    std::string error;
    ASSERT_EQ(central::ParseCommandLine({"ttyUSB0", "--baud", "115200", "--ignore-carrier", "--no-hangup", "online",
                                         "--write", "TANK_LEVEL=3", "--csv", "on.csv", "history", "--since", "now"},
                                        &options, &error),
              central::kExitOk)
        << error;
    EXPECT_EQ(options.baud, 115200u);
    EXPECT_TRUE(options.ignoreCarrier && options.noHangUp);
    EXPECT_EQ(options.timeoutMs, central::kDefaultTimeoutMs);
    EXPECT_GT(options.timeoutMs, 2u * 10000 + 500);
    ASSERT_EQ(options.commands.size(), 2u);
    EXPECT_EQ(options.commands[0].write->name, "TANK_LEVEL");
    EXPECT_EQ(options.commands[0].csvFile, "on.csv");
    EXPECT_TRUE(options.csvFile.empty());
    EXPECT_FALSE(options.commands[1].time);  // now, when the command runs
    // --help and --version win wherever they stand, even after a mistake.
    ToolOptions help;
    EXPECT_EQ(central::ParseCommandLine({"ttyS0", "bogus", "--help"}, &help, &error), central::kExitOk);
    EXPECT_TRUE(help.help);
    ToolOptions version;
    EXPECT_EQ(central::ParseCommandLine({"station", "--version"}, &version, &error), central::kExitOk);
    EXPECT_TRUE(version.version);
}

TEST(CentralTool, WhatCanBeCheckedWithoutTheStationIsCheckedBeforeThePortOpens) {
    central::Command online = Make(central::Command::Online);
    online.write = central::WriteRequest{0, "2.5", ""};  // gate 0 is a signed 16-bit gate
    const std::vector<central::Command> commands = {Make(central::Command::Station), online};
    struct Case {
        std::function<void(ToolOptions&)> change;
        int code;
        std::string line;
    };
    const std::vector<Case> cases = {
        {[](ToolOptions&) {}, central::kExitUsage,
         "teldrv-central: --write 0=2.5: value '2.5' does not fit a signed 16-bit gate"},
        {[](ToolOptions& o) { o.commands[1].write = central::WriteRequest{0, "1", "NO_SUCH"}; }, central::kExitUsage,
         "teldrv-central: --write: no gate named 'NO_SUCH' in 07_GATES.DAT"},
        {[](ToolOptions& o) {
             o.commands[1].write = central::WriteRequest{0, "1", "TANK_LEVEL"};
             o.gatesFile.clear();
         },
         central::kExitUsage, "teldrv-central: --write TANK_LEVEL=...: a gate by name needs --gates FILE"},
        {[](ToolOptions& o) { o.gatesFile = "missing.dat"; }, central::kExitFile, ""},
        {[](ToolOptions& o) {
             o.commands[1].write.reset();
             o.commands[1].csvFile = "no/such/dir/on.csv";
         },
         central::kExitFile, "teldrv-central: cannot write no/such/dir/on.csv: No such file or directory"},
        {[](ToolOptions& o) {
             o.commands[1].write.reset();
             o.port = "SIM8";
         },
         central::kExitPort, "teldrv-central: cannot open port SIM8: no such device (/dev/SIM8)"},
        {[](ToolOptions& o) {
             o.commands[1].write.reset();
             o.port = "/dev/null";
         },
         central::kExitPort, "teldrv-central: cannot open port /dev/null: not a serial port (its line settings cannot be read)"},
    };
    for (const Case& c : cases) {
        CentralRig fresh;
        fresh.options.commands = commands;
        c.change(fresh.options);
        EXPECT_EQ(fresh.Run(), c.code) << fresh.err.str();
        if (!c.line.empty()) {
            EXPECT_TRUE(Has(fresh.err.str(), c.line)) << fresh.err.str();
        }
        EXPECT_NE(fresh.err.str().rfind("teldrv-central: ", 0), std::string::npos) << fresh.err.str();
        // Not a byte to the modem: nothing was paid for.
        EXPECT_TRUE(fresh.toolModem.Commands().empty());
    }
    // The port of another program, and settings the port refuses.
    CentralRig rig;
    const platform::PortHandle held = platform::CommOpen("SIM2");
    rig.options.commands = {Make(central::Command::Station)};
    EXPECT_EQ(rig.Run(), central::kExitPort);
    EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: cannot open port SIM2: in use by another program (a modem tool, "
                                   "getty or a second teldrv-central); end it first"))
        << rig.err.str();
    platform::CommClose(held);
    sim::Locked(rig.toolLine)->faults.failSetState = true;
    EXPECT_EQ(rig.Run(), central::kExitPort);
    EXPECT_NE(rig.err.str().find("cannot open port SIM2: line settings refused (19200 baud"), std::string::npos)
        << rig.err.str();
}

TEST(CentralTool, WritesByNameAndSaysWhatTheStationNeverWrites) {
    CentralRig rig;
    korpro_sim::DefineGate("NOTE", 13);
    std::string error;
    ASSERT_TRUE(gatefile::WriteBytes(
        "07_GATES.DAT", gatefile::BuildGateFile(7, {{"TANK_LEVEL", 1, 0}, {"PUMP_STATE", 0, 0}, {"NOTE", 7, 0}}),
        &error));
    rig.StartStation();
    central::Command byName = Make(central::Command::Online);
    byName.seconds = 2;
    byName.write = central::WriteRequest{0, "-3", "TANK_LEVEL"};
    central::Command note = byName;
    note.write = central::WriteRequest{0, "9", "NOTE"};
    rig.options.commands = {byName, note};
    rig.options.csvFile = "unused.csv";
    ASSERT_EQ(rig.Run(), central::kExitOk) << rig.err.str();
    EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: warning: --csv unused.csv is for history, and no history command "
                                   "is given (online takes its own: online --csv FILE)"));
    EXPECT_TRUE(Has(rig.out.str(), "write gate 0 TANK_LEVEL = -3: status 0 (taken)")) << rig.out.str();
    EXPECT_TRUE(Has(rig.out.str(), "write gate 2 NOTE = 9: status 0 (not written by the station)")) << rig.out.str();
    EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: warning: gate 2 NOTE has value type 7, which the station never "
                                   "writes; the write is sent only to see the answer"))
        << rig.err.str();
    EXPECT_EQ(korpro_sim::GateValueWrites(), (std::vector<korpro_sim::GateValueWrite>{{kTankLevel, -3.0}}));
    // No hangup asked for: the tool still ends the call, request first, then the modem.
    EXPECT_TRUE(Has(rig.out.str(), "station hung up")) << rig.out.str();
    EXPECT_TRUE(DriverRig::WaitFor([&] { return !rig.driver.modem.Carrier(); }, 30000));
}

TEST(CentralTool, AnotherStationsGateFileNamesNothing) {
    CentralRig rig;
    std::string error;
    ASSERT_TRUE(gatefile::WriteBytes("08_GATES.DAT", gatefile::BuildGateFile(8, {{"FLOW", 1, 0}}), &error));
    rig.StartStation();
    rig.options.gatesFile = "08_GATES.DAT";
    central::Command online = Make(central::Command::Online);
    online.write = central::WriteRequest{0, "1", "FLOW"};
    rig.options.commands = {Make(central::Command::Station), online};
    EXPECT_EQ(rig.Run(), central::kExitWrongStation) << rig.err.str();
    EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: station 7 answered, but 08_GATES.DAT is the gate file of station 8: "
                                   "no further command runs, so no gate is named or written wrongly; give the gate "
                                   "file of station 7, or leave --gates out"))
        << rig.err.str();
    EXPECT_EQ(rig.out.str().find("FLOW"), std::string::npos) << rig.out.str();
    EXPECT_TRUE(korpro_sim::GateValueWrites().empty());
    EXPECT_TRUE(Has(rig.out.str(), "station hung up")) << rig.out.str();
}

TEST(CentralTool, LineFaultsAreNamedAndCarrierlessPortsOffered) {
    {
        // A line at other settings than the station's: bytes, but never a frame header.
        CentralRig rig;
        rig.StartStation();
        rig.exchange.SetLineFilter([](std::vector<uint8_t>& bytes) {
            for (uint8_t& b : bytes) b = b == 0x02 ? 0xFD : static_cast<uint8_t>(b | 0x80);
        });
        rig.options.retries = 0;
        rig.options.timeoutMs = 2000;
        rig.options.commands = {Make(central::Command::Station)};
        EXPECT_EQ(rig.Run(), central::kExitNoAnswer);
        EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: FE_REQ_STATION: no answer from the station after 1 send"));
        EXPECT_NE(rig.err.str().find(" bytes came where a frame was expected: likely a line-settings mismatch; check "
                                     "--baud, --data, --parity and --stop against the station's port"),
                  std::string::npos)
            << rig.err.str();
    }
    // A port without a carrier detect line (a pty): CONNECT alone does not do.
    CentralRig rig;
    rig.StartStation();
    sim::Locked(rig.toolLine)->faults.failModemStatus = 1 << 30;
    rig.options.commands = {Make(central::Command::Station)};
    EXPECT_EQ(rig.Run(), central::kExitNoCarrier);
    EXPECT_NE(rig.err.str().find("teldrv-central: CONNECT, but the port has no carrier detect line; if the port or "
                                 "cable has none (a pseudo-terminal, a three-wire cable), run again with "
                                 "--ignore-carrier"),
              std::string::npos)
        << rig.err.str();
    ASSERT_TRUE(DriverRig::WaitFor([&] { return !rig.driver.modem.Carrier(); }, 60000));
    ASSERT_TRUE(rig.driver.WaitIdle(60000));
    // With --ignore-carrier, and a rate above 16 bits, the call goes through
    // and ends on command, as a modem without carrier detect needs.
    rig.options.ignoreCarrier = true;
    rig.options.baud = 115200;
    rig.options.settings[0] = 0;
    EXPECT_EQ(rig.Run(), central::kExitOk) << rig.err.str();
    EXPECT_TRUE(Has(rig.out.str(), "station 7"));
    EXPECT_EQ(sim::Locked(rig.toolLine)->dcb.BaudRate, 115200u);
    EXPECT_EQ(rig.toolModem.Commands().back(), "ATH");
}

// Records of the tank level every 10 s from `from`, enough for several answers.
void AddTankHistory(int32_t from, int count) {
    std::vector<korpro_sim::HistoryEntry> entries;
    for (int i = 0; i < count; ++i) {
        entries.push_back({kTankLevel, korpro_sim::ValuePayload(from + 10 * i, 0, 0, i), from + 10 * i});
    }
    korpro_sim::AddHistory(entries);
}

std::vector<std::string> CsvLines(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_TRUE(text.str().empty() || text.str().back() == '\n');
    return Lines(text.str());
}

TEST(CentralTool, CtrlCEndsTheCallWithWholeLinesAndAResumePoint) {
    CentralRig rig;
    rig.StartStation();
    const int32_t base = sim::CalendarSeconds() - 3600;
    AddTankHistory(base, 200);
    // Ctrl-C while the third history answer is on its way.
    bool header = false;
    rig.exchange.SetLineFilter([&](std::vector<uint8_t>& bytes) {
        const bool starts = bytes.size() >= 9 && bytes[0] == 0x02 && std::memcmp(&bytes[1], "FER", 3) == 0;
        const size_t body = starts ? 9 : 0;
        if ((starts || header) && bytes.size() > body && bytes[body] == 't' && ++rig.answers == 3) {
            central::RequestStop();
        }
        header = starts && bytes.size() == 9;
    });
    central::Command history = Make(central::Command::History);
    history.time = base;
    rig.options.commands = {history, Make(central::Command::Station)};
    rig.options.csvFile = "h.csv";
    EXPECT_EQ(rig.Run(), central::kExitInterrupted) << rig.err.str();
    central::ClearStop();
    const std::vector<std::string> csv = CsvLines("h.csv");
    ASSERT_EQ(csv.size(), 1u + 3 * 56) << rig.err.str();
    for (const std::string& line : csv) EXPECT_EQ(Count(line, ","), 6u) << line;
    const std::string last = central::FormatTime(base + 10 * (3 * 56 - 1));
    EXPECT_EQ(csv.back().substr(0, 14 + last.size()), "0,TANK_LEVEL," + last + ",");
    EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: history since " + central::FormatTime(base) +
                                       " incomplete (interrupted): 168 records written to h.csv; resume with: "
                                       "history --since " + last))
        << rig.err.str();
    EXPECT_TRUE(Has(rig.out.str(), "station hung up")) << rig.out.str();
    EXPECT_FALSE(Has(rig.out.str(), "station 7"));
    EXPECT_TRUE(Has(rig.err.str(), "teldrv-central: interrupted after 0 of 2 commands; the call is ended, CSV files "
                                   "closed with whole lines"))
        << rig.err.str();
    EXPECT_FALSE(rig.toolModem.Carrier());
}

TEST(CentralTool, AHistoryPullThatFailsPartWaySaysSoFirst) {
    CentralRig rig;
    rig.StartStation();
    const int32_t base = sim::CalendarSeconds() - 3600;
    AddTankHistory(base, 100);
    // Answers: 1 start history, 2 the first 56 records, then silence.
    rig.BreakAnswers({3, 4}, {});
    central::Command history = Make(central::Command::History);
    history.time = base;
    rig.options.commands = {history};
    rig.options.retries = 1;
    rig.options.timeoutMs = 2000;
    rig.options.progress = true;
    EXPECT_EQ(rig.Run(), central::kExitNoAnswer) << rig.err.str();
    const std::string err = rig.err.str();
    const std::string last = central::FormatTime(base + 10 * 55);
    EXPECT_NE(err.find("\rhistory: 56 records in 1 answer, "), std::string::npos) << err;
    EXPECT_NE(err.find(" s, last " + last + "\n"), std::string::npos) << err;
    const size_t failed = err.find("teldrv-central: FE_REQ_CONT_HISTORY: no answer from the station after 2 sends");
    const size_t resume = err.find("teldrv-central: history since " + central::FormatTime(base) +
                                   " incomplete: 56 records; resume with: history --since " + last);
    EXPECT_NE(failed, std::string::npos) << err;
    EXPECT_GT(resume, failed) << err;
    EXPECT_EQ(err.find("records written"), std::string::npos) << err;
    EXPECT_EQ(Lines(rig.out.str()).size(), 57u);  // stdout: the header and the 56 records
}

TEST(CentralTool, OnlineChangesAsCsvAndNoHangupKeepsTheCall) {
    CentralRig rig;
    rig.StartStation();
    rig.StartPlant();
    central::Command online = Make(central::Command::Online);
    online.seconds = 3;
    online.csvFile = "online.csv";
    rig.options.commands = {online};
    rig.options.noHangUp = true;
    ASSERT_EQ(rig.Run(), central::kExitOk) << rig.err.str();
    rig.StopPlant();
    const std::vector<std::string> csv = CsvLines("online.csv");
    ASSERT_GE(csv.size(), 3u);
    EXPECT_EQ(csv[0], "gate,name,time,milliseconds,status,value,payload");
    // The pump's status changes: the flag set carries no value, the flag cleared reads as 0.
    for (const char* line : {"1,PUMP_STATE,2004-02-16T01:42:40Z,0,1,,01 80 00 00 00 00 00 00 00 00 10 20 30 40 00 00",
                             "1,PUMP_STATE,2004-02-16T01:42:40Z,0,0,0,01 00 00 00 00 00 00 00 00 00 10 20 30 40 00 00"}) {
        EXPECT_NE(std::find(csv.begin(), csv.end(), line), csv.end()) << line;
    }
    EXPECT_TRUE(Has(rig.out.str(), std::to_string(csv.size() - 1) + " changes written to online.csv"))
        << rig.out.str();
    EXPECT_FALSE(Has(rig.out.str(), "station hung up"));
    EXPECT_TRUE(Has(rig.err.str(), "--no-hangup: the call stays up")) << rig.err.str();
    EXPECT_TRUE(rig.toolModem.Carrier());
    rig.driver.modem.DropCarrier();
    EXPECT_TRUE(DriverRig::WaitFor([&] { return !rig.toolModem.Carrier(); }, 30000));
}

// The programs themselves, as a shell runs them: stdout and stderr apart.
struct ProgramRun {
    int status;
    std::string out;
    std::string err;
};

// The programs as the build made them: they are built with this test.
std::string ToolPath(const std::string& tool) {
    return tool == "teldrv-gates" ? TELDRV_GATES_TOOL : TELDRV_CENTRAL_TOOL;
}

ProgramRun RunProgram(const std::string& tool, const std::string& arguments) {
    const std::filesystem::path errFile =
        std::filesystem::temp_directory_path() / ("teldrv-program-err-" + std::to_string(::getpid()));
    FILE* pipe = popen((ToolPath(tool) + " " + arguments + " 2>" + errFile.string()).c_str(), "r");
    if (pipe == nullptr) return {-1, "", "popen failed"};
    ProgramRun run{};
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(errFile);
    std::stringstream text;
    text << err.rdbuf();
    run.err = text.str();
    std::filesystem::remove(errFile);
    return run;
}

TEST(CentralTool, ProgramsHelpVersionOneLineMistakesAndPureCsv) {
    for (const char* tool : {"teldrv-central", "teldrv-gates"}) {
        const ProgramRun help = RunProgram(tool, "dump station --help");
        EXPECT_EQ(help.status, 0) << tool;
        EXPECT_EQ(help.out.rfind(std::string("usage: ") + tool, 0), 0u) << help.out;
        const ProgramRun version = RunProgram(tool, "station --version");
        EXPECT_EQ(version.status, 0) << tool;
        EXPECT_EQ(version.out, std::string(tool) + " " TELDRV_VERSION "\n");
    }
    const ProgramRun mistake = RunProgram("teldrv-central", "ttyS0 station bogus");
    EXPECT_EQ(mistake.status, central::kExitUsage);
    EXPECT_EQ(mistake.err, "teldrv-central: unknown argument 'bogus' (teldrv-central --help shows the usage)\n");
    EXPECT_EQ(mistake.out, "");
    const ProgramRun gates = RunProgram("teldrv-gates", "frobnicate");
    EXPECT_EQ(gates.err, "teldrv-gates: unknown command 'frobnicate' (teldrv-gates --help shows the usage)\n");

    // History CSV alone on stdout; the results and the station's log (-v) on stderr.
    const ProgramRun sim = RunProgram("teldrv-central", "--sim --dial 0307000007 -v station history --since 0");
    ASSERT_EQ(sim.status, 0) << sim.err;
    const std::vector<std::string> csv = Lines(sim.out);
    ASSERT_GT(csv.size(), 10u) << sim.out;
    EXPECT_EQ(csv[0], "gate,name,time,milliseconds,status,value,payload");
    for (const std::string& line : csv) EXPECT_EQ(Count(line, ","), 6u) << line;
    EXPECT_TRUE(Has(sim.err, "station 7")) << sim.err;
    EXPECT_TRUE(Has(sim.err, "history since 1970-01-01T00:00:00Z: " + std::to_string(csv.size() - 1) + " records"))
        << sim.err;
    EXPECT_TRUE(Has(sim.err, "station hung up")) << sim.err;
    EXPECT_NE(sim.err.find("] TELDRV> "), std::string::npos) << sim.err;
}

// A null-modem line on a real pseudo-terminal, the test as the station: the
// frames answered byte for byte, a rate above 16 bits set on the tty, and the
// call ended by FE_REQ_HANG_UP although no hangup was asked for.
TEST(CentralTool, NullModemOnAPseudoTerminal) {
    int master = -1, slave = -1;
    char name[128] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    const std::vector<std::pair<std::string, std::string>> exchange = {
        {"02 46 45 43 00 01 00 01 10 53 10 01 9D 03", "02 46 45 52 00 01 00 04 10 73 07 07 07 10 02 B0 03"},
        {"02 46 45 43 00 02 00 01 10 58 10 01 A7 03", "02 46 45 52 00 02 00 01 10 78 10 01 C7 03"},
    };
    std::vector<std::string> requests;
    std::thread station([&] {
        for (const auto& [request, answer] : exchange) {
            central::Bytes got;
            const size_t size = (request.size() + 1) / 3;
            while (got.size() < size) {
                pollfd ready{master, POLLIN, 0};
                if (::poll(&ready, 1, 5000) <= 0) return;
                uint8_t byte = 0;
                if (::read(master, &byte, 1) == 1) got.push_back(byte);
            }
            requests.push_back(central::Hex(got));
            central::Bytes bytes;
            for (size_t at = 0; at < answer.size(); at += 3) {
                bytes.push_back(static_cast<uint8_t>(std::stoul(answer.substr(at, 2), nullptr, 16)));
            }
            ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        }
    });
    ToolOptions options;
    std::string error;
    ASSERT_EQ(central::ParseCommandLine({name, "--baud", "115200", "--timeout", "2000", "station"}, &options, &error),
              central::kExitOk)
        << error;
    std::ostringstream out, err;
    const int code = central::RunTool(options, out, err);
    termios t{};
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    station.join();
    ::close(slave);
    ::close(master);
    EXPECT_EQ(code, central::kExitOk) << err.str();
    EXPECT_EQ(out.str(), "station 7\nstation hung up\n");
    EXPECT_EQ(requests, (std::vector<std::string>{exchange[0].first, exchange[1].first}));
    EXPECT_EQ(cfgetospeed(&t), speed_t{B115200});
}

// SIGTERM to the program in the middle of on-line transfer: the call is
// ended, the CSV holds whole lines only, and the exit code says so.
TEST(CentralTool, ProgramStoppedBySigtermEndsTheCall) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("teldrv-sigterm-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string csv = (dir / "on.csv").string(), log = (dir / "station.log").string();
    const std::string script = "cd " + dir.string() + " && " + ToolPath("teldrv-central") +
                               " --sim --dial 0307000007 --station-log " + log +
                               " online --seconds 86400 --csv " + csv + " >out 2>err & pid=$!; "
                               "i=0; until [ \"$( (wc -l < " + csv + ") 2>/dev/null || echo 0)\" -gt 20 ] || "
                               "[ $i -gt 1000 ]; do i=$((i+1)); sleep 0.02; done; "
                               "kill -TERM $pid; wait $pid; echo $? > " + (dir / "rc").string();
    ASSERT_EQ(std::system(("sh -c '" + script + "'").c_str()), 0);
    auto read = [&](const std::string& name) {
        std::ifstream file(dir / name);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    };
    EXPECT_EQ(read("rc"), "130\n") << read("err");
    const std::vector<std::string> lines = CsvLines(csv);
    ASSERT_GT(lines.size(), 20u);
    for (const std::string& line : lines) EXPECT_EQ(Count(line, ","), 6u) << line;
    EXPECT_TRUE(Has(read("out"), std::to_string(lines.size() - 1) + " changes written to " + csv)) << read("out");
    EXPECT_TRUE(Has(read("out"), "station hung up")) << read("out");
    EXPECT_TRUE(Has(read("err"), "teldrv-central: interrupted after 0 of 1 command; the call is ended, CSV files "
                                 "closed with whole lines"))
        << read("err");
    EXPECT_NE(read("station.log").find("] TELDRV> "), std::string::npos);
    std::filesystem::remove_all(dir);
}

}  // namespace
