#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "config/init_file.h"
#include "config/remote_access.h"
#include "driver/context.h"
#include "tests/config_fixture.h"
#include "tools/shared/gate_file.h"

namespace {

using config_test::WriteFileBytes;
using korpro_sim::LogLine;

class InitFileTest : public config_test::ConfigFileTest {
protected:
    void SetUp() override {
        ConfigFileTest::SetUp();
        std::memset(&ctx, 0, sizeof ctx);
        SetContextDefaults(&ctx);
        std::memcpy(&defaults, &ctx, sizeof ctx);
    }
    void TearDown() override {
        for (char* number : ctx.phoneNumbers) std::free(number);
        std::free(ctx.stationGates);
        std::free(ctx.gateIdMap);
        ReleaseOptIn(&ctx);
        ConfigFileTest::TearDown();
    }

    void Read(uint32_t driverNumber = 7) {
        VpiCallBlock block{&ctx, 1, driverNumber, 0, nullptr};
        ReadInitFile(&block);
    }
    // Writes TELDRV07.INT and reads it as driver 7.
    void ReadText(const std::string& text) {
        WriteFileBytes("TELDRV07.INT", text);
        Read();
    }
    static void WriteStation(uint8_t station) {
        WriteFileBytes(gatefile::StationFileName(station),
                       gatefile::BuildGateFile(station, {{"TANK_LEVEL", 1, 0}, {"PUMP_ON", 0, 0}}));
    }

    StationContext ctx;
    StationContext defaults;
};

LogLine Error(const std::string& text) { return {32, text}; }

TEST_F(InitFileTest, WithoutAnyInitFileEverySettingKeepsItsDefault) {
    WriteStation(7);
    Read();
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{Error("TELDRV> ColdStart() Warning, no initfile found")}));
    EXPECT_EQ(std::memcmp(&ctx, &defaults, sizeof ctx), 0);
    EXPECT_EQ(ctx.stationNumber, 255);
}

TEST_F(InitFileTest, TheThreeNamesAreTriedInOrder) {
    WriteFileBytes("TELDRV.INT", "x from the stem alone\n");
    Read(7);
    EXPECT_EQ(korpro_sim::Log().back(), Error("TELDRV> ReadIntFile() illegal line 1 in 'TELDRV.INT'"));
    WriteFileBytes("TELDRV7.INT", "x\n");
    Read(7);
    EXPECT_EQ(korpro_sim::Log().back(), Error("TELDRV> ReadIntFile() illegal line 1 in 'TELDRV7.INT'"));
    WriteFileBytes("TELDRV07.INT", "x\n");
    Read(7);
    EXPECT_EQ(korpro_sim::Log().back(), Error("TELDRV> ReadIntFile() illegal line 1 in 'TELDRV07.INT'"));
    WriteFileBytes("TELDRV123.INT", "x\n");
    Read(123);
    EXPECT_EQ(korpro_sim::Log().back(), Error("TELDRV> ReadIntFile() illegal line 1 in 'TELDRV123.INT'"));
    EXPECT_EQ(korpro_sim::Log().size(), 4u);
}

