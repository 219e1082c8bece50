#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "config/station_gates.h"
#include "driver/context.h"
#include "tests/config_fixture.h"
#include "tools/shared/gate_file.h"

namespace {

using config_test::WriteFileBytes;
using gatefile::BuildGateFile;
using gatefile::GateEntry;
using korpro_sim::LogLine;

// Marks for the table fields, so that a failed load can be seen to leave them.
auto* const kNoTable = reinterpret_cast<StationGate*>(uintptr_t{0x1111});
auto* const kNoMap = reinterpret_cast<int16_t*>(uintptr_t{0x2222});

class StationGatesTest : public config_test::ConfigFileTest {
protected:
    void SetUp() override {
        ConfigFileTest::SetUp();
        std::memset(&ctx, 0, sizeof ctx);
        ctx.stationGates = kNoTable;
        ctx.gateIdMap = kNoMap;
        ctx.stationGateCount = 0xABCD;
        ctx.gateIdMapSize = 0xDCBA;
    }
    void TearDown() override {
        if (ctx.stationGates != kNoTable) std::free(ctx.stationGates);
        if (ctx.gateIdMap != kNoMap) std::free(ctx.gateIdMap);
        ConfigFileTest::TearDown();
    }

    // Loads and expects the one error line and the context left as it was.
    void ExpectRefused(uint8_t station, const std::string& message) {
        const size_t descriptors = config_test::OpenDescriptors();
        EXPECT_EQ(ReadStationData(&ctx, station), StationDataResult::kStationDataFailed);
        EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{{32, message}})) << config_test::LogText();
        EXPECT_EQ(ctx.stationGates, kNoTable);
        EXPECT_EQ(ctx.gateIdMap, kNoMap);
        EXPECT_EQ(ctx.stationGateCount, 0xABCD);
        EXPECT_EQ(ctx.gateIdMapSize, 0xDCBA);
        EXPECT_EQ(config_test::OpenDescriptors(), descriptors) << "file left open";
    }

    std::vector<int16_t> Map() const { return std::vector<int16_t>(ctx.gateIdMap, ctx.gateIdMap + ctx.gateIdMapSize); }

    StationContext ctx;
};

void DefineThreeGates() {
    korpro_sim::DefineGate("TANK_LEVEL", 1);
    korpro_sim::DefineGate("PUMP_ON", 2);
    korpro_sim::DefineGate("FLOW", 3);
}

std::vector<uint8_t> ThreeGates(uint8_t station) {
    return BuildGateFile(station, {{"TANK_LEVEL", 1, 0x10}, {"PUMP_ON", 0, 0x20}, {"FLOW", 3, 0x30}});
}

TEST_F(StationGatesTest, WriterLaysOutHeaderAndRecordsByteForByte) {
    std::vector<uint8_t> expected(3 * 68, 0);
    expected[0] = 7;
    std::memcpy(&expected[2], "07_GATES.DAT", 12);
    expected[34] = 2;
    expected[68 + 0] = 0x10;
    expected[68 + 1] = 4;
    std::memcpy(&expected[68 + 2], "TANK_LEVEL", 10);
    expected[2 * 68 + 0] = 0xFF;
    expected[2 * 68 + 1] = 0;
    std::memcpy(&expected[2 * 68 + 2], "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", 31);
    expected[2 * 68 + 34] = 1;
    EXPECT_EQ(BuildGateFile(7, {{"TANK_LEVEL", 4, 0x10}, {"ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", 0, 0xFF}}), expected);
}

TEST_F(StationGatesTest, BuildsTheGateTableAndTheMapByHostId) {
    korpro_sim::DefineGate("TANK_LEVEL", 5);
    korpro_sim::DefineGate("PUMP_ON", 2);
    WriteFileBytes("07_GATES.DAT", ThreeGates(7));
    const size_t descriptors = config_test::OpenDescriptors();

    ASSERT_EQ(ReadStationData(&ctx, 7), StationDataResult::kStationDataLoaded);

    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  {32, "TELDRV> ReadStationData() warning, gate 'FLOW' from station data file '07_GATES.DAT' not found "
                       "anymore"}}));
    ASSERT_EQ(ctx.stationGateCount, 3);
    const StationGate* gates = ctx.stationGates;
    EXPECT_EQ(gates[0].hostGateId, 5);
    EXPECT_STREQ(gates[0].name, "TANK_LEVEL");
    EXPECT_EQ(gates[0].leadByte, 0x10);
    EXPECT_EQ(gates[0].valueType, 1);
    EXPECT_EQ(gates[1].hostGateId, 2);
    EXPECT_STREQ(gates[1].name, "PUMP_ON");
    EXPECT_EQ(gates[1].leadByte, 0x20);
    EXPECT_EQ(gates[1].valueType, 0);
    EXPECT_EQ(gates[2].hostGateId, 0xFFFF);
    EXPECT_STREQ(gates[2].name, "FLOW");
    EXPECT_EQ(gates[2].valueType, 3);
    EXPECT_EQ(Map(), (std::vector<int16_t>{-1, -1, 1, -1, -1, 0}));
    EXPECT_EQ(config_test::OpenDescriptors(), descriptors) << "file left open";
}

