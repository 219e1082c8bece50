// A small Windows host for whole calls under Wine: loads teldrv.dll from its
// own directory with the simulated KORPRO.DLL beside it, and does what the
// Linux side of the test asks, one command line at a time on standard input,
// each answered by lines on standard output and a line ".":
//
//   gate NAME ID                      the host knows gate NAME by ID
//   start PORT DRIVER                 ColdStart                -> result R
//   alarm REF                         SingleWrite on ALARM_CALL -> result R
//   value|status GATE VALUE16 INFO12  a gate change (hex bytes), answered once
//                                     the driver's client has dealt with it
//                                     (nothing, or an error line)
//   history GATE TIME VALUE COUNT STEP   COUNT history records, STEP s apart
//   end                               EndVpi on a thread of its own
//   ended MS                          waits up to MS ms       -> result R | pending
//   unload                            EndVpi, then FreeLibrary at once -> result R
//   gone MS                           waits up to MS ms for the unloaded module to go
//                                                             -> gone | loaded
//   load                              teldrv.dll again, as a host loads it again
//   log | writes | requests | alerts | clocks    what the host saw (L, W, R, A, C lines)
//   quit
//
// The driver's SetSystemTime import is replaced by a recorder that applies
// Windows' own validity check and leaves the machine's clock alone.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/records.h"
#include "sim/korpro_alerts.h"
#include "sim/korpro_history.h"
#include "sim/korpro_online.h"
#include "sim/korpro_sim.h"
#include "sim/world.h"
#include "tests/test_port_settings.h"
#include "tests/windows/import_patch.h"

