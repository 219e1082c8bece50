// The serial port layer on the Win32 comm calls, against a real COM port.
// The runner maps two COM ports to the two ends of a pseudo-terminal pair:
// TELDRV_SMOKE_COM is the port under test, TELDRV_SMOKE_PEER the far end,
// driven here with the plain Win32 calls. A pty has no modem lines, so DTR,
// RTS and the carrier are not looked at.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/serial.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "serial/port.h"
#include "tests/test_port_settings.h"
#include "tests/windows/import_patch.h"

namespace {

using enum PortResult;
using test_port::kSettings;

// The arguments of every CreateFileA call this program makes while a
// recorder lives, passed on to the real call.
struct CreateFileCall {
    std::string name;
    DWORD access;
    DWORD shareMode;
    DWORD disposition;
};

using CreateFileAFunction = HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
CreateFileAFunction realCreateFileA = nullptr;
std::vector<CreateFileCall> createFileCalls;

HANDLE WINAPI RecordingCreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE templateFile) {
    createFileCalls.push_back({name, access, shareMode, disposition});
    return realCreateFileA(name, access, shareMode, security, disposition, flags, templateFile);
}

struct CreateFileRecorder {
    CreateFileRecorder() {
        createFileCalls.clear();
        realCreateFileA = reinterpret_cast<CreateFileAFunction>(ReplaceImport(
            GetModuleHandleA(nullptr), "KERNEL32.DLL", "CreateFileA", reinterpret_cast<void*>(RecordingCreateFileA)));
    }
    ~CreateFileRecorder() {
        if (realCreateFileA) {
            ReplaceImport(GetModuleHandleA(nullptr), "KERNEL32.DLL", "CreateFileA", reinterpret_cast<void*>(realCreateFileA));
        }
    }
    bool Installed() const { return realCreateFileA != nullptr; }
};

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

class ComPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        portName = Env("TELDRV_SMOKE_COM");
        const std::string peerName = Env("TELDRV_SMOKE_PEER");
        if (portName.empty() || peerName.empty()) {
            GTEST_SKIP() << "no COM port pair given (TELDRV_SMOKE_COM, TELDRV_SMOKE_PEER)";
        }
        peer = CreateFileA(peerName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(peer, INVALID_HANDLE_VALUE) << peerName << ": error " << GetLastError();
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(peer, &dcb));
        dcb.BaudRate = 19200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = 1;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        ASSERT_TRUE(SetCommState(peer, &dcb)) << GetLastError();
        COMMTIMEOUTS timeouts{0, 0, 2000, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(peer, &timeouts));
        ASSERT_EQ(OpenPort(portName.c_str(), kSettings, kPortOptionsDriver, &port), kPortOk)
            << "error " << platform::LastError();
        DrainPeer();
    }

    void TearDown() override {
        if (port != 0 && port != platform::kInvalidPortHandle) ClosePort(port);
        if (peer != INVALID_HANDLE_VALUE) CloseHandle(peer);
    }

    void PeerWrite(const std::string& bytes) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(peer, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        ASSERT_EQ(written, bytes.size());
    }

    std::string PeerRead(size_t count) {
        std::string bytes(count, '\0');
        size_t got = 0;
        while (got < count) {
            DWORD n = 0;
            if (!ReadFile(peer, &bytes[got], static_cast<DWORD>(count - got), &n, nullptr) || n == 0) break;
            got += n;
        }
        bytes.resize(got);
        return bytes;
    }

    void DrainPeer() {
        COMMTIMEOUTS quick{MAXDWORD, 0, 0, 0, 0};
        SetCommTimeouts(peer, &quick);
        char scratch[256];
        DWORD n = 0;
        while (ReadFile(peer, scratch, sizeof scratch, &n, nullptr) && n > 0) {
        }
        COMMTIMEOUTS normal{0, 0, 2000, 0, 0};
        SetCommTimeouts(peer, &normal);
    }

    // Bytes the peer wrote take a moment to reach the port's queue.
    uint32_t WaitForQueued(uint32_t count) {
        uint32_t waiting = 0;
        for (int i = 0; i < 200; ++i) {
            uint32_t errors = 0;
            if (platform::CommClearError(port, &errors, &waiting) && waiting >= count) break;
            Sleep(10);
        }
        return waiting;
    }

    std::string portName;
    HANDLE peer = INVALID_HANDLE_VALUE;
    platform::PortHandle port = 0;
};

