// teldrv-central: the command line, the commands and their output, over a
// port of the platform serial layer (a real tty or a simulated line).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/central_link.h"

namespace central {

struct WriteSpec {
    uint16_t gate = 0;
    std::string value;
};

struct Command {
    enum Kind { Station, Clock, Online, History, HangUp } kind = Station;
    std::optional<int64_t> time;  // clock: the time to set (default now); history: since
    uint32_t seconds = 10;        // online
    std::optional<WriteSpec> write;
};

struct ToolOptions {
    std::string port;
    uint16_t settings[4] = {19200, 8, 0, 0};  // baud, data bits, stop bits code, parity code
    std::string dial;
    std::string gatesFile;
    std::string csvFile;
    bool trace = false;
    int retries = 3;
    uint32_t timeoutMs = 5000;
    uint32_t pollMs = 1000;
    uint32_t settleMs = 2500;
    uint32_t carrierTimeoutMs = 60000;
    bool progress = false;
    bool sim = false;
    std::string stationDir;  // --sim: the station's files instead of examples/
    std::vector<Command> commands;
};

std::string UsageText();
// kExitOk, or kExitUsage with *error saying what is wrong.
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
// Reads a station gate file (binary) or a gate list (text).
bool LoadGates(const std::string& path, std::map<uint16_t, GateInfo>* gates, std::string* error);

// Value bytes 4-7 of a write request, as the gate's value type reads them.
bool EncodeWriteValue(const std::string& text, std::optional<uint8_t> valueType, uint8_t bytes[4], std::string* error);

// Opens the port, dials when asked, runs the commands in order on the one
// connection and hangs up. Results go to `out`, the modem dialogue, the frame
// trace, progress and errors to `err`. Gives the exit code.
int RunTool(const ToolOptions& options, std::ostream& out, std::ostream& err);

}  // namespace central
