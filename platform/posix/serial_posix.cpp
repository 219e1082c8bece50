// POSIX serial devices through termios, poll and the modem-line ioctls,
// behaving as the Win32 comm calls do for the port layer above.
//
// Names: "NUL" (any case) is /dev/null; a name with '/' is a path; any other
// name is a device under /dev ("ttyS0", "ttyUSB0"). A tty is opened
// exclusively (TIOCEXCL, and a flock that holds for root too); /dev/null
// and other non-ttys open shared and have no serial state.
//
// Errors: the errno values that have a Win32 counterpart come back as that
// code (ENOENT 2, EACCES/EBUSY 5, EBADF 6, EINVAL 87, ENOTTY 1); any other
// errno comes back unchanged.
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <string>

#include "platform/serial_native.h"

#ifndef CMSPAR
#define CMSPAR 0  // no mark or space parity on this system: refused
#endif

namespace platform {
namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFF;

// EscapeCommFunction codes besides DTR.
constexpr uint32_t kSetXoff = 1;
constexpr uint32_t kSetXon = 2;
constexpr uint32_t kSetRts = 3;
constexpr uint32_t kClrRts = 4;
constexpr uint32_t kSetBreak = 8;
constexpr uint32_t kClrBreak = 9;

// GetCommModemStatus bits.
constexpr uint32_t kCtsOn = 0x10;
constexpr uint32_t kDsrOn = 0x20;
constexpr uint32_t kRingOn = 0x40;

constexpr uint8_t kOneStopBit = 0;
constexpr uint8_t kOneAndHalfStopBits = 1;
constexpr uint8_t kTwoStopBits = 2;
constexpr uint8_t kNoParity = 0;
constexpr uint8_t kOddParity = 1;
constexpr uint8_t kEvenParity = 2;
constexpr uint8_t kMarkParity = 3;
constexpr uint8_t kSpaceParity = 4;

struct PosixPort {
    int fd;
    bool tty;
    Dcb dcb;  // the fields termios cannot hold, as last set
    CommTimeouts timeouts;
};

uint32_t FromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return kErrorFileNotFound;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EWOULDBLOCK:
            return kErrorAccessDenied;
        case EBADF:
            return kErrorInvalidHandle;
        case EINVAL:
            return kErrorInvalidParameter;
        case ENOTTY:
            return kErrorInvalidFunction;
        case 0:
            return kErrorGenFailure;
        default:
            return static_cast<uint32_t>(error);
    }
}

uint32_t LastErrno() { return FromErrno(errno); }

struct BaudRate {
    uint32_t bits;
    speed_t speed;
};
constexpr BaudRate kBaudRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool SpeedOf(uint32_t bits, speed_t* speed) {
    for (const BaudRate& rate : kBaudRates) {
        if (rate.bits == bits) {
            *speed = rate.speed;
            return true;
        }
    }
    return false;
}

uint32_t BitsOf(speed_t speed) {
    for (const BaudRate& rate : kBaudRates) {
        if (rate.speed == speed) return rate.bits;
    }
    return 0;
}

std::string DevicePath(const char* name) {
    if (strcasecmp(name, "NUL") == 0) return "/dev/null";
    if (std::strchr(name, '/')) return name;
    return std::string("/dev/") + name;
}

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits for `events` on the port until the deadline (-1: none); false when
// the deadline passed first. *hungUp tells that the far side is gone.
bool WaitFor(int fd, short events, int64_t deadlineMs, uint32_t* error, bool* hungUp) {
    for (;;) {
        int timeout = -1;
        if (deadlineMs >= 0) {
            const int64_t left = deadlineMs - SteadyMs();
            if (left <= 0) return false;
            timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0) {
            *hungUp = (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            *error = LastErrno();
            return true;
        }
    }
}

uint32_t ModemLines(int fd, unsigned long request, int lines) {
    return ::ioctl(fd, request, &lines) == 0 ? 0 : LastErrno();
}

PosixPort* P(void* state) { return static_cast<PosixPort*>(state); }

void* Open(const char* device, uint32_t* error) {
    const std::string path = DevicePath(device);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = LastErrno();
        return nullptr;
    }
    const bool tty = ::isatty(fd) == 1;
    if (tty && (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0)) {
        *error = LastErrno();
        ::close(fd);
        return nullptr;
    }
    auto* port = new (std::nothrow) PosixPort{fd, tty, FreshDcb(), {}};
    if (!port) {
        ::close(fd);
        *error = kErrorGenFailure;
        return nullptr;
    }
    return port;
}