TEST_F(StationGatesTest, GateCountZeroLoadsAnEmptyTableAndAOneEntryMap) {
    WriteFileBytes("42_GATES.DAT", BuildGateFile(42, {}));
    ASSERT_EQ(ReadStationData(&ctx, 42), StationDataResult::kStationDataLoaded);
    EXPECT_TRUE(korpro_sim::Log().empty());
    EXPECT_NE(ctx.stationGates, nullptr);
    EXPECT_EQ(ctx.stationGateCount, 0);
    EXPECT_EQ(Map(), (std::vector<int16_t>{-1}));
}

TEST_F(StationGatesTest, GatesUnknownToTheHostAreKeptWithAWarningEach) {
    WriteFileBytes("00_GATES.DAT", ThreeGates(0));
    ASSERT_EQ(ReadStationData(&ctx, 0), StationDataResult::kStationDataLoaded);
    const std::string tail = "' from station data file '00_GATES.DAT' not found anymore";
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{
                                     {32, "TELDRV> ReadStationData() warning, gate 'TANK_LEVEL" + tail},
                                     {32, "TELDRV> ReadStationData() warning, gate 'PUMP_ON" + tail},
                                     {32, "TELDRV> ReadStationData() warning, gate 'FLOW" + tail},
                                 }));
    ASSERT_EQ(ctx.stationGateCount, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ctx.stationGates[i].hostGateId, 0xFFFF);
    EXPECT_EQ(Map(), (std::vector<int16_t>{-1}));
}

TEST_F(StationGatesTest, TheReservedHostIdCountsAsUnknown) {
    korpro_sim::DefineGate("TANK_LEVEL", 0xFFFF);
    korpro_sim::DefineGate("PUMP_ON", 0xFFFE);
    WriteFileBytes("07_GATES.DAT", ThreeGates(7));
    ASSERT_EQ(ReadStationData(&ctx, 7), StationDataResult::kStationDataLoaded);
    EXPECT_EQ(ctx.stationGates[0].hostGateId, 0xFFFF);
    EXPECT_EQ(ctx.stationGates[1].hostGateId, 0xFFFE);
    EXPECT_EQ(ctx.gateIdMapSize, 0xFFFF);
    EXPECT_EQ(ctx.gateIdMap[0xFFFE], 1);
    EXPECT_EQ(korpro_sim::Log().size(), 2u);
}

TEST_F(StationGatesTest, TwoGatesWithOneHostIdMapToTheLaterOne) {
    korpro_sim::DefineGate("A", 3);
    korpro_sim::DefineGate("B", 1);
    korpro_sim::DefineGate("A_ALIAS", 3);
    WriteFileBytes("07_GATES.DAT", BuildGateFile(7, {{"A", 0, 0}, {"B", 0, 0}, {"A_ALIAS", 0, 0}}));
    ASSERT_EQ(ReadStationData(&ctx, 7), StationDataResult::kStationDataLoaded);
    EXPECT_EQ(ctx.stationGates[0].hostGateId, 3);
    EXPECT_EQ(ctx.stationGates[2].hostGateId, 3);
    EXPECT_EQ(Map(), (std::vector<int16_t>{-1, 1, -1, 2}));
}

TEST_F(StationGatesTest, RecordsAfterTheCountedGatesAreIgnored) {
    korpro_sim::DefineGate("PUMP_ON", 9);
    std::vector<uint8_t> file = ThreeGates(7);
    file[34] = 1;  // the header now counts one gate of three
    WriteFileBytes("07_GATES.DAT", file);
    ASSERT_EQ(ReadStationData(&ctx, 7), StationDataResult::kStationDataLoaded);
    EXPECT_EQ(ctx.stationGateCount, 1);
    EXPECT_STREQ(ctx.stationGates[0].name, "TANK_LEVEL");
    EXPECT_EQ(Map(), (std::vector<int16_t>{-1}));
    EXPECT_EQ(korpro_sim::Log().size(), 1u);  // TANK_LEVEL only; PUMP_ON was never looked up
}

