// A small host: loads the driver library as the process-monitoring host does,
// asks for its description, then starts the driver on a simulated modem line
// with the example init and station gate files. A simulated central station
// calls the station in and hangs up; the host writes ALARM_CALL and the
// driver calls the central station back. Everything runs on the virtual
// clock, and the demo prints one transcript with virtual times: the modem's
// commands and calls, the frames exchanged and the driver's log lines.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/records.h"
#include "sim/central.h"
#include "sim/korpro_alerts.h"
#include "sim/korpro_sim.h"
#include "sim/line.h"
#include "sim/modem.h"
#include "sim/world.h"
#include "tools/demo/central_side.h"
#include "tools/demo/log_watch.h"
#include "tools/shared/gate_file.h"
#include "tools/shared/modem_event_text.h"

namespace {

using demo::CentralSide;
using demo::Entry;
using demo::LogWatch;

namespace fs = std::filesystem;

constexpr const char* kCentralNumber = "0301234567";

// The banner is code page 437; show its box-drawing characters as UTF-8.
std::string Cp437ToUtf8(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        switch (static_cast<unsigned char>(*p)) {
            case 0x08: break;  // the lead-in backspace has nothing to show
            case 0xC9: out += "\u2554"; break;
            case 0xBB: out += "\u2557"; break;
            case 0xC8: out += "\u255A"; break;
            case 0xBC: out += "\u255D"; break;
            case 0xCD: out += "\u2550"; break;
            case 0xBA: out += "\u2551"; break;
            default: out += *p;
        }
    }
    return out;
}

void PrintLog() {
    for (const auto& line : korpro_sim::Log()) std::printf("  log [%2d] %s\n", line.level, line.text.c_str());
    korpro_sim::ClearLog();
}

std::string ModemEventText(const sim::ModemEvent& event) { return "modem        " + tools::ModemEventText(event); }

