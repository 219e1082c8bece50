// The examples that the operator's manual in docs/ shows must hold for the
// driver as built: the commented init file loads without a single log line
// and sets what its comments say, and every frame the link chapter shows is
// one the frame codec would send or accept.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/init_file.h"
#include "driver/context.h"
#include "link/frame.h"
#include "tests/config_fixture.h"
#include "tools/shared/gate_file.h"

#ifndef TELDRV_SOURCE_DIR
#error "TELDRV_SOURCE_DIR must name the source tree"
#endif

namespace {

using config_test::LogText;
using config_test::WriteFileBytes;

std::string ReadDoc(const std::string& name) {
    std::ifstream in(std::string(TELDRV_SOURCE_DIR) + "/docs/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The first fenced block after the heading.
std::string FencedBlockAfter(const std::string& doc, const std::string& heading) {
    const size_t at = doc.find(heading);
    if (at == std::string::npos) return {};
    const size_t open = doc.find("```", at);
    if (open == std::string::npos) return {};
    const size_t body = doc.find('\n', open) + 1;
    const size_t close = doc.find("\n```", body);
    if (close == std::string::npos) return {};
    return doc.substr(body, close + 1 - body);
}

class ManualExampleTest : public config_test::ConfigFileTest {
protected:
    void SetUp() override {
        ConfigFileTest::SetUp();
        std::memset(&ctx, 0, sizeof ctx);
        SetContextDefaults(&ctx);
    }
    void TearDown() override {
        for (char* number : ctx.phoneNumbers) std::free(number);
        std::free(ctx.stationGates);
        std::free(ctx.gateIdMap);
        ConfigFileTest::TearDown();
    }
    StationContext ctx;
};

TEST_F(ManualExampleTest, TheCommentedInitFileLoadsSilentlyAndSetsWhatItSays) {
    const std::string example = FencedBlockAfter(ReadDoc("init-file.md"), "## A complete example");
    ASSERT_FALSE(example.empty()) << "no example block in docs/init-file.md";
    WriteFileBytes("TELDRV07.INT", example);
    korpro_sim::DefineGate("TANK_LEVEL", 3);
    WriteFileBytes(gatefile::StationFileName(7), gatefile::BuildGateFile(7, {{"TANK_LEVEL", 1, 0}}));

    VpiCallBlock block{&ctx, 1, 7, 0, nullptr};
    ReadInitFile(&block);

    EXPECT_EQ(LogText(), "");
    EXPECT_EQ(ctx.stationNumber, 7);
    EXPECT_NE(ctx.stationGates, nullptr);
    EXPECT_EQ(ctx.changeCapacity, 2048);
    EXPECT_EQ(ctx.comTimeout, 1000u);
    EXPECT_EQ(ctx.alertClass, 2);
    EXPECT_EQ(ctx.alertSeverity, 1000);
    EXPECT_EQ(ctx.alertZone, 1000);
    ASSERT_NE(ctx.phoneNumbers[1], nullptr);
    ASSERT_NE(ctx.phoneNumbers[2], nullptr);
    EXPECT_STREQ(ctx.phoneNumbers[1], "0201234567");
    EXPECT_STREQ(ctx.phoneNumbers[2], "0W0209876543");
    EXPECT_EQ(ctx.phoneNumbers[3], nullptr);
    EXPECT_STREQ(ctx.modemResetCmd, "AT&FE1V1Q0&D2");
    EXPECT_STREQ(ctx.dialPrefix, "ATDT");
    EXPECT_STREQ(ctx.autoAnswerCmd, "ATS0=1");
    EXPECT_EQ(ctx.dialTimeout, 45);
    EXPECT_EQ(ctx.dialRetries, 3);
    EXPECT_EQ(ctx.dialRetryTime, 60);
}

// The rule the manual teaches for comments: first column only.
TEST_F(ManualExampleTest, AnIndentedCommentIsReportedAsTheManualSays) {
    WriteFileBytes("TELDRV07.INT", "; fine\n   ; indented\n");
    VpiCallBlock block{&ctx, 1, 7, 0, nullptr};
    ReadInitFile(&block);
    EXPECT_EQ(LogText(), "[32] TELDRV> ReadIntFile() illegal line 2 in 'TELDRV07.INT'\n");
}

// Every frame the link chapter shows as a line of hex bytes is a good frame:
// its length field, markers and checksum are what the codec makes.
TEST(ManualFrames, EveryFrameShownInTheLinkChapterIsAGoodFrame) {
    std::istringstream doc(ReadDoc("link-protocol.md"));
    std::string line;
    int frames = 0;
    while (std::getline(doc, line)) {
        const size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos || line.compare(start, 8, "02 46 45") != 0) continue;
        std::vector<uint8_t> bytes;
        std::istringstream hex(line.substr(start));
        std::string byte;
        bool allHex = true;
        while (hex >> byte) {
            if (byte.size() != 2 || byte.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
                allHex = false;
                break;
            }
            bytes.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
        }
        if (!allHex) continue;
        ++frames;
        SCOPED_TRACE(line);
        ASSERT_GE(bytes.size(), 13u);
        const size_t bodyLength = static_cast<size_t>(bytes[6] << 8 | bytes[7]);
        ASSERT_EQ(bytes.size(), 13 + bodyLength);
        EXPECT_EQ(bytes[0], kStx);
        EXPECT_TRUE(bytes[3] == 'C' || bytes[3] == 'R');
        EXPECT_EQ(bytes[8], kDle);
        EXPECT_EQ(bytes[9 + bodyLength], kDle);
        EXPECT_EQ(bytes[12 + bodyLength], kEtx);
        const uint16_t checksum = FrameChecksum(bytes.data(), bytes.data() + 9, bodyLength);
        EXPECT_EQ(bytes[10 + bodyLength], checksum >> 8);
        EXPECT_EQ(bytes[11 + bodyLength], checksum & 0xFF);
    }
    // The two worked examples at least.
    EXPECT_GE(frames, 2);
}

}  // namespace
