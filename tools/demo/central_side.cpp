#include "tools/demo/central_side.h"

#include <cstring>

#include "platform/time.h"
#include "sim/central_history.h"
#include "sim/korpro_history.h"
#include "sim/korpro_online.h"
#include "sim/korpro_sim.h"
#include "sim/world.h"
#include "tools/shared/civil_time.h"
#include "tools/shared/text.h"

namespace demo {

using tools::Format;
using tools::Number;

namespace {

std::string Tag(uint16_t tag) { return Format("tag %04X", tag); }

}  // namespace

bool CentralSide::Ask(const char* what, const sim::Bytes& body) {
    Add(std::string("central  ->  FEC ") + Tag(static_cast<uint16_t>(central_.lastTag() + 1)) + " " + what + "  [" +
        sim::Hex(body) + "]");
    const std::optional<sim::Bytes> answer = central_.Ask(body);
    if (!answer) {
        Add("central      no answer");
        return false;
    }
    Add(std::string("station  ->  FER ") + Tag(central_.lastTag()) + " answer  [" + sim::Hex(*answer) + "]");
    return true;
}

bool CentralSide::Poll() { return Identify() && Ask("FE_REQ_HANG_UP", sim::HangUpRequest()); }

bool CentralSide::PollWithData(uint32_t historyFrom) {
    return Identify() && PollOnline() && CollectHistory(historyFrom) && Ask("FE_REQ_HANG_UP", sim::HangUpRequest());
}

bool CentralSide::Identify() {
    const tools::Civil now = tools::CivilFromSeconds(sim::CalendarSeconds());
    const platform::SystemTime utc{static_cast<uint16_t>(now.year), static_cast<uint16_t>(now.month),
                                   static_cast<uint16_t>(now.weekday), static_cast<uint16_t>(now.day),
                                   static_cast<uint16_t>(now.hour), static_cast<uint16_t>(now.minute),
                                   static_cast<uint16_t>(now.second), 0};
    return Ask("FE_REQ_STATION", sim::StationRequest()) && Ask("FE_REQ_SYNC_CLOCK", sim::SyncClockRequest(utc));
}

// On-line transfer: the host's changes, a poll, a poll that writes 42 to
// station gate 0 (TANK_LEVEL, a signed 16-bit value), and a poll for what the
// write changed.
bool CentralSide::PollOnline() {
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
    if (!ShowChanges("FE_REQ_CONT_ONLINE with write gate 0 = 42", online.PollWrite(0, sim::WriteValue16(42)), online)) {
        return false;
    }
    for (const korpro_sim::GateValueWrite& write : korpro_sim::GateValueWrites()) {
        Add("host         Kor5PutGateVal gate " + std::to_string(write.gateId) + " = " + Number(write.value));
    }
    sim::SleepMs(1000);
    return ShowChanges("FE_REQ_CONT_ONLINE", online.Poll(), online);
}

bool CentralSide::CollectHistory(uint32_t historyFrom) {
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
    return true;
}

bool CentralSide::ShowChanges(const std::string& what, const std::optional<sim::OnlineAnswer>& answer,
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

bool CentralSide::Failed(const std::string& what, const std::string& why) {
    Add("central      " + what + " failed: " + why);
    return false;
}

void CentralSide::Add(const std::string& text) {
    watch_.Collect();
    entries.push_back({sim::NowMs(), 1, text});
}

}  // namespace demo
