// The far end of a Wine COM port, on the Linux side: a pseudo-terminal
// whose terminal end Wine opens as the port, and on its master end the
// simulated Hayes modem, on the real clock. The modem lines a pty lacks go
// through the file the shim in the Wine process maps (wine_modem_lines.h):
// the modem's carrier out, the DTR that Wine sets back in. Every byte that
// passes is in the line's transcript, with DTR changes, at its real time.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "sim/line.h"
#include "sim/modem.h"
#include "tests/windows/wine_modem_lines.h"

namespace wine_test {

class PtyModem {
public:
    // Throws std::runtime_error when the pty or the shared file cannot be made.
    PtyModem(const std::string& linesFile, const sim::ModemTiming& timing);
    ~PtyModem();
    PtyModem(const PtyModem&) = delete;
    PtyModem& operator=(const PtyModem&) = delete;

    // The terminal end, as /proc/self/fd names it in the Wine process.
    const std::string& ptyPath() const { return ptyPath_; }
    sim::Modem& modem() { return modem_; }
    // The line settings Wine has made of the port's device control block.
    termios Settings() const;
    sim::Line& line() { return line_; }

private:
    void Run();
    // One turn of the pump, under the world lock: the lines both ways, and
    // what the modem has for the port.
    std::vector<uint8_t> Exchange();
    void FollowDtr(sim::WorldLock& lock);

    int master_ = -1;
    int terminal_ = -1;  // held open, so the pty never hangs up between Wine's opens
    std::string ptyPath_;
    TeldrvWineLines* shared_ = nullptr;
    sim::Line& line_;
    sim::Modem modem_;
    bool dtr_ = false;  // as Wine last set it; low until the port is opened
    uint32_t changesSeen_ = 0;
    std::atomic<bool> stop_{false};
    std::thread pump_;
};

}  // namespace wine_test
