// Whole calls through teldrv.dll under Wine. The driver runs in a Windows
// host (call_host.cpp) on COM5, which Wine maps to a pseudo-terminal; on its
// Linux end sit the simulated modem and central station, on the real clock
// (pty_modem.h). Verdicts: the bytes and DTR changes on the line, the modem's
// commands, the driver's log lines and the host calls.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <thread>

#include "sim/central.h"
#include "sim/central_history.h"
#include "sim/central_online.h"
#include "tests/log_text.h"
#include "tests/pty/pty_modem.h"
#include "tests/windows/wine_host.h"
#include "tools/shared/gate_file.h"

namespace {

using korpro_sim::LogLine;
using log_test::LogText;
using pty_test::WaitFor;
using sim::Bytes;
using wine_test::WineHost;
using wine_test::WineSetup;

constexpr const char* kCentral = "0301234567";  // dial reference 1: the central answers
constexpr const char* kSilent = "0307654321";   // dial reference 2: nobody answers

// Station 7 on driver number 7, with short dial and retry times.
const std::string kInit =
    "; remote station 7\r\n"
    "STATION = 7\r\n"
    "COM_TIMEOUT = 5\r\n"
    "ALERTS = 2, 1000, 1000\r\n"
    "MODEM_NUMBER 1 = 0301234567\r\n"
    "MODEM_NUMBER 2 = 0307654321\r\n"
    "MODEM_DIAL_TIMEOUT = 4\r\n"
    "MODEM_DIAL_RETRIES = 2\r\n"
    "MODEM_DIAL_RETRY_TIME_SEC = 5\r\n";

// A fast telephone network: a dialled call is up in 2 s, rings come every
// 3 s, an answered call has its carrier 1 s later.
constexpr sim::ModemTiming kNetwork{2000, 2000, 3000, 1000};

// The driver's own times, from which the real-clock bounds below are made.
constexpr int64_t kPollMs = 100;          // its looks at the carrier and the dial entries
constexpr int64_t kBodyWaitMs = 500;      // its wait for a frame's body
constexpr int64_t kHangUpPauseMs = 3000;  // its pause after answering FE_REQ_HANG_UP
constexpr int64_t kDialWaitMs = 5000;     // MODEM_DIAL_TIMEOUT 4 s, to the end of the clock's second
constexpr int64_t kRetryMs = 5000;        // MODEM_DIAL_RETRY_TIME_SEC 5 s, whole seconds
// What a loaded 2-core machine may add to one step under Wine.
constexpr int64_t kLoadRoomMs = 2000;
// The driver drops what arrives before it has seen the carrier (one poll): a
// request without an answer after 2 s is sent again, well within the 5 s the
// driver waits for a header (COM_TIMEOUT).
constexpr int64_t kResendMs = 2000;

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

bool Has(const std::vector<LogLine>& lines, const LogLine& wanted) {
    return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

// A history record's 16 bytes as the simulated host writes a gate value:
// time, milliseconds 0, status 0, the value as a double, little-endian.
std::array<uint8_t, 16> ValueRecord(uint32_t time, double value) {
    std::array<uint8_t, 16> bytes{};
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(time >> (8 * i));
    for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<uint8_t>(bits >> (8 * i));
    return bytes;
}

class WineCall : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing;
        setup = WineSetup::FromEnvironment(&missing);
        if (!missing.empty()) GTEST_SKIP() << "run by tests/windows/run_wine_calls.sh; not set: " << missing;
        sim::ResetClock(sim::ClockMode::Real, static_cast<int64_t>(std::time(nullptr)));
        central.ResendAfter(kResendMs);
        WriteStationFiles();
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        const std::string linesFile = setup.runDirectory + "/" + name + ".lines";
        line = std::make_unique<pty_test::PtyModem>(linesFile, kNetwork);
        line->modem().Register(kCentral, &central);
        line->modem().Register(kSilent, nullptr, sim::DialAnswer::NoAnswer);
        wine_test::MapComPort(setup, "com5", line->ptyPath());
        host = std::make_unique<WineHost>(setup, ShimPort(), linesFile, setup.runDirectory + "/" + name + ".log");
        host->Command("gate TANK_LEVEL 11");
        host->Command("gate PUMP_STATE 12");
    }

    void TearDown() override {
        // A call left standing by a failed test would hold the driver's thread.
        if (line && central.IsConnected()) central.HangUpLine();
        host.reset();
        line.reset();
    }

