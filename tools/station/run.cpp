#include "tools/station/run.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "host/records.h"
#include "sim/korpro_sim.h"
#include "sim/line.h"
#include "sim/modem.h"
#include "sim/world.h"
#include "tools/shared/alarm_call.h"
#include "tools/shared/modem_event_text.h"
#include "tools/shared/station_files.h"
#include "tools/shared/system.h"
#include "tools/station/bench.h"
#include "tools/station/check.h"
#include "tools/station/exchange.h"
#include "tools/station/host.h"
#include "tools/station/transcript.h"

namespace station {

namespace fs = std::filesystem;

namespace {

volatile std::sig_atomic_t interrupted = 0;
void OnInterrupt(int) { interrupted = 1; }

constexpr uint32_t kGetVpiInfo = 14, kColdStart = 1, kEndVpi = 11;

// Shows a modem's events as the transcript's lines, each at its own time.
class ModemWatch {
public:
    ModemWatch(sim::Modem& modem, Transcript& transcript, const char* who)
        : modem_(modem), transcript_(transcript), who_(who) {}
    void Show() {
        const std::vector<sim::ModemEvent> events = modem_.Transcript();
        for (; seen_ < events.size(); ++seen_) transcript_.LineAt(events[seen_].timeMs, who_, tools::ModemEventText(events[seen_]));
    }

private:
    sim::Modem& modem_;
    Transcript& transcript_;
    const char* who_;
    size_t seen_ = 0;
};

// The frames the driver writes, from its line's record, each stamped when
// it was written: a log line that follows an answer comes after it.
class AnswerWatch {
public:
    AnswerWatch(sim::Line& line, Transcript& transcript)
        : line_(line), tap_(transcript, "FER", "station -> central", false) {}
    void Show() {
        std::vector<sim::LineEvent> written;
        {
            const sim::LockedLine locked = sim::Locked(line_);
            for (; seen_ < locked->transcript.size(); ++seen_) {
                if (locked->transcript[seen_].direction == sim::Direction::ToPeer) written.push_back(locked->transcript[seen_]);
            }
        }
        for (const sim::LineEvent& event : written) tap_.Feed(event.bytes.data(), event.bytes.size(), event.timeMs);
    }

private:
    sim::Line& line_;
    FrameTap tap_;
    size_t seen_ = 0;
};

// Both modems' events and the driver's answers, shown as they come; none on
// a real port (--modem).
struct ModemWatches {
    std::unique_ptr<ModemWatch> station, far;
    std::unique_ptr<AnswerWatch> answers;
    void Show() {
        if (station) station->Show();
        if (far) far->Show();
        if (answers) answers->Show();
    }
};

// The driver's log lines go to the transcript as err receives them, on the
// logging thread, so that each is stamped when it was logged.
std::atomic<Transcript*> logTranscript{nullptr};
void OnDriverLog(const korpro_sim::LogLine& line) {
    if (Transcript* transcript = logTranscript.load()) {
        transcript->Line("driver [" + std::to_string(line.level) + "]", line.text);
    }
}
struct DriverLogShown {
    explicit DriverLogShown(Transcript& transcript) {
        logTranscript = &transcript;
        korpro_sim::SetLogHook(OnDriverLog);
    }
    ~DriverLogShown() {
        korpro_sim::SetLogHook(nullptr);
        logTranscript = nullptr;
    }
};

// What is shown and held while the station runs: the modems' new events and
// the lines held long enough; the log's lines are shown already.
void ShowPending(Transcript& transcript, ModemWatches* watches) {
    if (watches != nullptr) watches->Show();
    korpro_sim::ClearLog();
    transcript.Flush();
}

struct Driver {
    VpiMainFunction vpiMain = nullptr;
    void* context = nullptr;
    uint32_t driverNumber = 1;
    int32_t Call(uint32_t code, void* parameters) {
        VpiCallBlock block{context, code, driverNumber, 0, parameters};
        return vpiMain(&block);
    }
};

void WriteAlarmCall(Driver& driver, uint8_t reference, Transcript& transcript) {
    const tools::AlarmWrite result = tools::WriteAlarmCall(driver.vpiMain, driver.context, driver.driverNumber, reference);
    transcript.Line("host", "ALARM_CALL = " + std::to_string(reference) + " (address parser -> " +
                                std::to_string(result.parsed) + ", write -> " + std::to_string(result.written) + ")");
}

// Checks the files, as check does, before anything is started.
bool FilesAccepted(const RunOptions& options, std::ostream& err) {
    std::ostringstream report;
    const CheckResult result = CheckStation(options.directory, options.driverNumber, report, err);
    std::istringstream lines(report.str());
    for (std::string line; std::getline(lines, line);) {
        if (result == kCheckRefused || line.rfind("warning:", 0) == 0) err << "teldrv-station: " << line << "\n";
    }
    if (result == kCheckRefused) {
        err << "teldrv-station: the driver refuses the files in " << options.directory
            << "; see teldrv-station check " << options.directory << "\n";
    }
    return result == kCheckGood || result == kCheckWarnings;
}

bool LoadDriver(Driver* driver, const std::string& library, std::ostream& err) {
    std::string error;
    driver->vpiMain = tools::LoadVpiMain(library, &error);
    if (!driver->vpiMain) {
        err << "teldrv-station: " << error << "\n";
        return false;
    }
    VpiInfo info{};
    driver->Call(kGetVpiInfo, &info);
    driver->context = std::calloc(1, info.contextSize);
    return driver->context != nullptr;
}

// The capture's clock: the machine's, as the far side's bytes cross in real time.
uint64_t WallClockUs() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

// Waits for `ready`, showing what happens meanwhile.
bool WaitFor(const std::function<bool()>& ready, int64_t timeoutMs, const std::function<void()>& meanwhile = [] {}) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > until) return false;
        meanwhile();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

struct Session {
    const RunOptions& options;
    Transcript& transcript;
    Host& host;
    Driver& driver;
    Exchange* exchange;      // null: the driver is on a real port of its own
    ModemWatches* watches;   // null when exchange is
};

// The keys and the stretches that act on the simulated modem and line; with
// the driver on a real port of its own there are none, and the keys say so.
void ActOnBench(Session& s, BenchFaults* bench, int64_t nowMs, const std::string& typed) {
    if (bench != nullptr) {
        bench->Tick(nowMs, typed);
    } else if (typed.find_first_of("mMpP") != std::string::npos) {
        s.transcript.Line("bench", "m and p act on the simulated modem and line, not on a real port (--modem)");
    }
}

// Runs the station until Ctrl-C: host changes, alarm calls, faults on the
// bench, the transcript.
void RunUntilInterrupted(Session& s) {
    std::unique_ptr<BenchFaults> bench;
    if (s.exchange) bench = std::make_unique<BenchFaults>(s.options, *s.exchange, s.transcript);
    bool stdinOpen = true;
    bool alarmDone = false;
    const auto start = std::chrono::steady_clock::now();
    while (!interrupted) {
        const int64_t nowMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        s.host.Tick(nowMs);
        const std::string typed = tools::TypedKeys(&stdinOpen);
        const bool scripted = !alarmDone && s.options.alarmAtSeconds >= 0 && nowMs >= s.options.alarmAtSeconds * 1000;
        if (scripted || typed.find_first_of("aA") != std::string::npos) {
            alarmDone = alarmDone || scripted;
            WriteAlarmCall(s.driver, s.options.alarmReference, s.transcript);
        }
        ActOnBench(s, bench.get(), nowMs, typed);
        ShowPending(s.transcript, s.watches);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// EndVpi takes seconds (the driver resets its modem): it runs on a thread of
// its own, so that the modems' events meanwhile are shown as they come.
void EndDriver(Driver& driver, Transcript& transcript, ModemWatches* watches) {
    transcript.Line("host", "EndVpi");
    std::atomic<bool> returned{false};
    int32_t ended = 0;
    std::thread call([&] {
        ended = driver.Call(kEndVpi, nullptr);
        returned = true;
    });
    WaitFor([&] { return returned.load(); }, 24 * 3600 * 1000, [&] { ShowPending(transcript, watches); });
    call.join();
    ShowPending(transcript, watches);
    transcript.Line("host", "EndVpi returned " + std::to_string(ended));
    transcript.FlushAll();
}

int RunWithPort(const RunOptions& options, tools::FarPort& port, Transcript& transcript, Host& host, Driver& driver,
                tools::LineCaptureFile* capture) {
    Exchange exchange(options);
    ModemWatches watches;
    watches.station = std::make_unique<ModemWatch>(exchange.stationModem(), transcript, "station modem");
    if (!exchange.direct()) watches.far = std::make_unique<ModemWatch>(exchange.farModem(), transcript, "far modem");
    watches.answers = std::make_unique<AnswerWatch>(exchange.stationLine(), transcript);
    Pump pump(port, exchange, transcript, capture, options.mode == PortMode::Pty);
    pump.Start();
    ColdStartParams params{{'S', 'I', 'M', '1', '\0'}, 1, 0, 19200, 8, 0, 0};
    transcript.Line("host", "ColdStart");
    const int32_t started = driver.Call(kColdStart, &params);
    transcript.Line("host", "ColdStart -> " + std::to_string(started));
    int result = 0;
    if (started != 0 || !WaitFor([&] { return exchange.stationModem().SRegister(0) > 0; }, 60000,
                                 [&] { ShowPending(transcript, &watches); })) {
        transcript.Line("host", "the driver did not start; nothing will answer");
        result = 1;
    } else {
        watches.Show();  // the modem's answer that made it ready comes before the line that says so
        transcript.Line("host", std::string("station ready on ") + port.path() +
                                    (options.direct ? ": send frames, no dialling (--direct)"
                                                    : ": dial ATD with any number") + "; Ctrl-C ends it");
        Session session{options, transcript, host, driver, &exchange, &watches};
        RunUntilInterrupted(session);
    }
    // A call left standing would hold EndVpi.
    exchange.stationModem().DropCarrier();
    EndDriver(driver, transcript, &watches);
    WaitFor([] { return sim::RunningThreads() == 0; }, 30000);
    pump.Stop();
    return result;
}

// The port as the driver is to open it: its port name holds 11 characters,
// so a longer path is reached through a link in the scratch directory.
bool DriverPortName(const std::string& port, const fs::path& work, char (&name)[12], std::string* error) {
    std::string given = port;
    if (given.size() >= sizeof name) {
        std::error_code failed;
        fs::create_symlink(port, work / "port", failed);
        if (failed) {
            *error = "the port name " + port + " is longer than the driver takes (11 characters), and no link to it "
                     "can be made: " + failed.message();
            return false;
        }
        given = "./port";
    }
    std::memset(name, 0, sizeof name);
    std::memcpy(name, given.data(), given.size());
    return true;
}

// The native driver on the port: its own modem dialogue and the carrier from
// the port's lines. Only the driver's log and the host calls are seen here.
int RunWithModem(const RunOptions& options, const char (&portName)[12], Transcript& transcript, Host& host,
                 Driver& driver) {
    ColdStartParams params{{}, 1, 0, options.baudRate, 8, 0, 0};
    std::memcpy(params.portName, portName, sizeof params.portName);
    const int32_t started = driver.Call(kColdStart, &params);
    transcript.Line("host", std::string("ColdStart on ") + portName + " at " + std::to_string(options.baudRate) +
                                " baud -> " + std::to_string(started));
    int result = 0;
    if (started != 0) {
        transcript.Line("host", "the driver did not start; nothing will answer");
        result = 1;
    } else {
        transcript.Line("host", "station running on " + options.port +
                                    " with the driver's own modem dialogue (the line's bytes are not shown); "
                                    "Ctrl-C ends it");
        Session session{options, transcript, host, driver, nullptr, nullptr};
        RunUntilInterrupted(session);
    }
    EndDriver(driver, transcript, nullptr);
    return result;
}

int RunOnModem(const RunOptions& options, const fs::path& work, Transcript& transcript, Host& host,
               std::ostream& err) {
    std::string why;
    const tools::ModemLines lines = tools::ProbeModemLines(options.port, &why);
    if (lines == tools::ModemLines::NoPort) {
        err << "teldrv-station: " << why << "\n";
        return kCheckUsage;
    }
    if (lines == tools::ModemLines::Unreadable) {
        err << "teldrv-station: warning: " << options.port << ": " << why
            << ": the driver cannot see a carrier there, so it logs a status error and sends its auto-answer "
               "command again and again; a line with no modem wants --port\n";
    }
    char portName[12];
    std::string error;
    if (!DriverPortName(options.port, work, portName, &error)) {
        err << "teldrv-station: " << error << "\n";
        return kCheckUsage;
    }
    Driver driver;
    driver.driverNumber = options.driverNumber;
    if (!LoadDriver(&driver, options.nativeLibrary, err)) return kCheckUsage;
    const int result = RunWithModem(options, portName, transcript, host, driver);
    std::free(driver.context);
    return result;
}

int RunOnFarPort(const RunOptions& options, Transcript& transcript, Host& host, std::ostream& out,
                 std::ostream& err) {
    tools::FarPort port;
    std::string error;
    if (!(options.mode == PortMode::Pty ? port.OpenPty(&error) : port.OpenNamed(options.port, &error))) {
        err << "teldrv-station: " << error << "\n";
        return kCheckUsage;
    }
    if (options.mode == PortMode::Pty) out << "pty " << port.path() << std::endl;
    tools::LineCaptureFile capture(WallClockUs);
    if (!options.captureFile.empty() &&
        !capture.Open(options.captureFile,
                      "teldrv link: outbound = station (teldrv-station on " + port.path() +
                          ") to central, inbound = central to station",
                      &error)) {
        err << "teldrv-station: " << error << "\n";
        return kCheckUsage;
    }
    Driver driver;
    driver.driverNumber = options.driverNumber;
    if (!LoadDriver(&driver, options.simLibrary, err)) return kCheckUsage;
    const int result = RunWithPort(options, port, transcript, host, driver, capture.open() ? &capture : nullptr);
    std::free(driver.context);
    capture.Close();
    const std::string failure = capture.TakeFailure();
    if (!failure.empty()) err << "teldrv-station: warning: the capture ends where a write failed: " << failure << "\n";
    return result;
}

// Ends the scratch directory, with the working directory put back first.
struct WorkDirectory {
    fs::path path;
    fs::path old = fs::current_path();
    ~WorkDirectory() {
        std::error_code ignored;
        fs::current_path(old, ignored);
        fs::remove_all(path, ignored);
    }
};

// --sim: the station runs inside teldrv-central, which is shown how.
int SimNeedsCentral(const RunOptions& options, std::ostream& err) {
    tools::StationFiles files;
    std::string ignored;
    tools::FindStationFiles(options.directory, options.driverNumber, &files, &ignored);
    err << "teldrv-station: --sim needs a central on the simulated line: run\n"
           "  teldrv-central --sim --station-dir " << options.directory
        << (options.driverNumber == 1 ? "" : " --driver " + std::to_string(options.driverNumber)) << " --dial "
        << (files.station >= 0 ? tools::SimulatedPhoneNumber(files.station) : "03070000NN (NN: its STATION)")
        << " station ...\n"
           "or use --pty and poll the station with teldrv-central on the other end\n";
    return kCheckUsage;
}

}  // namespace

int RunStation(const RunOptions& options, std::ostream& out, std::ostream& err) {
    if (options.mode == PortMode::Sim) return SimNeedsCentral(options, err);
    if (!FilesAccepted(options, err)) return kCheckRefused;
    tools::StationFiles files;
    std::string error;
    WorkDirectory work;
    if (!tools::FindStationFiles(options.directory, options.driverNumber, &files, &error) ||
        !tools::PrepareWorkDirectory(files, &work.path, &error)) {
        err << "teldrv-station: " << error << "\n";
        return kCheckUsage;
    }
    Transcript transcript(out);
    if (!options.logFile.empty() && !transcript.OpenFile(options.logFile)) {
        err << "teldrv-station: cannot write the transcript to " << options.logFile << "\n";
        return kCheckUsage;
    }
    sim::ResetClock(sim::ClockMode::Real, std::time(nullptr));
    transcript.SetWorldStart();
    korpro_sim::Reset();
    const DriverLogShown logShown(transcript);
    Host host(transcript, files.gates);
    host.DefineGates();
    if ((!options.scriptFile.empty() && !host.LoadScript(options.scriptFile, &error)) ||
        (!options.historyFile.empty() && !host.LoadHistory(options.historyFile, &error))) {
        err << "teldrv-station: " << error << "\n";
        return kCheckUsage;
    }
    host.SetRandomChanges(options.changesPerSecond);
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    // The driver opens its files by their bare names.
    fs::current_path(work.path);
    // The driver's own LINK_CAPTURE files outlive the scratch directory, whatever the mode.
    const int result = options.mode == PortMode::Modem ? RunOnModem(options, work.path, transcript, host, err)
                                                       : RunOnFarPort(options, transcript, host, out, err);
    tools::KeepDriverCaptures(work.path, work.old, "teldrv-station", err);
    return result;
}

}  // namespace station
