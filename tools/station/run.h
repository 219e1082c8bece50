// Running a station of one's own: the driver on a simulated modem line,
// bridged on the real clock to a pseudo-terminal or a named port, or the
// native driver on a real port with a real modem, with a scriptable host and
// a live transcript.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace station {

enum class PortMode { None, Pty, Named, Modem, Sim };

// A stretch of the run, in seconds from its start; `from` -1: none.
struct Stretch {
    int64_t from = -1;
    int64_t to = -1;
};

struct RunOptions {
    std::string directory;
    PortMode mode = PortMode::None;
    std::string port;               // PortMode::Named and PortMode::Modem
    uint16_t baudRate = 19200;      // PortMode::Modem: the port's rate, as the host gives it
    bool direct = false;            // no modem toward the far side
    uint32_t silenceSeconds = 30;   // --direct: a call ends after this
    bool autoAnswer = false;        // the far side's modem answers alarm calls
    std::string scriptFile;         // host changes
    uint32_t changesPerSecond = 0;  // random changes
    std::string historyFile;
    int64_t alarmAtSeconds = -1;
    uint8_t alarmReference = 1;
    Stretch modemSilent;  // the station's modem stops answering
    Stretch portAway;     // the station's port device is gone
    std::string logFile;
    std::string captureFile;  // the far side's port as pcapng; not with --modem (LINK_CAPTURE there)
    uint32_t driverNumber = 1;
    std::string simLibrary;     // the driver on the simulated platform
    std::string nativeLibrary;  // the driver as shipped: PortMode::Modem
};

// Exit status: 0 after Ctrl-C with EndVpi returned; 1 the driver refuses the
// files or does not start; 2 bad arguments, files or port.
int RunStation(const RunOptions& options, std::ostream& out, std::ostream& err);

}  // namespace station