TEST_F(InitFileTest, EveryKeywordSetsItsFieldInUpperCase) {
    korpro_sim::DefineGate("TANK_LEVEL", 12);
    korpro_sim::DefineGate("PUMP_ON", 4);
    WriteStation(7);
    ReadText("station = 7 ; the main station\n"
             "online_gate_buffer = 2000\n"
             "Com_Timeout = 15\n"
             "alerts = 4 , 40000 , 123\n"
             "modem_number 1 = 0031t20w5551234\n"
             "MODEM_NUMBER 254 = 99\n"
             "modem_reset = at&f e0 (the rest is ignored)\n"
             "modem_dial_prefix = atdp\n"
             "modem_auto_answer = ats0=2\n"
             "modem_dial_timeout = 70000\n"
             "modem_dial_retries = 65537\n"
             "modem_dial_retry_time_sec = 120\n");
    EXPECT_TRUE(korpro_sim::Log().empty());
    EXPECT_EQ(ctx.stationNumber, 7);
    ASSERT_NE(ctx.stationGates, nullptr);
    EXPECT_EQ(ctx.stationGateCount, 2);
    EXPECT_EQ(ctx.gateIdMapSize, 13);
    EXPECT_EQ(ctx.changeCapacity, 2000);
    EXPECT_EQ(ctx.comTimeout, 1500u);
    EXPECT_EQ(ctx.alertClass, 4);
    EXPECT_EQ(ctx.alertSeverity, 40000);
    EXPECT_EQ(ctx.alertZone, 123);
    EXPECT_STREQ(ctx.phoneNumbers[1], "0031T20W5551234");
    EXPECT_STREQ(ctx.phoneNumbers[254], "99");
    for (size_t reference = 0; reference < kPhoneNumberSlots; ++reference) {
        if (reference != 1 && reference != 254) {
            EXPECT_EQ(ctx.phoneNumbers[reference], nullptr) << reference;
        }
    }
    EXPECT_STREQ(ctx.modemResetCmd, "AT&F");
    EXPECT_STREQ(ctx.dialPrefix, "ATDP");
    EXPECT_STREQ(ctx.autoAnswerCmd, "ATS0=2");
    EXPECT_STREQ(ctx.hangUpCmd, "ATH0");
    EXPECT_STREQ(ctx.noAnswerCmd, "ATS0=0");
    EXPECT_EQ(ctx.dialTimeout, 70000 & 0xFFFF);
    EXPECT_EQ(ctx.dialRetries, 1);
    EXPECT_EQ(ctx.dialRetryTime, 120);
}

TEST_F(InitFileTest, BlanksAreOptionalAndOnlyThreeKeywordsMayBeIndented) {
    WriteStation(3);
    ReadText("STATION=3\n"
             "ALERTS=1,2,3\n"
             "MODEM_NUMBER5=123\n"
             "\t  ONLINE_GATE_BUFFER=300\n"
             "  COM_TIMEOUT\t=\t5\n"
             "  ALERTS = 5, 6, 7\n"
             "   \n"
             " ; indented comment\n"
             " MODEM_RESET = ATZ4\n");
    EXPECT_EQ(ctx.stationNumber, 3);
    EXPECT_NE(ctx.stationGates, nullptr);
    EXPECT_EQ(ctx.alertClass, 1);
    EXPECT_EQ(ctx.alertSeverity, 2);
    EXPECT_EQ(ctx.alertZone, 3);
    EXPECT_STREQ(ctx.phoneNumbers[5], "123");
    EXPECT_EQ(ctx.changeCapacity, 300);
    EXPECT_EQ(ctx.comTimeout, 500u);
    EXPECT_STREQ(ctx.modemResetCmd, "ATZ");
    const std::string tail = " in 'TELDRV07.INT'";
    const std::string gateTail = "' from station data file '03_GATES.DAT' not found anymore";
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{
                                     Error("TELDRV> ReadStationData() warning, gate 'TANK_LEVEL" + gateTail),
                                     Error("TELDRV> ReadStationData() warning, gate 'PUMP_ON" + gateTail),
                                     Error("TELDRV> ReadIntFile() illegal line 6" + tail),
                                     Error("TELDRV> ReadIntFile() illegal line 7" + tail),
                                     Error("TELDRV> ReadIntFile() illegal line 8" + tail),
                                     Error("TELDRV> ReadIntFile() illegal line 9" + tail),
                                 }));
}