uint32_t Close(void* state) {
    PosixPort* port = P(state);
    if (port->tty) ::ioctl(port->fd, TIOCNXCL);
    // Linux releases the descriptor whatever close() returns (EINTR too): a
    // retry could close a descriptor that by now is another file's.
    ::close(port->fd);
    delete port;
    return 0;
}

uint32_t GetState(void* state, Dcb* dcb) {
    PosixPort* port = P(state);
    termios t{};
    if (::tcgetattr(port->fd, &t) != 0) return LastErrno();
    Dcb read = port->dcb;
    const uint32_t bits = BitsOf(::cfgetospeed(&t));
    if (bits != 0) read.BaudRate = bits;
    switch (t.c_cflag & CSIZE) {
        case CS5: read.ByteSize = 5; break;
        case CS6: read.ByteSize = 6; break;
        case CS7: read.ByteSize = 7; break;
        default: read.ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB)) {
        read.Parity = kNoParity;
    } else if (CMSPAR != 0 && (t.c_cflag & CMSPAR)) {
        read.Parity = (t.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
    } else {
        read.Parity = (t.c_cflag & PARODD) ? kOddParity : kEvenParity;
    }
    // Two stop bits and one and a half are both CSTOPB; the last setting tells which.
    if (!(t.c_cflag & CSTOPB)) {
        read.StopBits = kOneStopBit;
    } else if (read.StopBits != kOneAndHalfStopBits) {
        read.StopBits = kTwoStopBits;
    }
    read.fBinary = 1;
    read.fParity = (t.c_iflag & INPCK) ? 1 : 0;
    read.fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    read.fOutX = (t.c_iflag & IXON) ? 1 : 0;
    read.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    read.XonChar = static_cast<char>(t.c_cc[VSTART]);
    read.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    read.DCBlength = dcb->DCBlength;
    *dcb = read;
    return 0;
}

// DTR and RTS as the control modes ask. A port without modem lines (a pty)
// keeps its settings all the same.
void DriveModemLines(int fd, const Dcb* dcb) {
    if (dcb->fDtrControl == kDtrControlEnable || dcb->fDtrControl == kDtrControlHandshake) {
        ModemLines(fd, TIOCMBIS, TIOCM_DTR);
    } else {
        ModemLines(fd, TIOCMBIC, TIOCM_DTR);
    }
    if (dcb->fRtsControl == kRtsControlDisable) {
        ModemLines(fd, TIOCMBIC, TIOCM_RTS);
    } else {
        ModemLines(fd, TIOCMBIS, TIOCM_RTS);
    }
}

uint32_t SetState(void* state, const Dcb* dcb) {
    PosixPort* port = P(state);
    speed_t speed{};
    if (!SpeedOf(dcb->BaudRate, &speed) || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > kSpaceParity ||
        dcb->StopBits > kTwoStopBits || (dcb->Parity >= kMarkParity && CMSPAR == 0)) {
        return kErrorInvalidParameter;
    }
    termios t{};
    if (::tcgetattr(port->fd, &t) != 0) return LastErrno();
    ::cfmakeraw(&t);
    // Modem lines must never stop the I/O: carrier is read through the status.
    t.c_cflag |= CLOCAL | CREAD | HUPCL;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dcb->ByteSize - 5];
    switch (dcb->Parity) {
        case kOddParity: t.c_cflag |= PARENB | PARODD; break;
        case kEvenParity: t.c_cflag |= PARENB; break;
        case kMarkParity: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case kSpaceParity: t.c_cflag |= PARENB | CMSPAR; break;
        default: break;
    }
    if (dcb->StopBits != kOneStopBit) t.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == kRtsControlHandshake) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
    if (dcb->fParity && dcb->Parity != kNoParity) t.c_iflag |= INPCK;
    if (dcb->fOutX) t.c_iflag |= IXON;
    if (dcb->fInX) t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return kErrorInvalidParameter;
    if (::tcsetattr(port->fd, TCSANOW, &t) != 0) return LastErrno();
    DriveModemLines(port->fd, dcb);
    port->dcb = *dcb;
    return 0;
}

