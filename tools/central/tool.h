// teldrv-central: the command line, the commands and their output, over a
// port of the platform serial layer (a real tty or a simulated line).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "serial/port.h"
#include "tools/central/link.h"

namespace central {

struct WriteSpec {
    uint16_t gate = 0;
    std::string value;
    std::string name;  // given by name: RunTool looks the number up in --gates
};

struct Command {
    enum Kind { Station, Clock, Online, History, HangUp } kind = Station;
    std::optional<int64_t> time;  // clock: the time to set; history: since; both default to now
    uint32_t seconds = 10;        // online
    std::string csvFile;          // online: the changes also as CSV into this file
    std::optional<WriteSpec> write;
};

// Longer than the station's wait for the rest of a request (2 x its default
// COM_TIMEOUT of 10 s) plus the half second the driver may take to answer, so
// a repetition never meets a station still waiting for the request before.
constexpr uint32_t kDefaultTimeoutMs = 21000;

struct ToolOptions {
    std::string port;
    // Baud rate (when it fits 16 bits; 0 above), data bits, stop bits code,
    // parity code. The rate itself is `baud`.
    uint16_t settings[4] = {19200, 8, 0, 0};
    uint32_t baud = 19200;
    std::string dial;
    std::string gatesFile;
    std::string csvFile;
    bool trace = false;
    bool ignoreCarrier = false;
    bool noHangUp = false;
    bool verbose = false;       // --sim: the station's log on stderr
    std::string stationLog;     // --sim: the station's log into this file
    bool help = false;
    bool version = false;
    int retries = 3;
    uint32_t timeoutMs = kDefaultTimeoutMs;
    uint32_t pollMs = 1000;
    uint32_t settleMs = 2500;
    uint32_t carrierTimeoutMs = 60000;
    bool progress = false;
    bool sim = false;
    std::string stationDir;  // --sim: the station's files instead of examples/
    std::vector<Command> commands;
};

std::string UsageText();
// kExitOk, or kExitUsage with *error saying what is wrong. --help and
// --version anywhere set options->help or ->version and leave the rest unread.
int ParseCommandLine(const std::vector<std::string>& args, ToolOptions* options, std::string* error);

// Seconds since 1970 from "now", a number of seconds, or a UTC date and time
// "YYYY-MM-DD[THH:MM[:SS]][Z]".
bool ParseTime(const std::string& text, int64_t now, int64_t* seconds);
std::string FormatTime(int64_t seconds);

// A station gate as the tool shows and writes it.
struct GateInfo {
    std::string name;
    std::optional<uint8_t> valueType;
};
// Reads a station gate file (binary) or a gate list (text); *station gets
// the station a gate file is made for (a list names none).
bool LoadGates(const std::string& path, std::map<uint16_t, GateInfo>* gates, std::string* error,
               std::optional<unsigned>* station = nullptr);

// Ctrl-C: safe to call from a signal handler. The running command stops at
// its next request, the call is ended and the files closed.
void RequestStop();
bool StopRequested();
void ClearStop();

// Why a port did not open, in words, from OpenPort's result and the
// platform error left behind.
std::string PortFailure(PortResult result, uint32_t error, const std::string& port, uint32_t baud);

// Value bytes 4-7 of a write request, as the gate's value type reads them.
bool EncodeWriteValue(const std::string& text, std::optional<uint8_t> valueType, uint8_t bytes[4], std::string* error);

// Checks what it can without the station (gate file, CSV file, writes),
// opens the port, dials when asked, runs the commands in order on the one
// connection and ends the call. Results go to `out`, the modem dialogue, the
// frame trace, progress and errors to `err`; when history CSV goes to `out`
// (no --csv), the results go to `err` too. Gives the exit code.
int RunTool(const ToolOptions& options, std::ostream& out, std::ostream& err);

}  // namespace central
