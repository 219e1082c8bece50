#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "sim/korpro_sim.h"
#include "tests/driver_library.h"

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
    ColdStartParams params{{'N', 'U', 'L', '\0'}, 0, 0, 19200, 8, 0, 0};
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
