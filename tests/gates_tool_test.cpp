#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "config/station_gates.h"
#include "driver/context.h"
#include "tests/config_fixture.h"
#include "tools/shared/gate_file.h"

namespace {

namespace fs = std::filesystem;
using config_test::WriteFileBytes;

// The tool is built beside the driver library.
const fs::path kTool = fs::path(TELDRV_LIBRARY).parent_path() / "tools" / "teldrv-gates";

struct ToolRun {
    int status;
    std::string output;  // stdout and stderr
};

ToolRun RunTool(const std::string& arguments) {
    const std::string command = kTool.string() + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, "popen failed"};
    std::string output;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::vector<uint8_t> FileBytes(const std::string& name) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(gatefile::ReadBytes(name, &bytes, &error)) << error;
    return bytes;
}

class GatesToolTest : public config_test::ConfigFileTest {
protected:
    void SetUp() override {
        if (!fs::exists(kTool)) GTEST_SKIP() << "tools not built: " << kTool;
        ConfigFileTest::SetUp();
    }
};

TEST_F(GatesToolTest, MakeAndCheckRoundTripAThousandGates) {
    std::vector<gatefile::GateEntry> gates;
    std::string list = "# station 7\n\n";
    std::string hostList;
    for (unsigned k = 0; k < 1000; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "AREA%u.GATE_%04u", k % 7, k);
        gates.push_back({name, static_cast<uint8_t>(k % 9), static_cast<uint8_t>(k % 256)});
        // Lead bytes alternate between decimal and hex.
        char line[64];
        std::snprintf(line, sizeof line, k % 2 ? "%s\t%u  0x%X\n" : "%s\t%u  %u\n", name, k % 9, k % 256);
        list += line;
        hostList += std::string(name) + " " + std::to_string(3 * k) + "\n";
    }
    WriteFileBytes("gates.txt", list);
    WriteFileBytes("host.txt", hostList);

    const ToolRun make = RunTool("make 7 gates.txt");
    EXPECT_EQ(make.status, 0) << make.output;
    EXPECT_EQ(make.output, "wrote 07_GATES.DAT: station 07, 1000 gates\n");
    EXPECT_EQ(FileBytes("07_GATES.DAT"), gatefile::BuildGateFile(7, gates));

    const ToolRun check = RunTool("check 07_GATES.DAT host.txt");
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(check.output, "07_GATES.DAT: loads for station 07, 1000 gates, gate id map of 2998 entries\n");

    // What the tool made is what the driver reads.
    for (unsigned k = 0; k < 1000; ++k) korpro_sim::DefineGate(gates[k].name, static_cast<uint16_t>(3 * k));
    StationContext ctx{};
    ASSERT_EQ(ReadStationData(&ctx, 7), StationDataResult::kStationDataLoaded);
    ASSERT_EQ(ctx.stationGateCount, 1000);
    for (uint16_t k = 0; k < 1000; ++k) {
        EXPECT_EQ(ctx.stationGates[k].name, gates[k].name);
        EXPECT_EQ(ctx.stationGates[k].valueType, gates[k].valueType);
        EXPECT_EQ(ctx.stationGates[k].leadByte, gates[k].leadByte);
        EXPECT_EQ(ctx.gateIdMap[3 * k], k);
    }
    std::free(ctx.stationGates);
    std::free(ctx.gateIdMap);
}

TEST_F(GatesToolTest, CheckNamesTheGatesTheHostDoesNotKnow) {
    fs::create_directory("station");
    WriteFileBytes("gates.txt", "TANK_LEVEL 1 0\nPUMP_ON 0 0\nFLOW 3 0\n");
    WriteFileBytes("host.txt", "# the host\nPUMP_ON\nOTHER 17\n");
    ASSERT_EQ(RunTool("make 12 gates.txt station/12_GATES.DAT").status, 0);

    const ToolRun check = RunTool("check station/12_GATES.DAT host.txt");
    EXPECT_EQ(check.status, 3);
    EXPECT_EQ(check.output,
              "TELDRV> ReadStationData() warning, gate 'TANK_LEVEL' from station data file '12_GATES.DAT' not found "
              "anymore\n"
              "TELDRV> ReadStationData() warning, gate 'FLOW' from station data file '12_GATES.DAT' not found "
              "anymore\n"
              "station/12_GATES.DAT: loads for station 12, 3 gates, gate id map of 1 entry\n"
              "2 of 3 gates unknown to the host:\n"
              "  gate 0 'TANK_LEVEL'\n"
              "  gate 2 'FLOW'\n");

    // Without a host list every gate counts as known.
    const ToolRun structural = RunTool("check station/12_GATES.DAT");
    EXPECT_EQ(structural.status, 0) << structural.output;
}