TEST_F(StationGatesTest, MissingOrShortFilesAreRefused) {
    ExpectRefused(7, "TELDRV> ReadStationData() error, station data file '07_GATES.DAT' not found");
    korpro_sim::ClearLog();
    WriteFileBytes("07_GATES.DAT", std::string());
    ExpectRefused(7, "TELDRV> ReadStationData() error, reading first record from station data file '07_GATES.DAT'");
    korpro_sim::ClearLog();
    std::vector<uint8_t> file = ThreeGates(7);
    file.resize(67);
    WriteFileBytes("07_GATES.DAT", file);
    ExpectRefused(7, "TELDRV> ReadStationData() error, reading first record from station data file '07_GATES.DAT'");
}

TEST_F(StationGatesTest, AFileMadeForAnotherStationIsRefused) {
    WriteFileBytes("08_GATES.DAT", ThreeGates(7));
    ExpectRefused(8, "TELDRV> ReadStationData() error, '08_GATES.DAT' file generated for station 07 i.s.o. station 08");
}

TEST_F(StationGatesTest, TheInternalNameMustMatchExactly) {
    std::vector<uint8_t> file = ThreeGates(7);
    file[0] = 8;
    WriteFileBytes("08_GATES.DAT", file);
    ExpectRefused(8, "TELDRV> ReadStationData() error, '08_GATES.DAT' file conflicts with internal file name "
                     "'07_GATES.DAT'");

    korpro_sim::ClearLog();
    std::memcpy(&file[2], "08_gates.dat", 12);
    WriteFileBytes("08_GATES.DAT", file);
    ExpectRefused(8, "TELDRV> ReadStationData() error, '08_GATES.DAT' file conflicts with internal file name "
                     "'08_gates.dat'");

    // A name without its NUL is shown with the field's 32 characters and no more.
    korpro_sim::ClearLog();
    std::memcpy(&file[2], "08_GATES.DAT", 12);
    std::memset(&file[14], 'X', 20);
    WriteFileBytes("08_GATES.DAT", file);
    ExpectRefused(8, "TELDRV> ReadStationData() error, '08_GATES.DAT' file conflicts with internal file name "
                     "'08_GATES.DATXXXXXXXXXXXXXXXXXXXX'");
}

TEST_F(StationGatesTest, FewerRecordsThanCountedNameTheFirstMissingGate) {
    std::vector<uint8_t> file = ThreeGates(7);
    file[34] = 5;
    WriteFileBytes("07_GATES.DAT", file);
    DefineThreeGates();
    ExpectRefused(7, "TELDRV> ReadStationData() error, reading record 3 from station data file '07_GATES.DAT'");

    // A record cut short counts as missing.
    korpro_sim::ClearLog();
    file.resize(68 + 68 + 40);
    WriteFileBytes("07_GATES.DAT", file);
    ExpectRefused(7, "TELDRV> ReadStationData() error, reading record 1 from station data file '07_GATES.DAT'");
}

TEST_F(StationGatesTest, GateNumbersMustCountFromZero) {
    DefineThreeGates();
    std::vector<uint8_t> file = ThreeGates(7);
    for (int k = 1; k <= 3; ++k) file[k * 68 + 34] = static_cast<uint8_t>(k);
    WriteFileBytes("07_GATES.DAT", file);
    ExpectRefused(7, "TELDRV> ReadStationData() error, corrupted gate nr 1 <> record nr 0 in station data file "
                     "'07_GATES.DAT'");

    korpro_sim::ClearLog();
    file = ThreeGates(7);
    file[3 * 68 + 34] = 0x01;
    file[3 * 68 + 35] = 0x01;
    WriteFileBytes("07_GATES.DAT", file);
    ExpectRefused(7, "TELDRV> ReadStationData() error, corrupted gate nr 257 <> record nr 2 in station data file "
                     "'07_GATES.DAT'");
}

TEST_F(StationGatesTest, AGateNameWithoutItsNulIsRefused) {
    DefineThreeGates();
    std::vector<uint8_t> file = ThreeGates(7);
    std::memset(&file[2 * 68 + 2], 'N', 32);
    WriteFileBytes("07_GATES.DAT", file);
    ExpectRefused(7, "TELDRV> ReadStationData() error, gate name of record 1 in station data file '07_GATES.DAT' is "
                     "not ended within 32 bytes");
}

