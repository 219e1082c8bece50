#include <gtest/gtest.h>

#include <chrono>
#include <dlfcn.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "sim/korpro_sim.h"
#include "tests/driver_library.h"
#include "tests/last_line_hold.h"
#include "tests/test_port_settings.h"
#include "tools/shared/gate_file.h"

namespace {

using korpro_sim::LogLine;

TEST(DriverLibrary, LogLinesReachTheHostRuntime) {
    korpro_sim::Reset();
    LoadedDriver driver = LoadFreshDriver();
    VpiInfo info{};
    VpiCallBlock block{nullptr, 14, 0, 0, &info};
    ASSERT_EQ(driver.vpiMain(&block), 0);
    EXPECT_EQ(info.typeCode, 70u);
    EXPECT_EQ(std::strlen(info.banner), 223u);
    // Had the driver bound to the C library's err, the process would have ended.
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{{64, "TELDRV> GetVpiInfo() exited"}}));
}

TEST(DriverLibrary, EachLoadIsAFreshLibrary) {
    LoadedDriver first = LoadFreshDriver();
    LoadedDriver second = LoadFreshDriver();
    EXPECT_NE(first.handle, second.handle);
    VpiInfo a{}, b{};
    VpiCallBlock callA{nullptr, 14, 0, 0, &a};
    VpiCallBlock callB{nullptr, 14, 0, 0, &b};
    ASSERT_EQ(first.vpiMain(&callA), 0);
    ASSERT_EQ(second.vpiMain(&callB), 0);
    // Two copies, two sets of module objects.
    EXPECT_NE(a.banner, b.banner);
    EXPECT_STREQ(a.banner, b.banner);
}

}  // namespace

namespace {

// Once EndVpi has run, the loaded library answers 0 to everything, ColdStart
// included; only a library loaded anew starts again.
TEST(DriverLibrary, AfterEndVpiOnlyAFreshLoadStartsAgain) {
    korpro_sim::Reset();
    const std::filesystem::path previous = std::filesystem::current_path();
    char empty[] = "/tmp/teldrv-noinit-XXXXXX";  // no init file here
    ASSERT_NE(mkdtemp(empty), nullptr);
    std::filesystem::current_path(empty);
    LoadedDriver driver = LoadFreshDriver();
    alignas(8) static unsigned char context[4096];
    ColdStartParams params = test_port::ColdStartOn("NUL", 0);
    VpiCallBlock start{context, 1, 99, 0, &params};
    ASSERT_EQ(driver.vpiMain(&start), 0);
    VpiCallBlock end{context, 11, 99, 0, nullptr};
    ASSERT_EQ(driver.vpiMain(&end), 0);
    korpro_sim::ClearLog();

    VpiInfo info{};
    VpiCallBlock ask{nullptr, 14, 0, 0, &info};
    EXPECT_EQ(driver.vpiMain(&ask), 0);
    EXPECT_EQ(info.typeCode, 0u) << "GetVpiInfo must not run";
    EXPECT_EQ(driver.vpiMain(&start), 0);
    VpiCallBlock outside{context, 17, 0, 0, nullptr};
    EXPECT_EQ(driver.vpiMain(&outside), 0);
    EXPECT_TRUE(korpro_sim::Log().empty());

    LoadedDriver fresh = LoadFreshDriver();
    EXPECT_EQ(fresh.vpiMain(&ask), 0);
    EXPECT_EQ(info.typeCode, 70u);
    EXPECT_EQ(fresh.vpiMain(&start), 0);
    EXPECT_EQ(korpro_sim::Log().back().text, "TELDRV> ColdStart() exit OK");
    EXPECT_EQ(fresh.vpiMain(&end), 0);
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(empty);
}

}  // namespace

namespace {

// Start, EndVpi, unload at once and load the same file again, round after
// round, as a host may: EndVpi returns only once its thread has left the
// library (held here on its last log line until EndVpi is seen waiting), so
// each unload unmaps the library and each load is a fresh driver.
TEST(DriverLibrary, UnloadedRightAfterEndVpiAndLoadedAgainFromTheSamePath) {
    korpro_sim::Reset();
    const std::filesystem::path previous = std::filesystem::current_path();
    char work[] = "/tmp/teldrv-unload-XXXXXX";
    ASSERT_NE(mkdtemp(work), nullptr);
    std::filesystem::current_path(work);
    std::ofstream("TELDRV99.INT") << "STATION = 7\n";
    std::string error;
    ASSERT_TRUE(gatefile::WriteBytes("07_GATES.DAT", gatefile::BuildGateFile(7, {{"TANK_LEVEL", 1, 0}}), &error))
        << error;
    ASSERT_FALSE(Mapped(TELDRV_LIBRARY));
    alignas(8) static unsigned char context[4096];
    ColdStartParams params = test_port::ColdStartOn("NUL");
    korpro_sim::SetLogHook(last_line::Hold);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        korpro_sim::ClearLog();
        LoadedDriver driver = LoadDriver(TELDRV_LIBRARY);
        VpiInfo info{};
        VpiCallBlock ask{nullptr, 14, 0, 0, &info};
        ASSERT_EQ(driver.vpiMain(&ask), 0);
        ASSERT_EQ(info.typeCode, 70u) << "the stopped module of the round before";
        VpiCallBlock start{context, 1, 99, 0, &params};
        ASSERT_EQ(driver.vpiMain(&start), 0) << ::testing::PrintToString(korpro_sim::Log());
        // ColdStart ran to its end; its thread's first line may come before
        // or after ColdStart's last.
        std::vector<korpro_sim::LogLine> log = korpro_sim::Log();
        std::erase(log, korpro_sim::LogLine{64, "TELDRV> AutoAnswerThread() info: thread started"});
        ASSERT_FALSE(log.empty());
        ASSERT_EQ(log.back().text, "TELDRV> ColdStart() exit OK");

        const VpiCallBlock endVpi{context, 11, 99, 0, nullptr};
        const last_line::HeldEnd end = last_line::EndVpiWhileHeld(driver.vpiMain, endVpi, std::chrono::seconds(10));
        ASSERT_TRUE(end.held) << "the thread never logged its last line";
        EXPECT_TRUE(end.waiting) << "EndVpi returned while its thread was still in the library";
        EXPECT_EQ(end.result, 0);
        EXPECT_EQ(korpro_sim::Log().back().text, "TELDRV> EndVpi() exited");
        ASSERT_EQ(dlclose(driver.handle), 0) << dlerror();
        EXPECT_FALSE(Mapped(TELDRV_LIBRARY)) << "still mapped after the unload";
    }
    korpro_sim::SetLogHook(nullptr);
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(work);
}

}  // namespace