    // The init file, and what the modem-line shim takes for the port (the pty,
    // or a link it follows).
    virtual std::string InitText() { return kInit; }
    virtual std::string ShimPort() { return line->ptyPath(); }

    void WriteStationFiles() {
        std::string error;
        const std::string init = InitText();
        ASSERT_TRUE(gatefile::WriteBytes(setup.runDirectory + "/TELDRV07.INT",
                                         std::vector<uint8_t>(init.begin(), init.end()), &error))
            << error;
        ASSERT_TRUE(gatefile::WriteBytes(setup.runDirectory + "/07_GATES.DAT",
                                         gatefile::BuildGateFile(7, {{"TANK_LEVEL", 1, 0}, {"PUMP_STATE", 0, 0}}),
                                         &error))
            << error;
    }

    // ColdStart on COM5, then the modem's start-up dialogue to its end.
    void StartAndAwaitAutoAnswer() {
        const size_t autoAnswers = Commands("ATS0=1").size();
        ASSERT_EQ(host->Result("start COM5 7"), 0) << LogText(host->Log());
        ASSERT_TRUE(AwaitCommands("ATS0=1", autoAnswers + 1, 20000)) << LogText(host->Log());
    }

    // The modem has taken `count` command lines `command` in all.
    bool AwaitCommands(const std::string& command, size_t count, int timeoutMs) {
        return WaitFor([&] { return Commands(command).size() >= count; }, timeoutMs);
    }
    std::vector<sim::ModemEvent> Commands(const std::string& command) {
        std::vector<sim::ModemEvent> found;
        for (const sim::ModemEvent& event : line->modem().Transcript()) {
            if (event.kind == sim::ModemEventKind::Command && event.text == command) found.push_back(event);
        }
        return found;
    }

    // The call stands and the driver's session listens: it has answered
    // FE_REQ_STATION (sent again should it come before the session drained
    // its input on the carrier).
    bool AwaitCall(int timeoutMs) {
        return central.WaitConnected(timeoutMs) && central.Station() == Bytes{0x73, 7, 7, 7};
    }

    size_t Mark() {
        return sim::UnderWorldLock([&] { return line->line().transcript.size(); });
    }
    std::vector<sim::LineEvent> Since(size_t mark) {
        return sim::UnderWorldLock([&] {
            const std::vector<sim::LineEvent>& all = line->line().transcript;
            return std::vector<sim::LineEvent>(all.begin() + static_cast<long>(mark), all.end());
        });
    }
    Bytes Joined(size_t mark, sim::Direction direction) {
        Bytes bytes;
        for (const sim::LineEvent& event : Since(mark)) {
            if (event.direction == direction) bytes.insert(bytes.end(), event.bytes.begin(), event.bytes.end());
        }
        return bytes;
    }
    Bytes FromStation(size_t mark) { return Joined(mark, sim::Direction::ToPeer); }
    Bytes ToStation(size_t mark) { return Joined(mark, sim::Direction::ToPort); }
    // DTR changes since the mark: (time, level).
    std::vector<std::pair<int64_t, bool>> Dtr(size_t mark) {
        std::vector<std::pair<int64_t, bool>> changes;
        for (const sim::LineEvent& event : Since(mark)) {
            if (event.direction == sim::Direction::Dtr) changes.push_back({event.timeMs, event.bytes[0] != 0});
        }
        return changes;
    }

    // What Wine made of the driver's device control block: 19200 baud, 8
    // data bits, no parity, one stop bit, no flow control, raw bytes.
    void ExpectLineSettings() {
        const termios t = line->Settings();
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
        EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ISTRIP | ICRNL | INLCR | IGNCR), 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
    }

    // EndVpi as the host calls it, waited for up to timeoutMs.
    int32_t EndVpiWithin(int timeoutMs) {
        host->Command("end");
        return host->Result("ended " + std::to_string(timeoutMs), timeoutMs + 5000);
    }

    WineSetup setup;
    sim::CentralStation central;
    std::unique_ptr<pty_test::PtyModem> line;
    std::unique_ptr<WineHost> host;
};

// The driver's stop sequence at the end of the log, after EndVpi.
const std::vector<LogLine> kStopLines = {{64, "TELDRV> AutoAnswerThread() info: resetting modem..."},
                                         {64, "TELDRV> AutoAnswerThread() info: thread stopped"},
                                         {64, "TELDRV> CloseCom() exited 0"},
                                         {64, "TELDRV> EndVpi() exited"}};

