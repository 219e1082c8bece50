// The host of a running station: its gates, the changes it makes to them
// (from a script or a random walk), the history it keeps, and what the
// driver asked of it (subscriptions, writes, alerts, history reads), shown.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tools/shared/gate_file.h"
#include "tools/station/transcript.h"

namespace station {

constexpr uint16_t kFirstHostGate = 100;

struct ScriptedChange {
    int64_t atMs;
    size_t gate;
    bool status;  // else a value change
    double value;
};

class Host {
public:
    Host(Transcript& transcript, std::vector<gatefile::GateEntry> gates)
        : transcript_(transcript), gates_(std::move(gates)), values_(gates_.size(), 0.0) {}

    // Gives the host's gate names and ids to the host runtime.
    void DefineGates() const;
    bool LoadScript(const std::string& path, std::string* error);
    bool LoadHistory(const std::string& path, std::string* error);
    void SetRandomChanges(uint32_t perSecond) { perSecond_ = perSecond; }

    // Makes the changes due at `nowMs` (since the start) and shows what the
    // driver did with the host since the last call.
    void Tick(int64_t nowMs);

private:
    bool GateIndex(const std::string& name, size_t* index) const;
    void Change(size_t gate, bool status, double value);
    double RandomStep(size_t gate);
    void ShowDriverCalls();

    Transcript& transcript_;
    std::vector<gatefile::GateEntry> gates_;
    std::vector<double> values_;
    std::vector<ScriptedChange> script_;
    size_t nextScripted_ = 0;
    bool historyGiven_ = false;
    uint32_t perSecond_ = 0;
    int64_t nextRandomMs_ = 0;
    std::mt19937 random_{12345};
    size_t writesSeen_ = 0, requestsSeen_ = 0, alertsSeen_ = 0, clientsSeen_ = 0, removedSeen_ = 0;
    int historyOpensSeen_ = 0;
};

}  // namespace station
