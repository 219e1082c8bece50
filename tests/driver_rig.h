// The whole driver on the simulated modem line, as the host runs it: a working
// directory with the init file and the station gate file, a host block of
// untrusted contents, VpiMain calls, and a central station that can call the
// station in and that the modem reaches at kCentralNumber.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "driver/context.h"
#include "driver/operations.h"
#include "sim/central.h"
#include "sim/korpro_alerts.h"
#include "sim/modem.h"
#include "tests/log_text.h"
#include "tests/sim_environment.h"
#include "tests/test_port_settings.h"
#include "tools/shared/gate_file.h"

namespace driver_test {

namespace fs = std::filesystem;
using korpro_sim::LogLine;

constexpr const char* kCentralNumber = "0301234567";
constexpr const char* kSecondNumber = "0307654321";

// Station 7 with the central at reference 1 and a second number at 2.
inline const std::string kStationInit =
    "STATION = 7\n"
    "MODEM_NUMBER 1 = 0301234567\n"
    "MODEM_NUMBER 2 = 0307654321\n"
    "MODEM_NUMBER 4 = 0304444444\n"
    "MODEM_NUMBER 5 = 0305555555\n"
    "MODEM_NUMBER 6 = 0306666666\n"
    "MODEM_NUMBER 254 = 0302542542\n";

using log_test::IndexOf;
using log_test::Logged;
using log_test::LogText;

struct DriverRig {
    DriverRig() {
        stopFlag = 0;
        std::memset(ctx, 0x5A, sizeof(StationContext));
        oldDirectory = fs::current_path();
        std::string pattern = (fs::temp_directory_path() / "teldrv-driver-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        directory = pattern;
        fs::current_path(directory);
        korpro_sim::DefineGate("TANK_LEVEL", 11);
        korpro_sim::DefineGate("PUMP_STATE", 12);
        std::string error;
        gatefile::WriteBytes("07_GATES.DAT",
                             gatefile::BuildGateFile(7, {{"TANK_LEVEL", 1, 0}, {"PUMP_STATE", 0, 0}}), &error);
        modem.Register(kCentralNumber, &central);
    }
    ~DriverRig() {
        // The driver's thread must be gone before the line and the modem are;
        // a call left standing by a failed test would hold it forever.
        if (started && !ended) {
            modem.DropCarrier();
            EndVpi(&block);
        }
        fs::current_path(oldDirectory);
        std::error_code ignored;
        fs::remove_all(directory, ignored);
        std::free(ctx);
    }
    DriverRig(const DriverRig&) = delete;
    DriverRig& operator=(const DriverRig&) = delete;

    void WriteInit(const std::string& text) {
        std::string error;
        gatefile::WriteBytes("TELDRV01.INT", std::vector<uint8_t>(text.begin(), text.end()), &error);
    }

    int32_t Op(uint32_t code, void* parameters = nullptr) {
        block.operationCode = code;
        block.parameters = parameters;
        return VpiMain(&block);
    }

    int32_t Start(const std::string& init = kStationInit) {
        WriteInit(init);
        started = true;
        return Op(1, &params);
    }
    int32_t End() {
        const int32_t result = Op(11);
        ended = true;
        return result;
    }

    int32_t Write(uint16_t reference, const char* address = "ALARM_CALL") {
        uint8_t value[8] = {0xEE, 0xEE, static_cast<uint8_t>(reference & 0xFF), static_cast<uint8_t>(reference >> 8),
                            0xEE, 0xEE, 0xEE, 0xEE};
        GateWrite write{};
        write.address = address;
        write.value = value;
        return Op(7, &write);
    }

    struct EntryView {
        unsigned reference;
        int32_t dueTime;
        unsigned retriesLeft;
        bool operator==(const EntryView&) const = default;
    };
    EntryView Entry(size_t index) {
        DialEntry& entry = ctx->dialEntries[index];
        return {LoadShared(entry.reference), LoadShared(entry.dueTime), LoadShared(entry.retriesLeft)};
    }
    std::vector<EntryView> Entries() {
        std::vector<EntryView> all;
        for (size_t i = 0; i < kDialEntryCount; ++i) all.push_back(Entry(i));
        return all;
    }

    // Lets the driver run; true as soon as `done` holds.
    static bool WaitFor(const std::function<bool()>& done, int64_t timeoutMs) {
        const int64_t until = sim::NowMs() + timeoutMs;
        while (!done()) {
            if (sim::NowMs() >= until) return false;
            platform::Sleep(100);
        }
        return true;
    }

    // The driver raises the alert and then logs its text, on its own thread:
    // waiting for the alert alone can look at the log between the two.
    static bool WaitForAlertLogged(const std::string& text, int64_t timeoutMs) {
        return WaitFor([&] { return !korpro_sim::Alerts().empty() && log_test::Logged(text); }, timeoutMs);
    }

    // The call stands and the driver's session listens.
    bool AwaitCall(int64_t timeoutMs) {
        if (!central.WaitConnected(timeoutMs)) return false;
        platform::Sleep(500);
        return true;
    }
    bool CallIn() {
        modem.Ring(central);
        return AwaitCall(20000);
    }
    // The central asks for the station and ends the call.
    bool ServeAndHangUp() {
        const auto station = central.Station();
        const auto hangUp = central.HangUp();
        return station && *station == sim::Bytes{0x73, 7, 7, 7} && hangUp && *hangUp == sim::Bytes{0x78};
    }
    bool WaitIdle(int64_t timeoutMs) {
        return WaitFor([&] { return !central.IsConnected() && modem.State() == sim::ModemState::Command; },
                       timeoutMs);
    }

    bool LineOpen() { return sim::Locked(line)->open; }

    std::vector<sim::ModemEvent> Dials() {
        std::vector<sim::ModemEvent> dials;
        for (const sim::ModemEvent& event : modem.Transcript()) {
            if (event.kind == sim::ModemEventKind::Command && event.text.rfind("ATD", 0) == 0) dials.push_back(event);
        }
        return dials;
    }

    SimEnvironment env;
    sim::Line& line = sim::CreateLine("SIM1");
    sim::Modem modem{line};
    sim::CentralStation central;
    // The host's block: allocated by the host, contents unknown before ColdStart.
    StationContext* ctx = static_cast<StationContext*>(std::malloc(sizeof(StationContext)));
    ColdStartParams params = test_port::ColdStartOn("SIM1");
    VpiCallBlock block{ctx, 0, 1, 0, nullptr};
    bool started = false;
    bool ended = false;
    fs::path oldDirectory;
    fs::path directory;
};

}  // namespace driver_test
