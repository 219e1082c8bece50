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
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/records.h"
#include "sim/central.h"
#include "sim/central_history.h"
#include "sim/central_online.h"
#include "sim/korpro_history.h"
#include "sim/korpro_online.h"
#include "sim/korpro_alerts.h"
#include "sim/korpro_sim.h"
#include "sim/line.h"
#include "sim/modem.h"
#include "sim/world.h"
#include "tools/shared/gate_file.h"
#include "tools/shared/modem_event_text.h"

namespace {

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

// One line of the transcript.
struct Entry {
    int64_t timeMs;
    int order;  // within one millisecond: host and driver first, then the modem
    std::string text;
    uint64_t seq = NextSeq();

    static uint64_t NextSeq() {
        static std::atomic<uint64_t> counter{0};
        return counter++;
    }
};

// Stamps the driver's log lines with the virtual time they appeared at (to
// within the millisecond it looks), taking part in the clock while it runs.
class LogWatch {
public:
    void Start() {
        thread_ = std::thread([this] {
            sim::Participant self;
            while (!stop_.load()) {
                Collect();
                sim::SleepMs(1);
            }
            Collect();
            done_.store(true);
        });
    }
    // The caller takes part in the clock: it waits on it for the last look.
    std::vector<Entry> Stop() {
        stop_.store(true);
        while (!done_.load()) sim::SleepMs(10);
        thread_.join();
        std::lock_guard lock(mutex_);
        return entries_;
    }

    // Also called by the host's side, so that what a call logged comes before
    // the host's note of its result.
    void Collect() {
        std::lock_guard lock(mutex_);
        const std::vector<korpro_sim::LogLine> log = korpro_sim::Log();
        const int64_t now = sim::NowMs();
        for (; seen_ < log.size(); ++seen_) {
            char level[16];
            std::snprintf(level, sizeof level, "[%2d] ", log[seen_].level);
            entries_.push_back({now, 1, std::string("driver log   ") + level + log[seen_].text});
        }
    }

private:
    std::mutex mutex_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    size_t seen_ = 0;
    std::vector<Entry> entries_;
};

std::string ModemEventText(const sim::ModemEvent& event) { return "modem        " + tools::ModemEventText(event); }

// The central station's side of the link: each request and response with
// its time, frame tag and body.
class CentralSide {
public:
    CentralSide(sim::CentralStation& central, LogWatch& watch) : central_(central), watch_(watch) {}

    bool Ask(const char* what, const sim::Bytes& body) {
        Add(std::string("central  ->  FEC ") + Tag(static_cast<uint16_t>(central_.lastTag() + 1)) + " " + what +
            "  [" + sim::Hex(body) + "]");
        const std::optional<sim::Bytes> answer = central_.Ask(body);
        if (!answer) {
            Add("central      no answer");
            return false;
        }
        Add(std::string("station  ->  FER ") + Tag(central_.lastTag()) + " answer  [" + sim::Hex(*answer) + "]");
        return true;
    }
    // Identifies the station, sets its clock, and hangs up.
    bool Poll() { return Identify() && Ask("FE_REQ_HANG_UP", sim::HangUpRequest()); }

