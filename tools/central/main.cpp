// teldrv-central: a central station for commissioning and testing a remote
// station on a real serial line, or (--sim) against the demo station on a
// simulated modem line.
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "host/records.h"
#include "platform/serial.h"
#include "platform/time.h"
#include "sim/korpro_history.h"
#include "sim/korpro_online.h"
#include "sim/korpro_sim.h"
#include "sim/line.h"
#include "sim/modem.h"
#include "sim/world.h"
#include "tools/central/tool.h"
#include "tools/shared/gate_file.h"
#include "tools/shared/modem_bridge.h"
#include "tools/shared/station_files.h"
#include "tools/shared/system.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kStationNumber = "0307000007";
constexpr uint16_t kFirstHostGate = 100;

// The demo station's plant: gate 0 (a level) moves every 2 s, and every
// change also goes into the history files.
class Plant {
public:
    void Start() {
        thread_ = std::thread([this] {
            sim::Participant self;
            for (int step = 0; !stop_.load(); ++step) {
                const double level = std::round(500 + 200 * std::sin(step / 5.0));
                korpro_sim::ValueBytes value;
                std::memcpy(value.data(), &level, sizeof level);
                const uint32_t now = static_cast<uint32_t>(sim::CalendarSeconds());
                korpro_sim::RaiseValueChange(kFirstHostGate, value,
                                             {static_cast<uint8_t>(now), static_cast<uint8_t>(now >> 8),
                                              static_cast<uint8_t>(now >> 16), static_cast<uint8_t>(now >> 24), 0, 0});
                korpro_sim::RecordGateValue(kFirstHostGate, level, static_cast<int32_t>(now));
                sim::SleepMs(2000);
            }
        });
    }
    void Stop() {
        stop_.store(true);
        // Out of the clock while waiting, or the plant's sleep would never end.
        sim::LeaveClock();
        if (thread_.joinable()) thread_.join();
        sim::JoinClock();
    }

private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

// The driver's log lines as the host received them, "[level] text".
void WriteStationLog(const std::string& path) {
    std::ofstream file(path, std::ios::trunc);
    for (const korpro_sim::LogLine& line : korpro_sim::Log()) file << '[' << line.level << "] " << line.text << '\n';
    if (!file) std::cerr << "teldrv-central: cannot write the station's log to " << path << '\n';
}

// The demo station of examples/ (or --station-dir): its files in a scratch directory, the
// driver started on SIM1 behind a modem, the tool's modem on SIM2, and an
// exchange between the two.
int RunSimulated(central::ToolOptions options, const std::string& library, const fs::path& examples) {
    sim::ResetClock(sim::ClockMode::Virtual, std::time(nullptr));
    korpro_sim::SetEcho(options.verbose);
    if (!options.stationLog.empty()) options.stationLog = fs::absolute(options.stationLog).string();
    sim::Participant self;
    platform::UseTimeBackend(sim::TimeBackend());
    platform::RegisterSerialBackend(sim::kLinePrefix, sim::LineBackend());

    // The driver works in the scratch directory; the user's files stay where they were named.
    if (!options.csvFile.empty()) options.csvFile = fs::absolute(options.csvFile).string();
    if (!options.gatesFile.empty()) options.gatesFile = fs::absolute(options.gatesFile).string();
    for (central::Command& command : options.commands) {
        if (!command.csvFile.empty()) command.csvFile = fs::absolute(command.csvFile).string();
    }
    const fs::path oldDirectory = fs::current_path();
    std::error_code error;
    tools::StationFiles files;
    std::string why;
    const fs::path source = options.stationDir.empty() ? examples : fs::path(options.stationDir);
    fs::path work;
    if (!tools::FindStationFiles(source, 1, &files, &why) || files.station < 0 || files.gateSource.empty() ||
        !tools::PrepareWorkDirectory(files, &work, &why)) {
        std::cerr << "teldrv-central: cannot prepare the station from " << source << ": "
                  << (why.empty() ? "no init file with a STATION, or no gate file; see teldrv-station check" : why)
                  << '\n';
        if (!work.empty()) fs::remove_all(work, error);
        return central::kExitFile;
    }
    const std::vector<gatefile::GateSpec>& gates = files.gates;
    const std::string gateFileName = gatefile::StationFileName(static_cast<unsigned>(files.station));
    if (options.gatesFile.empty()) options.gatesFile = (work / gateFileName).string();
    for (size_t i = 0; i < gates.size(); ++i) {
        korpro_sim::DefineGate(gates[i].name, static_cast<uint16_t>(kFirstHostGate + i));
    }
    // Two hours of history, a record per gate every ten minutes.
    const int32_t now = sim::CalendarSeconds();
    for (int32_t t = now - 7200; t < now; t += 600) {
        for (size_t i = 0; i < gates.size(); ++i) {
            korpro_sim::RecordGateValue(static_cast<uint16_t>(kFirstHostGate + i), static_cast<double>(i * 100 + (t / 600) % 7), t);
        }
    }

    std::string loadError;
    const VpiMainFunction vpiMain = tools::LoadVpiMain(library, &loadError);
    if (!vpiMain) {
        std::cerr << "teldrv-central: " << loadError << '\n';
        fs::remove_all(work, error);
        return central::kExitFile;
    }
    VpiInfo info{};
    VpiCallBlock infoCall{nullptr, 14, 0, 0, &info};
    vpiMain(&infoCall);
    void* context = std::calloc(1, info.contextSize);

    int result = central::kExitPort;
    {
        sim::Line& stationLine = sim::CreateLine("SIM1");
        sim::Modem stationModem(stationLine);
        sim::Line& toolLine = sim::CreateLine("SIM2");
        sim::Modem toolModem(toolLine);
        tools::ModemBridge exchange(stationModem);
        toolModem.Register(kStationNumber, &exchange);

        fs::current_path(work);
        ColdStartParams params{{'S', 'I', 'M', '1', '\0'}, 1, 0, 19200, 8, 0, 0};
        VpiCallBlock start{context, 1, 1, 0, &params};
        const int32_t started = vpiMain(&start);
        // The driver resets its modem and switches auto-answer on.
        const int64_t until = sim::NowMs() + 60000;
        while (stationModem.SRegister(0) != 1 && sim::NowMs() < until) sim::SleepMs(100);
        Plant plant;
        if (started != 0 || stationModem.SRegister(0) != 1) {
            std::cerr << "teldrv-central: the demo station did not start\n";
        } else {
            std::cerr << "demo station 7 on SIM1 answers at " << kStationNumber << "; this central is on "
                      << options.port << " (virtual clock)\n";
            plant.Start();
            result = central::RunTool(options, std::cout, std::cerr);
        }
        if (!options.stationLog.empty()) WriteStationLog(options.stationLog);
        plant.Stop();
        VpiCallBlock end{context, 11, 1, 0, nullptr};
        vpiMain(&end);
        const int64_t drain = sim::NowMs() + 30000;
        while (sim::RunningThreads() > 0 && sim::NowMs() < drain) sim::SleepMs(100);
        fs::current_path(oldDirectory);
    }
    std::free(context);
    fs::remove_all(work, error);
    return result;
}

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
        return RunSimulated(options, tools::InstalledPath(argv[0], TELDRV_SIM_LIBRARY),
                            tools::InstalledPath(argv[0], TELDRV_EXAMPLES));
    }
    return central::RunTool(options, std::cout, std::cerr);
}
