// The driver DLL as a Windows host sees it: loaded with LoadLibrary, reached
// through the one export VpiMain, logging into KORPRO.DLL, reading its init
// and station gate files from the working directory.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <new>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "driver/context.h"
#include "host/records.h"
#include "sim/korpro_sim.h"
#include "tests/log_text.h"
#include "tests/test_port_settings.h"
#include "tools/shared/gate_file.h"

namespace {

using korpro_sim::LogLine;
using log_test::LogText;

constexpr uint32_t kColdStart = 1;
constexpr uint32_t kSingleAddressParser = 3;
constexpr uint32_t kSingleWrite = 7;
constexpr uint32_t kEndVpi = 11;
constexpr uint32_t kGetVpiInfo = 14;
constexpr int32_t kNotAvailable = 2;

// A copy of teldrv.dll under a name of its own is a fresh module: its stop
// byte and buffers start clear, as after the host loads the driver anew.
// Copies stay loaded unless a test frees them.
struct LoadedDriver {
    HMODULE module = nullptr;
    VpiMainFunction vpiMain = nullptr;
    std::string path;
};

LoadedDriver LoadDriverCopy() {
    static std::atomic<int> serial{0};
    char exe[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string dir(exe, length);
    dir.erase(dir.find_last_of("\\/") + 1);
    const std::string original = dir + "teldrv.dll";
    const std::string copy = dir + "teldrv-smoke-" + std::to_string(serial++) + ".dll";
    if (!CopyFileA(original.c_str(), copy.c_str(), FALSE)) {
        ADD_FAILURE() << "cannot copy " << original << ": error " << GetLastError();
        return {};
    }
    const HMODULE module = LoadLibraryA(copy.c_str());
    if (!module) {
        ADD_FAILURE() << "LoadLibrary " << copy << ": error " << GetLastError();
        return {};
    }
    return {module, reinterpret_cast<VpiMainFunction>(reinterpret_cast<void*>(GetProcAddress(module, "VpiMain"))),
            copy};
}

VpiMainFunction LoadFreshDriver() { return LoadDriverCopy().vpiMain; }

// The block the host allocates with the size GetVpiInfo gives, zeroed.
struct HostContext {
    alignas(StationContext) unsigned char bytes[kContextSize32] = {};
    StationContext* ctx = new (bytes) StationContext{};
};

void WriteBytes(const std::string& name, const std::string& bytes) {
    FILE* file = std::fopen(name.c_str(), "wb");
    ASSERT_NE(file, nullptr) << name;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
}

// Whether `wanted` occur in the log in this order, other lines between them.
bool LogHasInOrder(const std::vector<LogLine>& wanted) {
    const std::vector<LogLine> log = korpro_sim::Log();
    size_t at = 0;
    for (const LogLine& line : log) {
        if (at < wanted.size() && line == wanted[at]) ++at;
    }
    return at == wanted.size();
}

void ExpectStartBanner(const std::vector<LogLine>& log) {
    ASSERT_GE(log.size(), 2u) << LogText();
    static const std::regex kStamp(
        "TELDRV> version compiled on [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} at time [0-2][0-9]:[0-5][0-9]:[0-5][0-9]");
    EXPECT_EQ(log[0].level, 64);
    EXPECT_TRUE(std::regex_match(log[0].text, kStamp)) << log[0].text;
    EXPECT_EQ(log[1], (LogLine{32, "TELDRV> *********************** BETA VERSION *************************"}));
}

class SmokeTest : public ::testing::Test {
protected:
    void SetUp() override {
        korpro_sim::Reset();
        vpiMain = LoadFreshDriver();
        ASSERT_NE(vpiMain, nullptr);
    }
    void TearDown() override {
        for (const std::string& name : files) std::remove(name.c_str());
    }

    int32_t Call(uint32_t code, void* parameters, uint32_t driverNumber = 0) {
        VpiCallBlock block{host.ctx, code, driverNumber, 0, parameters};
        return vpiMain(&block);
    }

    void Write(const std::string& name, const std::string& bytes) {
        files.push_back(name);
        WriteBytes(name, bytes);
    }

    // Station 7's files as an integrator leaves them beside the host:
    // the init file with Windows line ends, the gate file from the tool.
    void WriteStationSeven() {
        Write("TELDRV07.INT",
              "; remote station 7\r\n"
              "STATION = 7\r\n"
              "ONLINE_GATE_BUFFER = 100\r\n"
              "MODEM_NUMBER 3 = 0201234567\r\n"
              "MODEM_DIAL_RETRIES = 2\r\n");
        const std::vector<uint8_t> gates =
            gatefile::BuildGateFile(7, {{"TANK_LEVEL", 1, 0}, {"PUMP_1", 0, 2}, {"INLET_VALVE", 0, 0}});
        Write("07_GATES.DAT", std::string(gates.begin(), gates.end()));
        korpro_sim::DefineGate("TANK_LEVEL", 10);
        korpro_sim::DefineGate("PUMP_1", 11);
        korpro_sim::DefineGate("INLET_VALVE", 40);
    }

    VpiMainFunction vpiMain = nullptr;
    HostContext host;
    std::vector<std::string> files;
};

#define SKIP_WHILE_NOT_AVAILABLE(result, operation)                                           \
    if ((result) == kNotAvailable)                                                            \
    GTEST_SKIP() << operation " still answers 2 (not available): its routine is not built yet"

std::string ExpectedBanner() {
    const std::string rule(71, '\xCD');
    return std::string("\x08\x0A") + "\xC9" + rule + "\xBB\x0A" + "\xBA" +
           " TELDRVEM:  Korvan 7 front-end, remote station VPI DLL" + std::string(17, ' ') + "\xBA\x0A" + "\xC8" +
           rule + "\xBC";
}

TEST_F(SmokeTest, GetVpiInfoFillsTheTenFieldsWithoutAContext) {
    VpiInfo info;
    std::memset(&info, 0xAB, sizeof info);
    VpiCallBlock block{nullptr, kGetVpiInfo, 0, 0, &info};
    ASSERT_EQ(vpiMain(&block), 0);
    EXPECT_EQ(info.typeCode, 70u);
    EXPECT_STREQ(info.shortName, "K7 Front-end remote");
    EXPECT_EQ(std::string(info.banner), ExpectedBanner());
    EXPECT_EQ(std::strlen(info.banner), 223u);
    EXPECT_EQ(info.contextSize, 1336u);
    EXPECT_EQ(info.classCode, 4u);
    EXPECT_EQ(info.defaultBaudRate, 19200);
    EXPECT_EQ(info.defaultDataBits, 8);
    EXPECT_EQ(info.defaultStopBits, 0);
    EXPECT_EQ(info.defaultParity, 0);
    EXPECT_EQ(info.extraWord, 0u);
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{{64, "TELDRV> GetVpiInfo() exited"}}));
}

