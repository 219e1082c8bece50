// Faults on the line and in the host while the driver serves the central
// station: after each one the driver logs what it must, keeps its state
// consistent, answers the next good request and loses no change it holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>

#include "common/alloc_hook.h"
#include "link/session.h"
#include "serial/port.h"
#include "sim/central_history.h"
#include "sim/central_online.h"
#include "sim/korpro_history.h"
#include "sim/wire.h"
#include "tests/link_rig.h"
#include "tests/log_text.h"
#include "tests/online_rig.h"
#include "tests/session_runner.h"
#include "tests/sim_environment.h"

namespace {

using korpro_sim::LogLine;
using korpro_sim::OnlineCall;
using log_test::Logged;
using log_test::LogText;
using online_test::kFirstHostId;
using online_test::LetThreadsRun;
using online_test::Numbered;
using online_test::NumberOf;
using sim::Bytes;

// A central whose line can swallow what the driver sends, or lose the
// carrier part-way through a response.
class FaultyCentral : public sim::CentralStation {
public:
    void FromDriver(sim::WorldLock& lock, const uint8_t* data, size_t size) override {
        if (deaf) return;
        if (dropAfter >= 0) {
            const size_t pass = std::min<size_t>(size, static_cast<size_t>(dropAfter));
            dropAfter -= static_cast<int>(pass);
            if (pass != 0) CentralStation::FromDriver(lock, data, pass);
            if (dropAfter == 0) {
                dropAfter = -1;
                wire->HangUp(lock);
            }
            return;
        }
        CentralStation::FromDriver(lock, data, size);
    }
    void SetDeaf(bool on) {
        sim::WorldLock lock(sim::WorldMutex());
        deaf = on;
    }
    // The carrier goes after this many more bytes from the driver.
    void DropAfter(int bytes) {
        sim::WorldLock lock(sim::WorldMutex());
        dropAfter = bytes;
    }

    sim::DirectWire* wire = nullptr;
    bool deaf = false;
    int dropAfter = -1;
};

struct FaultRig : BasicLinkRig<FaultyCentral> {
    FaultRig() { central.wire = &wire; }
    ~FaultRig() {
        // A session still in a call ends when the carrier goes.
        if (sessionRunning) {
            wire.Drop();
            WaitSession(sim::kForever);
        }
        online_test::StopGateThread(&ctx);
    }
    // A new call on the same port after the last one ended.
    void Reconnect() {
        central.TakeInput();
        wire.Connect();
        StartSession();
    }
    void Raise(uint16_t gate, uint32_t n) {
        korpro_sim::RaiseValueChange(static_cast<uint16_t>(kFirstHostId + gate), Numbered(n), {1, 2, 3, 4, 5, 6});
    }

