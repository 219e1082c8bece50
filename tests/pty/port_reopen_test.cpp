// PORT_REOPEN_SEC through the Linux library as shipped (the POSIX platform),
// on the real clock: the station's port is a link the test owns to a
// pseudo-terminal with the simulated modem on its far end. The device goes
// (the link and its pty with it), the driver closes the port and says so;
// the link then names a new pseudo-terminal, and the driver opens it there
// and resets that modem. Run with the modem-line shim preloaded (ctest does).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "sim/central.h"
#include "sim/korpro_alerts.h"
#include "sim/korpro_sim.h"
#include "tests/driver_library.h"
#include "tests/log_text.h"
#include "tests/pty/pty_modem.h"
#include "tests/test_port_settings.h"
#include "tools/shared/gate_file.h"

namespace {

namespace fs = std::filesystem;
using pty_test::WaitFor;

// What a loaded 2-core machine may add to a step on the real clock.
constexpr int kLoadRoomMs = 5000;
constexpr sim::ModemTiming kTiming{2000, 2000, 3000, 1000};

class PortReopenOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        lines = std::getenv("TELDRV_SHIM_LINES");
        if (!lines || !std::getenv("LD_PRELOAD")) GTEST_SKIP() << "run by ctest, with the modem-line shim preloaded";
        sim::ResetClock(sim::ClockMode::Real, static_cast<int64_t>(std::time(nullptr)));
        korpro_sim::Reset();
        korpro_sim::DefineGate("TANK_LEVEL", 11);
        previous = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "teldrv-reopen-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory = pattern;
        fs::current_path(directory);
        std::string error;
        const std::string init = "STATION = 7\nPORT_REOPEN_SEC = 5\n";
        ASSERT_TRUE(gatefile::WriteBytes("TELDRV07.INT", std::vector<uint8_t>(init.begin(), init.end()), &error));
        ASSERT_TRUE(gatefile::WriteBytes("07_GATES.DAT", gatefile::BuildGateFile(7, {{"TANK_LEVEL", 1, 0}}), &error));
        // The port name holds 11 characters: the pty is reached through a
        // link, which the shim follows at each look.
        link = directory / "port";
        setenv("TELDRV_SHIM_PTY", link.c_str(), 1);
    }
    void TearDown() override {
        if (directory.empty()) return;
        fs::current_path(previous);
        fs::remove_all(directory);
    }
    // The port's link names the modem's pty.
    std::unique_ptr<pty_test::PtyModem> ModemAtTheLink() {
        auto modem = std::make_unique<pty_test::PtyModem>(lines, kTiming);
        fs::create_symlink(modem->ptyPath(), link);
        return modem;
    }

    const char* lines = nullptr;
    fs::path previous;
    fs::path directory;
    fs::path link;
};

TEST_F(PortReopenOnPty, ThePathNamesANewPseudoTerminalAndTheDriverResetsTheModemThere) {
    std::unique_ptr<pty_test::PtyModem> first = ModemAtTheLink();
    alignas(8) static unsigned char context[4096];
    ColdStartParams params = test_port::ColdStartOn("./port");
    LoadedDriver driver = LoadDriver(TELDRV_LIBRARY);
    VpiCallBlock start{context, 1, 7, 0, &params};
    ASSERT_EQ(driver.vpiMain(&start), 0) << log_test::LogText();
    ASSERT_TRUE(WaitFor([&] { return first->modem().Commands().size() == 3; }, 20000)) << log_test::LogText();

    fs::remove(link);
    first.reset();
    const std::string lost = "TELDRV> ReopenPort() error, port './port' lost, reopening every 5 s";
    ASSERT_TRUE(WaitFor([&] { return log_test::Logged({32, lost}); }, 5000 + kLoadRoomMs)) << log_test::LogText();
    ASSERT_EQ(korpro_sim::Alerts().size(), 1u);
    EXPECT_EQ(korpro_sim::Alerts()[0].text, "TELDRV, port './port' lost");

    std::unique_ptr<pty_test::PtyModem> second = ModemAtTheLink();
    ASSERT_TRUE(WaitFor([&] { return second->modem().Commands().size() == 3; }, 5000 + 4000 + kLoadRoomMs))
        << log_test::LogText();
    EXPECT_TRUE(log_test::Logged({32, "TELDRV> ReopenPort() info, port './port' open again"}));
    EXPECT_EQ(second->modem().Commands(), (std::vector<std::string>{"ATH0", "ATZ", "ATS0=1"}));
    const std::vector<uint8_t> sent = sim::BytesFromPort(second->line());
    EXPECT_EQ(std::string(sent.begin(), sent.end()), "+++ATH0\rATZ\rATS0=1\r");

    // And answers there.
    sim::CentralStation central;
    central.ResendAfter(2000);
    second->modem().Ring(central, 3);
    ASSERT_TRUE(central.WaitConnected(15000)) << log_test::LogText();
    EXPECT_EQ(central.Station(), (sim::Bytes{0x73, 7, 7, 7}));
    EXPECT_EQ(central.HangUp(), (sim::Bytes{0x78}));
    VpiCallBlock end{context, 11, 7, 0, nullptr};
    EXPECT_EQ(driver.vpiMain(&end), 0);
    EXPECT_EQ(dlclose(driver.handle), 0);
    EXPECT_EQ(log_test::Count("TELDRV> CloseCom() exited 0"), 1u);
}

}  // namespace