TEST_F(SmokeTest, OperationTableAnswersEveryCode) {
    for (uint32_t code : {0u, 8u, 9u, 13u, 15u, 16u, 17u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Call(code, nullptr), 2) << "code " << code;
    }
    EXPECT_TRUE(korpro_sim::Log().empty()) << LogText();

    EXPECT_EQ(Call(2, nullptr), 0);
    EXPECT_EQ(Call(4, nullptr), 1);
    EXPECT_EQ(Call(5, nullptr), 1);
    EXPECT_EQ(Call(6, nullptr), 1);
    EXPECT_EQ(Call(10, nullptr), 1);
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{{64, "TELDRV> WarmStart() exited, 0"},
                                                       {64, "TELDRV> BlockParse() no blocks supported!!"},
                                                       {64, "TELDRV> SingleRead() not supported"},
                                                       {64, "TELDRV> BlockRead() not supported"},
                                                       {64, "TELDRV> BlockWrite() not supported"}}));
}

TEST_F(SmokeTest, SingleAddressParserAcceptsOnlyTheAlarmCallGate) {
    GateAddress address{};
    address.address = "alarm_call";
    address.gateType = 1;
    const int32_t accepted = Call(kSingleAddressParser, &address);
    SKIP_WHILE_NOT_AVAILABLE(accepted, "SingleAddressParser");
    EXPECT_EQ(accepted, 0);
    EXPECT_EQ(address.word4, 16);
    EXPECT_EQ(address.word5, 16);
    EXPECT_EQ(address.word6, 16);
    EXPECT_EQ(address.word7, -1);
    EXPECT_EQ(address.word8, 16);

    GateAddress wide{};
    wide.address = "ALARM_CALL";
    wide.gateType = 2;
    EXPECT_EQ(Call(kSingleAddressParser, &wide), 1);
    EXPECT_EQ(wide.word4, 0);
    EXPECT_EQ(wide.word7, -1);

    GateAddress other{};
    other.address = "Pump_1";
    EXPECT_EQ(Call(kSingleAddressParser, &other), 1);
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  {64, "TELDRV> SingleParse() 'ALARM_CALL' gate type should be 16-bit"},
                  {32, "TELDRV> SingleParse() illegal gate address string 'PUMP_1', only 'ALARM_CALL' gate supported"}}));
}