TEST_F(InitFileTest, StationRangeAndASecondStationLine) {
    WriteStation(99);
    WriteStation(5);
    korpro_sim::DefineGate("TANK_LEVEL", 1);
    korpro_sim::DefineGate("PUMP_ON", 2);
    ReadText("STATION = 100\n"
             "STATION = 4294967295\n"
             "STATION = 99\n"
             "STATION = 5\n");
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  Error("TELDRV> ReadInitFile() WARNING: station number 100 out of range, line 1 in 'TELDRV07.INT'"),
                  Error("TELDRV> ReadInitFile() WARNING: station number 4294967295 out of range, line 2 in "
                        "'TELDRV07.INT'"),
                  Error("TELDRV> ReadInitFile() WARNING: station number 05 already defined, line 4 in "
                        "'TELDRV07.INT'"),
              }));
    EXPECT_EQ(ctx.stationNumber, 99);
    EXPECT_EQ(ctx.stationGateCount, 2);
}

TEST_F(InitFileTest, AStationWhoseGateFileFailedMayBeGivenAgain) {
    WriteStation(2);
    ReadText("STATION = 1\n"
             "STATION = 2\n");
    EXPECT_EQ(korpro_sim::Log().front(),
              Error("TELDRV> ReadStationData() error, station data file '01_GATES.DAT' not found"));
    EXPECT_EQ(ctx.stationNumber, 2);
    EXPECT_NE(ctx.stationGates, nullptr);

    // A failed last attempt still names the station, without tables.
    std::free(ctx.stationGates);
    std::free(ctx.gateIdMap);
    std::memcpy(&ctx, &defaults, sizeof ctx);
    korpro_sim::ClearLog();
    ReadText("STATION = 1\n");
    EXPECT_EQ(ctx.stationNumber, 1);
    EXPECT_EQ(ctx.stationGates, nullptr);
    EXPECT_EQ(ctx.gateIdMap, nullptr);
}

TEST_F(InitFileTest, ChangeBufferSizeAndLinkTimeOut) {
    ReadText("ONLINE_GATE_BUFFER = 50\n"
             "COM_TIMEOUT = 30\n");
    EXPECT_EQ(ctx.changeCapacity, 50);
    EXPECT_EQ(ctx.comTimeout, 3000u);
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  Error("TELDRV> ReadInitFile() WARNING: ONLINE_GATE_BUFFER is smaller than 100 records"),
                  Error("TELDRV> ReadInitFile() WARNING: COM_TIMEOUT is bigger than 20 seconds"),
              }));

    korpro_sim::ClearLog();
    ReadText("ONLINE_GATE_BUFFER = 100\n"
             "COM_TIMEOUT = 20\n"
             "ONLINE_GATE_BUFFER = 0\n"
             "ONLINE_GATE_BUFFER = 65536\n");
    EXPECT_EQ(ctx.changeCapacity, 100);
    EXPECT_EQ(ctx.comTimeout, 2000u);
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  Error("TELDRV> ReadInitFile() error, ONLINE_GATE_BUFFER 0 gives no records, line 3 in "
                        "'TELDRV07.INT'"),
                  Error("TELDRV> ReadInitFile() error, ONLINE_GATE_BUFFER 65536 gives no records, line 4 in "
                        "'TELDRV07.INT'"),
              }));

    // The buffer gets the low 16 bits, and the warning is about those.
    korpro_sim::ClearLog();
    ReadText("ONLINE_GATE_BUFFER = 65537\n");
    EXPECT_EQ(ctx.changeCapacity, 1);
    EXPECT_EQ(korpro_sim::Log().size(), 1u);
}

// No time-out at all would let a silent line hold the session, and shutdown
// with it, for ever; the earlier value stays.
TEST_F(InitFileTest, ComTimeoutThatGivesNoTimeOutIsRefused) {
    ReadText("COM_TIMEOUT = 5\n"
             "COM_TIMEOUT = 0\n"
             "COM_TIMEOUT = 1073741824\n");  // 2^30 seconds: 100 times it wraps to 0
    EXPECT_EQ(ctx.comTimeout, 500u);
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  Error("TELDRV> ReadInitFile() error, COM_TIMEOUT 0 gives no time-out, line 2 in 'TELDRV07.INT'"),
                  Error("TELDRV> ReadInitFile() error, COM_TIMEOUT 1073741824 gives no time-out, line 3 in "
                        "'TELDRV07.INT'"),
              }));
}

