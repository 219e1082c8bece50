#include "tests/pty/pty_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace pty_test {
namespace {

std::runtime_error Failure(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

uint32_t Load(uint32_t& word) { return std::atomic_ref<uint32_t>(word).load(); }
void Store(uint32_t& word, uint32_t value) { std::atomic_ref<uint32_t>(word).store(value); }

// Each modem a line of its own: a test's transcript starts empty.
sim::Line& NewLine() {
    static std::atomic<int> serial{0};
    return sim::CreateLine("PTY" + std::to_string(++serial));
}

// Cleared word by word rather than truncated: the shim in this process (or a
// host's) may have the file mapped from an earlier line, and a mapping past
// the end of a truncated file faults.
TeldrvModemLines* MapLines(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) throw Failure("cannot make " + path);
    if (::ftruncate(fd, sizeof(TeldrvModemLines)) != 0) {
        ::close(fd);
        throw Failure("cannot size " + path);
    }
    void* map = ::mmap(nullptr, sizeof(TeldrvModemLines), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) throw Failure("cannot map " + path);
    auto* lines = static_cast<TeldrvModemLines*>(map);
    Store(lines->status, 0);
    Store(lines->output, 0);
    Store(lines->dtrChanges, 0);
    return lines;
}

// Bytes the terminal end does not take within a second are dropped: nobody
// has the port open to read them.
void WriteAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR) return;
        pollfd wait{fd, POLLOUT, 0};
        if (::poll(&wait, 1, 1000) <= 0) {
            std::fprintf(stderr, "pty modem: %zu bytes to the port dropped\n", bytes.size() - done);
            return;
        }
    }
}

}  // namespace

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

PtyModem::PtyModem(const std::string& linesFile, const sim::ModemTiming& timing)
    : line_(NewLine()), modem_(line_, {}, timing) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) throw Failure("cannot make a pty");
    ptyPath_ = ::ptsname(master_);
    // Raw before the port opens it: an echoing terminal would send the modem's
    // own replies back to it.
    terminal_ = ::open(ptyPath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (terminal_ < 0 || ::tcgetattr(terminal_, &raw) != 0) throw Failure("cannot open " + ptyPath_);
    ::cfmakeraw(&raw);
    if (::tcsetattr(terminal_, TCSANOW, &raw) != 0) throw Failure("cannot set " + ptyPath_ + " raw");
    shared_ = MapLines(linesFile);
    pump_ = std::thread([this] { Run(); });
}

PtyModem::~PtyModem() {
    stop_.store(true);
    if (pump_.joinable()) pump_.join();
    if (shared_) ::munmap(shared_, sizeof(TeldrvModemLines));
    if (terminal_ >= 0) ::close(terminal_);
    if (master_ >= 0) ::close(master_);
}

termios PtyModem::Settings() const {
    termios settings{};
    ::tcgetattr(terminal_, &settings);
    return settings;
}

void PtyModem::Run() {
    while (!stop_.load()) {
        pollfd wait{master_, POLLIN, 0};
        ::poll(&wait, 1, 5);
        WriteAll(master_, Exchange());
    }
}

std::vector<uint8_t> PtyModem::Exchange() {
    sim::WorldLock lock(sim::WorldMutex());
    // DTR first: the driver changes it before it writes what follows.
    FollowDtr(lock);
    uint8_t buffer[512];
    const ssize_t got = ::read(master_, buffer, sizeof buffer);
    if (got > 0) {
        line_.transcript.push_back({sim::NowMsLocked(lock), sim::Direction::ToPeer,
                                    std::vector<uint8_t>(buffer, buffer + got)});
        modem_.FromPort(lock, buffer, static_cast<size_t>(got));
    }
    modem_.Poll(lock);
    uint32_t status = TIOCM_CTS | TIOCM_DSR;
    if (modem_.CarrierDetect(lock)) status |= TIOCM_CAR;
    Store(shared_->status, status);
    std::vector<uint8_t> out(line_.toPort.begin(), line_.toPort.end());
    line_.toPort.clear();
    sim::Notify(lock);
    return out;
}

// Every DTR change the port made, in order, even a blip between two turns of
// the pump (the port's open raises DTR just before the modem reset drops it).
void PtyModem::FollowDtr(sim::WorldLock& lock) {
    const uint32_t changes = Load(shared_->dtrChanges);
    for (; changesSeen_ != changes; ++changesSeen_) {
        dtr_ = !dtr_;
        line_.transcript.push_back(
            {sim::NowMsLocked(lock), sim::Direction::Dtr, {static_cast<uint8_t>(dtr_ ? 1 : 0)}});
        modem_.DtrChanged(lock, dtr_);
    }
}

}  // namespace pty_test