TEST_F(ComPortTest, OpenSetsTheLineAndTimeOuts) {
    platform::Dcb dcb{};
    dcb.DCBlength = 28;
    ASSERT_TRUE(platform::CommGetState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, 0);
    EXPECT_EQ(dcb.Parity, 0);
    EXPECT_EQ(dcb.fBinary, 1);
    EXPECT_EQ(dcb.fOutX, 0);
    EXPECT_EQ(dcb.fInX, 0);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0);

    platform::CommTimeouts timeouts{};
    ASSERT_TRUE(platform::CommGetTimeouts(port, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);

    // Stop bits come before parity in the settings: two stop bits, no parity.
    ASSERT_EQ(ClosePort(port), kPortOk);
    EXPECT_EQ(ClosePort(port), kPortCallFailed);
    const uint16_t slow[4] = {9600, 8, 2, 0};
    ASSERT_EQ(OpenPort(portName.c_str(), slow, kPortOptionsDriver, &port), kPortOk);
    ASSERT_TRUE(platform::CommGetState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.StopBits, 2);
    EXPECT_EQ(dcb.Parity, 0);
}

// Share mode 0: nobody else gets the port while it is open. Windows refuses
// the second open itself; Wine lets it through (it does not emulate exclusive
// serial devices), so there only the share mode our open passes is checked.
TEST_F(ComPortTest, OpenIsExclusive) {
    CreateFileRecorder recorder;
    ASSERT_TRUE(recorder.Installed()) << "this program does not import CreateFileA from KERNEL32.DLL";
    platform::PortHandle second = 0;
    const PortResult result = OpenPort(portName.c_str(), kSettings, kPortOptionsDriver, &second);
    const uint32_t error = platform::LastError();
    ASSERT_EQ(createFileCalls.size(), 1u);
    EXPECT_EQ(createFileCalls[0].name, portName);
    EXPECT_EQ(createFileCalls[0].access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(createFileCalls[0].shareMode, 0u);
    EXPECT_EQ(createFileCalls[0].disposition, static_cast<DWORD>(OPEN_EXISTING));
    if (result == kPortOk && createFileCalls[0].shareMode == 0) {
        EXPECT_EQ(ClosePort(second), kPortOk);
        GTEST_SKIP() << "this system opened " << portName << " a second time although the first open passed share "
                     << "mode 0 (Wine does not refuse a second open of a serial device); only the share mode was "
                     << "checked";
    }
    EXPECT_EQ(result, kPortOpenFailed);
    EXPECT_EQ(second, platform::kInvalidPortHandle);
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
}

TEST_F(ComPortTest, ReadTimeOutIsKeptInTensOfMilliseconds) {
    EXPECT_EQ(SetReadTimeout(port, 20), 100);
    EXPECT_EQ(SetReadTimeout(port, 20), 20);
    platform::CommTimeouts timeouts{};
    ASSERT_TRUE(platform::CommGetTimeouts(port, &timeouts));
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 200u);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
}

TEST_F(ComPortTest, WritesReachThePeerByteForByte) {
    const std::string bytes = std::string("ATZ\r") + std::string("\x02" "FER\x00\x07\x00\x03\x10\xFF\x10\x00\x00\x03", 14);
    uint32_t written = 0;
    ASSERT_EQ(WriteAll(port, bytes.data(), static_cast<uint32_t>(bytes.size()), &written), kPortOk);
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(PeerRead(bytes.size()), bytes);
}

