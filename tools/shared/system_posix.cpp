// The POSIX backend: termios ports, pseudo-terminals, dlopen.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "tools/shared/system.h"

namespace tools {

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
    if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool FarPort::OpenPty(std::string* error) {
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    handle_ = fd;
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
        *error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    path_ = ptsname(fd);
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
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    handle_ = fd;
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!MakeRaw(fd)) {
        *error = "cannot set " + path + " to raw mode (is it a serial port?): " + std::strerror(errno);
        return false;
    }
    return true;
}

PortRead FarPort::Read(std::vector<uint8_t>* bytes, int timeoutMs) {
    const int fd = static_cast<int>(handle_);
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, timeoutMs) <= 0) return PortRead::Nothing;
    uint8_t buffer[512];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
        bytes->assign(buffer, buffer + got);
        return PortRead::Data;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return PortRead::Nothing;
    return PortRead::Closed;
}

void FarPort::Write(const std::vector<uint8_t>& bytes) {
    const int fd = static_cast<int>(handle_);
    size_t done = 0;
    for (int stalls = 0; done < bytes.size() && stalls < 100;) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR) return;
        pollfd watch{fd, POLLOUT, 0};
        poll(&watch, 1, 10);
        ++stalls;
    }
}

ModemLines ProbeModemLines(const std::string& port, std::string* why) {
    const std::string path = PortDevicePath(port);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *why = "cannot open " + path + ": " + std::strerror(errno);
        return ModemLines::NoPort;
    }
    int lines = 0;
    const bool readable = ioctl(fd, TIOCMGET, &lines) == 0;
    if (!readable) *why = std::string("its modem lines cannot be read (") + std::strerror(errno) + ")";
    close(fd);
    return readable ? ModemLines::Readable : ModemLines::Unreadable;
}

VpiMainFunction LoadVpiMain(const std::string& library, std::string* error) {
    void* loaded = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto vpiMain = loaded ? reinterpret_cast<VpiMainFunction>(dlsym(loaded, "VpiMain")) : nullptr;
    if (!vpiMain) *error = "cannot load " + library + ": " + dlerror();
    return vpiMain;
}

std::string TypedKeys(bool* open) {
    if (!*open) return {};
    pollfd watch{STDIN_FILENO, POLLIN, 0};
    if (poll(&watch, 1, 0) <= 0) return {};
    char buffer[64];
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) {
        *open = false;
        return {};
    }
    return std::string(buffer, static_cast<size_t>(got));
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

// The built paths are absolute here, so the name the program was started by
// is enough.
std::string ProgramDirectory(const char* argv0) {
    std::error_code failed;
    return std::filesystem::absolute(argv0, failed).parent_path().string();
}

std::tm LocalTime(std::time_t seconds) {
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

// The driver's own naming: a name without '/' is a device under /dev.
std::string PortDevicePath(const std::string& port) {
    return port.find('/') == std::string::npos ? "/dev/" + port : port;
}

bool PortPermissionDenied(const std::string& port) {
    return access(PortDevicePath(port).c_str(), R_OK | W_OK) != 0 && errno == EACCES;
}

}  // namespace tools