// The host's GetVpiInfo, then ColdStart on COM5 and the thread's start.
void ExpectStartLines(std::vector<LogLine> lines) {
    ASSERT_EQ(lines.size(), 7u);
    const std::string handle = "file handle ";
    EXPECT_EQ(lines[0], (LogLine{64, "TELDRV> GetVpiInfo() exited"}));
    EXPECT_EQ(lines[1].text.rfind("TELDRV> version compiled on ", 0), 0u) << lines[1].text;
    EXPECT_EQ(lines[2], (LogLine{32, "TELDRV> *********************** BETA VERSION *************************"}));
    const size_t at = lines[3].text.find(handle);
    ASSERT_NE(at, std::string::npos) << lines[3].text;
    const std::string opened = lines[3].text.substr(at);
    EXPECT_EQ(lines[3], (LogLine{64, "TELDRV> OpenCom() exited OK, " + opened}));
    EXPECT_EQ(lines[4], (LogLine{64, "TELDRV> ColdStart() port COM5 opened, " + opened}));
    std::sort(lines.begin() + 5, lines.end(), [](const LogLine& a, const LogLine& b) { return a.text < b.text; });
    EXPECT_EQ(lines[5], (LogLine{64, "TELDRV> AutoAnswerThread() info: thread started"}));
    EXPECT_EQ(lines[6], (LogLine{64, "TELDRV> ColdStart() exit OK"}));
}

// The phases of an incoming call, each with its verdicts.
class IncomingCall : public WineCall {
protected:
    // Reset and auto-answer: DTR, raised by the port's open, held low 1.5 s;
    // "+++" in its guard times; each command answered OK.
    void ExpectResetAndAutoAnswer() {
        EXPECT_EQ(Text(FromStation(0)), "+++ATH0\rATZ\rATS0=1\r");
        const auto dtr = Dtr(0);
        ASSERT_EQ(dtr.size(), 3u);
        EXPECT_TRUE(dtr[0].second && !dtr[1].second && dtr[2].second);
        EXPECT_GE(dtr[2].first - dtr[1].first, 1450);
        ExpectLineSettings();
    }

    // FE_REQ_STATION, byte for byte both ways.
    void ExpectStationFrames() {
        const size_t mark = Mark();
        central.SendRequestTagged(0x1234, {0x53});
        ASSERT_TRUE(central.ReadResponse(10000)) << LogText(host->Log());
        EXPECT_EQ(sim::Hex(ToStation(mark)), "02 46 45 43 12 34 00 01 10 53 10 01 9C 03");
        EXPECT_EQ(sim::Hex(FromStation(mark)), "02 46 45 52 12 34 00 04 10 73 07 07 07 10 02 AF 03");
    }

    // FE_REQ_SYNC_CLOCK: SetSystemTime gets the fields as sent, day of week
    // and milliseconds included; Windows refuses month 13 with 87.
    void ExpectClockSetAsSent() {
        const platform::SystemTime valid{2031, 5, 6, 3, 14, 9, 41, 120};
        EXPECT_EQ(central.SyncClock(valid), (Bytes{0x63}));
        EXPECT_EQ(central.SyncClock({2026, 13, 1, 7, 22, 30, 15, 0}), (Bytes{0x63}));
        const std::vector<wine_test::ClockCall> clocks = host->ClockCalls();
        ASSERT_EQ(clocks.size(), 2u);
        EXPECT_EQ(clocks[0].error, 0u);
        EXPECT_EQ(std::memcmp(&clocks[0].utc, &valid, sizeof valid), 0);
        EXPECT_EQ(clocks[1].error, 87u);
        EXPECT_EQ(clocks[1].utc.wMonth, 13);
    }

