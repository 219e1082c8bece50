// teldrv-central's command line: its options, the commands in the order
// given, the parser and the usage text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace central {

// online --write GATE=VALUE: the one remote write of an online command.
struct WriteRequest {
    uint16_t gate = 0;
    std::string value;
    std::string name;  // given by name: RunTool looks the number up in --gates
};

struct Command {
    enum Kind { Station, Clock, Online, History, HangUp } kind = Station;
    std::optional<int64_t> time;  // clock: the time to set; history: since; both default to now
    uint32_t seconds = 10;        // online
    std::string csvFile;          // online: the changes also as CSV into this file
    std::optional<WriteRequest> write;
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
    std::string captureFile;  // the line's bytes and events as pcapng (docs/capture.md)
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

}  // namespace central