uint32_t GetTimeouts(void* state, CommTimeouts* timeouts) {
    *timeouts = P(state)->timeouts;
    return 0;
}

uint32_t SetTimeouts(void* state, const CommTimeouts* timeouts) {
    P(state)->timeouts = *timeouts;
    return 0;
}

// The kernel sizes its own queues.
uint32_t Setup(void*, uint32_t, uint32_t) { return 0; }

uint32_t ClearError(void* state, uint32_t* errors, uint32_t* bytesWaiting) {
    int waiting = 0;
    if (::ioctl(P(state)->fd, FIONREAD, &waiting) != 0) return LastErrno();
    if (errors) *errors = 0;
    if (bytesWaiting) *bytesWaiting = waiting > 0 ? static_cast<uint32_t>(waiting) : 0;
    return 0;
}

// The total time-out of a read, from its start: the multiplier per byte
// asked plus the constant. Interval MAXDWORD with no total returns at once
// with what is there; no total at all waits for the whole count.
uint32_t Read(void* state, void* buffer, uint32_t count, uint32_t* received) {
    PosixPort* port = P(state);
    const CommTimeouts& t = port->timeouts;
    const int64_t start = SteadyMs();
    int64_t deadline;
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        deadline = start;
    } else if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        deadline = -1;
    } else {
        deadline = start + static_cast<int64_t>(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t got = 0;
    bool hungUp = false;
    *received = 0;
    while (got < count) {
        const ssize_t n = ::read(port->fd, bytes + got, count - got);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            continue;
        }
        // A raw tty with nothing to read gives 0 or EAGAIN; anything else at
        // its end of file gives 0 for good.
        if (n == 0 && !port->tty) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            *received = got;
            return LastErrno();
        }
        uint32_t error = 0;
        if (hungUp || !WaitFor(port->fd, POLLIN, deadline, &error, &hungUp)) break;
        if (error != 0) {
            *received = got;
            return error;
        }
    }
    *received = got;
    return 0;
}

// Writes are not timed out: they return once every byte is taken.
uint32_t Write(void* state, const void* buffer, uint32_t count, uint32_t* written) {
    PosixPort* port = P(state);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    *written = 0;
    while (done < count) {
        const ssize_t n = ::write(port->fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            *written = done;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return LastErrno();
        uint32_t error = 0;
        bool hungUp = false;
        WaitFor(port->fd, POLLOUT, -1, &error, &hungUp);
        if (error != 0) return error;
        if (hungUp) return kErrorGenFailure;
    }
    return 0;
}

uint32_t Escape(void* state, uint32_t function) {
    const int fd = P(state)->fd;
    switch (function) {
        case kSetDtr: return ModemLines(fd, TIOCMBIS, TIOCM_DTR);
        case kClrDtr: return ModemLines(fd, TIOCMBIC, TIOCM_DTR);
        case kSetRts: return ModemLines(fd, TIOCMBIS, TIOCM_RTS);
        case kClrRts: return ModemLines(fd, TIOCMBIC, TIOCM_RTS);
        case kSetBreak: return ::ioctl(fd, TIOCSBRK) == 0 ? 0 : LastErrno();
        case kClrBreak: return ::ioctl(fd, TIOCCBRK) == 0 ? 0 : LastErrno();
        case kSetXoff: return ::tcflow(fd, TCOOFF) == 0 ? 0 : LastErrno();
        case kSetXon: return ::tcflow(fd, TCOON) == 0 ? 0 : LastErrno();
        default: return kErrorInvalidParameter;
    }
}

uint32_t ModemStatus(void* state, uint32_t* status) {
    int lines = 0;
    if (::ioctl(P(state)->fd, TIOCMGET, &lines) != 0) return LastErrno();
    *status = ((lines & TIOCM_CTS) ? kCtsOn : 0) | ((lines & TIOCM_DSR) ? kDsrOn : 0) |
              ((lines & TIOCM_RNG) ? kRingOn : 0) | ((lines & TIOCM_CAR) ? kModemStatusRlsdOn : 0);
    return 0;
}

const SerialBackend kPosixSerial = {Open,       Close,      GetState, SetState, GetTimeouts, SetTimeouts,
                                    Setup,      ClearError, Read,     Write,    Escape,      ModemStatus};

}  // namespace

const SerialBackend* NativeSerialBackend() { return &kPosixSerial; }

}  // namespace platform
