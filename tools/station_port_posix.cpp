#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/station_port.h"

namespace station {

namespace {

bool MakeRaw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return false;
    cfmakeraw(&settings);
    cfsetispeed(&settings, B19200);
    cfsetospeed(&settings, B19200);
    settings.c_cflag |= CLOCAL | CREAD;
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

}  // namespace

FarPort::~FarPort() {
    if (fd_ >= 0) close(fd_);
}

bool FarPort::OpenPty(std::string* error) {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0 || ptsname(fd_) == nullptr) {
        *error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    path_ = ptsname(fd_);
    // Raw from the start, so that a far side that does not set the line up
    // itself gets the bytes as they are; the setting stays with the pair.
    const int terminal = open(path_.c_str(), O_RDWR | O_NOCTTY);
    const bool raw = terminal >= 0 && MakeRaw(terminal);
    if (terminal >= 0) close(terminal);
    if (!raw) *error = "cannot set " + path_ + " to raw mode: " + std::strerror(errno);
    return raw;
}

bool FarPort::OpenNamed(const std::string& path, std::string* error) {
    path_ = path;
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!MakeRaw(fd_)) {
        *error = "cannot set " + path + " to raw mode (is it a serial port?): " + std::strerror(errno);
        return false;
    }
    return true;
}

PortRead FarPort::Read(std::vector<uint8_t>* bytes, int timeoutMs) {
    pollfd watch{fd_, POLLIN, 0};
    if (poll(&watch, 1, timeoutMs) <= 0) return PortRead::Nothing;
    uint8_t buffer[512];
    const ssize_t got = read(fd_, buffer, sizeof buffer);
    if (got > 0) {
        bytes->assign(buffer, buffer + got);
        return PortRead::Data;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return PortRead::Nothing;
    return PortRead::Closed;
}

void FarPort::Write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    for (int stalls = 0; done < bytes.size() && stalls < 100;) {
        const ssize_t put = write(fd_, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR) return;
        pollfd watch{fd_, POLLOUT, 0};
        poll(&watch, 1, 10);
        ++stalls;
    }
}

}  // namespace station