    // Identifies the station and sets its clock; then collects on-line gate
    // changes with a remote write in between, and the history written since
    // `historyFrom`; then hangs up.
    bool PollWithData(uint32_t historyFrom) {
        if (!Identify()) return false;
        sim::OnlinePoller online(central_);
        Add("central  ->  FE_REQ_START_ONLINE");
        const std::optional<uint8_t> started = online.Start();
        if (!started || *started != 0) return Failed("on-line start", online.error());
        Add("station  ->  on-line transfer started (status 0)");

        // The host's process values change; each change also goes to history.
        const struct {
            uint16_t gate;
            double value;
        } changes[] = {{100, 3.25}, {101, 12.5}, {102, 1}, {100, 3.5}};
        for (const auto& change : changes) {
            korpro_sim::ValueBytes value{};
            std::memcpy(value.data(), &change.value, sizeof change.value);
            korpro_sim::RaiseValueChange(change.gate, value, {});
            korpro_sim::RecordGateValue(change.gate, change.value, sim::CalendarSeconds());
            Add("host         gate " + std::to_string(change.gate) + " changes to " + Number(change.value));
        }
        sim::SleepMs(1000);
        if (!ShowChanges("FE_REQ_CONT_ONLINE", online.Poll(), online)) return false;
        // The central writes 42 to station gate 0 (TANK_LEVEL, a signed 16-bit value).
        if (!ShowChanges("FE_REQ_CONT_ONLINE with write gate 0 = 42", online.PollWrite(0, sim::WriteValue16(42)),
                         online)) {
            return false;
        }
        for (const korpro_sim::GateValueWrite& write : korpro_sim::GateValueWrites()) {
            Add("host         Kor5PutGateVal gate " + std::to_string(write.gateId) + " = " + Number(write.value));
        }
        sim::SleepMs(1000);
        if (!ShowChanges("FE_REQ_CONT_ONLINE", online.Poll(), online)) return false;

        Add("central  ->  FE_REQ_START_HISTORY from " + std::to_string(historyFrom) + ", then FE_REQ_CONT_HISTORY");
        const sim::HistoryCollection history = sim::CollectHistory(central_, historyFrom);
        if (!history.complete) return Failed("history", history.error);
        for (const sim::HistoryRecordOnWire& record : history.records) {
            double value = 0;
            std::memcpy(&value, record.payload.data() + 8, sizeof value);
            Add("station  ->  history: station gate " + std::to_string(record.stationIndex) + " = " + Number(value));
        }
        Add("station  ->  history window complete: " + std::to_string(history.records.size()) + " records in " +
            std::to_string(history.answers) + " answers");
        return Ask("FE_REQ_HANG_UP", sim::HangUpRequest());
    }
    void Note(const std::string& text) { Add("---- " + text); }
    std::vector<Entry> entries;

private:
    bool Identify() {
        platform::SystemTime utc{2026, 12, 1, 7, 0, 0, 0, 0};
        const int64_t seconds = sim::CalendarSeconds() - sim::kEpochSeconds;
        utc.wHour = static_cast<uint16_t>(seconds / 3600);
        utc.wMinute = static_cast<uint16_t>(seconds / 60 % 60);
        utc.wSecond = static_cast<uint16_t>(seconds % 60);
        return Ask("FE_REQ_STATION", sim::StationRequest()) && Ask("FE_REQ_SYNC_CLOCK", sim::SyncClockRequest(utc));
    }
    bool ShowChanges(const std::string& what, const std::optional<sim::OnlineAnswer>& answer,
                     const sim::OnlinePoller& online) {
        Add("central  ->  " + what);
        if (!answer) return Failed(what, online.error());
        if (answer->writeStatus) Add("station  ->  write status " + std::to_string(*answer->writeStatus));
        Add("station  ->  " + std::to_string(answer->changes.size()) + " gate changes");
        for (const sim::ReceivedChange& change : answer->changes) {
            double value = 0;
            std::memcpy(&value, change.value.data(), sizeof value);
            Add("             station gate " + std::to_string(change.stationIndex) + " = " + Number(value));
        }
        return true;
    }
    bool Failed(const std::string& what, const std::string& why) {
        Add("central      " + what + " failed: " + why);
        return false;
    }
    static std::string Number(double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", value);
        return text;
    }
    static std::string Tag(uint16_t tag) {
        char text[16];
        std::snprintf(text, sizeof text, "tag %04X", tag);
        return text;
    }
    void Add(const std::string& text) {
        watch_.Collect();
        entries.push_back({sim::NowMs(), 1, text});
    }
    sim::CentralStation& central_;
    LogWatch& watch_;
};

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
    std::vector<gatefile::GateSpec> gates;
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

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : TELDRV_LIBRARY;
    const fs::path examples = argc > 2 ? argv[2] : TELDRV_EXAMPLES;

