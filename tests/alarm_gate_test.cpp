// The ALARM_CALL gate: address checks and the dial entries a write arms.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "driver/context.h"
#include "driver/operations.h"
#include "tests/sim_environment.h"

namespace {

using korpro_sim::LogLine;

struct Entry {
    unsigned reference;
    int32_t dueTime;
    unsigned retriesLeft;
    bool operator==(const Entry&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Entry& e) {
    return out << "{" << e.reference << ", " << e.dueTime << ", " << e.retriesLeft << "}";
}

class AlarmGateTest : public ::testing::Test {
protected:
    void SetUp() override {
        stopFlag = 0;
        std::memset(&ctx, 0x5A, sizeof ctx);
        SetContextDefaults(&ctx);
        for (unsigned reference : {1u, 2u, 3u, 4u, 5u, 6u, 254u}) {
            ctx.phoneNumbers[reference] = static_cast<char*>(std::malloc(8));
            std::strcpy(ctx.phoneNumbers[reference], "12345");
        }
    }
    void TearDown() override {
        for (char* number : ctx.phoneNumbers) std::free(number);
    }

    int32_t Parse(const char* address, uint32_t gateType, GateAddress* gate) {
        std::memset(gate, 0x77, sizeof *gate);
        gate->address = address;
        gate->gateType = gateType;
        VpiCallBlock block{nullptr, 3, 0, 0, gate};
        return VpiMain(&block);
    }
    int32_t Write(uint16_t reference, const char* address = "ALARM_CALL") {
        const uint8_t value[4] = {0xFF, 0xFF, static_cast<uint8_t>(reference & 0xFF),
                                  static_cast<uint8_t>(reference >> 8)};
        GateWrite write{};
        write.address = address;
        write.value = value;
        VpiCallBlock block{&ctx, 7, 0, 0, &write};
        return VpiMain(&block);
    }
    Entry At(size_t i) {
        return {ctx.dialEntries[i].reference, ctx.dialEntries[i].dueTime, ctx.dialEntries[i].retriesLeft};
    }
    int32_t Now() { return platform::CalendarTime(); }

    SimEnvironment env;
    StationContext ctx;
};

TEST_F(AlarmGateTest, TheParserAcceptsAlarmCallInAnyCaseWithASixteenBitType) {
    GateAddress gate;
    for (const char* address : {"ALARM_CALL", "alarm_call", "Alarm_Call"}) {
        for (uint32_t type : {0u, 1u}) {
            EXPECT_EQ(Parse(address, type, &gate), 0) << address;
            EXPECT_EQ(gate.word4, 16);
            EXPECT_EQ(gate.word5, 16);
            EXPECT_EQ(gate.word6, 16);
            EXPECT_EQ(gate.word7, -1);
            EXPECT_EQ(gate.word8, 16);
            EXPECT_EQ(gate.word1, 0x77777777u);  // words the driver does not use
            EXPECT_EQ(gate.word3, 0x77777777u);
        }
    }
    EXPECT_TRUE(korpro_sim::Log().empty());
}

TEST_F(AlarmGateTest, TheParserRefusesOtherAddressesAndTypes) {
    GateAddress gate;
    EXPECT_EQ(Parse("Alarm_Call", 2, &gate), 1);
    EXPECT_EQ(Parse("alarm_calls", 0, &gate), 1);
    EXPECT_EQ(Parse("", 0, &gate), 1);
    EXPECT_EQ(gate.word4, 0);
    EXPECT_EQ(gate.word5, 0);
    EXPECT_EQ(gate.word6, 0);
    EXPECT_EQ(gate.word7, -1);
    EXPECT_EQ(gate.word8, 0);
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  {64, "TELDRV> SingleParse() 'ALARM_CALL' gate type should be 16-bit"},
                  {32, "TELDRV> SingleParse() illegal gate address string 'ALARM_CALLS', only 'ALARM_CALL' gate "
                       "supported"},
                  {32, "TELDRV> SingleParse() illegal gate address string '', only 'ALARM_CALL' gate supported"},
              }));
}

