#include "tools/station/host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "common/byte_order.h"
#include "sim/korpro_alerts.h"
#include "sim/korpro_history.h"
#include "sim/korpro_online.h"
#include "sim/korpro_sim.h"
#include "sim/world.h"
#include "tools/shared/text.h"

namespace station {

namespace {

std::vector<std::string> SplitCsv(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, ',');) {
        fields.push_back(tools::Trimmed(field));
    }
    return fields;
}

bool ParseDouble(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return *end == '\0';
}

korpro_sim::ValueBytes ValueOf(double value) {
    korpro_sim::ValueBytes bytes{};
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

korpro_sim::InfoBytes InfoNow() {
    korpro_sim::InfoBytes info{};
    PutLe32(info.data(), static_cast<uint32_t>(sim::CalendarSeconds()));
    return info;
}

bool ReadLines(const std::string& path, std::vector<std::string>* lines, std::string* error) {
    std::vector<uint8_t> bytes;
    if (!gatefile::ReadBytes(path, &bytes, error)) return false;
    std::stringstream in(std::string(bytes.begin(), bytes.end()));
    for (std::string line; std::getline(in, line);) lines->push_back(line);
    return true;
}

bool Skipped(const std::vector<std::string>& fields) {
    return fields.empty() || fields[0].empty() || fields[0][0] == '#';
}

}  // namespace

void Host::DefineGates() const {
    for (size_t k = 0; k < gates_.size(); ++k) {
        korpro_sim::DefineGate(gates_[k].name, static_cast<uint16_t>(kFirstHostGate + k));
    }
}

bool Host::GateIndex(const std::string& name, size_t* index) const {
    for (size_t k = 0; k < gates_.size(); ++k) {
        if (gates_[k].name == name) {
            *index = k;
            return true;
        }
    }
    return false;
}

bool Host::LoadScript(const std::string& path, std::string* error) {
    std::vector<std::string> lines;
    if (!ReadLines(path, &lines, error)) return false;
    for (size_t n = 0; n < lines.size(); ++n) {
        const std::vector<std::string> fields = SplitCsv(lines[n]);
        if (Skipped(fields)) continue;
        const std::string where = path + ":" + std::to_string(n + 1) + ": ";
        ScriptedChange change{};
        double seconds = 0;
        if (fields.size() != 3 || !ParseDouble(fields[0], &seconds) || seconds < 0) {
            *error = where + "expected SECONDS,GATE_NAME,VALUE or SECONDS,GATE_NAME,status=N";
            return false;
        }
        if (!GateIndex(fields[1], &change.gate)) {
            *error = where + "gate '" + fields[1] + "' is not in the station's gate file";
            return false;
        }
        change.status = fields[2].rfind("status=", 0) == 0;
        if (!ParseDouble(change.status ? fields[2].substr(7) : fields[2], &change.value)) {
            *error = where + "'" + fields[2] + "' is not a number";
            return false;
        }
        change.atMs = static_cast<int64_t>(seconds * 1000);
        script_.push_back(change);
    }
    std::stable_sort(script_.begin(), script_.end(),
                     [](const ScriptedChange& a, const ScriptedChange& b) { return a.atMs < b.atMs; });
    return true;
}

bool Host::LoadHistory(const std::string& path, std::string* error) {
    std::vector<std::string> lines;
    if (!ReadLines(path, &lines, error)) return false;
    for (size_t n = 0; n < lines.size(); ++n) {
        const std::vector<std::string> fields = SplitCsv(lines[n]);
        if (Skipped(fields)) continue;
        double time = 0, value = 0;
        size_t gate = 0;
        if (fields.size() != 3 || !ParseDouble(fields[0], &time) || !GateIndex(fields[1], &gate) ||
            !ParseDouble(fields[2], &value)) {
            *error = path + ":" + std::to_string(n + 1) +
                     ": expected UNIX_SECONDS,GATE_NAME,VALUE with a gate of the station's gate file";
            return false;
        }
        korpro_sim::RecordGateValue(static_cast<uint16_t>(kFirstHostGate + gate), value, static_cast<int32_t>(time));
    }
    historyGiven_ = true;
    return true;
}

