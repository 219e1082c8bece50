// teldrv-central --sim: the demo station of examples/ (or --station-dir) on
// a simulated modem line, on a virtual clock, for the tool to dial.
#pragma once

#include <filesystem>
#include <string>

#include "tools/central/command_line.h"

namespace central {

// The station's files in a scratch directory, the driver (`library`, built
// for the simulated platform) started on SIM1 behind a modem, the tool's
// modem on SIM2, an exchange between the two, and RunTool on SIM2. Gives
// RunTool's exit code, or kExitFile or kExitPort when the station did not
// come up.
int RunSimulated(ToolOptions options, const std::string& library, const std::filesystem::path& examples);

}  // namespace central