    // One subscription for both gates; what the host raises comes back as
    // records, value and status; a remote write to TANK_LEVEL (signed 16
    // bits) reaches the host as -2.
    void ExpectOnLineTransfer(sim::OnlinePoller& poller) {
        ASSERT_EQ(poller.Start(), 0) << poller.error();
        const std::vector<korpro_sim::GateRequest> requests = host->GateRequests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].gateIds, (std::vector<uint32_t>{11, 12}));
        EXPECT_EQ(requests[0].kind, 5u);
        ASSERT_EQ(host->Command("value 11 0102030405060708 A1A2A3A4A5A6"), std::vector<std::string>{});
        ASSERT_EQ(host->Command("status 12 0100000000000000 B1B2B3B4B5B6"), std::vector<std::string>{});
        std::optional<sim::OnlineAnswer> changes = poller.Poll();
        ASSERT_TRUE(changes) << poller.error();
        EXPECT_EQ(sim::Hex(changes->body),
                  "6D 00 "
                  "00 00 01 02 03 04 05 06 07 08 A1 A2 A3 A4 A5 A6 "
                  "01 80 00 00 00 00 00 00 00 00 B1 B2 B3 B4 B5 B6");
        std::optional<sim::OnlineAnswer> written = poller.PollWrite(0, sim::WriteValue16(0xFFFE, 0x1234));
        ASSERT_TRUE(written) << poller.error();
        EXPECT_EQ(sim::Hex(written->body), "6D 00 00");
        EXPECT_EQ(host->GateValueWrites(), (std::vector<korpro_sim::GateValueWrite>{{11, -2.0}}));
    }

    // A poll whose answer is lost is sent again with its tag and sequence
    // byte: the same answer, byte for byte, and the change is not lost.
    void ExpectRetriedPollAnsweredAlike() {
        ASSERT_EQ(host->Command("value 12 0900000000000000 C1C2C3C4C5C6"), std::vector<std::string>{});
        const Bytes poll = sim::ContOnlineRequest(9);
        size_t mark = Mark();
        central.SendRequestTagged(0x2009, poll);
        ASSERT_TRUE(central.ReadResponse(10000));
        const Bytes first = FromStation(mark);
        mark = Mark();
        central.SendRequestTagged(0x2009, poll);
        ASSERT_TRUE(central.ReadResponse(10000));
        EXPECT_EQ(sim::Hex(FromStation(mark)), sim::Hex(first));
        EXPECT_EQ(sim::Hex(first),
                  "02 46 45 52 20 09 00 12 10 6D 00 "
                  "01 00 09 00 00 00 00 00 00 00 C1 C2 C3 C4 C5 C6 10 09 0C 03");
    }

    // 90 records of TANK_LEVEL in batches of at most 56: 56, 34, then none.
    void ExpectHistoryInBatches() {
        const uint32_t since = static_cast<uint32_t>(std::time(nullptr)) - 3600;
        host->Command("history 11 " + std::to_string(since) + " 100 90 10");
        const sim::HistoryCollection history = sim::CollectHistory(central, since);
        ASSERT_TRUE(history.complete) << history.error;
        ASSERT_EQ(history.records.size(), 90u);
        EXPECT_EQ(history.answers, 3);
        EXPECT_EQ(history.repetitions, 0);
        for (size_t i = 0; i < history.records.size(); ++i) {
            EXPECT_EQ(history.records[i].stationIndex, 0) << i;
            EXPECT_EQ(history.records[i].payload, ValueRecord(since + 10 * static_cast<uint32_t>(i), 100.0 + i)) << i;
        }
    }

    // FE_REQ_HANG_UP: answered, then 3 s of quiet, then the modem reset (its
    // DTR drop ends the call) and auto-answer, twice.
    void ExpectHangUpPauseAndReset() {
        const size_t mark = Mark();
        EXPECT_EQ(central.HangUp(), (Bytes{0x78}));
        const size_t answered = Mark();
        const int64_t answeredMs = Since(mark).back().timeMs;
        ASSERT_TRUE(AwaitCommands("ATS0=1", 3, 20000)) << LogText(host->Log());
        const auto reset = Dtr(mark);
        ASSERT_GE(reset.size(), 2u);
        EXPECT_FALSE(reset[0].second);
        EXPECT_GE(reset[0].first - answeredMs, kHangUpPauseMs - 50);
        EXPECT_LE(reset[0].first - answeredMs, kHangUpPauseMs + kLoadRoomMs);
        EXPECT_FALSE(central.IsConnected());
        EXPECT_EQ(Text(FromStation(answered)), "+++ATH0\rATZ\rATS0=1\rATS0=1\r");
    }
};