TEST_F(ComPortTest, ReadExactWaitsOneTimeOutPerRead) {
    SetReadTimeout(port, 20);
    const std::string header("\x02" "FEC\x12\x34\x00\x02\x10", 9);
    PeerWrite(header);
    char buffer[16] = {};
    uint32_t received = 0;
    ASSERT_EQ(ReadExact(port, buffer, 9, &received), kPortOk);
    EXPECT_EQ(received, 9u);
    EXPECT_EQ(std::string(buffer, 9), header);

    // Three bytes and then silence: the read after them gives up after 200 ms.
    PeerWrite("abc");
    const uint64_t start = platform::MonotonicMs();
    EXPECT_EQ(ReadExact(port, buffer, 9, &received), kPortCallFailed);
    const uint64_t elapsed = platform::MonotonicMs() - start;
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_GE(elapsed, 180u);
    EXPECT_LT(elapsed, 5000u);

    // Nothing at all: one time-out, nothing received.
    const uint64_t again = platform::MonotonicMs();
    EXPECT_EQ(ReadExact(port, buffer, 4, &received), kPortCallFailed);
    EXPECT_EQ(received, 0u);
    EXPECT_GE(platform::MonotonicMs() - again, 180u);
}

TEST_F(ComPortTest, PurgeInputDiscardsWaitingBytesAndRestoresTheTimeOut) {
    SetReadTimeout(port, 30);
    PeerWrite(std::string(700, 'x'));
    ASSERT_EQ(WaitForQueued(700), 700u);
    EXPECT_EQ(PurgeInput(port), kPortOk);
    uint32_t errors = 0;
    uint32_t waiting = 1;
    ASSERT_TRUE(platform::CommClearError(port, &errors, &waiting));
    EXPECT_EQ(waiting, 0u);
    EXPECT_EQ(SetReadTimeout(port, 30), 30);

    // An empty queue: nothing to read, the time-out untouched.
    EXPECT_EQ(PurgeInput(port), kPortOk);
    EXPECT_EQ(SetReadTimeout(port, 30), 30);

    PeerWrite("OK");
    char reply[2];
    ASSERT_EQ(ReadExact(port, reply, 2, nullptr), kPortOk);
    EXPECT_EQ(std::string(reply, 2), "OK");
}

// "NUL" is opened and left as it is; any other spelling is a device like
// any other and has no serial state to read.
TEST(NulPort, OnlyTheExactNameSkipsTheSetUp) {
    platform::PortHandle nul = 0;
    ASSERT_EQ(OpenPort("NUL", kSettings, kPortOptionsDriver, &nul), kPortOk);
    uint32_t written = 0;
    EXPECT_EQ(WriteAll(nul, "ATZ\r", 4, &written), kPortOk);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(ClosePort(nul), kPortOk);

    platform::PortHandle lower = 0;
    EXPECT_EQ(OpenPort("nul", kSettings, kPortOptionsDriver, &lower), kPortGetStateFailed);
}

TEST(Win32Platform, ThreadsClockAndSystemTime) {
    // A thread with the driver's smallest stack runs with its argument.
    static std::atomic<int> ran{0};
    static int argument = 42;
    ASSERT_EQ(platform::StartThread([](void* arg) { ran.store(*static_cast<int*>(arg)); }, &argument, 4096), 0);
    for (int i = 0; i < 500 && ran.load() == 0; ++i) platform::Sleep(10);
    EXPECT_EQ(ran.load(), 42);

    const uint64_t start = platform::MonotonicMs();
    platform::Sleep(100);
    EXPECT_GE(platform::MonotonicMs() - start, 90u);

    const int32_t now = platform::CalendarTime();
    EXPECT_GT(now, 1700000000);

    // A date that does not exist is refused before the clock is touched.
    const platform::SystemTime bad{2024, 13, 0, 1, 0, 0, 0, 0};
    EXPECT_FALSE(platform::SetSystemClock(bad));
    EXPECT_EQ(platform::LastError(), 87u);
}

}  // namespace
