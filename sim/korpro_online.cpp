// Host clients and gate messages of the simulated host runtime. All state
// lives under the simulated world's lock, so a client's wait runs on the
// world's clock: an empty wait costs virtual time only.
#include "sim/korpro_online.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include "host/korpro.h"
#include "sim/korpro_parts.h"
#include "sim/world.h"

namespace korpro_sim {
namespace {

constexpr size_t kMessageSize = 28;
using Message = std::array<uint8_t, kMessageSize>;

struct Client {
    std::set<uint32_t> gates;
    std::deque<Message> queue;
    int waits = 0;  // its Kor5WaitMsg calls
};

struct Forced {
    bool armed = false;
    uint32_t result = 0;
    int after = 0;
    int times = 0;
    int calls = 0;
};

struct OnlineState {
    std::map<uint8_t, Client> clients;
    std::vector<uint8_t> order;  // registration order of the ids in clients
    uint8_t nextId = 1;
    std::vector<uint8_t> removed;
    std::vector<GateRequest> requests;
    std::vector<GateValueWrite> writes;
    Forced forced[4];
    int waitCalls = 0;
};

// Guarded by sim::WorldMutex().
OnlineState& S() {
    static OnlineState state;
    return state;
}

// Whether this call answers a forced result instead of doing its work.
bool TakeForced(OnlineCall call, uint32_t* result) {
    Forced& forced = S().forced[static_cast<int>(call)];
    ++forced.calls;
    if (!forced.armed || forced.calls <= forced.after || forced.times == 0) return false;
    if (forced.times > 0) --forced.times;
    *result = forced.result;
    return true;
}

Message Encode(uint16_t type, uint16_t gateId, const ValueBytes& value, const InfoBytes& info) {
    Message message;
    message.fill(kUnreadMessageByte);
    message[0] = static_cast<uint8_t>(type);
    message[1] = static_cast<uint8_t>(type >> 8);
    message[4] = static_cast<uint8_t>(gateId);
    message[5] = static_cast<uint8_t>(gateId >> 8);
    std::copy(info.begin(), info.end(), message.begin() + 8);
    std::copy(value.begin(), value.end(), message.begin() + 16);
    return message;
}

void ToSubscribers(sim::WorldLock& lock, const Message& message, uint16_t gateId) {
    for (auto& [id, client] : S().clients) {
        if (client.gates.count(gateId) != 0) client.queue.push_back(message);
    }
    sim::Notify(lock);
}

}  // namespace

void ResetOnline() {
    sim::WorldLock lock(sim::WorldMutex());
    S() = OnlineState{};
    sim::Notify(lock);
}

void ForceResult(OnlineCall call, uint32_t result, int afterCalls, int times) {
    sim::WorldLock lock(sim::WorldMutex());
    S().forced[static_cast<int>(call)] = Forced{true, result, afterCalls, times, 0};
}

void SetNextClientId(uint8_t id) {
    sim::WorldLock lock(sim::WorldMutex());
    S().nextId = id;
}

void RaiseValueChange(uint16_t gateId, const ValueBytes& value, const InfoBytes& info) {
    sim::WorldLock lock(sim::WorldMutex());
    ToSubscribers(lock, Encode(kMessageValue, gateId, value, info), gateId);
}

void RaiseStatusChange(uint16_t gateId, const ValueBytes& value, const InfoBytes& info) {
    sim::WorldLock lock(sim::WorldMutex());
    ToSubscribers(lock, Encode(kMessageStatus, gateId, value, info), gateId);
}

void SendMessageToAll(uint16_t type, uint16_t gateId, const ValueBytes& value, const InfoBytes& info) {
    sim::WorldLock lock(sim::WorldMutex());
    const Message message = Encode(type, gateId, value, info);
    for (auto& [id, client] : S().clients) client.queue.push_back(message);
    sim::Notify(lock);
}

std::vector<uint8_t> Clients() {
    sim::WorldLock lock(sim::WorldMutex());
    return S().order;
}

std::vector<uint8_t> RemovedClients() {
    sim::WorldLock lock(sim::WorldMutex());
    return S().removed;
}

std::vector<GateRequest> GateRequests() {
    sim::WorldLock lock(sim::WorldMutex());
    return S().requests;
}

std::vector<GateValueWrite> GateValueWrites() {
    sim::WorldLock lock(sim::WorldMutex());
    return S().writes;
}

void ClearGateValueWrites() {
    sim::WorldLock lock(sim::WorldMutex());
    S().writes.clear();
}

size_t PendingMessages(uint8_t clientId) {
    sim::WorldLock lock(sim::WorldMutex());
    auto found = S().clients.find(clientId);
    return found == S().clients.end() ? 0 : found->second.queue.size();
}

int WaitCalls() {
    sim::WorldLock lock(sim::WorldMutex());
    return S().waitCalls;
}

bool AwaitMessagesHandled(uint8_t clientId, int64_t timeoutMs) {
    sim::WorldLock lock(sim::WorldMutex());
    const int64_t deadline = sim::NowMsLocked(lock) + timeoutMs;
    auto client = [clientId]() -> Client* {
        auto found = S().clients.find(clientId);
        return found == S().clients.end() ? nullptr : &found->second;
    };
    if (!sim::WaitUntil(lock, [&] { return client() == nullptr || client()->queue.empty(); }, deadline)) return false;
    if (client() == nullptr) return false;
    // The wait that took the last message is counted already; the next one
    // comes once the client has dealt with it.
    const int taken = client()->waits;
    return sim::WaitUntil(lock, [&] { return client() != nullptr && client()->waits > taken; }, deadline);
}

}  // namespace korpro_sim

