// The Linux library as a host that unloads it right after EndVpi: each round
// libteldrv.so (the POSIX platform) is loaded from its own path, starts on a
// pseudo-terminal with the simulated modem on its far end, serves an
// incoming call with on-line transfer, is stopped and unloaded at once, and
// loaded again. The auto-answer thread is held on its last log line until
// EndVpi is seen waiting for it; once EndVpi has returned the unload unmaps
// the library. Run with the modem-line shim preloaded (ctest does), on the
// real clock.
#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "sim/central.h"
#include "sim/central_online.h"
#include "sim/korpro_online.h"
#include "sim/korpro_sim.h"
#include "tests/driver_library.h"
#include "tests/last_line_hold.h"
#include "tests/log_text.h"
#include "tests/pty/pty_modem.h"
#include "tests/test_port_settings.h"
#include "tools/shared/gate_file.h"

namespace {

namespace fs = std::filesystem;
using pty_test::WaitFor;
using sim::Bytes;

constexpr const char* kStopped = "TELDRV> AutoAnswerThread() info: thread stopped";

// The driver answers within milliseconds, but drops what arrives before it
// has seen the carrier (one 100 ms poll): a request without an answer after
// 2 s is sent again, well within the driver's 10 s wait for a header.
constexpr int64_t kResendMs = 2000;

class UnloadAfterCalls : public ::testing::Test {
protected:
    void SetUp() override {
        const char* lines = std::getenv("TELDRV_SHIM_LINES");
        if (!lines || !std::getenv("LD_PRELOAD")) GTEST_SKIP() << "run by ctest, with the modem-line shim preloaded";
        sim::ResetClock(sim::ClockMode::Real, static_cast<int64_t>(std::time(nullptr)));
        korpro_sim::Reset();
        korpro_sim::DefineGate("TANK_LEVEL", 11);
        line = std::make_unique<pty_test::PtyModem>(lines, sim::ModemTiming{2000, 2000, 3000, 1000});
        setenv("TELDRV_SHIM_PTY", line->ptyPath().c_str(), 1);
        previous = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "teldrv-pty-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory = pattern;
        fs::current_path(directory);
        central.ResendAfter(kResendMs);
        // The port name holds 11 characters: the pty is reached through a link.
        fs::create_symlink(line->ptyPath(), "port");
        std::string error;
        ASSERT_TRUE(gatefile::WriteBytes("TELDRV07.INT", {'S', 'T', 'A', 'T', 'I', 'O', 'N', '=', '7', '\n'}, &error));
        ASSERT_TRUE(gatefile::WriteBytes("07_GATES.DAT", gatefile::BuildGateFile(7, {{"TANK_LEVEL", 1, 0}}), &error));
    }
    void TearDown() override {
        korpro_sim::SetLogHook(nullptr);
        if (line && central.IsConnected()) central.HangUpLine();
        line.reset();
        if (!directory.empty()) {
            fs::current_path(previous);
            fs::remove_all(directory);
        }
    }

    size_t AutoAnswers() {
        size_t count = 0;
        for (const sim::ModemEvent& event : line->modem().Transcript()) {
            count += event.kind == sim::ModemEventKind::Command && event.text == "ATS0=1";
        }
        return count;
    }
    bool AwaitAutoAnswers(size_t count) {
        return WaitFor([&] { return AutoAnswers() >= count; }, 20000);
    }

    // An incoming call: the station, on-line transfer with one change, hang-up.
    void ServeACall(uint8_t mark) {
        line->modem().Ring(central, 3);
        ASSERT_TRUE(central.WaitConnected(15000)) << log_test::LogText();
        EXPECT_EQ(central.Station(), (Bytes{0x73, 7, 7, 7}));
        sim::OnlinePoller poller(central);
        ASSERT_EQ(poller.Start(), 0) << poller.error();
        korpro_sim::RaiseValueChange(11, {mark, 0, 0, 0, 0, 0, 0, 0}, {});
        // The gate message thread took the change and waits again: the
        // record is in the buffer.
        ASSERT_TRUE(korpro_sim::AwaitMessagesHandled(korpro_sim::Clients().back(), 5000));
        std::optional<sim::OnlineAnswer> answer = poller.Poll();
        ASSERT_TRUE(answer) << poller.error();
        ASSERT_EQ(answer->changes.size(), 1u);
        EXPECT_EQ(answer->changes[0].value[0], mark);
        EXPECT_EQ(central.HangUp(), (Bytes{0x78}));
    }

    sim::CentralStation central;
    std::unique_ptr<pty_test::PtyModem> line;
    fs::path previous;
    fs::path directory;
};

TEST_F(UnloadAfterCalls, EachRoundFromTheSamePathServesACallAndIsUnloadedAtOnce) {
    alignas(8) static unsigned char context[4096];
    ColdStartParams params = test_port::ColdStartOn("./port");
    korpro_sim::SetLogHook(last_line::Hold);
    for (uint8_t round = 1; round <= 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const size_t autoAnswers = AutoAnswers();
        LoadedDriver driver = LoadDriver(TELDRV_LIBRARY);
        VpiCallBlock start{context, 1, 7, 0, &params};
        ASSERT_EQ(driver.vpiMain(&start), 0) << log_test::LogText();
        ASSERT_TRUE(AwaitAutoAnswers(autoAnswers + 1)) << log_test::LogText();
        ServeACall(round);
        ASSERT_TRUE(AwaitAutoAnswers(autoAnswers + 3)) << log_test::LogText();

        const VpiCallBlock endVpi{context, 11, 7, 0, nullptr};
        const last_line::HeldEnd end = last_line::EndVpiWhileHeld(driver.vpiMain, endVpi, std::chrono::seconds(20));
        ASSERT_TRUE(end.held) << "the thread never logged its last line";
        EXPECT_TRUE(end.waiting) << "EndVpi returned while its thread was still in the library";
        EXPECT_EQ(end.result, 0);
        ASSERT_EQ(dlclose(driver.handle), 0) << dlerror();
        EXPECT_FALSE(Mapped(TELDRV_LIBRARY)) << "still mapped after the unload";
    }
    EXPECT_EQ(log_test::Count(kStopped), 3u);
    EXPECT_EQ(log_test::Count("TELDRV> EndVpi() exited"), 3u);
}

}  // namespace