// The port holds its time-out in 32-bit milliseconds: 4294967 s is the most it
// can hold, and 2^29 s would have wrapped to exactly 0 ms.
TEST_F(InitFileTest, ComTimeoutWhoseMillisecondsDoNotFit32BitsIsRefused) {
    ReadText("COM_TIMEOUT = 4294967\n"
             "COM_TIMEOUT = 4294968\n"
             "COM_TIMEOUT = 536870912\n"
             "COM_TIMEOUT = 429496729\n");
    EXPECT_EQ(ctx.comTimeout, 429496700u);
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  Error("TELDRV> ReadInitFile() WARNING: COM_TIMEOUT is bigger than 20 seconds"),
                  Error("TELDRV> ReadInitFile() error, COM_TIMEOUT 4294968 gives no time-out, line 2 in "
                        "'TELDRV07.INT'"),
                  Error("TELDRV> ReadInitFile() error, COM_TIMEOUT 536870912 gives no time-out, line 3 in "
                        "'TELDRV07.INT'"),
                  Error("TELDRV> ReadInitFile() error, COM_TIMEOUT 429496729 gives no time-out, line 4 in "
                        "'TELDRV07.INT'"),
              }));
}

TEST_F(InitFileTest, AlertValuesAreStoredOnlyWhenAllThreeAreInRange) {
    ReadText("ALERTS = 6, 1, 1\n"
             "ALERTS = 5, 50001, 1\n"
             "alerts = 5, 50000, 50001 ; zone\n"
             "ALERTS = 1, 2\n");
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  Error("TELDRV> ReadIntFile() illegal alert class in 'ALERTS = 6, 1, 1\n', line 1 in "
                        "'TELDRV07.INT'"),
                  Error("TELDRV> ReadIntFile() illegal alert severity in 'ALERTS = 5, 50001, 1\n', line 2 in "
                        "'TELDRV07.INT'"),
                  Error("TELDRV> ReadIntFile() illegal alert zone in 'ALERTS = 5, 50000, 50001 ; ZONE\n', line 3 "
                        "in 'TELDRV07.INT'"),
                  Error("TELDRV> ReadIntFile() illegal line 4 in 'TELDRV07.INT'"),
              }));
    EXPECT_EQ(ctx.alertClass, 2);
    EXPECT_EQ(ctx.alertSeverity, 1000);
    EXPECT_EQ(ctx.alertZone, 1000);

    korpro_sim::ClearLog();
    ReadText("ALERTS = 5, 50000, 50000\n");
    EXPECT_TRUE(korpro_sim::Log().empty());
    EXPECT_EQ(ctx.alertClass, 5);
    EXPECT_EQ(ctx.alertSeverity, 50000);
    EXPECT_EQ(ctx.alertZone, 50000);
}

TEST_F(InitFileTest, PhoneNumbersByReference) {
    const std::string longest(32, '9');
    ReadText("MODEM_NUMBER 0 = 111\n"
             "MODEM_NUMBER 255 = 222\n"
             "MODEM_NUMBER 254 = 333\n"
             "MODEM_NUMBER 3 = 444\n"
             "MODEM_NUMBER 3 = 555\n"
             "MODEM_NUMBER 4 = " + longest + "\n"
             "MODEM_NUMBER 4 = " + longest + "0\n");
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  Error("TELDRV> ReadInitFile() error, MODEM_NUMBER 0 out of range 1 to 254, line 1 in "
                        "'TELDRV07.INT'"),
                  Error("TELDRV> ReadInitFile() error, MODEM_NUMBER 255 out of range 1 to 254, line 2 in "
                        "'TELDRV07.INT'"),
                  Error("TELDRV> ReadInitFile() error, MODEM_NUMBER value longer than 32 characters, line 7 in "
                        "'TELDRV07.INT'"),
              }));
    EXPECT_EQ(ctx.phoneNumbers[0], nullptr);
    EXPECT_STREQ(ctx.phoneNumbers[254], "333");
    EXPECT_STREQ(ctx.phoneNumbers[3], "555");
    EXPECT_STREQ(ctx.phoneNumbers[4], longest.c_str());
}