// Lets the simulated world run until `done` holds or timeoutMs has passed.
template <typename Done>
bool RunUntil(Done done, int64_t timeoutMs) {
    const int64_t until = sim::NowMs() + timeoutMs;
    while (!done()) {
        if (sim::NowMs() >= until) return false;
        sim::SleepMs(100);
    }
    return true;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The working directory the driver opens its files in: the example init file
// and the station gate file made from the example gate list. Also tells the
// simulated host runtime the gates' names.
bool PrepareDirectory(const fs::path& examples, fs::path* directory) {
    std::string pattern = (fs::temp_directory_path() / "teldrv-demo-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return false;
    *directory = pattern;
    std::error_code error;
    fs::copy_file(examples / "TELDRV01.INT", *directory / "TELDRV01.INT", error);
    if (error) {
        std::fprintf(stderr, "cannot copy %s: %s\n", (examples / "TELDRV01.INT").c_str(), error.message().c_str());
        return false;
    }
    std::vector<gatefile::GateEntry> gates;
    std::string why;
    if (!gatefile::ParseGateList(ReadText(examples / "07_gates.txt"), "07_gates.txt", &gates, &why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return false;
    }
    for (size_t i = 0; i < gates.size(); ++i) korpro_sim::DefineGate(gates[i].name, static_cast<uint16_t>(100 + i));
    if (!gatefile::WriteBytes((*directory / "07_GATES.DAT").string(), gatefile::BuildGateFile(7, gates), &why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return false;
    }
    std::printf("working directory %s: TELDRV01.INT (example), 07_GATES.DAT (%zu gates from 07_gates.txt)\n",
                directory->c_str(), gates.size());
    return true;
}


// The driver's operations, called as the host calls them.
struct Driver {
    VpiMainFunction vpiMain;
    void* context;
    int32_t Call(uint32_t code, void* parameters) {
        VpiCallBlock block{context, code, 1, 0, parameters};
        return vpiMain(&block);
    }
};

VpiMainFunction LoadDriver(const char* path) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return nullptr;
    }
    auto vpiMain = reinterpret_cast<VpiMainFunction>(dlsym(library, "VpiMain"));
    if (!vpiMain) {
        std::fprintf(stderr, "%s exports no VpiMain\n", path);
        return nullptr;
    }
    std::printf("loaded %s\n\n", path);
    return vpiMain;
}

VpiInfo ShowVpiInfo(VpiMainFunction vpiMain) {
    VpiInfo info{};
    VpiCallBlock call{nullptr, 14, 0, 0, &info};
    const int32_t result = vpiMain(&call);
    std::printf("GetVpiInfo -> %d\n", result);
    std::printf("  typeCode     %u\n  shortName    %s\n  contextSize  %u\n  classCode    %u\n", info.typeCode,
                info.shortName, info.contextSize, info.classCode);
    std::printf("  defaults     %u baud, %u data bits, stop bits code %u, parity code %u\n", info.defaultBaudRate,
                info.defaultDataBits, info.defaultStopBits, info.defaultParity);
    std::printf("  extraWord    %u\n  banner (%zu characters):\n%s\n", info.extraWord, std::strlen(info.banner),
                Cp437ToUtf8(info.banner).c_str());
    PrintLog();
    return info;
}

// The operations the driver does not offer, and codes it has no slot for.
void CallUnofferedOperations(Driver& driver) {
    const struct {
        uint32_t code;
        const char* name;
    } calls[] = {{2, "WarmStart"}, {4, "BlockAddressParser"}, {5, "SingleRead"}, {6, "BlockRead"},
                 {10, "BlockWrite"}, {13, "ReOpenCom"}, {15, "ChangeVpiParams"}, {9, "(empty slot 9)"},
                 {17, "(code 17)"}};
    for (const auto& c : calls) {
        std::printf("\n%s (code %u) -> %d\n", c.name, c.code, driver.Call(c.code, nullptr));
        PrintLog();
    }
}

// ColdStart on SIM1; the central station calls in, polls with data and hangs up.
bool ServeIncomingCall(Driver& driver, sim::Modem& modem, sim::CentralStation& central, CentralSide& side) {
    ColdStartParams params{{'S', 'I', 'M', '1', '\0'}, 1, 0, 19200, 8, 0, 0};
    side.Note("host: ColdStart on port SIM1, 19200 baud");
    const int32_t result = driver.Call(1, &params);
    side.Note("host: ColdStart -> " + std::to_string(result));
    bool ok = result == 0;
    // The driver resets the modem and switches auto-answer on.
    ok = ok && RunUntil([&] { return modem.SRegister(0) == 1; }, 30000);
    side.Note("the central station calls the station");
    modem.Ring(central);
    ok = ok && central.WaitConnected(30000);
    sim::SleepMs(500);
    ok = ok && side.PollWithData(static_cast<uint32_t>(sim::kEpochSeconds));
    return ok && RunUntil([&] { return !central.IsConnected() && modem.SRegister(0) == 1; }, 60000);
}

// The host writes dial reference 1 to ALARM_CALL; due 3 s later, the driver
// dials the central station, which answers and polls.
bool MakeAlarmCall(Driver& driver, sim::Modem& modem, sim::CentralStation& central, CentralSide& side, bool ok) {
    GateAddress gate{};
    gate.address = "ALARM_CALL";
    gate.gateType = 1;
    int32_t result = driver.Call(3, &gate);
    side.Note("host: SingleAddressParser 'ALARM_CALL' -> " + std::to_string(result));
    uint8_t value[4] = {0, 0, 1, 0};  // dial reference 1
    GateWrite write{};
    write.address = "ALARM_CALL";
    write.value = value;
    result = driver.Call(7, &write);
    side.Note("host: SingleWrite ALARM_CALL = 1 -> " + std::to_string(result));
    ok = ok && result == 0;
    ok = ok && central.WaitConnected(120000);
    sim::SleepMs(500);
    ok = ok && side.Poll();
    return ok && RunUntil([&] { return !central.IsConnected() && modem.SRegister(0) == 1; }, 60000);
}

// Every line in the order of virtual time, then what the calls came to.
void PrintTranscript(std::vector<Entry> transcript, sim::Modem& modem, const CentralSide& side) {
    for (const sim::ModemEvent& event : modem.Transcript()) transcript.push_back({event.timeMs, 2, ModemEventText(event)});
    transcript.insert(transcript.end(), side.entries.begin(), side.entries.end());
    std::stable_sort(transcript.begin(), transcript.end(), [](const Entry& a, const Entry& b) {
        if (a.timeMs != b.timeMs) return a.timeMs < b.timeMs;
        return a.order != b.order ? a.order < b.order : a.seq < b.seq;
    });
    std::printf("\n  virtual time  what\n");
    for (const Entry& entry : transcript) {
        std::printf("  %9.3f s    %s\n", static_cast<double>(entry.timeMs) / 1000.0, entry.text.c_str());
    }
    size_t dials = 0;
    for (const std::string& command : modem.Commands()) dials += command.rfind("ATD", 0) == 0;
    std::printf("\nsummary: incoming call served, %zu alarm call dialled, %zu alerts, %.1f s of virtual time\n",
                dials, korpro_sim::Alerts().size(), static_cast<double>(sim::NowMs()) / 1000.0);
}

// The simulated world: a modem on line SIM1 and the central station, which
// the modem reaches at the number of dial reference 1. The driver serves an
// incoming call and makes an alarm call, and EndVpi ends it.
bool RunCalls(Driver& driver) {
    sim::Line& line = sim::CreateLine("SIM1");
    sim::Modem modem(line);
    sim::CentralStation central;
    modem.Register(kCentralNumber, &central);
    LogWatch watch;
    CentralSide side(central, watch);
    watch.Start();

    bool ok = ServeIncomingCall(driver, modem, central, side);
    ok = MakeAlarmCall(driver, modem, central, side, ok);
    if (!ok) modem.DropCarrier();  // a call left standing would hold EndVpi
    side.Note("host: EndVpi");
    const int32_t result = driver.Call(11, nullptr);
    side.Note("host: EndVpi -> " + std::to_string(result));
    RunUntil([] { return sim::RunningThreads() == 0; }, 10000);
    PrintTranscript(watch.Stop(), modem, side);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : TELDRV_LIBRARY;
    const fs::path examples = argc > 2 ? argv[2] : TELDRV_EXAMPLES;

    // The virtual clock: this thread takes part, so the driver's waits
    // (modem resets, dial time-outs, retry delays) cost no real time.
    sim::ResetClock(sim::ClockMode::Virtual, sim::kEpochSeconds);
    sim::Participant self;

    const VpiMainFunction vpiMain = LoadDriver(path);
    if (!vpiMain) return 1;
    const VpiInfo info = ShowVpiInfo(vpiMain);
    // The host allocates the block with the size the driver asked for.
    Driver driver{vpiMain, std::calloc(1, info.contextSize)};
    CallUnofferedOperations(driver);

    std::printf("\n==== The driver on a simulated modem line ====\n");
    fs::path directory;
    if (!PrepareDirectory(examples, &directory)) return 1;
    const fs::path oldDirectory = fs::current_path();
    fs::current_path(directory);
    const bool ok = RunCalls(driver);
    std::free(driver.context);
    fs::current_path(oldDirectory);
    std::error_code ignored;
    fs::remove_all(directory, ignored);
    if (!ok) {
        std::printf("the demo did not run as expected\n");
        return 1;
    }
    return 0;
}
