// Captures of the line as pcapng: the packet rules on a clock of the test's
// own, the turn-over at LINK_CAPTURE_KB, the station's LINK_CAPTURE over a
// whole call on the virtual clock, and teldrv-central --capture. Every file
// is read back with the tests' own reader (pcapng_read.h).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <string>
#include <vector>

#include "common/line_capture.h"
#include "tests/driver_rig.h"
#include "tests/pcapng_read.h"

namespace {

namespace fs = std::filesystem;
using pcapng_test::Capture;
using pcapng_test::Hex;
using pcapng_test::Packet;

// The link chapter's worked examples: the station's frame with body "abc",
// the central's station request with tag 0x1234.
const std::vector<uint8_t> kStationFrame = {0x02, 0x46, 0x45, 0x52, 0x00, 0x00, 0x00, 0x03,
                                            0x10, 0x61, 0x62, 0x63, 0x10, 0x02, 0x3B, 0x03};
const std::vector<uint8_t> kCentralFrame = {0x02, 0x46, 0x45, 0x43, 0x12, 0x34, 0x00,
                                            0x01, 0x10, 0x53, 0x10, 0x01, 0x9C, 0x03};

struct TempDir {
    fs::path path = fs::temp_directory_path() / ("teldrv-capture-" + std::to_string(::getpid()));
    TempDir() { fs::create_directories(path); }
    ~TempDir() { fs::remove_all(path); }
};

void Feed(LineCapture* capture, bool outbound, const std::vector<uint8_t>& bytes, uint64_t us) {
    CaptureBytes(capture, outbound, bytes.data(), bytes.size(), us);
}
void FeedText(LineCapture* capture, bool outbound, const std::string& text, uint64_t us) {
    Feed(capture, outbound, std::vector<uint8_t>(text.begin(), text.end()), us);
}

// (interface, flags, time, hex or text) of each packet.
std::vector<std::string> Listing(const Capture& capture) {
    std::vector<std::string> lines;
    for (const Packet& p : capture.packets) {
        const bool text = p.interfaceId == 1 || (!p.data.empty() && p.data[0] != 0x02);
        lines.push_back(std::to_string(p.interfaceId) + " " + std::to_string(p.flags) + " " + std::to_string(p.timeUs) +
                        " " + (text ? p.text() : Hex(p.data)));
    }
    return lines;
}

TEST(LineCapture, FramesWholeModemLinesApartBrokenFramesAsTheyStand) {
    TempDir dir;
    const std::string path = (dir.path / "rules.pcapng").string();
    LineCapture capture;
    ASSERT_TRUE(OpenLineCapture(&capture, path, "teldrv link: outbound = central to station", 0));
    FeedText(&capture, true, "ATZ\r", 1000);
    FeedText(&capture, false, "ATZ\r\r\nOK\r\n", 2000);
    FeedText(&capture, false, "\r\nCONNECT 9600\r\n", 500000);  // after a pause
    CaptureEvent(&capture, LineEvent::kCarrierUp, 600000);
    // The central's frame in three writes, the station's byte by byte.
    Feed(&capture, true, std::vector<uint8_t>(kCentralFrame.begin(), kCentralFrame.begin() + 9), 700000);
    Feed(&capture, true, std::vector<uint8_t>(kCentralFrame.begin() + 9, kCentralFrame.begin() + 10), 700010);
    Feed(&capture, true, std::vector<uint8_t>(kCentralFrame.begin() + 10, kCentralFrame.end()), 700020);
    for (size_t i = 0; i < kStationFrame.size(); ++i) Feed(&capture, false, std::vector<uint8_t>{kStationFrame[i]}, 710000 + i);
    // Broken off after 11 of its 16 bytes, then a length no frame has.
    Feed(&capture, false, std::vector<uint8_t>(kStationFrame.begin(), kStationFrame.begin() + 11), 800000);
    Feed(&capture, false, std::vector<uint8_t>{0x02, 0x46, 0x45, 0x52, 0x00, 0x02, 0x10, 0x00, 0x10}, 1400000);
    CaptureEvent(&capture, LineEvent::kCarrierDown, 1500000);
    CloseLineCapture(&capture);

    const Capture read = pcapng_test::Read(path);
    ASSERT_TRUE(read.whole);
    EXPECT_EQ(read.blockTypes.front(), 0x0A0D0D0Au);
    EXPECT_EQ(read.linkTypes, (std::vector<uint16_t>{147, 148}));
    EXPECT_EQ(Listing(read), (std::vector<std::string>{
                                 "0 2 1000 ATZ\r",
                                 "0 1 2000 ATZ\r\r\n",
                                 "0 1 2000 OK\r\n",
                                 "0 1 500000 \r\nCONNECT 9600\r\n",
                                 "1 0 600000 carrier up",
                                 "0 2 700020 02 46 45 43 12 34 00 01 10 53 10 01 9C 03",
                                 "0 1 710015 02 46 45 52 00 00 00 03 10 61 62 63 10 02 3B 03",
                                 "0 1 800000 02 46 45 52 00 00 00 03 10 61 62",
                                 "0 1 1400000 02 46 45 52 00 02 10 00",
                                 "0 1 1400000 \x10",
                                 "1 0 1500000 carrier down",
                             }));
}

// 120 frames of 1293 bytes at 64 KB a file: two turn-overs, the second
// replacing the first's NAME.1; no frame lost or cut between the two files.
TEST(LineCapture, TurnsOverToNameDot1AtTheLimit) {
    TempDir dir;
    const std::string path = (dir.path / "LINE.PCAPNG").string();
    LineCapture capture;
    ASSERT_TRUE(OpenLineCapture(&capture, path, "", 64 * 1024));
    std::vector<uint8_t> frame(13 + 1280, 0x55);
    frame[0] = 0x02;
    frame[6] = 0x05;  // length 1280
    frame[7] = 0x00;
    for (uint16_t tag = 0; tag < 120; ++tag) {
        frame[4] = static_cast<uint8_t>(tag >> 8);
        frame[5] = static_cast<uint8_t>(tag);
        Feed(&capture, false, frame, 1000u * tag);
    }
    CloseLineCapture(&capture);
    const Capture older = pcapng_test::Read(path + ".1"), newer = pcapng_test::Read(path);
    ASSERT_TRUE(older.whole && newer.whole);
    EXPECT_LE(fs::file_size(path + ".1"), 64u * 1024u);
    EXPECT_LE(fs::file_size(path), 64u * 1024u);
    EXPECT_EQ(older.linkTypes, (std::vector<uint16_t>{147, 148}));
    EXPECT_EQ(newer.linkTypes, (std::vector<uint16_t>{147, 148}));
    ASSERT_FALSE(older.packets.empty());
    ASSERT_FALSE(newer.packets.empty());
    EXPECT_GT(older.packets.front().data[5], 0);  // the first file's NAME.1 was replaced
    EXPECT_EQ(newer.packets.back().data[5], 119);
    std::vector<Packet> all = older.packets;
    all.insert(all.end(), newer.packets.begin(), newer.packets.end());
    for (size_t i = 1; i < all.size(); ++i) {
        EXPECT_EQ(all[i].data.size(), frame.size());
        EXPECT_EQ(all[i].data[5], static_cast<uint8_t>(all[i - 1].data[5] + 1));
    }
}

// The texts of the event packets, in order.
std::vector<std::string> Events(const Capture& capture) {
    std::vector<std::string> events;
    for (const Packet& p : capture.packets) {
        if (p.interfaceId == 1) events.push_back(p.text());
    }
    return events;
}

// The frames of one direction (1 inbound, 2 outbound), as hex.
std::vector<std::string> Frames(const Capture& capture, uint32_t flags) {
    std::vector<std::string> frames;
    for (const Packet& p : capture.packets) {
        if (p.interfaceId == 0 && p.flags == flags && p.data[0] == 0x02) frames.push_back(Hex(p.data));
    }
    return frames;
}

// A call in and the station's number asked, LINK_CAPTURE on: the file holds
// the whole of it from the modem reset to the hang-up, on the virtual clock.
TEST(LinkCapture, TheStationCapturesAWholeCallFromColdStartToEndVpi) {
    driver_test::DriverRig rig;
    ASSERT_EQ(rig.Start(std::string(driver_test::kStationInit) + "LINK_CAPTURE = call.pcapng\n"), 0) << driver_test::LogText();
    ASSERT_TRUE(rig.CallIn());
    EXPECT_TRUE(rig.ServeAndHangUp());
    EXPECT_TRUE(rig.WaitIdle(30000));
    // The driver sees the carrier gone at its first look after the modem
    // reset that follows the hang-up (virtual seconds).
    platform::Sleep(5000);
    EXPECT_EQ(rig.End(), 0);
    const uint64_t endUs = static_cast<uint64_t>(sim::kEpochSeconds + 0) * 1000000u + sim::NowMs() * 1000u;

    const Capture read = pcapng_test::Read("CALL.PCAPNG");
    ASSERT_TRUE(read.whole);
    EXPECT_EQ(read.blockTypes.front(), 0x0A0D0D0Au);
    EXPECT_EQ(read.linkTypes, (std::vector<uint16_t>{147, 148}));
    EXPECT_EQ(Frames(read, 1), (std::vector<std::string>{"02 46 45 43 10 01 00 01 10 53 10 01 8D 03",
                                                         "02 46 45 43 10 02 00 01 10 58 10 01 97 03"}));
    EXPECT_EQ(Frames(read, 2), (std::vector<std::string>{"02 46 45 52 10 01 00 04 10 73 07 07 07 10 02 A0 03",
                                                         "02 46 45 52 10 02 00 01 10 78 10 01 B7 03"}));
    // The modem reset of the start (its escape by DTR), the call, the reset
    // after the hang-up, the carrier seen gone, the reset of EndVpi.
    EXPECT_EQ(Events(read), (std::vector<std::string>{"DTR dropped", "DTR raised", "carrier up", "DTR dropped",
                                                      "DTR raised", "carrier down", "DTR dropped", "DTR raised"}));
    // The modem's dialogue in packets of its own, each packet in time order
    // on the virtual clock, and nothing without its direction.
    EXPECT_EQ(read.packets.front().interfaceId, 1u);
    uint64_t last = uint64_t{sim::kEpochSeconds} * 1000000u;
    for (const Packet& p : read.packets) {
        EXPECT_GE(p.timeUs, last);
        last = p.timeUs;
        EXPECT_TRUE(p.interfaceId == 0 ? p.flags == 1 || p.flags == 2 : p.flags == 0) << p.text();
    }
    EXPECT_LE(last, endUs);
}

// A capture that cannot be written (here: a directory has its name) is logged once
// at 32 and the call goes on; a path or a size the driver does not take is
// refused as the init file's other bad values are.
TEST(LinkCapture, AnUnwritableFileIsLoggedOnceAndTheCallGoesOn) {
    driver_test::DriverRig rig;
    fs::create_directory("CALL.PCAPNG");
    const std::string init = driver_test::kStationInit;
    const auto line = std::count(init.begin(), init.end(), '\n');
    ASSERT_EQ(rig.Start(init + "LINK_CAPTURE = ../call.pcapng\nLINK_CAPTURE_KB = 63\nLINK_CAPTURE = call.pcapng\n"), 0)
        << driver_test::LogText();
    ASSERT_TRUE(rig.CallIn());
    EXPECT_TRUE(rig.ServeAndHangUp());
    EXPECT_TRUE(rig.WaitIdle(30000));
    EXPECT_EQ(rig.End(), 0);
    std::vector<korpro_sim::LogLine> capture;
    for (const korpro_sim::LogLine& logged : log_test::LinesAt(32)) {
        if (logged.text.find("LINK_CAPTURE") != std::string::npos) capture.push_back(logged);
    }
    const auto at = [&](int n) { return std::to_string(line + n); };
    EXPECT_EQ(capture, (std::vector<korpro_sim::LogLine>{
                           {32, "TELDRV> ReadInitFile() error, LINK_CAPTURE takes a bare file name of at most 63 "
                                "characters, line " + at(1) + " in 'TELDRV01.INT'"},
                           {32, "TELDRV> ReadInitFile() error, LINK_CAPTURE_KB 63 out of range 64 to 65535, line " +
                                    at(2) + " in 'TELDRV01.INT'"},
                           {32, "TELDRV> LINK_CAPTURE error, cannot write 'CALL.PCAPNG' (Is a directory), "
                                "the line is not captured"},
                       }))
        << driver_test::LogText();
}

#ifdef TELDRV_CENTRAL_TOOL

std::string CentralSim(const std::string& capture, const std::string& commands) {
    return std::string(TELDRV_CENTRAL_TOOL) + " --sim --dial 0307000007 --capture " + capture + " " + commands;
}

// teldrv-central --sim --capture: the central's side of a whole call, the
// modem's dialogue included, with the carrier it saw.
TEST(CentralCapture, TheToolCapturesItsSideOfACall) {
    TempDir dir;
    const std::string path = (dir.path / "central.pcapng").string();
    ASSERT_EQ(std::system((CentralSim(path, "station hangup") + " >/dev/null 2>&1").c_str()), 0);
    const Capture read = pcapng_test::Read(path);
    ASSERT_TRUE(read.whole);
    EXPECT_EQ(read.linkTypes, (std::vector<uint16_t>{147, 148}));
    EXPECT_EQ(read.packets.front().text(), "ATZ\r");
    EXPECT_EQ(read.packets.front().flags, 2u);
    EXPECT_EQ(Frames(read, 2), (std::vector<std::string>{"02 46 45 43 00 01 00 01 10 53 10 01 9D 03",
                                                         "02 46 45 43 00 02 00 01 10 58 10 01 A7 03"}));
    EXPECT_EQ(Frames(read, 1).front(), "02 46 45 52 00 01 00 04 10 73 07 07 07 10 02 B0 03");
    EXPECT_EQ(Events(read), (std::vector<std::string>{"carrier up", "DTR dropped", "DTR raised", "carrier down"}));
}

// SIGTERM in the middle of an on-line session: the tool ends the call and
// the file is whole, down to the hang-up and the carrier gone.
TEST(CentralCapture, SigtermLeavesAWholeFile) {
    TempDir dir;
    const std::string path = (dir.path / "term.pcapng").string();
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", ("exec " + CentralSim(path, "online --seconds 86400") + " >/dev/null 2>&1").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    // Waits (real time, generous) for the on-line polls to be in the file.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Frames(pcapng_test::Read(path), 1).size() < 5 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(Frames(pcapng_test::Read(path), 1).size(), 5u);
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    const Capture read = pcapng_test::Read(path);
    EXPECT_TRUE(read.whole);
    const std::vector<std::string> requests = Frames(read, 2);
    EXPECT_EQ(requests.back().substr(27, 2), "58");  // the hang-up request, body 'X'
    EXPECT_EQ(Events(read).back(), "carrier down");
}

#endif

}  // namespace
