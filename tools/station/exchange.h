// The simulated line between the driver and the far side's port, on the
// real clock: the driver's own modem, and toward the port either a second
// modem (the far side sees a modem) or a direct line; and the pump that
// carries bytes between the port and the line and shows the frames passing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "sim/line.h"
#include "sim/modem.h"
#include "tools/shared/line_capture_file.h"
#include "tools/shared/modem_bridge.h"
#include "tools/shared/system.h"
#include "tools/station/run.h"
#include "tools/station/transcript.h"

namespace station {

// --direct: the far side's bytes go to the station as a call of their own;
// the call starts with the first byte and ends after a silence.
class DirectLine : public sim::Party {
public:
    DirectLine(sim::Modem& station, int64_t silenceMs) : station_(station), silenceMs_(silenceMs) {}

    void FromFar(sim::WorldLock& lock, const std::vector<uint8_t>& bytes);
    void Tick(sim::WorldLock& lock);
    std::vector<uint8_t> TakeOutgoing() { return std::exchange(outgoing_, {}); }
    bool InCall() const { return connection_ != nullptr; }

    void Connected(sim::WorldLock& lock, sim::Connection& connection) override;
    void FromDriver(sim::WorldLock& lock, const uint8_t* data, size_t size) override;
    void Disconnected(sim::WorldLock&) override;

private:
    sim::Modem& station_;
    int64_t silenceMs_;
    sim::Connection* connection_ = nullptr;
    bool calling_ = false;
    int64_t lastByteMs_ = 0;
    std::vector<uint8_t> outgoing_;
};

class Exchange {
public:
    explicit Exchange(const RunOptions& options);
    sim::Modem& stationModem() { return stationModem_; }
    sim::Line& stationLine() { return stationLine_; }
    sim::Modem& farModem() { return farModem_; }
    bool direct() const { return directMode_; }

    void FromPort(const std::vector<uint8_t>& bytes);
    // The far side closed its port: a call standing ends as with a DTR drop.
    void PortClosed();
    std::vector<uint8_t> ToPort();
    // The far side's carrier: its modem on line, or with --direct a call standing.
    bool Carrier();

private:
    sim::Line& stationLine_;
    sim::Modem stationModem_;
    sim::Line& farLine_;
    sim::Modem farModem_;
    tools::ModemBridge toStation_;  // the far side dials the station
    tools::ModemBridge toFar_;      // the station's alarm calls ring the far side
    DirectLine direct_;
    bool directMode_;
};

// Carries bytes between the far side's port and the exchange, shows the
// requests as they arrive (the answers are shown from the station's line, as
// the driver writes them) and, with --capture, writes what crossed the port:
// its bytes, the far side's carrier, and (on a pseudo-terminal) the far side
// opening and closing it as DTR.
class Pump {
public:
    Pump(tools::FarPort& port, Exchange& exchange, Transcript& transcript, tools::LineCaptureFile* capture,
         bool portDtr)
        : port_(port),
          exchange_(exchange),
          capture_(capture),
          portDtr_(portDtr),
          requests_(transcript, "FEC", "central -> station", true) {}
    ~Pump() { Stop(); }
    void Start() {
        thread_ = std::thread([this] { Run(); });
    }
    void Stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }

private:
    void Run();
    void CaptureLineState(tools::PortRead read);

    tools::FarPort& port_;
    Exchange& exchange_;
    tools::LineCaptureFile* capture_;  // null: no --capture
    bool portDtr_;
    bool portOpen_ = false;
    bool carrier_ = false;
    FrameTap requests_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace station