// Start-up with the port disabled reads both files from the working
// directory (text and binary mode on Windows), and shutdown frees them.
TEST_F(SmokeTest, ColdStartWithoutPortReadsTheFilesAndEndVpiStops) {
    WriteStationSeven();
    ColdStartParams params = test_port::ColdStartOn("COM1", 0);
    const int32_t started = Call(kColdStart, &params, 7);
    SKIP_WHILE_NOT_AVAILABLE(started, "ColdStart");
    ASSERT_EQ(started, 0) << LogText();
    const std::vector<LogLine> log = korpro_sim::Log();
    ExpectStartBanner(log);
    EXPECT_EQ(log.size(), 3u) << LogText();
    EXPECT_EQ(log.back(), (LogLine{64, "TELDRV> ColdStart() exit OK"}));

    StationContext* ctx = host.ctx;
    EXPECT_EQ(ctx->stationNumber, 7);
    EXPECT_EQ(ctx->stationGateCount, 3);
    EXPECT_EQ(ctx->gateIdMapSize, 41);
    ASSERT_NE(ctx->gateIdMap, nullptr);
    EXPECT_EQ(ctx->gateIdMap[40], 2);
    EXPECT_EQ(ctx->changeCapacity, 100);
    EXPECT_EQ(ctx->dialRetries, 2);
    ASSERT_NE(ctx->phoneNumbers[3], nullptr);
    EXPECT_STREQ(ctx->phoneNumbers[3], "0201234567");
    EXPECT_EQ(ctx->portHandle, 0u);
    EXPECT_EQ(ctx->changeBuffer, nullptr);

    // The alarm-call gate books a call even without a port.
    GateWrite write{};
    write.address = "Alarm_Call";
    const uint16_t value[2] = {0, 3};
    write.value = value;
    const int32_t booked = Call(kSingleWrite, &write);
    if (booked != kNotAvailable) {
        EXPECT_EQ(booked, 0) << LogText();
        EXPECT_EQ(ctx->dialEntries[0].reference, 3);
        EXPECT_EQ(ctx->dialEntries[0].retriesLeft, 2);
        const uint16_t undefined[2] = {0, 4};
        write.value = undefined;
        EXPECT_EQ(Call(kSingleWrite, &write), 1);
        write.address = "PUMP_1";
        EXPECT_EQ(Call(kSingleWrite, &write), 2);
        EXPECT_TRUE(LogHasInOrder(
            {{64, "TELDRV> SingleWrite() error, dial reference 4 not defined in init file, gate 'Alarm_Call'"},
             {32, "TELDRV> SingleWrite() illegal gate address string, 'PUMP_1'"}}))
            << LogText();
    }

    korpro_sim::ClearLog();
    const int32_t ended = Call(kEndVpi, nullptr);
    SKIP_WHILE_NOT_AVAILABLE(ended, "EndVpi");
    EXPECT_EQ(ended, 0);
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{{64, "TELDRV> EndVpi() exited"}}));

    // Stopped: every operation answers 0 and does nothing until a new load.
    VpiInfo info{};
    EXPECT_EQ(Call(kGetVpiInfo, &info), 0);
    EXPECT_EQ(info.typeCode, 0u);
    EXPECT_EQ(Call(kColdStart, &params, 7), 0);
    EXPECT_EQ(korpro_sim::Log().size(), 1u) << LogText();
}