TEST_F(InitFileTest, AFailedNumberCopyLeavesTheReferenceWithoutANumber) {
    WriteFileBytes("TELDRV07.INT", "MODEM_NUMBER 9 = 123\nMODEM_NUMBER 9 = 456\n");
    config_test::ArmAllocFailure(2);
    Read();
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  Error("TELDRV> ReadIntFile() Error, alloc mem for modem number, line 2 in 'TELDRV07.INT'")}));
    EXPECT_EQ(ctx.phoneNumbers[9], nullptr);
}

TEST_F(InitFileTest, CommandsLongerThanTheirFieldsAreRefused) {
    const std::string reset63(63, 'R');
    const std::string command31(31, 'C');
    ReadText("MODEM_RESET = " + reset63 + "\n"
             "MODEM_RESET = " + reset63 + "X\n"
             "MODEM_DIAL_PREFIX = " + command31 + "\n"
             "MODEM_DIAL_PREFIX = " + command31 + "X\n"
             "MODEM_AUTO_ANSWER = " + command31 + "\n"
             "MODEM_AUTO_ANSWER = " + command31 + "X\n"
             "MODEM_RESET = AT Z\n");
    const std::string tail = " in 'TELDRV07.INT'";
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  Error("TELDRV> ReadInitFile() error, MODEM_RESET value longer than 63 characters, line 2" + tail),
                  Error("TELDRV> ReadInitFile() error, MODEM_DIAL_PREFIX value longer than 31 characters, line 4" +
                        tail),
                  Error("TELDRV> ReadInitFile() error, MODEM_AUTO_ANSWER value longer than 31 characters, line 6" +
                        tail),
              }));
    EXPECT_STREQ(ctx.modemResetCmd, "AT");
    EXPECT_STREQ(ctx.dialPrefix, command31.c_str());
    EXPECT_STREQ(ctx.autoAnswerCmd, command31.c_str());
}

TEST_F(InitFileTest, NumbersKeepTheirLow16BitsAndTakeNoSign) {
    ReadText("MODEM_DIAL_RETRIES = 65537\n"
             "MODEM_DIAL_TIMEOUT = 4294967296\n"
             "MODEM_DIAL_RETRY_TIME_SEC = 99999999999\n"
             "MODEM_DIAL_RETRIES = -1\n"
             "MODEM_DIAL_TIMEOUT = +5\n");
    EXPECT_EQ(ctx.dialRetries, 1);
    EXPECT_EQ(ctx.dialTimeout, 0);                              // 2^32 keeps nothing
    EXPECT_EQ(ctx.dialRetryTime, (99999999999ull & 0xFFFFFFFF) & 0xFFFF);
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{
                                     Error("TELDRV> ReadIntFile() illegal line 4 in 'TELDRV07.INT'"),
                                     Error("TELDRV> ReadIntFile() illegal line 5 in 'TELDRV07.INT'"),
                                 }));
}

TEST_F(InitFileTest, EmptyAndCommentLinesPassSilentlyButCount) {
    ReadText("; settings\n"
             "\n"
             ";\n"
             "BAD LINE\n"
             "MODEM_DIAL_TIMEOUT = 12");  // a last line without its line feed is still read
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{Error("TELDRV> ReadIntFile() illegal line 4 in 'TELDRV07.INT'")}));
    EXPECT_EQ(ctx.dialTimeout, 12);
}

