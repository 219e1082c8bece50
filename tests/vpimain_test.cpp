#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/context.h"
#include "driver/operations.h"
#include "sim/korpro_sim.h"

namespace {

using korpro_sim::LogLine;

class VpiMainTest : public ::testing::Test {
protected:
    void SetUp() override {
        korpro_sim::Reset();
        stopFlag = 0;
        std::memset(&context, 0x5A, sizeof context);
    }
    int32_t Call(uint32_t code, void* parameters = nullptr) {
        VpiCallBlock block{&context, code, 7, 0, parameters};
        return VpiMain(&block);
    }
    StationContext context;
};

TEST_F(VpiMainTest, CodesOutsideTheTableAndEmptySlotsAnswerTwoSilently) {
    for (uint32_t code : {0u, 17u, 0xFFFFFFFFu, 8u, 9u, 16u, 13u, 15u}) {
        EXPECT_EQ(Call(code), 2) << "code " << code;
    }
    EXPECT_TRUE(korpro_sim::Log().empty());
}

TEST_F(VpiMainTest, RefusingOperationsLogTheirLineAndAnswerOne) {
    EXPECT_EQ(Call(4), 1);
    EXPECT_EQ(Call(5), 1);
    EXPECT_EQ(Call(6), 1);
    EXPECT_EQ(Call(10), 1);
    const std::vector<LogLine> expected = {
        {64, "TELDRV> BlockParse() no blocks supported!!"},
        {64, "TELDRV> SingleRead() not supported"},
        {64, "TELDRV> BlockRead() not supported"},
        {64, "TELDRV> BlockWrite() not supported"},
    };
    EXPECT_EQ(korpro_sim::Log(), expected);
}

TEST_F(VpiMainTest, WarmStartLogsAndLeavesTheContextAlone) {
    StationContext before;
    std::memcpy(&before, &context, sizeof context);
    EXPECT_EQ(Call(2), 0);
    EXPECT_EQ(std::memcmp(&before, &context, sizeof context), 0);
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{{64, "TELDRV> WarmStart() exited, 0"}}));
}

TEST_F(VpiMainTest, GetVpiInfoFillsTheTenFieldsWithoutAContext) {
    unsigned char raw[sizeof(VpiInfo) + 8];
    std::memset(raw, 0xEE, sizeof raw);
    auto* info = reinterpret_cast<VpiInfo*>(raw);
    VpiCallBlock block{nullptr, 14, 0, 0, info};
    EXPECT_EQ(VpiMain(&block), 0);
    EXPECT_EQ(info->typeCode, 70u);
    EXPECT_STREQ(info->shortName, "K7 Front-end remote");
    EXPECT_EQ(info->contextSize, kReportedContextSize);
    EXPECT_GE(info->contextSize, sizeof(StationContext));
    EXPECT_EQ(info->classCode, 4u);
    EXPECT_EQ(info->defaultBaudRate, 19200);
    EXPECT_EQ(info->defaultDataBits, 8);
    EXPECT_EQ(info->defaultStopBits, 0);
    EXPECT_EQ(info->defaultParity, 0);
    EXPECT_EQ(info->extraWord, 0u);
    // Nothing past the record is written.
    for (size_t i = sizeof(VpiInfo); i < sizeof raw; ++i) EXPECT_EQ(raw[i], 0xEE) << i;
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{{64, "TELDRV> GetVpiInfo() exited"}}));
    if (sizeof(void*) == 4) {
        EXPECT_EQ(info->contextSize, 1336u);
    }
}

TEST_F(VpiMainTest, BannerIsTheCodePage437BoxByteForByte) {
    VpiInfo info{};
    VpiCallBlock block{nullptr, 14, 0, 0, &info};
    ASSERT_EQ(VpiMain(&block), 0);
    const std::string banner(info.banner);
    ASSERT_EQ(banner.size(), 223u);
    const std::string line = std::string(71, '\xCD');
    const std::string expected = std::string("\x08\x0A") + "\xC9" + line + "\xBB" + "\x0A" + "\xBA" +
                                 " TELDRVEM:  Korvan 7 front-end, remote station VPI DLL" + std::string(17, ' ') +
                                 "\xBA" + "\x0A" + "\xC8" + line + "\xBC";
    EXPECT_EQ(banner, expected);
    // Three lines of 73 characters after the two-character lead-in.
    EXPECT_EQ(banner.substr(2, 73).find('\n'), std::string::npos);
    EXPECT_EQ(banner[75], '\n');
    EXPECT_EQ(banner[149], '\n');
    EXPECT_EQ(banner.size() - 150, 73u);
    // The host keeps the pointer: it is the library's constant, the same every time.
    VpiInfo again{};
    VpiCallBlock second{nullptr, 14, 0, 0, &again};
    VpiMain(&second);
    EXPECT_EQ(again.banner, info.banner);
    EXPECT_EQ(again.shortName, info.shortName);
}

TEST_F(VpiMainTest, StopFlagAnswersZeroToEverythingAndRunsNothing) {
    stopFlag = 1;
    VpiInfo info{};
    for (uint32_t code : {0u, 1u, 4u, 14u, 17u, 0xFFFFFFFFu}) {
        VpiCallBlock block{&context, code, 0, 0, &info};
        EXPECT_EQ(VpiMain(&block), 0) << code;
    }
    EXPECT_EQ(info.typeCode, 0u);
    EXPECT_TRUE(korpro_sim::Log().empty());
    stopFlag = 0;
}

}  // namespace