TEST_F(GatesToolTest, CheckShowsWhyTheDriverWouldRefuseAFile) {
    std::vector<uint8_t> file = gatefile::BuildGateFile(7, {{"A", 0, 0}, {"B", 0, 0}});
    file[2 * 68 + 34] = 5;
    WriteFileBytes("07_GATES.DAT", file);
    const ToolRun corrupted = RunTool("check 07_GATES.DAT");
    EXPECT_EQ(corrupted.status, 1);
    EXPECT_EQ(corrupted.output,
              "TELDRV> ReadStationData() error, corrupted gate nr 5 <> record nr 1 in station data file "
              "'07_GATES.DAT'\n"
              "07_GATES.DAT: the driver refuses this file\n");

    WriteFileBytes("08_GATES.DAT", gatefile::BuildGateFile(7, {}));
    const ToolRun copied = RunTool("check 08_GATES.DAT");
    EXPECT_EQ(copied.status, 1);
    EXPECT_NE(copied.output.find("'08_GATES.DAT' file generated for station 07 i.s.o. station 08"), std::string::npos);

    WriteFileBytes("gates.dat", gatefile::BuildGateFile(7, {}));
    const ToolRun misnamed = RunTool("check gates.dat");
    EXPECT_EQ(misnamed.status, 2);
    EXPECT_EQ(misnamed.output,
              "teldrv-gates: 'gates.dat' is not named NN_GATES.DAT, and the driver opens no other name\n");
}

constexpr char kNothingWritten[] = "teldrv-gates: list.txt: nothing written; mend the lines above and run make again\n";

TEST_F(GatesToolTest, MakeRefusesABadListNamingItsLine) {
    const struct {
        const char* list;
        const char* message;
    } cases[] = {
        {"A 1 0\nB 1\n", "teldrv-gates: list.txt:2: expected NAME VALUE_TYPE LEAD_BYTE, found 2 fields\n"},
        {"# x\nABCDEFGHIJKLMNOPQRSTUVWXYZ0123456 1 0\n",
         "teldrv-gates: list.txt:2: gate name 'ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456' is longer than 31 characters\n"},
        {"A 256 0\n", "teldrv-gates: list.txt:1: value type '256' is not a number from 0 to 255\n"},
        {"A 1 0x1G\n", "teldrv-gates: list.txt:1: lead byte '0x1G' is not a number from 0 to 255\n"},
        {"A -1 0\n", "teldrv-gates: list.txt:1: value type '-1' is not a number from 0 to 255\n"},
    };
    for (const auto& c : cases) {
        WriteFileBytes("list.txt", std::string(c.list));
        const ToolRun make = RunTool("make 7 list.txt");
        EXPECT_EQ(make.status, 2) << c.list;
        EXPECT_EQ(make.output, std::string(c.message) + kNothingWritten);
        EXPECT_FALSE(fs::exists("07_GATES.DAT"));
    }
    // Every bad line of a list in one run, good lines between them.
    WriteFileBytes("list.txt", std::string("A 1 0\nB 1\nC 256 0\nD 1 0\nE 1 0x1G\n"));
    const ToolRun all = RunTool("make 7 list.txt");
    EXPECT_EQ(all.status, 2);
    EXPECT_EQ(all.output, std::string("teldrv-gates: list.txt:2: expected NAME VALUE_TYPE LEAD_BYTE, found 2 fields\n"
                                      "teldrv-gates: list.txt:3: value type '256' is not a number from 0 to 255\n"
                                      "teldrv-gates: list.txt:5: lead byte '0x1G' is not a number from 0 to 255\n") +
                              kNothingWritten);

    WriteFileBytes("list.txt", std::string("A 0 0\nA 1 1\n"));
    const ToolRun twice = RunTool("make 7 list.txt");
    EXPECT_EQ(twice.status, 0);
    EXPECT_NE(twice.output.find("teldrv-gates: warning: list.txt:2: gate 'A' is listed before on line 1\n"),
              std::string::npos);

    EXPECT_EQ(RunTool("make 100 list.txt").status, 2);
    EXPECT_EQ(RunTool("make 7 missing.txt").status, 2);
}

TEST_F(GatesToolTest, DumpShowsEveryFieldOfAMalformedFile) {
    std::vector<uint8_t> file = gatefile::BuildGateFile(7, {{"TANK_LEVEL", 3, 0x81}, {"PUMP_ON", 0, 0}});
    std::memset(&file[2 * 68 + 2], 'N', 32);
    file[34] = 4;
    file.resize(file.size() + 10);
    WriteFileBytes("07_GATES.DAT", file);
    const ToolRun dump = RunTool("dump 07_GATES.DAT");
    EXPECT_EQ(dump.status, 0);
    EXPECT_EQ(dump.output,
              "07_GATES.DAT: 214 bytes\n"
              "station 07, internal name '07_GATES.DAT', 4 gates\n"
              "    0  gate nr     0  value type   3  lead byte 129  'TANK_LEVEL'\n"
              "    1  gate nr     1  value type   0  lead byte   0  'NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN' (no NUL in its 32 "
              "bytes)\n"
              "missing: gate records 2 to 3\n"
              "10 bytes after the last whole record\n");
}

TEST_F(GatesToolTest, UsageMistakesExitWithTwo) {
    const ToolRun none = RunTool("");
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.output.find("usage: teldrv-gates make STATION LIST [OUTPUT]"), std::string::npos);
    EXPECT_EQ(RunTool("frobnicate").status, 2);
    EXPECT_EQ(RunTool("dump").status, 2);
    EXPECT_EQ(RunTool("check a b c").status, 2);
    EXPECT_EQ(RunTool("help").status, 0);
}

}  // namespace
