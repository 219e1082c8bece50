// teldrv-central: a central station for commissioning and testing a remote
// station on a real serial line, or (--sim) against the demo station on a
// simulated modem line.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/central/command_line.h"
#include "tools/central/exit_code.h"
#include "tools/central/session.h"
#include "tools/central/simulated_station.h"
#include "tools/central/tool.h"
#include "tools/shared/station_files.h"
#include "tools/shared/system.h"

namespace {

// Ctrl-C and SIGTERM only ask: the running command ends the call and
// closes its files itself. A second one ends the program at once.
void OnStopSignal(int signal) {
    std::signal(signal, SIG_DFL);
    central::RequestStop();
}

void CatchStopSignals() {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
}

}  // namespace

int main(int argc, char** argv) {
    central::ToolOptions options;
    options.progress = tools::StderrIsTerminal();
    std::string error;
    const std::vector<std::string> args(argv + 1, argv + argc);
    // Run bare, it shows what it does.
    if (args.empty()) {
        std::cerr << central::UsageText();
        return central::kExitUsage;
    }
    if (central::ParseCommandLine(args, &options, &error) != central::kExitOk) {
        std::cerr << "teldrv-central: " << error << " (teldrv-central --help shows the usage)\n";
        return central::kExitUsage;
    }
    if (options.help) {
        std::cout << central::UsageText();
        return central::kExitOk;
    }
    if (options.version) {
        std::cout << "teldrv-central " << TELDRV_VERSION << '\n';
        return central::kExitOk;
    }
    CatchStopSignals();
    if (options.sim) {
        return central::RunSimulated(options, tools::InstalledPath(argv[0], TELDRV_SIM_LIBRARY),
                                     tools::InstalledPath(argv[0], TELDRV_EXAMPLES));
    }
    return central::RunTool(options, std::cout, std::cerr);
}