TEST_F(InitFileTest, ALineLongerThan255CharactersIsReadInPiecesThatEachCount) {
    // 300 characters: a comment piece of 255, then a piece of its own.
    const std::string first = ";" + std::string(254, '-');
    const std::string second = "MODEM_DIAL_TIMEOUT = 77 " + std::string(300 - 255 - 24, '-');
    ASSERT_EQ((first + second).size(), 300u);
    ReadText(first + second + "\nBAD\n");
    EXPECT_EQ(ctx.dialTimeout, 77);
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{Error("TELDRV> ReadIntFile() illegal line 3 in 'TELDRV07.INT'")}));

    // Exactly 255 characters and the line feed: the line feed is a piece too.
    korpro_sim::ClearLog();
    ReadText(std::string(255, ';') + "\nBAD\n");
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{Error("TELDRV> ReadIntFile() illegal line 3 in 'TELDRV07.INT'")}));
}

TEST_F(InitFileTest, CrLfLineEndsReadLikeLineFeeds) {
    const std::string lines[] = {
        "STATION = 100",
        "",
        "ALERTS = 9, 1, 1",
        "MODEM_RESET = ATZ1",
        std::string(254, ';'),  // 255 with its line end, so the CR must not count
        "BAD",
        "MODEM_NUMBER 1 = 12\r34",  // a CR inside a line is kept
    };
    std::string lf, crlf;
    for (const std::string& line : lines) {
        lf += line + "\n";
        crlf += line + "\r\n";
    }
    ReadText(lf);
    const std::vector<LogLine> lfLog = korpro_sim::Log();
    StationContext lfContext;
    std::memcpy(&lfContext, &ctx, sizeof ctx);
    const std::string lfNumber = ctx.phoneNumbers[1];
    std::free(ctx.phoneNumbers[1]);
    std::memcpy(&ctx, &defaults, sizeof ctx);

    korpro_sim::ClearLog();
    ReadText(crlf);
    EXPECT_EQ(korpro_sim::Log(), lfLog);
    EXPECT_EQ(korpro_sim::Log().back(), Error("TELDRV> ReadIntFile() illegal line 6 in 'TELDRV07.INT'"));
    EXPECT_STREQ(ctx.modemResetCmd, "ATZ1");
    EXPECT_STREQ(ctx.phoneNumbers[1], lfNumber.c_str());
    EXPECT_EQ(lfNumber, "12");
}

TEST_F(InitFileTest, TheFileIsClosed) {
    WriteStation(7);
    const size_t descriptors = config_test::OpenDescriptors();
    ReadText("STATION = 7\nSTATION = 8\n");
    EXPECT_EQ(config_test::OpenDescriptors(), descriptors);
}

// Lines made of keyword fragments, numbers and noise: nothing is stored past
// a field, and the texts stay terminated.
TEST_F(InitFileTest, FuzzedFilesNeverBreakTheReader) {
    WriteStation(7);
    const char* const pieces[] = {"STATION", "ONLINE_GATE_BUFFER", "COM_TIMEOUT", "ALERTS", "MODEM_NUMBER",
                                  "MODEM_RESET", "MODEM_DIAL_PREFIX", "MODEM_AUTO_ANSWER", "MODEM_DIAL_TIMEOUT",
                                  "MODEM_DIAL_RETRIES", "MODEM_DIAL_RETRY_TIME_SEC", "REMOTE_WRITE", "NONE", "ALL",
                                  "CLOCK_MAX_STEP_SEC", "=", ",", " ", "\t", "\n",
                                  "\r\n", "\r", ";", "7", "99999999999", "254", "-", "AT&F", "\0", "\xff"};
    std::mt19937 random(1234);
    for (int round = 0; round < 300; ++round) {
        std::string text;
        const size_t count = random() % 120;
        for (size_t i = 0; i < count; ++i) {
            if (random() % 10 == 0) {
                text += std::string(random() % 300, static_cast<char>('A' + random() % 26));
            } else {
                const char* piece = pieces[random() % std::size(pieces)];
                text += *piece == '\0' ? std::string(1, '\0') : std::string(piece);
            }
        }
        ReadText(text);
        ASSERT_NE(std::memchr(ctx.modemResetCmd, '\0', sizeof ctx.modemResetCmd), nullptr);
        ASSERT_NE(std::memchr(ctx.dialPrefix, '\0', sizeof ctx.dialPrefix), nullptr);
        ASSERT_NE(std::memchr(ctx.autoAnswerCmd, '\0', sizeof ctx.autoAnswerCmd), nullptr);
        ASSERT_NE(ctx.changeCapacity, 0);
        ASSERT_EQ(ctx.phoneNumbers[0], nullptr);
        for (char* number : ctx.phoneNumbers) {
            if (number != nullptr) {
                ASSERT_LE(std::strlen(number), 32u);
            }
        }
        korpro_sim::ClearLog();
    }
}