TEST_F(IncomingCall, IsServedWholeAndTheModemIsResetAfterTheHangUp) {
    StartAndAwaitAutoAnswer();
    ASSERT_NO_FATAL_FAILURE(ExpectResetAndAutoAnswer());
    line->modem().Ring(central, 3);
    ASSERT_TRUE(AwaitCall(15000)) << LogText(host->Log());
    ASSERT_NO_FATAL_FAILURE(ExpectStationFrames());
    ASSERT_NO_FATAL_FAILURE(ExpectClockSetAsSent());
    sim::OnlinePoller poller(central);
    ASSERT_NO_FATAL_FAILURE(ExpectOnLineTransfer(poller));
    ASSERT_NO_FATAL_FAILURE(ExpectRetriedPollAnsweredAlike());
    ASSERT_NO_FATAL_FAILURE(ExpectHistoryInBatches());
    ASSERT_NO_FATAL_FAILURE(ExpectHangUpPauseAndReset());

    // EndVpi on the idle line: the stop sequence on the wire.
    const size_t mark = Mark();
    EXPECT_EQ(EndVpiWithin(20000), 0) << LogText(host->Log());
    EXPECT_EQ(Text(FromStation(mark)), "+++ATH0\rATZ\rATS0=0\r");

    // The whole log: the start (its last two lines come from two threads, in
    // either order), the refused clock and the retry, the stop.
    const std::vector<LogLine> log = host->Log();
    ASSERT_EQ(log.size(), 13u) << LogText(log);
    ExpectStartLines(std::vector<LogLine>(log.begin(), log.begin() + 7));
    std::vector<LogLine> expected = {{64, "TELDRV> DoTheCom() error, setting system clock, err 87"},
                                     {8, "TELDRV> info, retry sent"}};
    expected.insert(expected.end(), kStopLines.begin(), kStopLines.end());
    EXPECT_EQ(std::vector<LogLine>(log.begin() + 7, log.end()), expected) << LogText(log);
}

TEST_F(WineCall, AnAlarmCallDialsTheCentralAndIsServed) {
    StartAndAwaitAutoAnswer();
    const size_t mark = Mark();
    EXPECT_EQ(host->Result("alarm 1"), 0);
    ASSERT_TRUE(AwaitCall(30000)) << LogText(host->Log());
    // Auto-answer off, the reset, the dial; the carrier alone decides. Then
    // the answer to AwaitCall's request.
    EXPECT_EQ(Text(FromStation(mark)), "ATS0=0\r+++ATH0\rATZ\rATDT0301234567\r" +
                                           Text(sim::EncodeFrame("FER", central.lastTag(), {0x73, 7, 7, 7})));
    EXPECT_EQ(central.HangUp(), (Bytes{0x78}));

    // A call ended by the central's hang-up is done: after the reset the
    // modem is back in auto-answer and the number is not dialled again. A
    // kept entry would be due at once, a failed one after the retry time;
    // either would switch auto-answer off within a poll of falling due.
    ASSERT_TRUE(AwaitCommands("ATS0=1", 2, 20000)) << LogText(host->Log());
    EXPECT_FALSE(AwaitCommands("ATS0=0", 2, kRetryMs + 1000 + kPollMs + kLoadRoomMs)) << LogText(host->Log());
    EXPECT_EQ(Commands("ATDT0301234567").size(), 1u);
    EXPECT_TRUE(host->Alerts().empty());
    EXPECT_EQ(EndVpiWithin(20000), 0);
    const std::vector<LogLine> log = host->Log();
    ASSERT_EQ(log.size(), 11u) << LogText(log);
    ExpectStartLines(std::vector<LogLine>(log.begin(), log.begin() + 7));
    EXPECT_EQ(std::vector<LogLine>(log.begin() + 7, log.end()), kStopLines) << LogText(log);
}

