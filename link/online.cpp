// FE_REQ_START_ONLINE and FE_REQ_CONT_ONLINE: the central station subscribes
// to the station's gate changes, collects them and writes single gates.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <thread>

#include "capture/change_buffer.h"
#include "capture/gate_change.h"
#include "capture/gate_thread.h"
#include "common/alloc_hook.h"
#include "common/byte_order.h"
#include "config/remote_access.h"
#include "config/station_gates.h"
#include "driver/running.h"
#include "host/korpro.h"
#include "link/requests.h"
#include "platform/thread.h"
#include "platform/time.h"

namespace {

constexpr uint8_t kStartStarted = 0;
constexpr uint8_t kStartFailed = 2;
constexpr uint32_t kGateBatch = 64;
constexpr uint32_t kGateMessageKind = 5;
constexpr uint8_t kNoClient = 255;
constexpr uint8_t kWriteBadGateNumber = 128;
constexpr uint8_t kWriteNotDone = 0;

// An earlier thread notices a cleared onlineActive after its current wait.
constexpr uint32_t kEndPollMs = 10;
constexpr uint32_t kEndWaitMs = kWaitTimeoutMs + 50;
constexpr unsigned kBeginSpins = 10000;

// The change buffer must never get two writers: a thread of an earlier
// start is stopped first. False when it has not ended within one wait.
bool StopEarlierThread(StationContext* ctx) {
    if (LoadShared(ctx->onlineThreadRunning) == 0) return true;
    StoreShared<uint8_t>(ctx->onlineActive, 0);
    for (uint32_t waited = 0; waited < kEndWaitMs; waited += kEndPollMs) {
        platform::Sleep(kEndPollMs);
        if (LoadShared(ctx->onlineThreadRunning) == 0) return true;
    }
    return false;
}

// The thread publishes onlineActive after it has reset the indices. Waiting
// for that keeps the next drain off the reset, and lets a clean-up that
// clears onlineActive reach the thread. The short sleeps after the spins let
// a (virtual) clock move should the thread have begun and ended meanwhile.
void AwaitThreadBegin(StationContext* ctx) {
    for (unsigned spins = 0; LoadShared(ctx->onlineActive) == 0 && LoadShared(ctx->onlineThreadRunning) != 0;
         ++spins) {
        if (spins < kBeginSpins) {
            std::this_thread::yield();
        } else {
            platform::Sleep(1);
        }
    }
}

// Asks the host for the messages of every station gate in batches of up to
// 64 ids. False (with its log line) when the table or a batch failed.
bool SubscribeStationGates(StationContext* ctx, uint8_t clientId) {
    const uint16_t count = ctx->stationGates != nullptr ? ctx->stationGateCount : 0;
    const size_t tableEntries = std::max<size_t>(std::min<size_t>(count, kGateBatch), 1);
    // The driver's allocator hook, so that a refused allocation can be tested.
    auto* table = static_cast<uint32_t*>(driverAlloc(tableEntries * sizeof(uint32_t)));
    if (table == nullptr) {
        err(kLogInfo, "TELDRV> DoTheCom() error, allocating gate id table");
        return false;
    }
    uint16_t next = 0;
    uint16_t result = 0;
    do {
        uint32_t filled = 0;
        // An unknown host id is kUnknownHostGate and so goes out as 65535.
        while (filled < kGateBatch && next < count) table[filled++] = ctx->stationGates[next++].hostGateId;
        result = static_cast<uint16_t>(Kor5RqGateMsg(clientId, filled, table, kGateMessageKind));
    } while (result == 0 && next < count);
    std::free(table);
    if (result != 0) {
        err(kLogInfo, "TELDRV> DoTheCom() error, requesting gate id's, rc: %u", static_cast<unsigned>(result));
        return false;
    }
    return true;
}

// The value of an 8-byte continue request written into its gate; returns
// the write status.
uint8_t RemoteWrite(StationContext* ctx, const uint8_t* body) {
    const uint16_t gateNumber = Le16(body + 2);
    if (ctx->stationGates == nullptr || gateNumber >= ctx->stationGateCount) {
        err(kLogInfo, "TELDRV> DoTheCom() error, write request (remote) for gate number %u",
            static_cast<unsigned>(gateNumber));
        return kWriteBadGateNumber;
    }
    const StationGate& gate = ctx->stationGates[gateNumber];
    // 128 already tells the central that nothing was written; 0 would read
    // as the host's acceptance.
    if (!RemoteWriteAllowed(ctx, gate)) {
        err(kLogError, "TELDRV> DoTheCom() WARNING, remote write to gate %u '%s' refused by REMOTE_WRITE",
            static_cast<unsigned>(gateNumber), gate.name);
        return kWriteBadGateNumber;
    }
    double value = 0;
    switch (gate.valueType) {
        case 1: value = static_cast<int16_t>(Le16(body + 6)); break;
        case 3: value = std::bit_cast<float>(Le32(body + 4)); break;
        case 4: value = static_cast<int32_t>(Le32(body + 4)); break;
        case 5: value = Le32(body + 4); break;
        case 0:
        case 2:
        case 6: value = Le16(body + 6); break;
        default: return kWriteNotDone;
    }
    return static_cast<uint8_t>(Kor5PutGateVal(0, gate.hostGateId, 1, value, 0, 0) & 0xFF);
}

// Registers the driver as a host client; false (with its log line) when the
// host refuses.
bool RegisterClient(uint8_t* clientId) {
    const auto registered = static_cast<uint16_t>(Kor5MkClient("TELDRVEM", 1, 0, clientId));
    if (registered == 0) return true;
    err(kLogInfo, "TELDRV> DoTheCom() error, registering Korpro, rc: %u", static_cast<unsigned>(registered));
    // Whatever the host left in the id is what gets removed.
    Kor5RmClient(*clientId);
    return false;
}

// Starts the gate message thread for the client; false (with its log line)
// when it cannot be started.
bool StartGateThread(StationContext* ctx, uint8_t clientId) {
    // Tracked explicitly, so that a failure right after the start stops this
    // thread and removes the client exactly once.
    StoreShared<uint8_t>(ctx->onlineThreadRunning, 1);
    platform::ThreadHandle thread;
    if (platform::StartThread(OnLineGtMsgThreadEntry, ctx, kGateThreadStack, &thread) == 0) {
        // Joined, with the one before it, by the module's record of ctx.
        KeepGateThread(ctx, thread);
        return true;
    }
    StoreShared<uint8_t>(ctx->onlineThreadRunning, 0);
    err(kLogError, "TELDRV> DoTheCom() ERROR, starting OnLineGtMsgThread");
    // The client would have no reader.
    Kor5RmClient(clientId);
    return false;
}

// The steps of an on-line start, in order: the change buffer, no earlier
// thread, the client, its thread, the subscriptions. Gives the status byte
// of the response.
uint8_t StartOnline(StationContext* ctx) {
    if (ctx->changeBuffer == nullptr) {
        err(kLogInfo, "TELDRV> DoTheCom() error, FE_REQ_START_ONLINE without on-line gate buffer");
        return kStartFailed;
    }
    if (!StopEarlierThread(ctx)) {
        err(kLogError, "TELDRV> DoTheCom() ERROR, OnLineGtMsgThread of the last start still running");
        return kStartFailed;
    }
    uint8_t clientId = kNoClient;
    if (!RegisterClient(&clientId)) return kStartFailed;
    // No thread runs now, so nobody reads clientId while it changes.
    ctx->clientId = clientId;
    if (!StartGateThread(ctx, clientId)) return kStartFailed;
    AwaitThreadBegin(ctx);
    if (!SubscribeStationGates(ctx, clientId)) {
        // The thread removes its client when it ends.
        StoreShared<uint8_t>(ctx->onlineActive, 0);
        return kStartFailed;
    }
    return kStartStarted;
}

}  // namespace