void Host::Change(size_t gate, bool status, double value) {
    const auto id = static_cast<uint16_t>(kFirstHostGate + gate);
    if (status) {
        korpro_sim::ValueBytes bytes = ValueOf(values_[gate]);
        bytes[0] = static_cast<uint8_t>((bytes[0] & 0xFE) | (value != 0 ? 1 : 0));
        korpro_sim::RaiseStatusChange(id, bytes, InfoNow());
        transcript_.Line("host", "gate " + gates_[gate].name + " (" + std::to_string(id) + ") status " + tools::Number(value));
        return;
    }
    values_[gate] = value;
    korpro_sim::RaiseValueChange(id, ValueOf(value), InfoNow());
    if (!historyGiven_) korpro_sim::RecordGateValue(id, value, sim::CalendarSeconds());
    transcript_.Line("host", "gate " + gates_[gate].name + " (" + std::to_string(id) + ") = " + tools::Number(value));
}

// The gate's next value on a random walk that stays within its value type:
// whole steps of at most 1 for the whole-number types, tenths up to 1 for the others.
double Host::RandomStep(size_t gate) {
    const gatefile::ValueRange range = gatefile::RangeOfValueType(gates_[gate].valueType);
    const int tenths = static_cast<int>(random_() % 21) - 10;
    const double step = range.whole ? (tenths > 3 ? 1 : tenths < -3 ? -1 : 0) : tenths / 10.0;
    return std::clamp(values_[gate] + step, range.low, range.high);
}

void Host::Tick(int64_t nowMs) {
    for (; nextScripted_ < script_.size() && script_[nextScripted_].atMs <= nowMs; ++nextScripted_) {
        Change(script_[nextScripted_].gate, script_[nextScripted_].status, script_[nextScripted_].value);
    }
    if (perSecond_ > 0 && !gates_.empty()) {
        for (; nextRandomMs_ <= nowMs; nextRandomMs_ += 1000 / perSecond_) {
            const size_t gate = random_() % gates_.size();
            Change(gate, false, RandomStep(gate));
        }
    }
    ShowDriverCalls();
}

void Host::ShowDriverCalls() {
    const std::vector<uint8_t> clients = korpro_sim::Clients();
    for (; clientsSeen_ < clients.size(); ++clientsSeen_) {
        transcript_.Line("host call", "Kor5MkClient -> client " + std::to_string(clients[clientsSeen_]));
    }
    const std::vector<uint8_t> removed = korpro_sim::RemovedClients();
    for (; removedSeen_ < removed.size(); ++removedSeen_) {
        transcript_.Line("host call", "Kor5RmClient client " + std::to_string(removed[removedSeen_]));
    }
    const std::vector<korpro_sim::GateRequest> requests = korpro_sim::GateRequests();
    for (; requestsSeen_ < requests.size(); ++requestsSeen_) {
        transcript_.Line("host call", "Kor5RqGateMsg client " + std::to_string(requests[requestsSeen_].clientId) +
                                          ": " + std::to_string(requests[requestsSeen_].gateIds.size()) + " gates");
    }
    const std::vector<korpro_sim::GateValueWrite> writes = korpro_sim::GateValueWrites();
    for (; writesSeen_ < writes.size(); ++writesSeen_) {
        const korpro_sim::GateValueWrite& write = writes[writesSeen_];
        const size_t gate = write.gateId - kFirstHostGate;
        const bool known = write.gateId >= kFirstHostGate && gate < gates_.size();
        if (known) values_[gate] = write.value;
        if (known && !historyGiven_) korpro_sim::RecordGateValue(static_cast<uint16_t>(write.gateId), write.value, sim::CalendarSeconds());
        transcript_.Line("host call", "Kor5PutGateVal gate " + (known ? gates_[gate].name + " " : std::string()) +
                                          "(" + std::to_string(write.gateId) + ") = " + tools::Number(write.value) +
                                          (known ? ", applied" : ", no such gate"));
    }
    const std::vector<korpro_sim::Alert> alerts = korpro_sim::Alerts();
    for (; alertsSeen_ < alerts.size(); ++alertsSeen_) {
        transcript_.Line("host call", "alert from " + alerts[alertsSeen_].source + ": " + alerts[alertsSeen_].text +
                                          " (severity " + std::to_string(alerts[alertsSeen_].severity) + ")");
    }
    const int opens = korpro_sim::HistoryOpenCalls();
    for (; historyOpensSeen_ < opens; ++historyOpensSeen_) transcript_.Line("host call", "history file opened");
}

}  // namespace station