TEST_F(WineCall, AnAlarmCallNobodyAnswersIsTriedDialRetriesTimesThenRaisesTheAlert) {
    StartAndAwaitAutoAnswer();
    const size_t mark = Mark();
    EXPECT_EQ(host->Result("alarm 2"), 0);
    const std::string failed = "TELDRV, outgoing alarm call failed after 2 retries";
    ASSERT_TRUE(WaitFor([&] { return Has(host->Log(), {32, failed}); }, 90000)) << LogText(host->Log());
    ASSERT_TRUE(AwaitCommands("ATS0=1", 3, 20000));
    EXPECT_EQ(host->Alerts(), (std::vector<korpro_sim::Alert>{
                                  {0, "FER", failed, 1000, 0x40000000, 1000, 0, 0x14, 0, 0, 1, 0xFFFF, true}}));

    // Two attempts, each: auto-answer off, reset, dial, no carrier, reset.
    const std::string attempt = "ATS0=0\r+++ATH0\rATZ\rATDT0307654321\r+++ATH0\rATZ\r";
    EXPECT_EQ(Text(FromStation(mark)), attempt + "ATS0=1\r" + attempt + "ATS0=1\r");
    const std::vector<sim::ModemEvent> dials = Commands("ATDT0307654321");
    const std::vector<sim::ModemEvent> offs = Commands("ATS0=0");
    ASSERT_EQ(dials.size(), 2u);
    ASSERT_EQ(offs.size(), 2u);
    // The dial waits MODEM_DIAL_TIMEOUT (4 s, until the second has passed)
    // for the carrier; the reset's DTR drop ends the attempt.
    std::vector<int64_t> failures;
    for (const auto& [timeMs, high] : Dtr(mark)) {
        if (!high && failures.size() < dials.size() && timeMs > dials[failures.size()].timeMs) failures.push_back(timeMs);
    }
    ASSERT_EQ(failures.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_GE(failures[i] - dials[i].timeMs, 3950) << i;
        EXPECT_LE(failures[i] - dials[i].timeMs, kDialWaitMs + kPollMs + kLoadRoomMs) << i;
    }
    // The next attempt is due MODEM_DIAL_RETRY_TIME_SEC (5 s, in whole
    // seconds of the clock) after the failed one.
    EXPECT_GE(offs[1].timeMs - failures[0], 3900);
    EXPECT_LE(offs[1].timeMs - failures[0], kRetryMs + kPollMs + kLoadRoomMs);
    EXPECT_EQ(EndVpiWithin(20000), 0);
}

TEST_F(WineCall, EndVpiDuringACallReturnsOnceTheLineIsLost) {
    StartAndAwaitAutoAnswer();
    line->modem().Ring(central, 3);
    ASSERT_TRUE(AwaitCall(15000)) << LogText(host->Log());

    // The read time-outs as the port keeps them: a request trickled across
    // the line within them is served; one cut after its header costs the
    // body's 500 ms and a log line, and the session goes on.
    const Bytes station = sim::EncodeFrame("FEC", 0x0101, {0x53});
    central.SendBytes(Bytes(station.begin(), station.begin() + 5));
    Pause(250);
    central.SendBytes(Bytes(station.begin() + 5, station.end()));
    std::optional<sim::Frame> answer = central.ReadResponse(5000);
    ASSERT_TRUE(answer) << LogText(host->Log());
    EXPECT_EQ(answer->body, (Bytes{0x73, 7, 7, 7}));
    central.SendBytes(Bytes(station.begin(), station.begin() + 9));
    EXPECT_FALSE(central.ReadResponse(2000));
    EXPECT_EQ(central.Station(), (Bytes{0x73, 7, 7, 7}));

    // EndVpi waits while the call stands. The line is lost: the modem's "NO
    // CARRIER" is no header, the carrier is gone at the next look, and the
    // session ends at once, without the hang-up's pause; then the driver
    // resets the modem and stops.
    host->Command("end");
    EXPECT_EQ(host->Command("ended 2000"), (std::vector<std::string>{"pending"}));
    const size_t lost = Mark();
    const int64_t lostMs = sim::NowMs();
    line->modem().DropCarrier();
    EXPECT_EQ(host->Result("ended 30000", 35000), 0) << LogText(host->Log());
    EXPECT_EQ(Text(FromStation(lost)), "+++ATH0\rATZ\rATS0=1\r+++ATH0\rATZ\rATS0=0\r");
    const auto dtr = Dtr(lost);
    ASSERT_FALSE(dtr.empty());
    // At most a body's wait and a poll of the driver's own: sooner than the
    // hang-up's pause would allow.
    static_assert(kBodyWaitMs + kPollMs + kLoadRoomMs < kHangUpPauseMs);
    EXPECT_LT(dtr[0].first - lostMs, kBodyWaitMs + kPollMs + kLoadRoomMs);
    const std::vector<LogLine> log = host->Log();
    ASSERT_EQ(log.size(), 14u) << LogText(log);
    EXPECT_EQ(std::vector<LogLine>(log.begin() + 7, log.begin() + 10),
              (std::vector<LogLine>{{64, "TELDRV> Receive() error, reading message body (0/1)"},
                                    {64, "TELDRV> Receive() error, invalid message header"},
                                    {64, "TELDRV> Receive() error, modem hung up already"}}));
    EXPECT_EQ(std::vector<LogLine>(log.begin() + 10, log.end()), kStopLines) << LogText(log);
}

