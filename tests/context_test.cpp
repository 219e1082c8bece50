#include <gtest/gtest.h>

#include <cstring>

#include "driver/context.h"

namespace {

TEST(ContextDefaults, SetsEveryDefaultAndKeepsTheCopiedFields) {
    StationContext ctx;
    std::memset(&ctx, 0xA5, sizeof ctx);
    SetContextDefaults(&ctx);

    EXPECT_EQ(ctx.comTimeout, 1000u);
    EXPECT_EQ(ctx.answerThreadRunning, 0);
    EXPECT_EQ(ctx.linkActive, 0);
    EXPECT_EQ(ctx.onlineActive, 0);
    EXPECT_EQ(ctx.onlineThreadRunning, 0);
    EXPECT_EQ(ctx.stationNumber, 255);
    EXPECT_STREQ(ctx.modemResetCmd, "ATZ");
    EXPECT_STREQ(ctx.dialPrefix, "ATDT");
    EXPECT_STREQ(ctx.hangUpCmd, "ATH0");
    EXPECT_STREQ(ctx.autoAnswerCmd, "ATS0=1");
    EXPECT_STREQ(ctx.noAnswerCmd, "ATS0=0");
    EXPECT_EQ(ctx.dialTimeout, 45);
    EXPECT_EQ(ctx.dialRetries, 3);
    EXPECT_EQ(ctx.dialRetryTime, 60);
    for (char* number : ctx.phoneNumbers) EXPECT_EQ(number, nullptr);
    for (const DialEntry& entry : ctx.dialEntries) EXPECT_EQ(entry.reference, 0);
    EXPECT_EQ(ctx.stationGates, nullptr);
    EXPECT_EQ(ctx.gateIdMap, nullptr);
    EXPECT_EQ(ctx.alertClass, 2);
    EXPECT_EQ(ctx.alertSeverity, 1000);
    EXPECT_EQ(ctx.alertZone, 1000);
    EXPECT_EQ(ctx.changeBuffer, nullptr);
    EXPECT_EQ(ctx.changeCapacity, 1024);
    EXPECT_EQ(ctx.changeWrite, 0);
    EXPECT_EQ(ctx.changeRead, 0);

    // Kept: what ColdStart copied before the defaults, and what later steps own.
    const uint8_t k8 = 0xA5;
    const uint16_t k16 = 0xA5A5;
    EXPECT_EQ(ctx.portEnabled, k8);
    EXPECT_EQ(ctx.portName[0], static_cast<char>(k8));
    EXPECT_EQ(ctx.baudRate, k16);
    EXPECT_EQ(ctx.dataBits, k16);
    EXPECT_EQ(ctx.stopBits, k16);
    EXPECT_EQ(ctx.parity, k16);
    EXPECT_EQ(ctx.portOptions, k16);
    EXPECT_EQ(ctx.driverNumber, 0xA5A5A5A5u);
    EXPECT_EQ(ctx.clientId, k8);
    EXPECT_EQ(ctx.stationGateCount, k16);
    EXPECT_EQ(ctx.gateIdMapSize, k16);
    EXPECT_EQ(ctx.frameTag, k16);
    for (const DialEntry& entry : ctx.dialEntries) {
        EXPECT_EQ(entry.retriesLeft, k8);
        EXPECT_EQ(static_cast<uint32_t>(entry.dueTime), 0xA5A5A5A5u);
    }
}

TEST(ContextDefaults, CommandFieldsAreNulTerminatedWithinTheirWidth) {
    StationContext ctx;
    std::memset(&ctx, 'X', sizeof ctx);
    SetContextDefaults(&ctx);
    EXPECT_EQ(std::strlen(ctx.modemResetCmd), 3u);
    EXPECT_EQ(std::strlen(ctx.noAnswerCmd), 6u);
}

TEST(ContextLayout, FitsTheBlockTheHostAllocates) {
    EXPECT_LE(sizeof(StationContext), kReportedContextSize);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(kReportedContextSize, 1336u);
    }
}

}  // namespace