// "NUL" opens without any serial set-up; with no station defined the start
// fails after the port is open, and EndVpi closes it.
TEST_F(SmokeTest, ColdStartWithPortNulAndNoStationFailsAndEndVpiClosesThePort) {
    ColdStartParams params = test_port::ColdStartOn("NUL", 1);
    const int32_t started = Call(kColdStart, &params, 8);
    SKIP_WHILE_NOT_AVAILABLE(started, "ColdStart");
    EXPECT_EQ(started, 1);
    const platform::PortHandle handle = host.ctx->portHandle;
    EXPECT_NE(handle, 0u);
    const std::vector<LogLine> log = korpro_sim::Log();
    ExpectStartBanner(log);
    const std::string opened = "file handle " + std::to_string(handle);
    EXPECT_EQ(std::vector<LogLine>(log.begin() + 2, log.end()),
              (std::vector<LogLine>{{32, "TELDRV> ColdStart() Warning, no initfile found"},
                                    {64, "TELDRV> OpenCom() exited OK, " + opened},
                                    {64, "TELDRV> ColdStart() port NUL opened, " + opened},
                                    {32, "TELDRV> ColdStart() ERROR, station was not defined or not defined correctly"}}));

    korpro_sim::ClearLog();
    const int32_t ended = Call(kEndVpi, nullptr);
    SKIP_WHILE_NOT_AVAILABLE(ended, "EndVpi");
    EXPECT_EQ(ended, 0);
    EXPECT_EQ(host.ctx->portHandle, 0u);
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{{64, "TELDRV> CloseCom() exited 0"}, {64, "TELDRV> EndVpi() exited"}}));
}

// The full start on "NUL": the auto-answer thread runs on a real Windows
// thread with its 8192-byte stack, and EndVpi waits for it to end.
TEST_F(SmokeTest, ColdStartWithPortNulAndStationRunsTheThreadUntilEndVpi) {
    WriteStationSeven();
    ColdStartParams params = test_port::ColdStartOn("NUL", 1);
    const int32_t started = Call(kColdStart, &params, 7);
    SKIP_WHILE_NOT_AVAILABLE(started, "ColdStart");
    ASSERT_EQ(started, 0) << LogText();
    const std::string opened = "file handle " + std::to_string(host.ctx->portHandle);
    EXPECT_TRUE(LogHasInOrder({{64, "TELDRV> OpenCom() exited OK, " + opened},
                               {64, "TELDRV> ColdStart() port NUL opened, " + opened},
                               {64, "TELDRV> ColdStart() exit OK"}}))
        << LogText();
    EXPECT_NE(host.ctx->changeBuffer, nullptr);

    std::future<int32_t> ended = std::async(std::launch::async, [&] { return Call(kEndVpi, nullptr); });
    if (ended.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
        ADD_FAILURE() << "EndVpi did not return within 120 s\n" << LogText();
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    const int32_t result = ended.get();
    SKIP_WHILE_NOT_AVAILABLE(result, "EndVpi");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(host.ctx->answerThreadRunning, 0);
    EXPECT_EQ(host.ctx->portHandle, 0u);
    EXPECT_TRUE(LogHasInOrder({{64, "TELDRV> CloseCom() exited 0"}, {64, "TELDRV> EndVpi() exited"}})) << LogText();
    EXPECT_EQ(korpro_sim::Log().back(), (LogLine{64, "TELDRV> EndVpi() exited"}));
}

// A host that frees the library as soon as EndVpi has returned, and loads it
// again: EndVpi has waited for the auto-answer thread to end, so nothing
// holds the module any more and FreeLibrary unloads it at once.
TEST_F(SmokeTest, UnloadedRightAfterEndVpiAndLoadedAgain) {
    WriteStationSeven();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        korpro_sim::ClearLog();
        HostContext block;
        const LoadedDriver driver = LoadDriverCopy();
        ASSERT_NE(driver.vpiMain, nullptr);
        ColdStartParams params = test_port::ColdStartOn("NUL", 1);
        VpiCallBlock start{block.ctx, kColdStart, 7, 0, &params};
        ASSERT_EQ(driver.vpiMain(&start), 0) << LogText();
        VpiCallBlock end{block.ctx, kEndVpi, 0, 0, nullptr};
        ASSERT_EQ(driver.vpiMain(&end), 0) << LogText();
        EXPECT_EQ(korpro_sim::Log().back(), (LogLine{64, "TELDRV> EndVpi() exited"}));
        ASSERT_TRUE(FreeLibrary(driver.module));
        EXPECT_EQ(GetModuleHandleA(driver.path.c_str()), nullptr) << "the library stayed loaded";
        DeleteFileA(driver.path.c_str());
    }
}

}  // namespace