// A host that unloads the driver as soon as EndVpi has returned, after a
// call, and loads the same file again, round after round: EndVpi returns
// once the threads have left the module, so the unload unloads it at once,
// and each load is a fresh driver that serves its call as the first did.
TEST_F(WineCall, UnloadedRightAfterEndVpiAndLoadedAgainCallAfterCall) {
    for (uint8_t round = 1; round <= 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        if (round > 1) {
            ASSERT_TRUE(host->Command("load").empty());
        }
        StartAndAwaitAutoAnswer();
        const size_t autoAnswers = Commands("ATS0=1").size();
        line->modem().Ring(central, 3);
        ASSERT_TRUE(AwaitCall(15000)) << LogText(host->Log());
        EXPECT_EQ(central.Station(), (Bytes{0x73, 7, 7, 7}));
        sim::OnlinePoller poller(central);
        ASSERT_EQ(poller.Start(), 0) << poller.error();
        ASSERT_EQ(host->Command("value 11 0" + std::to_string(round) + "00000000000000 000000000000"),
                  std::vector<std::string>{});
        std::optional<sim::OnlineAnswer> changes = poller.Poll();
        ASSERT_TRUE(changes) << poller.error();
        ASSERT_EQ(changes->changes.size(), 1u);
        EXPECT_EQ(changes->changes[0].value[0], round);
        EXPECT_EQ(central.HangUp(), (Bytes{0x78}));
        ASSERT_TRUE(AwaitCommands("ATS0=1", autoAnswers + 2, 20000)) << LogText(host->Log());
        EXPECT_EQ(host->Result("unload"), 0);
        EXPECT_EQ(host->Command("gone 0"), (std::vector<std::string>{"gone"}));
    }
    const std::vector<LogLine> log = host->Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), kStopLines.back()), 3) << LogText(log);
}

// COM5 lost and found: the device goes (COM5's link in the prefix, and its
// pty with it), the driver closes the port and raises the alert; COM5 is
// made again on a new pty, and the driver opens it there by its name, resets
// that modem and serves a call. The shim follows COM5's link.
class PortReopen : public WineCall {
protected:
    std::string InitText() override { return kInit + "PORT_REOPEN_SEC = 5\r\n"; }
    std::string ShimPort() override { return setup.prefix + "/dosdevices/com5"; }
};

TEST_F(PortReopen, Com5RemovedAndMadeAgainIsOpenedAgainWithItsModemReset) {
    StartAndAwaitAutoAnswer();
    std::filesystem::remove(ShimPort());
    line.reset();
    const std::string lost = "TELDRV> ReopenPort() error, port 'COM5' lost, reopening every 5 s";
    // PORT_REOPEN_SEC, and a pass of the driver's on the gone port: its
    // auto-answer command's reply may be waited for in full (1.5 s).
    ASSERT_TRUE(WaitFor([&] { return Has(host->Log(), {32, lost}); }, 5000 + 2000 + 2 * kLoadRoomMs))
        << LogText(host->Log());
    EXPECT_EQ(host->Alerts(), (std::vector<korpro_sim::Alert>{{0, "FER", "TELDRV, port 'COM5' lost", 1000, 0x40000000,
                                                               1000, 0, 0x14, 0, 0, 1, 0xFFFF, true}}));

    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    line = std::make_unique<pty_test::PtyModem>(setup.runDirectory + "/" + name + ".lines", kNetwork);
    line->modem().Register(kCentral, &central);
    wine_test::MapComPort(setup, "com5", line->ptyPath());
    ASSERT_TRUE(AwaitCommands("ATS0=1", 1, 5000 + 4000 + 2 * kLoadRoomMs)) << LogText(host->Log());
    EXPECT_TRUE(Has(host->Log(), {32, "TELDRV> ReopenPort() info, port 'COM5' open again"})) << LogText(host->Log());
    EXPECT_EQ(Text(FromStation(0)), "+++ATH0\rATZ\rATS0=1\r");
    line->modem().Ring(central, 3);
    ASSERT_TRUE(AwaitCall(15000)) << LogText(host->Log());
    EXPECT_EQ(central.HangUp(), (Bytes{0x78}));
    EXPECT_EQ(EndVpiWithin(20000), 0);
}

}  // namespace