using korpro_sim::OnlineCall;
using korpro_sim::S;

extern "C" {

uint32_t Kor5MkClient(const char*, uint32_t, uint32_t, uint8_t* clientId) {
    sim::WorldLock lock(sim::WorldMutex());
    uint32_t forced = 0;
    if (korpro_sim::TakeForced(OnlineCall::MkClient, &forced)) return forced;
    uint8_t id = S().nextId;
    while (S().clients.count(id) != 0) ++id;
    S().nextId = static_cast<uint8_t>(id + 1);
    S().clients[id];
    S().order.push_back(id);
    *clientId = id;
    return 0;
}

uint32_t Kor5RqGateMsg(uint8_t clientId, uint32_t count, const uint32_t* gateIds, uint32_t kind) {
    sim::WorldLock lock(sim::WorldMutex());
    korpro_sim::GateRequest request{clientId, {}, kind};
    if (count != 0) request.gateIds.assign(gateIds, gateIds + count);
    S().requests.push_back(request);
    uint32_t forced = 0;
    if (korpro_sim::TakeForced(OnlineCall::RqGateMsg, &forced)) return forced;
    auto found = S().clients.find(clientId);
    if (found == S().clients.end()) return korpro_sim::kNoSuchClient;
    found->second.gates.insert(request.gateIds.begin(), request.gateIds.end());
    return 0;
}

uint32_t Kor5WaitMsg(uint8_t clientId, void* message, uint32_t timeout) {
    sim::WorldLock lock(sim::WorldMutex());
    ++S().waitCalls;
    const int64_t deadline = sim::NowMsLocked(lock) + timeout;
    uint32_t forced = 0;
    if (korpro_sim::TakeForced(OnlineCall::WaitMsg, &forced)) {
        if (forced == 0 || forced == 4) sim::WaitUntil(lock, [] { return false; }, deadline);
        return forced;
    }
    if (S().clients.count(clientId) == 0) return korpro_sim::kNoSuchClient;
    ++S().clients[clientId].waits;
    sim::Notify(lock);
    auto ready = [&] {
        auto found = S().clients.find(clientId);
        return found == S().clients.end() || !found->second.queue.empty();
    };
    sim::WaitUntil(lock, ready, deadline);
    auto found = S().clients.find(clientId);
    if (found == S().clients.end()) return korpro_sim::kNoSuchClient;
    if (found->second.queue.empty()) return 0;
    std::memcpy(message, found->second.queue.front().data(), korpro_sim::kMessageSize);
    found->second.queue.pop_front();
    sim::Notify(lock);
    return korpro_sim::kMessageDelivered;
}

uint32_t Kor5RmClient(uint8_t clientId) {
    sim::WorldLock lock(sim::WorldMutex());
    S().removed.push_back(clientId);
    if (S().clients.erase(clientId) != 0) std::erase(S().order, clientId);
    sim::Notify(lock);
    return 0;
}

uint32_t Kor5PutGateVal(uint32_t, uint32_t gateId, uint32_t, double value, uint32_t, uint32_t) {
    // The host stamps the change it raises with the time of the write.
    const uint32_t now = static_cast<uint32_t>(sim::CalendarSeconds());
    sim::WorldLock lock(sim::WorldMutex());
    S().writes.push_back({gateId, value});
    uint32_t forced = 0;
    if (korpro_sim::TakeForced(OnlineCall::PutGateVal, &forced)) return forced;
    korpro_sim::ValueBytes bytes;
    std::memcpy(bytes.data(), &value, bytes.size());
    const korpro_sim::InfoBytes info = {static_cast<uint8_t>(now), static_cast<uint8_t>(now >> 8),
                                        static_cast<uint8_t>(now >> 16), static_cast<uint8_t>(now >> 24), 0, 0};
    if (gateId <= 0xFFFF) {
        korpro_sim::ToSubscribers(lock, korpro_sim::Encode(korpro_sim::kMessageValue, static_cast<uint16_t>(gateId),
                                                           bytes, info),
                                  static_cast<uint16_t>(gateId));
    }
    return 0;
}

}  // extern "C"
