#include <gtest/gtest.h>

#include <cstring>

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