void RequestStartOnline(StationContext* ctx, const uint8_t*, uint16_t length, SessionState* session) {
    if (!LengthAccepted(FE_REQ_START_ONLINE, length, 1, session)) return;
    responseBuffer[0] = FE_REQ_START_ONLINE + kResponseCodeOffset;
    session->responseLength = 2;
    session->lastSequence = 0;
    responseBuffer[1] = StartOnline(ctx);
}

void RequestContOnline(StationContext* ctx, const uint8_t* body, uint16_t length, SessionState* session) {
    // 8 bytes: a poll that carries a remote write; the message names the plain poll's 2.
    if (length != 8 && !LengthAccepted(FE_REQ_CONT_ONLINE, length, 2, session)) return;
    responseBuffer[0] = FE_REQ_CONT_ONLINE + kResponseCodeOffset;
    responseBuffer[1] = 0;
    const uint8_t sequence = body[1];
    if (sequence == session->lastSequence) {
        // The central lost our answer: it goes again, the work is not redone.
        session->responseLength = session->previousLength;
        err(kLogRetry, "TELDRV> info, retry sent");
    } else {
        session->responseLength = 2;
        if (length == 8) responseBuffer[session->responseLength++] = RemoteWrite(ctx, body);
        const uint16_t records = GetFromBuffer(ctx, responseBuffer + session->responseLength, kMaxDrainRecords);
        session->responseLength = static_cast<uint16_t>(session->responseLength + records * sizeof(GateChange));
        session->previousLength = session->responseLength;
    }
    session->lastSequence = sequence;
}