namespace {

constexpr uint32_t kColdStart = 1, kSingleWrite = 7, kEndVpi = 11, kGetVpiInfo = 14;

struct ClockCall {
    SYSTEMTIME utc;
    DWORD error;  // 0: accepted
};

std::mutex clockMutex;
std::vector<ClockCall> clockCalls;

// What SetSystemTime checks before it touches the clock: the fields make a
// valid date and time (error 87 otherwise).
BOOL WINAPI RecordSystemTime(const SYSTEMTIME* utc) {
    FILETIME unused;
    const BOOL valid = SystemTimeToFileTime(utc, &unused);
    const DWORD error = valid ? 0 : GetLastError();
    {
        std::lock_guard lock(clockMutex);
        clockCalls.push_back({*utc, error});
    }
    if (!valid) SetLastError(error);
    return valid;
}

// Text as one line: control bytes, bytes above 0x7E and the backslash as \xNN.
std::string Escaped(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

template <size_t N>
bool Hex(const std::string& text, std::array<uint8_t, N>* bytes) {
    if (text.size() != 2 * N) return false;
    for (size_t i = 0; i < N; ++i) {
        unsigned value = 0;
        if (std::sscanf(text.c_str() + 2 * i, "%2x", &value) != 1) return false;
        (*bytes)[i] = static_cast<uint8_t>(value);
    }
    return true;
}

class Host {
public:
    // teldrv.dll, at the start and again after each unload.
    bool Load(std::string* error);
    // One command; false when it was quit.
    bool Run(const std::string& line);

private:
    int32_t Call(uint32_t code, void* parameters, uint32_t driverNumber = 0) {
        VpiCallBlock block{context_.data(), code, driverNumber, 0, parameters};
        return vpiMain_(&block);
    }
    void Start(std::istream& in);
    void Alarm(std::istream& in);
    void Change(bool status, std::istream& in);
    void History(std::istream& in);
    void Ended(std::istream& in);
    void Unload();
    void Gone(std::istream& in);
    void Report(const std::string& what);

    std::string name_ = "teldrv.dll";
    HMODULE module_ = nullptr;
    std::string unloaded_;
    VpiMainFunction vpiMain_ = nullptr;
    std::vector<unsigned char> context_;
    std::thread end_;
    std::atomic<bool> endReturned_{false};
    std::atomic<int32_t> endResult_{-1};
};

bool Host::Load(std::string* error) {
    module_ = LoadLibraryA(name_.c_str());
    if (!module_) {
        *error = "cannot load " + name_ + ": error " + std::to_string(GetLastError());
        return false;
    }
    vpiMain_ = reinterpret_cast<VpiMainFunction>(reinterpret_cast<void (*)()>(GetProcAddress(module_, "VpiMain")));
    if (!vpiMain_) {
        *error = name_ + " has no VpiMain";
        return false;
    }
    if (!ReplaceImport(module_, "KERNEL32.dll", "SetSystemTime", reinterpret_cast<void*>(&RecordSystemTime))) {
        *error = name_ + " does not import SetSystemTime from KERNEL32.dll";
        return false;
    }
    // The block the host allocates with the size the driver asks for; its
    // contents are whatever the heap gave.
    VpiInfo info{};
    VpiCallBlock block{nullptr, kGetVpiInfo, 0, 0, &info};
    vpiMain_(&block);
    context_.assign(info.contextSize, 0x5A);
    return true;
}

void Host::Start(std::istream& in) {
    std::string port;
    uint32_t driver = 0;
    in >> port >> driver;
    ColdStartParams params = test_port::ColdStartOn(port.c_str());
    std::printf("result %d\n", Call(kColdStart, &params, driver));
}

void Host::Alarm(std::istream& in) {
    unsigned reference = 0;
    in >> reference;
    uint8_t value[8] = {0, 0, static_cast<uint8_t>(reference), static_cast<uint8_t>(reference >> 8), 0, 0, 0, 0};
    GateWrite write{};
    write.address = "ALARM_CALL";
    write.value = value;
    std::printf("result %d\n", Call(kSingleWrite, &write));
}

// Raised, then answered once the driver's gate message thread has taken it
// from the host and asked for the next message: the change is in the
// buffer, and the next poll finds it.
void Host::Change(bool status, std::istream& in) {
    unsigned gate = 0;
    std::string valueText, infoText;
    in >> gate >> valueText >> infoText;
    korpro_sim::ValueBytes value{};
    korpro_sim::InfoBytes info{};
    if (!Hex(valueText, &value) || !Hex(infoText, &info)) {
        std::printf("error bad change bytes\n");
        return;
    }
    const std::vector<uint8_t> clients = korpro_sim::Clients();
    if (status) {
        korpro_sim::RaiseStatusChange(static_cast<uint16_t>(gate), value, info);
    } else {
        korpro_sim::RaiseValueChange(static_cast<uint16_t>(gate), value, info);
    }
    for (const uint8_t client : clients) {
        if (!korpro_sim::AwaitMessagesHandled(client, 10000)) {
            std::printf("error client %u has not dealt with the change within 10 s\n", client);
            return;
        }
    }
}

void Host::History(std::istream& in) {
    unsigned gate = 0, count = 0;
    int32_t time = 0, step = 0;
    double value = 0;
    in >> gate >> time >> value >> count >> step;
    for (unsigned i = 0; i < count; ++i) {
        korpro_sim::RecordGateValue(static_cast<uint16_t>(gate), value + i, time + static_cast<int32_t>(i) * step);
    }
}

void Host::Ended(std::istream& in) {
    int waitMs = 0;
    in >> waitMs;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!endReturned_.load() && std::chrono::steady_clock::now() < until) Sleep(20);
    if (endReturned_.load()) {
        std::printf("result %d\n", endResult_.load());
    } else {
        std::printf("pending\n");
    }
}

void Host::Unload() {
    const int32_t result = Call(kEndVpi, nullptr);
    const BOOL freed = FreeLibrary(module_);
    unloaded_ = name_;
    module_ = nullptr;
    vpiMain_ = nullptr;
    if (!freed) {
        std::printf("error FreeLibrary: error %lu\n", GetLastError());
    } else {
        std::printf("result %d\n", result);
    }
}

// The module goes once the last of its threads has left it.
void Host::Gone(std::istream& in) {
    int waitMs = 0;
    in >> waitMs;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (GetModuleHandleA(unloaded_.c_str()) != nullptr && std::chrono::steady_clock::now() < until) Sleep(20);
    std::printf("%s\n", GetModuleHandleA(unloaded_.c_str()) == nullptr ? "gone" : "loaded");
}

void Host::Report(const std::string& what) {
    if (what == "log") {
        for (const korpro_sim::LogLine& line : korpro_sim::TakeLog()) {
            std::printf("L %d %s\n", line.level, Escaped(line.text).c_str());
        }
    } else if (what == "writes") {
        for (const korpro_sim::GateValueWrite& write : korpro_sim::GateValueWrites()) {
            std::printf("W %u %.17g\n", write.gateId, write.value);
        }
    } else if (what == "requests") {
        for (const korpro_sim::GateRequest& request : korpro_sim::GateRequests()) {
            std::printf("R %u %u", request.clientId, request.kind);
            for (const uint32_t id : request.gateIds) std::printf(" %u", id);
            std::printf("\n");
        }
    } else if (what == "alerts") {
        for (const korpro_sim::Alert& a : korpro_sim::Alerts()) {
            std::printf("A %u %u %u %u %u %u %u %u %u %u %d %s %s\n", a.arg1, a.severity, a.flags, a.zone, a.arg7,
                        a.attributes, a.arg9, a.arg10, a.arg11, a.arg12, a.alertIdGiven ? 1 : 0,
                        Escaped(a.source).c_str(), Escaped(a.text).c_str());
        }
    } else if (what == "clocks") {
        std::lock_guard lock(clockMutex);
        for (const ClockCall& call : clockCalls) {
            const SYSTEMTIME& t = call.utc;
            std::printf("C %lu %u %u %u %u %u %u %u %u\n", call.error, t.wYear, t.wMonth, t.wDayOfWeek, t.wDay,
                        t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
        }
    }
}

bool Host::Run(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "quit") return false;
    if (command == "gate") {
        std::string name;
        unsigned id = 0;
        in >> name >> id;
        korpro_sim::DefineGate(name, static_cast<uint16_t>(id));
    } else if (command == "start") {
        Start(in);
    } else if (command == "alarm") {
        Alarm(in);
    } else if (command == "value" || command == "status") {
        Change(command == "status", in);
    } else if (command == "history") {
        History(in);
    } else if (command == "end") {
        if (end_.joinable()) {
            if (!endReturned_.load()) {
                std::printf("error EndVpi has not returned yet\n");
                return true;
            }
            end_.join();
        }
        endReturned_.store(false);
        end_ = std::thread([this] {
            endResult_.store(Call(kEndVpi, nullptr));
            endReturned_.store(true);
        });
    } else if (command == "ended") {
        Ended(in);
    } else if (command == "unload") {
        Unload();
    } else if (command == "gone") {
        Gone(in);
    } else if (command == "load") {
        std::string error;
        if (!Load(&error)) std::printf("error %s\n", error.c_str());
    } else if (command == "log" || command == "writes" || command == "requests" || command == "alerts" ||
               command == "clocks") {
        Report(command);
    } else {
        std::printf("error unknown command '%s'\n", Escaped(command).c_str());
    }
    return true;
}

}  // namespace

int main() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    // The host runtime's waits and history times run on the machine's clock.
    sim::ResetClock(sim::ClockMode::Real, static_cast<int64_t>(std::time(nullptr)));
    korpro_sim::Reset();
    // The host takes a remote write without raising a change of its own, so
    // that what a poll carries is only what the test raised.
    korpro_sim::ForceResult(korpro_sim::OnlineCall::PutGateVal, 0);
    // Never destroyed: its EndVpi thread may still be joinable at the end.
    Host& host = *new Host;
    std::string error;
    const bool loaded = host.Load(&error);
    std::printf("%s\n.\n", loaded ? "ready" : ("error " + error).c_str());
    std::fflush(stdout);
    if (!loaded) return 1;
    for (std::string line; std::getline(std::cin, line);) {
        const bool more = host.Run(line);
        std::printf(".\n");
        std::fflush(stdout);
        if (!more) break;
    }
    // Driver threads may still run when a failed test quits: leave at once.
    ExitProcess(0);
}
