// Station tables and a change buffer for on-line transfer tests, owned by the
// test: station gate i has host id kFirstHostId + i.
#pragma once

#include <cstdint>
#include <vector>

#include "capture/gate_change.h"
#include "config/station_gates.h"
#include "driver/context.h"
#include "platform/time.h"
#include "sim/korpro_online.h"

namespace online_test {

constexpr uint16_t kFirstHostId = 100;

struct StationTables {
    std::vector<StationGate> gates;
    std::vector<int16_t> map;
    std::vector<GateChange> buffer;

    // count gates of the given value types (cycled), a buffer of capacity records.
    void Install(StationContext* ctx, uint16_t count, uint16_t capacity, std::vector<uint8_t> valueTypes = {0}) {
        gates.assign(count, StationGate{});
        map.assign(size_t{kFirstHostId} + count + 1, -1);
        for (uint16_t i = 0; i < count; ++i) {
            gates[i].hostGateId = static_cast<uint16_t>(kFirstHostId + i);
            gates[i].valueType = valueTypes[i % valueTypes.size()];
            map[kFirstHostId + i] = static_cast<int16_t>(i);
        }
        buffer.assign(capacity, GateChange{});
        ctx->stationGates = gates.data();
        ctx->stationGateCount = count;
        ctx->gateIdMap = map.data();
        ctx->gateIdMapSize = static_cast<uint16_t>(map.size());
        ctx->changeBuffer = capacity != 0 ? buffer.data() : nullptr;
        ctx->changeCapacity = capacity;
        ctx->changeRead = 0;
        ctx->changeWrite = 0;
    }
};

// Value bytes that carry a serial number, so that order and loss show.
inline korpro_sim::ValueBytes Numbered(uint32_t n) {
    return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
            static_cast<uint8_t>(n >> 24), 0xA5, 0x5A, static_cast<uint8_t>(n * 7), 0x3C};
}
inline uint32_t NumberOf(const std::array<uint8_t, 8>& value) {
    return value[0] | (value[1] << 8) | (value[2] << 16) | (static_cast<uint32_t>(value[3]) << 24);
}

// On the virtual clock: returns once every participant (the gate message
// thread included) has finished with what it had and waits again.
inline void LetThreadsRun() { platform::Sleep(1); }

// Stops a running gate message thread and waits until it has ended.
inline bool StopGateThread(StationContext* ctx, uint32_t limitMs = 1000) {
    StoreShared<uint8_t>(ctx->onlineActive, 0);
    for (uint32_t waited = 0; LoadShared(ctx->onlineThreadRunning) != 0; waited += 10) {
        if (waited >= limitMs) return false;
        platform::Sleep(10);
    }
    return true;
}

}  // namespace online_test