    online_test::StationTables tables;
};

const Bytes kStationAnswer{0x73, 7, 7, 7};
const LogLine kHungUp{64, "TELDRV> Receive() error, modem hung up already"};

// One step of a trickled frame: after delayMs, this many bytes (0: the rest).
struct Piece {
    uint32_t delayMs;
    size_t bytes;
};

void SendInPieces(FaultRig& rig, const Bytes& frame, const std::vector<Piece>& pieces) {
    size_t sent = 0;
    for (const Piece& piece : pieces) {
        if (piece.delayMs != 0) platform::Sleep(piece.delayMs);
        const size_t count = piece.bytes == 0 ? frame.size() - sent : piece.bytes;
        rig.central.SendBytes(Bytes(frame.begin() + static_cast<std::ptrdiff_t>(sent),
                                    frame.begin() + static_cast<std::ptrdiff_t>(sent + count)));
        sent += count;
    }
}

std::vector<Piece> OneByOne(size_t count, uint32_t delayMs, std::vector<Piece> before = {}) {
    for (size_t i = 0; i < count; ++i) before.push_back({delayMs, 1});
    before.push_back({0, 0});
    return before;
}

// Every read of a frame part may take its whole time-out (comTimeout for
// the header, 500 ms for body and footer): a frame that trickles in with a
// byte in each read's window is whole, one whose next byte comes just after
// a read's window fails that part with its message, costs only that frame,
// and the next good request is answered. Each case starts right after an
// answer, the moment the driver's header read begins.
TEST(FrameTimingFaults, PiecesJustInsideTheTimeOutsMakeAFrameJustOutsideLoseIt) {
    const platform::SystemTime utc{2026, 12, 1, 7, 22, 30, 15, 250};
    const uint32_t t = 10000;  // comTimeout 1000 units
    const uint32_t w = 500;
    const struct {
        const char* name;
        std::vector<Piece> pieces;
        const char* message;  // "" when the frame is whole
    } cases[] = {
        {"header byte by byte", OneByOne(9, t - 1), ""},
        {"header late", {{t + 1, 0}}, "TELDRV> Receive() error, reading message header (0/9)"},
        {"header rest in time", {{0, 4}, {2 * t - 1, 0}}, ""},
        {"header rest late", {{0, 4}, {2 * t + 1, 0}}, "TELDRV> Receive() error, reading message header (4/9)"},
        {"body byte by byte", OneByOne(17, w - 1, {{0, 9}}), ""},
        {"body late", {{0, 9}, {w + 1, 0}}, "TELDRV> Receive() error, reading message body (0/17)"},
        {"body rest in time", {{0, 15}, {2 * w - 1, 0}}, ""},
        {"body rest late", {{0, 15}, {2 * w + 1, 0}}, "TELDRV> Receive() error, reading message body (6/17)"},
        {"footer byte by byte", OneByOne(4, w - 1, {{0, 26}}), ""},
        {"footer late", {{0, 26}, {w + 1, 0}}, "TELDRV> Receive() error, reading message footer (0/4)"},
        {"footer rest late", {{0, 28}, {2 * w + 1, 0}}, "TELDRV> Receive() error, reading message footer (2/4)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultRig rig;
        ASSERT_EQ(rig.ctx.comTimeout * 10u, t);
        rig.StartSession();
        ASSERT_EQ(rig.central.Station(), kStationAnswer);
        korpro_sim::ClearLog();
        SendInPieces(rig, sim::EncodeFrame("FEC", 0x4242, sim::SyncClockRequest(utc)), c.pieces);
        std::optional<sim::Frame> answer = rig.central.ReadResponse(3 * t);
        if (*c.message == '\0') {
            ASSERT_TRUE(answer) << LogText();
            EXPECT_EQ(answer->body, Bytes{0x63});
            EXPECT_EQ(sim::SystemClockSets().size(), 1u);
            EXPECT_TRUE(korpro_sim::Log().empty()) << LogText();
        } else {
            EXPECT_FALSE(answer);
            EXPECT_TRUE(sim::SystemClockSets().empty());
            ASSERT_FALSE(korpro_sim::Log().empty());
            EXPECT_EQ(korpro_sim::Log().front(), (LogLine{64, c.message})) << LogText();
            // The tail of the lost frame is noise to the driver; once it has
            // settled, the next request is served.
            platform::Sleep(3 * t);
            rig.central.TakeInput();
            EXPECT_EQ(rig.central.Station(), kStationAnswer) << LogText();
        }
        EXPECT_EQ(rig.central.HangUp(), Bytes{0x78});
        ASSERT_TRUE(rig.WaitSession(10000));
        EXPECT_EQ(rig.sessionResult, SessionResult::kSessionHungUp);
    }
}

// On-line transfer across a line that garbles, drops and duplicates bytes
// of requests, and loses answers: the central repeats each request with its
// sequence byte until an answer comes, and every change the driver took
// arrives exactly once and in order.
TEST(LineFaults, NoiseDropsDuplicatesAndLostAnswersLoseNoChange) {
    FaultRig rig;
    rig.tables.Install(&rig.ctx, 8, 1024);
    rig.StartSession();
    ASSERT_EQ(rig.central.Ask(sim::StartOnlineRequest()), (Bytes{0x6F, 0x00}));

    std::mt19937 random(4711);
    uint32_t raised = 0;
    std::vector<uint32_t> delivered;
    uint8_t sequence = 0;
    uint16_t tag = 0x5000;
    int lostAnswers = 0;
    for (int round = 0; round < 80; ++round) {
        for (int i = 0, n = static_cast<int>(random() % 5); i < n; ++i) rig.Raise(random() % 8, ++raised);
        LetThreadsRun();
        sequence = static_cast<uint8_t>(sequence % 255 + 1);
        const Bytes good = sim::EncodeFrame("FEC", ++tag, sim::ContOnlineRequest(sequence));
        Bytes bad = good;
        const int fault = round % 6;
        switch (fault) {
            case 0: {  // noise before the frame
                Bytes noise(1 + random() % 30);
                for (auto& b : noise) b = static_cast<uint8_t>(random());
                bad.insert(bad.begin(), noise.begin(), noise.end());
                break;
            }
            case 1: bad[random() % bad.size()] ^= static_cast<uint8_t>(1 + random() % 255); break;
            case 2: bad.erase(bad.begin() + static_cast<std::ptrdiff_t>(random() % bad.size())); break;
            case 3: {
                const auto at = bad.begin() + static_cast<std::ptrdiff_t>(random() % bad.size());
                bad.insert(at, *at);
                break;
            }
            case 4: rig.central.SetDeaf(true); break;  // the answer is lost on its way
            case 5: break;                             // a clean exchange
        }
        if (fault != 5) {
            rig.central.SendBytes(bad);
            platform::Sleep(25000);
            rig.central.SetDeaf(false);
            // A garbled frame can still end in a good one (a duplicated ETX,
            // say): that answer, like a swallowed one, makes the next a retry.
            if (fault == 4 || rig.central.ReadResponse(0)) ++lostAnswers;
            rig.central.TakeInput();
        }
        rig.central.SendRequestTagged(++tag, sim::ContOnlineRequest(sequence));
        std::string why;
        std::optional<sim::Frame> answer = rig.central.ReadResponse(15000, &why);
        ASSERT_TRUE(answer) << "round " << round << ": " << why << "\n" << LogText();
        EXPECT_EQ(answer->tag, tag);
        sim::OnlineAnswer decoded;
        ASSERT_EQ(sim::DecodeOnlineAnswer(answer->body, false, &decoded), "");
        for (const sim::ReceivedChange& change : decoded.changes) delivered.push_back(NumberOf(change.value));
    }
    // The rest is collected by clean polls.
    LetThreadsRun();
    for (;;) {
        sequence = static_cast<uint8_t>(sequence % 255 + 1);
        std::optional<Bytes> body = rig.central.Ask(sim::ContOnlineRequest(sequence));
        ASSERT_TRUE(body);
        sim::OnlineAnswer decoded;
        ASSERT_EQ(sim::DecodeOnlineAnswer(*body, false, &decoded), "");
        if (decoded.changes.empty()) break;
        for (const sim::ReceivedChange& change : decoded.changes) delivered.push_back(NumberOf(change.value));
    }
    std::vector<uint32_t> expected(raised);
    for (uint32_t i = 0; i < raised; ++i) expected[i] = i + 1;
    EXPECT_EQ(delivered, expected);
    EXPECT_GT(raised, 100u);
    // Each lost answer came back as a retry; nothing else was a retry.
    const std::vector<LogLine> log = korpro_sim::Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), LogLine{8, "TELDRV> info, retry sent"}), lostAnswers);
    EXPECT_EQ(rig.central.HangUp(), Bytes{0x78});
    ASSERT_TRUE(rig.WaitSession(10000));
}

