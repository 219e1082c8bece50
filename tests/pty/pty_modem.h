// A serial line on a pseudo-terminal: its terminal end is the station's port
// (a Wine COM port, or the POSIX port layer's device), on its master end sits
// the simulated Hayes modem, on the real clock. The modem lines a pty lacks
// go through the file the modem-line shim maps (modem_lines.h): the modem's
// carrier out, the DTR that the port sets back in. Every byte that passes is
// in the line's transcript, with DTR changes, at its real time.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sim/line.h"
#include "sim/modem.h"
#include "tests/pty/modem_lines.h"

namespace pty_test {

// True as soon as done() holds, false once timeoutMs have passed on the real
// clock without it; looks every 50 ms.
bool WaitFor(const std::function<bool()>& done, int timeoutMs);

class PtyModem {
public:
    // Throws std::runtime_error when the pty or the shared file cannot be made.
    PtyModem(const std::string& linesFile, const sim::ModemTiming& timing);
    ~PtyModem();
    PtyModem(const PtyModem&) = delete;
    PtyModem& operator=(const PtyModem&) = delete;

    // The terminal end, as /proc/self/fd names it in the port's process.
    const std::string& ptyPath() const { return ptyPath_; }
    sim::Modem& modem() { return modem_; }
    sim::Line& line() { return line_; }
    // The line settings the port has made of its device control block.
    termios Settings() const;

private:
    void Run();
    // One turn of the pump, under the world lock: DTR and the port's bytes to
    // the modem, the carrier back, and what the modem has for the port.
    std::vector<uint8_t> Exchange();
    void FollowDtr(sim::WorldLock& lock);

    int master_ = -1;
    int terminal_ = -1;  // held open, so the pty never hangs up between the port's opens
    std::string ptyPath_;
    TeldrvModemLines* shared_ = nullptr;
    sim::Line& line_;
    sim::Modem modem_;
    bool dtr_ = false;  // as the port last set it; low until the port is opened
    uint32_t changesSeen_ = 0;
    std::atomic<bool> stop_{false};
    std::thread pump_;
};

}  // namespace pty_test
