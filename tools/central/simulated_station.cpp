#include "tools/central/simulated_station.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <thread>
#include <vector>

#include "common/byte_order.h"
#include "host/records.h"
#include "platform/serial.h"
#include "platform/time.h"
#include "sim/korpro_history.h"
#include "sim/korpro_online.h"
#include "sim/korpro_sim.h"
#include "sim/line.h"
#include "sim/modem.h"
#include "sim/world.h"
#include "tools/central/exit_code.h"
#include "tools/central/tool.h"
#include "tools/shared/gate_file.h"
#include "tools/shared/modem_bridge.h"
#include "tools/shared/station_files.h"
#include "tools/shared/system.h"

namespace central {

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
                korpro_sim::InfoBytes info{};
                PutLe32(info.data(), now);
                korpro_sim::RaiseValueChange(kFirstHostGate, value, info);
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

// The driver works in the scratch directory; the user's files stay where they were named.
void MakePathsWhole(ToolOptions* options) {
    if (!options->stationLog.empty()) options->stationLog = fs::absolute(options->stationLog).string();
    if (!options->csvFile.empty()) options->csvFile = fs::absolute(options->csvFile).string();
    if (!options->captureFile.empty()) options->captureFile = fs::absolute(options->captureFile).string();
    if (!options->gatesFile.empty()) options->gatesFile = fs::absolute(options->gatesFile).string();
    for (Command& command : options->commands) {
        if (!command.csvFile.empty()) command.csvFile = fs::absolute(command.csvFile).string();
    }
}

// The station's files, found and put in a scratch directory `*work`.
bool PrepareStation(const ToolOptions& options, const fs::path& examples, tools::StationFiles* files,
                    fs::path* work) {
    std::string why;
    const fs::path source = options.stationDir.empty() ? examples : fs::path(options.stationDir);
    if (tools::FindStationFiles(source, 1, files, &why) && files->station >= 0 && !files->gateSource.empty() &&
        tools::PrepareWorkDirectory(*files, work, &why)) {
        return true;
    }
    std::cerr << "teldrv-central: cannot prepare the station from " << source << ": "
              << (why.empty() ? "no init file with a STATION, or no gate file; see teldrv-station check" : why)
              << '\n';
    std::error_code error;
    if (!work->empty()) fs::remove_all(*work, error);
    return false;
}

// The host runtime knows the station's gates, and has two hours of history,
// a record per gate every ten minutes.
void StockHost(const std::vector<gatefile::GateEntry>& gates) {
    for (size_t i = 0; i < gates.size(); ++i) {
        korpro_sim::DefineGate(gates[i].name, static_cast<uint16_t>(kFirstHostGate + i));
    }
    const int32_t now = sim::CalendarSeconds();
    for (int32_t t = now - 7200; t < now; t += 600) {
        for (size_t i = 0; i < gates.size(); ++i) {
            korpro_sim::RecordGateValue(static_cast<uint16_t>(kFirstHostGate + i), static_cast<double>(i * 100 + (t / 600) % 7), t);
        }
    }
}

// ColdStart on SIM1; true once the driver has reset its modem and switched
// auto-answer on.
bool StartStation(VpiMainFunction vpiMain, void* context, sim::Modem& stationModem) {
    ColdStartParams params{{'S', 'I', 'M', '1', '\0'}, 1, 0, 19200, 8, 0, 0};
    VpiCallBlock start{context, 1, 1, 0, &params};
    const int32_t started = vpiMain(&start);
    const int64_t until = sim::NowMs() + 60000;
    while (stationModem.SRegister(0) != 1 && sim::NowMs() < until) sim::SleepMs(100);
    return started == 0 && stationModem.SRegister(0) == 1;
}

// The driver in its scratch directory, the exchange, and the tool's run
// against them; then EndVpi, and the driver's threads let run to their end.
int CallStation(const ToolOptions& options, VpiMainFunction vpiMain, void* context, const fs::path& work) {
    sim::Line& stationLine = sim::CreateLine("SIM1");
    sim::Modem stationModem(stationLine);
    sim::Line& toolLine = sim::CreateLine("SIM2");
    sim::Modem toolModem(toolLine);
    tools::ModemBridge exchange(stationModem);
    toolModem.Register(kStationNumber, &exchange);

    const fs::path oldDirectory = fs::current_path();
    fs::current_path(work);
    int result = kExitPort;
    Plant plant;
    if (!StartStation(vpiMain, context, stationModem)) {
        std::cerr << "teldrv-central: the demo station did not start\n";
    } else {
        std::cerr << "demo station 7 on SIM1 answers at " << kStationNumber << "; this central is on "
                  << options.port << " (virtual clock)\n";
        plant.Start();
        result = RunTool(options, std::cout, std::cerr);
    }
    if (!options.stationLog.empty()) WriteStationLog(options.stationLog);
    plant.Stop();
    VpiCallBlock end{context, 11, 1, 0, nullptr};
    vpiMain(&end);
    const int64_t drain = sim::NowMs() + 30000;
    while (sim::RunningThreads() > 0 && sim::NowMs() < drain) sim::SleepMs(100);
    fs::current_path(oldDirectory);
    return result;
}

}  // namespace

int RunSimulated(ToolOptions options, const std::string& library, const fs::path& examples) {
    sim::ResetClock(sim::ClockMode::Virtual, std::time(nullptr));
    korpro_sim::SetEcho(options.verbose);
    MakePathsWhole(&options);
    sim::Participant self;
    platform::UseTimeBackend(sim::TimeBackend());
    platform::RegisterSerialBackend(sim::kLinePrefix, sim::LineBackend());

    tools::StationFiles files;
    fs::path work;
    if (!PrepareStation(options, examples, &files, &work)) return kExitFile;
    if (options.gatesFile.empty()) {
        options.gatesFile = (work / gatefile::StationFileName(static_cast<unsigned>(files.station))).string();
    }
    StockHost(files.gates);
    std::string loadError;
    std::error_code error;
    const VpiMainFunction vpiMain = tools::LoadVpiMain(library, &loadError);
    if (!vpiMain) {
        std::cerr << "teldrv-central: " << loadError << '\n';
        fs::remove_all(work, error);
        return kExitFile;
    }
    VpiInfo info{};
    VpiCallBlock infoCall{nullptr, 14, 0, 0, &info};
    vpiMain(&infoCall);
    void* context = std::calloc(1, info.contextSize);
    const int result = CallStation(options, vpiMain, context, work);
    std::free(context);
    fs::remove_all(work, error);
    return result;
}

}  // namespace central