// The carrier lost at every point of a session, with on-line transfer and
// history files open: the session ends at once with 1 (no hang-up pause),
// stops the gate message thread, which removes its client, closes the
// history files, and the next call is served from a clean start.
TEST(CarrierLoss, AtEveryPointTheSessionEndsCleanAndTheNextCallIsServed) {
    enum class Point { Header, Body, Footer, BetweenRequests, SendHeader, SendBody };
    const struct {
        Point point;
        const char* name;
        std::vector<LogLine> lines;  // what the loss logs, in order
        int64_t endsWithinMs;        // the read in progress runs out its time-outs, then the carrier check
    } cases[] = {
        {Point::Header, "header", {{64, "TELDRV> Receive() error, reading message header (4/9)"}, kHungUp}, 20250},
        {Point::Body, "body", {{64, "TELDRV> Receive() error, reading message body (3/17)"}, kHungUp}, 1250},
        {Point::Footer, "footer", {{64, "TELDRV> Receive() error, reading message footer (2/4)"}, kHungUp}, 1250},
        {Point::BetweenRequests,
         "between",
         {{64, "TELDRV> Receive() error, reading message header (0/9)"}, kHungUp},
         10250},
        {Point::SendHeader, "send header", {kHungUp}, 0},
        {Point::SendBody, "send body", {kHungUp}, 0},
    };
    const platform::SystemTime utc{2026, 12, 1, 7, 22, 30, 15, 250};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FaultRig rig;
        rig.tables.Install(&rig.ctx, 4, 64);
        korpro_sim::AddHistory(
            {{kFirstHostId, korpro_sim::ValuePayload(sim::kEpochSeconds, 0, 0, 1.5), sim::kEpochSeconds}});
        rig.StartSession();
        ASSERT_EQ(rig.central.Ask(sim::StartOnlineRequest()), (Bytes{0x6F, 0x00}));
        const uint8_t client = korpro_sim::Clients().at(0);
        ASSERT_EQ(sim::StartHistory(rig.central, sim::kEpochSeconds), (Bytes{0x68, 0x00}));
        ASSERT_EQ(korpro_sim::OpenHistoryHandles().size(), 1u);
        const uint32_t handle = korpro_sim::OpenHistoryHandles()[0];
        rig.Raise(1, 1);
        LetThreadsRun();
        korpro_sim::ClearLog();

        const Bytes frame = sim::EncodeFrame("FEC", 0x0777, sim::SyncClockRequest(utc));
        int64_t lostAt = 0;
        auto sendThenDrop = [&](size_t bytes) {
            rig.central.SendBytes(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(bytes)));
            platform::Sleep(100);
            lostAt = sim::NowMs();
            rig.wire.Drop();
        };
        switch (c.point) {
            case Point::Header: sendThenDrop(4); break;
            case Point::Body: sendThenDrop(12); break;
            case Point::Footer: sendThenDrop(28); break;
            case Point::BetweenRequests:
                platform::Sleep(100);
                lostAt = sim::NowMs();
                rig.wire.Drop();
                break;
            case Point::SendHeader:
            case Point::SendBody:
                rig.central.DropAfter(c.point == Point::SendHeader ? 5 : 11);
                lostAt = sim::NowMs();
                // The change goes out in the answer that the line loses.
                rig.central.SendRequest(sim::ContOnlineRequest(1));
                break;
        }
        ASSERT_TRUE(rig.WaitSession(60000));
        EXPECT_EQ(rig.sessionResult, SessionResult::kSessionLinkLost);
        EXPECT_EQ(rig.ctx.linkActive, 0);
        EXPECT_EQ(rig.ctx.onlineActive, 0);
        // No hang-up pause.
        EXPECT_LE(rig.sessionEndedAt - lostAt, c.endsWithinMs);
        EXPECT_EQ(korpro_sim::Log(), c.lines) << LogText();
        EXPECT_TRUE(sim::SystemClockSets().empty());
        EXPECT_TRUE(online_test::StopGateThread(&rig.ctx, 1000));
        EXPECT_EQ(korpro_sim::RemovedClients(), std::vector<uint8_t>{client});
        EXPECT_TRUE(korpro_sim::OpenHistoryHandles().empty());
        EXPECT_EQ(korpro_sim::HistoryCloseCalls(), std::vector<uint32_t>{handle});

        // The next call starts afresh: a new client, an emptied buffer, changes flow.
        rig.Reconnect();
        EXPECT_EQ(rig.central.Station(), kStationAnswer);
        ASSERT_EQ(rig.central.Ask(sim::StartOnlineRequest()), (Bytes{0x6F, 0x00}));
        rig.Raise(2, 2);
        LetThreadsRun();
        std::optional<Bytes> body = rig.central.Ask(sim::ContOnlineRequest(1));
        ASSERT_TRUE(body);
        sim::OnlineAnswer decoded;
        ASSERT_EQ(sim::DecodeOnlineAnswer(*body, false, &decoded), "");
        ASSERT_EQ(decoded.changes.size(), 1u);
        EXPECT_EQ(NumberOf(decoded.changes[0].value), 2u);
        EXPECT_EQ(rig.central.HangUp(), Bytes{0x78});
        ASSERT_TRUE(rig.WaitSession(10000));
        EXPECT_EQ(rig.sessionResult, SessionResult::kSessionHungUp);
    }
}