TEST_F(StationGatesTest, MoreGatesThanTheLinkCanNameAreRefused) {
    std::vector<uint8_t> header = BuildGateFile(7, {});
    header[34] = 0x01;
    header[35] = 0x80;  // 32769
    WriteFileBytes("07_GATES.DAT", header);
    ExpectRefused(7, "TELDRV> ReadStationData() error, 32769 gates in station data file '07_GATES.DAT', at most "
                     "32768 allowed");

    std::vector<GateEntry> gates(32768);
    for (size_t k = 0; k < gates.size(); ++k) gates[k].name = "G" + std::to_string(k);
    korpro_sim::DefineGate("G32767", 40000);
    WriteFileBytes("07_GATES.DAT", BuildGateFile(7, gates));
    korpro_sim::ClearLog();
    ASSERT_EQ(ReadStationData(&ctx, 7), StationDataResult::kStationDataLoaded);
    EXPECT_EQ(ctx.stationGateCount, 32768);
    EXPECT_EQ(ctx.gateIdMapSize, 40001);
    EXPECT_EQ(ctx.gateIdMap[40000], 32767);
}

TEST_F(StationGatesTest, FailedAllocationsAreReportedAndReleaseTheTable) {
    korpro_sim::DefineGate("TANK_LEVEL", 299);
    WriteFileBytes("07_GATES.DAT", ThreeGates(7));

    config_test::ArmAllocFailure(1);
    ExpectRefused(7, "TELDRV> ReadStationData() error, failed to allocate 108 bytes for gate conversion table");

    korpro_sim::ClearLog();
    config_test::ArmAllocFailure(2);
    const size_t descriptors = config_test::OpenDescriptors();
    EXPECT_EQ(ReadStationData(&ctx, 7), StationDataResult::kStationDataFailed);
    const std::vector<LogLine> log = korpro_sim::Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(),
              (LogLine{32, "TELDRV> ReadStationData() error, failed to allocate 600 bytes for gate id converion table"}));
    EXPECT_EQ(ctx.stationGates, kNoTable);
    EXPECT_EQ(ctx.gateIdMap, kNoMap);
    EXPECT_EQ(config_test::OpenDescriptors(), descriptors);
    // The released table shows up as a leak under the address sanitizer if it was not.
}

// Random, truncated and bit-flipped files: whatever the bytes, the reader
// either refuses or builds tables that hold together.
TEST_F(StationGatesTest, FuzzedFilesNeverBreakTheReader) {
    std::mt19937 random(20240607);
    std::vector<GateEntry> gates;
    for (int k = 0; k < 12; ++k) {
        gates.push_back({"GATE" + std::to_string(k), static_cast<uint8_t>(k), static_cast<uint8_t>(k * 7)});
        if (k % 3 != 0) korpro_sim::DefineGate(gates.back().name, static_cast<uint16_t>(random() % 500));
    }
    const std::vector<uint8_t> valid = BuildGateFile(7, gates);
    for (int round = 0; round < 600; ++round) {
        std::vector<uint8_t> file = valid;
        switch (round % 3) {
            case 0: file.resize(random() % (valid.size() + 1)); break;
            case 1:
                for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips) {
                    file[random() % file.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
                }
                break;
            default:
                file.resize(random() % 400);
                for (uint8_t& byte : file) byte = static_cast<uint8_t>(random());
                if (file.size() > 14) std::memcpy(&file[0], "\x07\x00" "07_GATES.DAT\0", 15);
        }
        WriteFileBytes("07_GATES.DAT", file);
        ctx.stationGates = nullptr;
        ctx.gateIdMap = nullptr;
        if (ReadStationData(&ctx, 7) == StationDataResult::kStationDataLoaded) {
            ASSERT_NE(ctx.stationGates, nullptr);
            ASSERT_NE(ctx.gateIdMap, nullptr);
            ASSERT_GE(ctx.gateIdMapSize, 1);
            for (uint16_t i = 0; i < ctx.stationGateCount; ++i) {
                const StationGate& gate = ctx.stationGates[i];
                ASSERT_NE(std::memchr(gate.name, '\0', sizeof gate.name), nullptr);
                if (gate.hostGateId != 0xFFFF) {
                    ASSERT_LT(gate.hostGateId, ctx.gateIdMapSize);
                }
            }
            for (uint16_t id = 0; id < ctx.gateIdMapSize; ++id) ASSERT_LT(ctx.gateIdMap[id], ctx.stationGateCount);
            std::free(ctx.stationGates);
            std::free(ctx.gateIdMap);
        } else {
            ASSERT_EQ(ctx.stationGates, nullptr);
            ASSERT_EQ(ctx.gateIdMap, nullptr);
        }
        korpro_sim::ClearLog();
    }
    ctx.stationGates = kNoTable;
    ctx.gateIdMap = kNoMap;
}

}  // namespace