    // The virtual clock: this thread takes part, so the driver's waits
    // (modem resets, dial time-outs, retry delays) cost no real time.
    sim::ResetClock(sim::ClockMode::Virtual, sim::kEpochSeconds);
    sim::Participant self;

    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return 1;
    }
    auto vpiMain = reinterpret_cast<VpiMainFunction>(dlsym(library, "VpiMain"));
    if (!vpiMain) {
        std::fprintf(stderr, "%s exports no VpiMain\n", path);
        return 1;
    }
    std::printf("loaded %s\n\n", path);

    VpiInfo info{};
    VpiCallBlock call{nullptr, 14, 0, 0, &info};
    int32_t result = vpiMain(&call);
    std::printf("GetVpiInfo -> %d\n", result);
    std::printf("  typeCode     %u\n  shortName    %s\n  contextSize  %u\n  classCode    %u\n", info.typeCode,
                info.shortName, info.contextSize, info.classCode);
    std::printf("  defaults     %u baud, %u data bits, stop bits code %u, parity code %u\n", info.defaultBaudRate,
                info.defaultDataBits, info.defaultStopBits, info.defaultParity);
    std::printf("  extraWord    %u\n  banner (%zu characters):\n%s\n", info.extraWord, std::strlen(info.banner),
                Cp437ToUtf8(info.banner).c_str());
    PrintLog();

    // The host allocates the block with the size the driver asked for.
    void* context = std::malloc(info.contextSize);
    std::memset(context, 0, info.contextSize);
    const struct {
        uint32_t code;
        const char* name;
    } calls[] = {{2, "WarmStart"}, {4, "BlockAddressParser"}, {5, "SingleRead"}, {6, "BlockRead"},
                 {10, "BlockWrite"}, {13, "ReOpenCom"}, {15, "ChangeVpiParams"}, {9, "(empty slot 9)"},
                 {17, "(code 17)"}};
    for (const auto& c : calls) {
        VpiCallBlock block{context, c.code, 1, 0, nullptr};
        std::printf("\n%s (code %u) -> %d\n", c.name, c.code, vpiMain(&block));
        PrintLog();
    }

    // The simulated world: a modem on line SIM1 and the central station,
    // which the modem reaches at the number of dial reference 1.
    std::printf("\n==== The driver on a simulated modem line ====\n");
    fs::path directory;
    if (!PrepareDirectory(examples, &directory)) return 1;
    const fs::path oldDirectory = fs::current_path();
    fs::current_path(directory);
    sim::Line& line = sim::CreateLine("SIM1");
    sim::Modem modem(line);
    sim::CentralStation central;
    modem.Register(kCentralNumber, &central);
    LogWatch watch;
    CentralSide centralSide(central, watch);
    watch.Start();

    auto op = [&](uint32_t code, void* parameters) {
        VpiCallBlock block{context, code, 1, 0, parameters};
        return vpiMain(&block);
    };
    bool ok = true;

    ColdStartParams params{{'S', 'I', 'M', '1', '\0'}, 1, 0, 19200, 8, 0, 0};
    centralSide.Note("host: ColdStart on port SIM1, 19200 baud");
    result = op(1, &params);
    centralSide.Note("host: ColdStart -> " + std::to_string(result));
    ok = ok && result == 0;

    // The driver resets the modem and switches auto-answer on.
    ok = ok && RunUntil([&] { return modem.SRegister(0) == 1; }, 30000);
    centralSide.Note("the central station calls the station");
    modem.Ring(central);
    ok = ok && central.WaitConnected(30000);
    sim::SleepMs(500);
    ok = ok && centralSide.PollWithData(static_cast<uint32_t>(sim::kEpochSeconds));
    ok = ok && RunUntil([&] { return !central.IsConnected() && modem.SRegister(0) == 1; }, 60000);

    GateAddress gate{};
    gate.address = "ALARM_CALL";
    gate.gateType = 1;
    result = op(3, &gate);
    centralSide.Note("host: SingleAddressParser 'ALARM_CALL' -> " + std::to_string(result));
    uint8_t value[4] = {0, 0, 1, 0};  // dial reference 1
    GateWrite write{};
    write.address = "ALARM_CALL";
    write.value = value;
    result = op(7, &write);
    centralSide.Note("host: SingleWrite ALARM_CALL = 1 -> " + std::to_string(result));
    ok = ok && result == 0;

    // Due 3 s later: the driver dials the central station, which answers.
    ok = ok && central.WaitConnected(120000);
    sim::SleepMs(500);
    ok = ok && centralSide.Poll();
    ok = ok && RunUntil([&] { return !central.IsConnected() && modem.SRegister(0) == 1; }, 60000);

    if (!ok) modem.DropCarrier();  // a call left standing would hold EndVpi
    centralSide.Note("host: EndVpi");
    result = op(11, nullptr);
    centralSide.Note("host: EndVpi -> " + std::to_string(result));
    RunUntil([] { return sim::RunningThreads() == 0; }, 10000);
    std::free(context);
    std::vector<Entry> transcript = watch.Stop();

    for (const sim::ModemEvent& event : modem.Transcript()) transcript.push_back({event.timeMs, 2, ModemEventText(event)});
    transcript.insert(transcript.end(), centralSide.entries.begin(), centralSide.entries.end());
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
    fs::current_path(oldDirectory);
    std::error_code ignored;
    fs::remove_all(directory, ignored);
    if (!ok) {
        std::printf("the demo did not run as expected\n");
        return 1;
    }
    return 0;
}