// Which of the two station gates (TANK_LEVEL, PUMP_ON) a caller may write.
std::vector<bool> Writable(const StationContext& ctx) {
    std::vector<bool> allowed;
    for (uint16_t g = 0; g < ctx.stationGateCount; ++g) {
        allowed.push_back(RemoteWriteAllowed(&ctx, ctx.stationGates[g]));
    }
    return allowed;
}

// The host knows both gates, so the station loads without warnings of its own.
void DefineStationGates() {
    korpro_sim::DefineGate("TANK_LEVEL", 11);
    korpro_sim::DefineGate("PUMP_ON", 12);
}

TEST_F(InitFileTest, RemoteWriteNamesAddUpAcrossLinesWhereverStationStands) {
    WriteStation(7);
    DefineStationGates();
    ReadText("REMOTE_WRITE = pump_on, NO_SUCH_GATE\n"
             "STATION = 7\n"
             "REMOTE_WRITE=VALVE_9 ; PUMP_ON only, once the station is known\n"
             "REMOTE_WRITE = ,\n"
             "REMOTE_WRITE = " + std::string(32, 'X') + "\n");
    EXPECT_EQ(Writable(ctx), (std::vector<bool>{false, true}));
    // Unknown names are reported once the whole file (and its station) is read.
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  Error("TELDRV> ReadIntFile() illegal line 4 in 'TELDRV07.INT'"),
                  Error("TELDRV> ReadInitFile() WARNING: REMOTE_WRITE gate '" + std::string(32, 'X') +
                        "' is not a station gate, line 5 in 'TELDRV07.INT'"),
                  Error("TELDRV> ReadInitFile() WARNING: REMOTE_WRITE gate 'NO_SUCH_GATE' is not a station gate, "
                        "line 1 in 'TELDRV07.INT'"),
                  Error("TELDRV> ReadInitFile() WARNING: REMOTE_WRITE gate 'VALVE_9' is not a station gate, line 3 "
                        "in 'TELDRV07.INT'")}));
    EXPECT_TRUE(ClockStepAllowed(&ctx, 1000000000));
}

TEST_F(InitFileTest, AllAndNoneStartTheListAfresh) {
    struct Case {
        const char* lines;
        std::vector<bool> writable;
    };
    const Case cases[] = {
        {"", {true, true}},
        {"REMOTE_WRITE = ALL\n", {true, true}},
        {"REMOTE_WRITE = NONE\n", {false, false}},
        {"REMOTE_WRITE = NONE\nREMOTE_WRITE = TANK_LEVEL\n", {true, false}},
        {"REMOTE_WRITE = TANK_LEVEL\nREMOTE_WRITE = ALL\n", {true, true}},
        {"REMOTE_WRITE = TANK_LEVEL\nREMOTE_WRITE = NONE\n", {false, false}},
        {"REMOTE_WRITE = ALL PUMP_ON\n", {false, true}},
    };
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        WriteStation(7);
        ReadText(std::string("STATION = 7\n") + c.lines);
        EXPECT_EQ(Writable(ctx), c.writable) << c.lines;
        // ALL alone keeps the context as a file without the keyword leaves it.
        const std::string lines = c.lines;
        EXPECT_EQ(ctx.optIn == nullptr, lines.empty() || lines == "REMOTE_WRITE = ALL\n") << lines;
    }
}