TEST_F(AlarmGateTest, AWriteArmsTheFirstFreeEntryDueInThreeSeconds) {
    const int32_t now = Now();
    EXPECT_EQ(Write(3, "alarm_call"), 0);
    EXPECT_EQ(At(0), (Entry{3, now + 3, 3}));
    EXPECT_EQ(Write(254, "Alarm_Call"), 0);
    EXPECT_EQ(At(1), (Entry{254, now + 3, 3}));
    EXPECT_EQ(At(2).reference, 0u);
    EXPECT_TRUE(korpro_sim::Log().empty());
}

TEST_F(AlarmGateTest, RefusedWritesLeaveEveryEntryAsItWas) {
    ASSERT_EQ(Write(1), 0);
    const Entry first = At(0);
    EXPECT_EQ(Write(1, "ALARM"), 2);
    EXPECT_EQ(Write(0, "Alarm_Call"), 1);
    EXPECT_EQ(Write(255), 1);
    EXPECT_EQ(Write(0x0101), 1);  // both bytes of the word count
    EXPECT_EQ(Write(7, "alarm_call"), 1);
    EXPECT_EQ(At(0), first);
    for (size_t i = 1; i < kDialEntryCount; ++i) EXPECT_EQ(At(i).reference, 0u);
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  {32, "TELDRV> SingleWrite() illegal gate address string, 'ALARM'"},
                  {64, "TELDRV> SingleWrite() illegal dial reference number, gate 'Alarm_Call'"},
                  {64, "TELDRV> SingleWrite() illegal dial reference number, gate 'ALARM_CALL'"},
                  {64, "TELDRV> SingleWrite() illegal dial reference number, gate 'ALARM_CALL'"},
                  {64, "TELDRV> SingleWrite() error, dial reference 7 not defined in init file, gate 'alarm_call'"},
              }));
}

TEST_F(AlarmGateTest, WritingAReferenceAgainReArmsItsEntryUnlessAFreeOneComesFirst) {
    ASSERT_EQ(Write(3), 0);
    // The call was tried once and is due again later.
    ctx.dialEntries[0].retriesLeft = 1;
    ctx.dialEntries[0].dueTime = Now() + 60;
    platform::Sleep(5000);
    ASSERT_EQ(Write(3), 0);
    EXPECT_EQ(At(0), (Entry{3, Now() + 3, 3}));
    EXPECT_EQ(At(1).reference, 0u);

    // With entry 1 free and entry 2 holding 3, the free one comes first.
    ctx.dialEntries[0].reference = 0;
    ctx.dialEntries[1] = {3, 1, 12345};
    ASSERT_EQ(Write(3), 0);
    EXPECT_EQ(At(0), (Entry{3, Now() + 3, 3}));
    EXPECT_EQ(At(1), (Entry{3, 12345, 1}));
}

TEST_F(AlarmGateTest, AFullTableRefusesANewReferenceAndReArmsAHeldOne) {
    for (uint16_t reference = 1; reference <= 5; ++reference) ASSERT_EQ(Write(reference), 0);
    ctx.dialEntries[3].retriesLeft = 1;
    const int32_t armedAt = Now();
    platform::Sleep(2000);
    EXPECT_EQ(Write(6), 1);
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{{64, "TELDRV> SingleWrite() error, all 5 dial entries occupied, gate 'ALARM_CALL'"}}));
    EXPECT_EQ(Write(4), 0);
    EXPECT_EQ(At(3), (Entry{4, armedAt + 5, 3}));
    EXPECT_EQ(At(4), (Entry{5, armedAt + 3, 3}));
}

TEST_F(AlarmGateTest, TheAttemptCountNeitherWrapsNorStartsAtZero) {
    const struct {
        uint16_t configured;
        unsigned attempts;
    } cases[] = {{0, 1}, {1, 1}, {255, 255}, {256, 255}, {65535, 255}};
    for (const auto& c : cases) {
        ctx.dialEntries[0].reference = 0;
        ctx.dialRetries = c.configured;
        ASSERT_EQ(Write(1), 0);
        EXPECT_EQ(At(0).retriesLeft, c.attempts) << c.configured;
    }
}

}  // namespace
