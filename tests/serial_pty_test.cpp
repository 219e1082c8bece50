// The port layer on the POSIX backend against a real pseudo-terminal: the
// termios it leaves, time-outs in real time, drain, reads and writes. A pty
// has no modem lines; carrier and DTR are covered on the simulated line.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/error.h"
#include "serial/port.h"
#include "tests/test_port_settings.h"

namespace {

using enum PortResult;

int64_t Ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct PtyTest : ::testing::Test {
    int master = -1;
    int slave = -1;  // opened before the port's exclusive open: reads the termios back
    std::string path;
    platform::PortHandle port = 0;

    void SetUp() override {
        char name[128] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        path = name;
    }
    void TearDown() override {
        if (port != 0) ClosePort(port);
        ::close(slave);
        ::close(master);
    }
    void Open(uint16_t baud, uint16_t data, uint16_t stop, uint16_t parity) {
        const uint16_t settings[4] = {baud, data, stop, parity};
        ASSERT_EQ(OpenPort(path.c_str(), settings, kPortOptionsDriver, &port), kPortOk);
    }
    void FromModem(const std::string& bytes) { ASSERT_EQ(::write(master, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    // Waits until the port has `count` bytes to read.
    void Arrived(uint32_t count) {
        for (int i = 0; i < 200; ++i) {
            uint32_t errors = 0, waiting = 0;
            ASSERT_TRUE(platform::CommClearError(port, &errors, &waiting));
            if (waiting >= count) return;
            ::usleep(5000);
        }
        FAIL() << "bytes did not arrive";
    }
    termios Termios() {
        termios t{};
        EXPECT_EQ(tcgetattr(slave, &t), 0);
        return t;
    }
};

// A pty always keeps CS8 without PARENB, whatever it is asked; the other
// bits show what was asked.
TEST_F(PtyTest, OpenPortLeavesARawLineWithTheSettings) {
    Open(19200, 7, 2, 2);
    termios t = Termios();
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS), tcflag_t(CSTOPB));
    EXPECT_NE(t.c_iflag & INPCK, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);  // a dropped carrier must not stop the I/O

    platform::Dcb dcb{};
    dcb.DCBlength = 28;
    ASSERT_TRUE(platform::CommGetState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 8);  // what the pty holds
    EXPECT_EQ(dcb.StopBits, 2);
    EXPECT_EQ(dcb.Parity, 0);
    EXPECT_EQ(dcb.fParity, 1);
    EXPECT_EQ(static_cast<uint8_t>(dcb.ErrorChar), 0xFC);
    EXPECT_EQ(dcb.fDtrControl, platform::kDtrControlEnable);

    // Only one open at a time, as on Windows.
    EXPECT_EQ(platform::CommOpen(path.c_str()), platform::kInvalidPortHandle);
    EXPECT_EQ(platform::LastError(), platform::kErrorAccessDenied);
    ASSERT_EQ(ClosePort(port), kPortOk);

    Open(9600, 8, 1, 3);  // one and a half stop bits, mark parity
    t = Termios();
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB), tcflag_t(PARODD | CMSPAR | CSTOPB));
    ASSERT_TRUE(platform::CommGetState(port, &dcb));
    EXPECT_EQ(dcb.StopBits, 1);  // CSTOPB, and the last setting tells which
    ClosePort(port);

    const uint16_t odd[4] = {14400, 8, 0, 0};  // no such rate here
    EXPECT_EQ(OpenPort(path.c_str(), odd, kPortOptionsDriver, &port), kPortSetStateFailed);
    EXPECT_EQ(platform::LastError(), platform::kErrorInvalidParameter);
    port = 0;
}

TEST_F(PtyTest, ReadsTimeOutPurgeDrainsAndWritesGoOutUnchanged) {
    Open(test_port::kBaud, test_port::kDataBits, test_port::kStopBits, test_port::kParity);
    ASSERT_EQ(SetReadTimeout(port, 5), 100);  // OpenPort's 1 s
    char buffer[1024];
    uint32_t received = 99;
    int64_t start = Ms();
    EXPECT_EQ(ReadExact(port, buffer, 9, &received), kPortCallFailed);
    EXPECT_EQ(received, 0u);
    EXPECT_GE(Ms() - start, 50);
    EXPECT_LT(Ms() - start, 500);

    FromModem("abc");
    Arrived(3);
    start = Ms();
    EXPECT_EQ(ReadExact(port, buffer, 9, &received), kPortCallFailed);
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_GE(Ms() - start, 100);  // two time-outs

    FromModem("\r\nOK\r\n");
    EXPECT_EQ(ReadExact(port, buffer, 6, &received), kPortOk);
    EXPECT_EQ(std::string(buffer, 6), "\r\nOK\r\n");

    FromModem(std::string(700, 'x'));
    Arrived(700);
    EXPECT_EQ(PurgeInput(port), kPortOk);
    uint32_t errors = 0, waiting = 1;
    ASSERT_TRUE(platform::CommClearError(port, &errors, &waiting));
    EXPECT_EQ(waiting, 0u);
    EXPECT_EQ(SetReadTimeout(port, 5), 5);  // put back

    uint32_t written = 0;
    EXPECT_EQ(WriteAll(port, "ATZ\r", 4, &written), kPortOk);
    EXPECT_EQ(written, 4u);
    pollfd entry{master, POLLIN, 0};
    ASSERT_EQ(::poll(&entry, 1, 2000), 1);
    EXPECT_EQ(::read(master, buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "ATZ\r");

    // No modem lines on a pty: the status query fails with a reason.
    uint32_t status = 0;
    EXPECT_FALSE(platform::CommModemStatus(port, &status));
    EXPECT_NE(platform::LastError(), 0u);
}

TEST_F(PtyTest, PortNames) {
    EXPECT_EQ(OpenPort("NUL", test_port::kSettings, kPortOptionsDriver, &port), kPortOk);  // unconfigured
    uint32_t written = 0;
    EXPECT_EQ(WriteAll(port, "x", 1, &written), kPortOk);
    EXPECT_EQ(ClosePort(port), kPortOk);
    port = 0;
    platform::PortHandle other = 0;
    EXPECT_EQ(OpenPort("nul", test_port::kSettings, kPortOptionsDriver, &other), kPortGetStateFailed);
    EXPECT_EQ(OpenPort("ttyNoSuchPort9", test_port::kSettings, kPortOptionsDriver, &other), kPortOpenFailed);
    EXPECT_EQ(platform::LastError(), platform::kErrorFileNotFound);
}

}  // namespace