TEST_F(InitFileTest, ClockMaxStepBoundsTheStepEitherWay) {
    ReadText("CLOCK_MAX_STEP_SEC = 60\n");
    EXPECT_TRUE(ClockStepAllowed(&ctx, 60));
    EXPECT_TRUE(ClockStepAllowed(&ctx, -60));
    EXPECT_FALSE(ClockStepAllowed(&ctx, 61));
    EXPECT_FALSE(ClockStepAllowed(&ctx, -61));
    EXPECT_TRUE(korpro_sim::Log().empty()) << config_test::LogText();
}

TEST_F(InitFileTest, AProtectionWithoutMemoryRefusesEveryWriteAndClock) {
    WriteStation(7);
    DefineStationGates();
    // Station 7 takes allocations 1 and 2, the settings block 3; eight names
    // fit the first list (4), the ninth needs a second (5).
    config_test::ArmAllocFailure(5);
    ReadText("STATION = 7\nREMOTE_WRITE = PUMP_ON A B C D E F G H\nREMOTE_WRITE = TANK_LEVEL\n");
    EXPECT_EQ(Writable(ctx), (std::vector<bool>{false, false}));
    EXPECT_FALSE(ClockStepAllowed(&ctx, 1));
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{Error("TELDRV> ReadInitFile() error, alloc mem for REMOTE_WRITE, line 2 in "
                                          "'TELDRV07.INT', all remote writes and clock settings refused")}));

    TearDown();
    SetUp();
    config_test::ArmAllocFailure(1);
    ReadText("CLOCK_MAX_STEP_SEC = 3600\n");
    EXPECT_FALSE(ClockStepAllowed(&ctx, 1));
}

// MODEM_CHECK_MIN and PORT_REOPEN_SEC: 0 is off and, alone, leaves the
// context as a file without them does; out of range is refused with its
// range; the last line given counts; no memory leaves them off.
TEST_F(InitFileTest, SupervisionKeywordsTakeTheirRangesAndZeroIsOff) {
    ReadText("MODEM_CHECK_MIN = 0\nPORT_REOPEN_SEC = 0\n");
    EXPECT_EQ(std::memcmp(&ctx, &defaults, sizeof ctx), 0);
    EXPECT_TRUE(korpro_sim::Log().empty()) << config_test::LogText();

    TearDown();
    SetUp();
    ReadText("MODEM_CHECK_MIN = 1441\nPORT_REOPEN_SEC = 4\nmodem_check_min=1440\nPORT_REOPEN_SEC = 3600\n"
             "PORT_REOPEN_SEC = 5 ; the shortest\nMODEM_CHECK_MIN = 0\n");
    ASSERT_NE(ctx.optIn, nullptr);
    EXPECT_EQ(ctx.optIn->supervision.modemCheckMin, 0);
    EXPECT_EQ(ctx.optIn->supervision.portReopenSec, 5);
    EXPECT_EQ(korpro_sim::Log(),
              (std::vector<LogLine>{
                  Error("TELDRV> ReadInitFile() error, MODEM_CHECK_MIN 1441 out of range 1 to 1440, line 1 in "
                        "'TELDRV07.INT'"),
                  Error("TELDRV> ReadInitFile() error, PORT_REOPEN_SEC 4 out of range 5 to 3600, line 2 in "
                        "'TELDRV07.INT'")}));
    // The other settings of the block are as without their keywords.
    EXPECT_TRUE(ClockStepAllowed(&ctx, 1000000000));

    TearDown();
    SetUp();
    config_test::ArmAllocFailure(1);
    ReadText("MODEM_CHECK_MIN = 10\n");
    EXPECT_EQ(ctx.optIn, nullptr);
    EXPECT_EQ(korpro_sim::Log(), (std::vector<LogLine>{Error("TELDRV> ReadInitFile() error, alloc mem for "
                                                             "MODEM_CHECK_MIN, line 1 in 'TELDRV07.INT', line ignored")}));
}

}  // namespace