// Host calls failing one after another in one session: each failure is
// logged and answered as it must be, the session goes on, and changes the
// driver already holds survive a gate message wait that fails mid-transfer.
TEST(HostFaults, EveryHostCallFailingInTurnCostsOnlyItsOwnRequest) {
    FaultRig rig;
    rig.tables.Install(&rig.ctx, 4, 64, {1});
    rig.StartSession();
    sim::OnlinePoller poller(rig.central);

    // Registration refused, then the gate request, then the gate id table.
    korpro_sim::ForceResult(OnlineCall::MkClient, 0x10007, 0, 1);
    EXPECT_EQ(poller.Start(), 2);
    korpro_sim::ForceResult(OnlineCall::RqGateMsg, 9, 0, 1);
    EXPECT_EQ(poller.Start(), 2);
    const DriverAllocFunction savedAlloc = driverAlloc;
    driverAlloc = [](size_t) -> void* { return nullptr; };
    EXPECT_EQ(poller.Start(), 2);
    driverAlloc = savedAlloc;
    ASSERT_TRUE(online_test::StopGateThread(&rig.ctx));
    EXPECT_TRUE(korpro_sim::Clients().empty());
    EXPECT_EQ(rig.central.Station(), kStationAnswer);

    // A working start; the host refuses a remote write.
    ASSERT_EQ(poller.Start(), 0);
    const uint8_t client = korpro_sim::Clients().at(0);
    korpro_sim::ForceResult(OnlineCall::PutGateVal, 0x0312, 0, 1);
    rig.Raise(0, 1);
    rig.Raise(1, 2);
    LetThreadsRun();
    std::optional<sim::OnlineAnswer> written = poller.PollWrite(2, sim::WriteValue16(5));
    ASSERT_TRUE(written) << poller.error();
    EXPECT_EQ(written->writeStatus, 0x12);
    ASSERT_EQ(written->changes.size(), 2u);

    // The gate message wait fails while changes wait in the buffer: the
    // thread ends and removes its client, what it had taken is still
    // collected, and what the host raises afterwards reaches nobody.
    rig.Raise(2, 3);
    rig.Raise(3, 4);
    LetThreadsRun();
    korpro_sim::ForceResult(OnlineCall::WaitMsg, 5, 0, 1);
    platform::Sleep(1000);
    rig.Raise(0, 5);
    EXPECT_EQ(rig.ctx.onlineActive, 0);
    EXPECT_EQ(rig.ctx.onlineThreadRunning, 0);
    EXPECT_EQ(korpro_sim::RemovedClients().back(), client);
    std::optional<sim::OnlineAnswer> after = poller.Poll();
    ASSERT_TRUE(after) << poller.error();
    ASSERT_EQ(after->changes.size(), 2u);
    EXPECT_EQ(NumberOf(after->changes[0].value), 3u);
    EXPECT_EQ(NumberOf(after->changes[1].value), 4u);
    // Its answer lost, the poll is repeated and the same records come again.
    std::optional<sim::OnlineAnswer> again = poller.Repeat();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->body, after->body);

    // History files that do not open, then a buffer that cannot be had, then a failed read.
    korpro_sim::FailHistoryOpen(0x0101);
    EXPECT_EQ(sim::StartHistory(rig.central, sim::kEpochSeconds), (Bytes{0x68, 0x01}));
    korpro_sim::FailHistoryOpen(0);
    driverAlloc = [](size_t) -> void* { return nullptr; };
    const std::optional<Bytes> noBuffer = sim::StartHistory(rig.central, sim::kEpochSeconds);
    driverAlloc = savedAlloc;
    ASSERT_TRUE(noBuffer);
    EXPECT_EQ(noBuffer->at(0), 0x68);
    EXPECT_NE(noBuffer->at(1), 0);
    EXPECT_TRUE(korpro_sim::OpenHistoryHandles().empty());
    korpro_sim::FailHistoryReadAfter(0, 0x0106);
    ASSERT_EQ(sim::StartHistory(rig.central, sim::kEpochSeconds), (Bytes{0x68, 0x00}));
    const std::optional<Bytes> failedRead = sim::ContHistory(rig.central, 1);
    ASSERT_TRUE(failedRead);
    EXPECT_EQ(failedRead->at(0), 0x74);

    // The machine refuses the clock.
    sim::FailSystemClock(5);
    EXPECT_EQ(rig.central.SyncClock({2026, 12, 1, 7, 22, 30, 15, 0}), Bytes{0x63});

    // Through it all the session served on; a fresh start works.
    EXPECT_EQ(rig.central.Station(), kStationAnswer);
    ASSERT_EQ(poller.Start(), 0);
    rig.Raise(1, 6);
    LetThreadsRun();
    std::optional<sim::OnlineAnswer> fresh = poller.Poll();
    ASSERT_TRUE(fresh);
    ASSERT_EQ(fresh->changes.size(), 1u);
    EXPECT_EQ(NumberOf(fresh->changes[0].value), 6u);
    EXPECT_EQ(rig.central.HangUp(), Bytes{0x78});
    ASSERT_TRUE(rig.WaitSession(10000));
    EXPECT_EQ(rig.sessionResult, SessionResult::kSessionHungUp);
    EXPECT_TRUE(korpro_sim::OpenHistoryHandles().empty());

    for (const LogLine& line : std::vector<LogLine>{
             {64, "TELDRV> DoTheCom() error, registering Korpro, rc: 7"},
             {64, "TELDRV> DoTheCom() error, requesting gate id's, rc: 9"},
             {64, "TELDRV> DoTheCom() error, allocating gate id table"},
             {64, "TELDRV> OnLineGtMsgThread() error, Kor5WaitMsg rc 5"},
             {8, "TELDRV> info, retry sent"},
             {64, "TELDRV> DoTheCom() open history files failed, Kor5VfiOpen() rc 257"},
             {64, "TELDRV> DoTheCom() allocation history buffer failed"},
             {64, "TELDRV> DoTheCom() error, setting system clock, err 5"},
         }) {
        EXPECT_TRUE(Logged(line)) << line << "\n" << LogText();
    }
}

}  // namespace
