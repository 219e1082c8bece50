// teldrv-central's run: the checks that need no station, the port, the call,
// the commands on the link and the end of the call. Works on any port of the
// platform serial layer (a real tty or a simulated line).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>

#include "serial/port.h"
#include "tools/central/command_line.h"
#include "tools/central/exit_code.h"
#include "tools/central/session.h"

namespace central {

// Reads a station gate file (binary) or a gate list (text); *station gets
// the station a gate file is made for (a list names none).
bool LoadGates(const std::string& path, std::map<uint16_t, GateInfo>* gates, std::string* error,
               std::optional<unsigned>* station = nullptr);

// Why a port did not open, in words, from OpenPort's result and the
// platform error left behind.
std::string PortFailure(PortResult result, uint32_t error, const std::string& port, uint32_t baud);

// Checks what it can without the station (gate file, CSV file, writes),
// opens the port, dials when asked, runs the commands in order on the one
// connection and ends the call. Results go to `out`, the modem dialogue, the
// frame trace, progress and errors to `err`; when history CSV goes to `out`
// (no --csv), the results go to `err` too. Gives the exit code.
int RunTool(const ToolOptions& options, std::ostream& out, std::ostream& err);

}  // namespace central
