// Host clients, gate messages and gate writes of the simulated host runtime,
// as tests and demo hosts drive and inspect them. Every waiting call runs on
// the simulated world's clock (sim/world.h).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/korpro_sim.h"

namespace korpro_sim {

// Message types the host sends to a client.
constexpr uint16_t kMessageStop = 0;
constexpr uint16_t kMessageValue = 1;
constexpr uint16_t kMessageStatus = 3;
constexpr uint16_t kMessageLost = 11;

// Results of the simulated host.
constexpr uint32_t kMessageDelivered = 0x8000;
constexpr uint32_t kNoSuchClient = 3;

using ValueBytes = std::array<uint8_t, 8>;  // message bytes 16-23
using InfoBytes = std::array<uint8_t, 6>;   // message bytes 8-13

// One Kor5RqGateMsg call as the host received it.
struct GateRequest {
    uint8_t clientId;
    std::vector<uint32_t> gateIds;
    uint32_t kind;  // the last argument
    bool operator==(const GateRequest&) const = default;
};

// One Kor5PutGateVal call.
struct GateValueWrite {
    uint32_t gateId;
    double value;
    bool operator==(const GateValueWrite&) const = default;
};

// The host functions whose results a test can force.
enum class OnlineCall { MkClient, RqGateMsg, WaitMsg, PutGateVal };

// From the (afterCalls + 1)-th call on, `times` calls of `call` (every later
// one when times < 0) answer `result` instead of doing their work. A forced
// Kor5WaitMsg result of 0 or 4 comes after its time-out, as a real empty wait
// would; any other comes at once.
KORPRO_SIM_API void ForceResult(OnlineCall call, uint32_t result, int afterCalls = 0, int times = -1);
// The id Kor5MkClient gives the next client (ids then count up).
KORPRO_SIM_API void SetNextClientId(uint8_t id);

// A value change of a host gate to every client that asked for the gate.
KORPRO_SIM_API void RaiseValueChange(uint16_t gateId, const ValueBytes& value, const InfoBytes& info);
// A status change: `value` is what the host leaves in bytes 16-23; bit 0 of
// its first byte is the status.
KORPRO_SIM_API void RaiseStatusChange(uint16_t gateId, const ValueBytes& value, const InfoBytes& info);
// A message of any type with the given fields to every registered client.
KORPRO_SIM_API void SendMessageToAll(uint16_t type, uint16_t gateId = 0, const ValueBytes& value = {},
                                     const InfoBytes& info = {});
// Bytes of a message the driver must not read (2-3, 6-7, 14-15, 24-27) carry this.
constexpr uint8_t kUnreadMessageByte = 0xEE;

// Registered clients, by id, in registration order.
KORPRO_SIM_API std::vector<uint8_t> Clients();
// Every id Kor5RmClient was called with, in order.
KORPRO_SIM_API std::vector<uint8_t> RemovedClients();
KORPRO_SIM_API std::vector<GateRequest> GateRequests();
KORPRO_SIM_API std::vector<GateValueWrite> GateValueWrites();
KORPRO_SIM_API void ClearGateValueWrites();
// Messages raised for a client and not yet taken by Kor5WaitMsg.
KORPRO_SIM_API size_t PendingMessages(uint8_t clientId);
KORPRO_SIM_API int WaitCalls();
// Waits up to timeoutMs, on the world's clock, until the client has taken
// every message raised for it and asked for the next: it has dealt with the
// ones it took. False on time-out, or when the client is gone.
KORPRO_SIM_API bool AwaitMessagesHandled(uint8_t clientId, int64_t timeoutMs);

}  // namespace korpro_sim
