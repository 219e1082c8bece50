// Start-up and shutdown of the driver.
#include <cstdlib>
#include <cstring>

#include "calls/auto_answer.h"
#include "capture/gate_change.h"
#include "common/alloc_hook.h"
#include "config/init_file.h"
#include "driver/context.h"
#include "driver/operations.h"
#include "driver/running.h"
#include "host/korpro.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "serial/link_capture.h"
#include "serial/port.h"

using enum HostResult;
using enum PortResult;

namespace {

constexpr uint32_t kEndPollMs = 100;

void RunAutoAnswerThread(void* arg) { AutoAnswerThread(static_cast<StationContext*>(arg)); }

void WaitWhileSet(uint8_t& flag) {
    while (LoadShared(flag) != 0) platform::Sleep(kEndPollMs);
}

// Opens the context's port with its settings; the handle, or 0 on failure.
platform::PortHandle OpenCom(StationContext* ctx) {
    platform::PortHandle handle = 0;
    if (OpenStationPort(ctx, &handle) != kPortOk) {
        err(kLogError, "TELDRV> OpenCom() exited with error");
        return 0;
    }
    err(kLogInfo, "TELDRV> OpenCom() exited OK, file handle %u", static_cast<unsigned>(handle));
    return handle;
}

enum class StartOutcome : uint8_t { kStarted, kFailedIdle, kFailedRunning };

// The last steps of a start with a port: the change buffer and the thread.
// Their order matters:
// - the buffer is allocated before the thread starts, so the thread never
//   sees changeBuffer change under it (a store after the start would race
//   with the thread's reads);
// - the outcomes are still those of starting the thread first: a thread that
//   cannot start is what gets reported, and the buffer goes back; a missing
//   buffer fails the start only with the thread running, and leaves it so;
// - answerThreadRunning is set before the start, so that an EndVpi that
//   comes before the thread has run still waits for it.
StartOutcome StartThreadAndBuffer(StationContext* ctx) {
    const size_t bufferBytes = size_t{ctx->changeCapacity} * sizeof(GateChange);
    ctx->changeBuffer = static_cast<GateChange*>(driverAlloc(bufferBytes));
    StoreShared<uint8_t>(ctx->answerThreadRunning, 1);
    platform::ThreadHandle thread;
    if (platform::StartThread(RunAutoAnswerThread, ctx, kAutoAnswerStackSize, &thread) != 0) {
        StoreShared<uint8_t>(ctx->answerThreadRunning, 0);
        std::free(ctx->changeBuffer);
        ctx->changeBuffer = nullptr;
        err(kLogError, "TELDRV> ColdStart() ERROR, starting Auto Answer thread");
        return StartOutcome::kFailedIdle;
    }
    KeepAnswerThread(ctx, thread);
    if (ctx->changeBuffer == nullptr) {
        err(kLogError, "TELDRV> ColdStart() ERROR, allocating on-line gate buffer (%u bytes)",
            static_cast<unsigned>(bufferBytes));
        return StartOutcome::kFailedRunning;
    }
    return StartOutcome::kStarted;
}

// Steps of a start with a port: open it, check the station, then the thread
// and the change buffer.
StartOutcome StartWithPort(StationContext* ctx) {
    const platform::PortHandle handle = OpenCom(ctx);
    if (handle == 0) {
        err(kLogError, "TELDRV> ColdStart() unable to open %s port", ctx->portName);
        return StartOutcome::kFailedIdle;
    }
    err(kLogInfo, "TELDRV> ColdStart() port %s opened, file handle %u", ctx->portName, static_cast<unsigned>(handle));
    StoreShared(ctx->portHandle, handle);

    if (ctx->stationGates == nullptr || ctx->gateIdMap == nullptr) {
        err(kLogError, "TELDRV> ColdStart() ERROR, station was not defined or not defined correctly");
        return StartOutcome::kFailedIdle;
    }
    return StartThreadAndBuffer(ctx);
}

// The auto-answer thread closes a lost port and opens it again on its own
// (PORT_REOPEN_SEC): the handle is taken over whole, so that only one of the
// two closes it, and the thread is told first that this port stays closed.
HostResult CloseRunningPort(StationContext* ctx) {
    KeepPortClosed(ctx);
    const platform::PortHandle handle =
        ExchangeShared<platform::PortHandle>(ctx->portHandle, 0, std::memory_order_seq_cst);
    const HostResult result = CloseComPort(handle);
    // A port that refuses to close keeps its handle.
    if (result != kHostDone) StoreShared(ctx->portHandle, handle);
    return result;
}

// A second start would drop the first one's memory and open the port twice,
// so the context is claimed first; one whose last start failed with nothing
// running gives back what that start held. False when it is running.
bool ClaimForStart(const StationContext* ctx) {
    StartHoldings leftovers;
    if (!ClaimContext(ctx, &leftovers)) {
        err(kLogError, "TELDRV> ColdStart() error, driver already started on this context, EndVpi() must come first");
        return false;
    }
    GiveBack(&leftovers, PortRelease::kSilent);
    return true;
}

// The host's port parameters, then the defaults for everything else.
void TakeStartParams(StationContext* ctx, const VpiCallBlock* call) {
    const auto* params = static_cast<const ColdStartParams*>(call->parameters);
    // Whether the word opened a port, not its low byte: EndVpi decides on it.
    ctx->portEnabled = params->portEnabled != 0 ? 1 : 0;
    // The block comes uninitialised from the host; no port is ours yet.
    StoreShared<platform::PortHandle>(ctx->portHandle, 0);
    std::memcpy(ctx->portName, params->portName, sizeof ctx->portName);
    ctx->portName[sizeof ctx->portName - 1] = '\0';
    ctx->baudRate = params->baudRate;
    ctx->dataBits = params->dataBits;
    ctx->stopBits = params->stopBits;
    ctx->parity = params->parity;
    ctx->portOptions = kPortOptionsDriver;
    ctx->driverNumber = call->driverNumber;
    SetContextDefaults(ctx);
}

}  // namespace

HostResult ColdStart(VpiCallBlock* call) {
    auto* ctx = static_cast<StationContext*>(call->context);
    const auto* params = static_cast<const ColdStartParams*>(call->parameters);
    if (!ClaimForStart(ctx)) return kHostRefused;
    StoreShared<uint8_t>(stopFlag, 0);
    err(kLogInfo, "TELDRV> version compiled on %s at time %s", __DATE__, __TIME__);
    err(kLogError, "TELDRV> *********************** BETA VERSION *************************");
    TakeStartParams(ctx, call);
    ReadInitFile(call);

    if (params->portEnabled != 0) {
        StartLinkCapture(ctx);
        const StartOutcome outcome = StartWithPort(ctx);
        if (outcome == StartOutcome::kFailedIdle) KeepFailedStart(ctx);
        if (outcome != StartOutcome::kStarted) return kHostRefused;
    }
    err(kLogInfo, "TELDRV> ColdStart() exit OK");
    return kHostDone;
}

HostResult CloseCom(VpiCallBlock* call) {
    auto* ctx = static_cast<StationContext*>(call->context);
    // Before ColdStart the block's handle is whatever the host left there;
    // after a start that failed with nothing running the port is the
    // module's, the block the host's again.
    const ContextState state = StateOf(ctx);
    if (state == ContextState::kRunning) return CloseRunningPort(ctx);
    const platform::PortHandle handle = state == ContextState::kFailedIdle ? LeftoverPort(ctx) : 0;
    const HostResult result = CloseComPort(handle);
    if (handle != 0 && result == kHostDone) ForgetLeftoverPort(ctx);
    return result;
}

HostResult EndVpi(VpiCallBlock* call) {
    auto* ctx = static_cast<StationContext*>(call->context);
    const ContextState state = StateOf(ctx);
    const bool running = state == ContextState::kRunning;
    if (running) StoreShared<uint8_t>(ctx->onlineActive, 0);
    StoreShared<uint8_t>(stopFlag, 1);
    // Only a running context's block is read: one ColdStart never took on
    // holds nothing of ours, and a failed one's holdings are in the record.
    if (running) {
        WaitWhileSet(ctx->answerThreadRunning);
        // The gate message thread uses the id map and the change buffer.
        WaitWhileSet(ctx->onlineThreadRunning);
    }
    if (state != ContextState::kNotStarted) {
        // The threads are joined before anything goes: once EndVpi has
        // returned, none of them runs the library's code any more.
        StartHoldings held = ReleaseContext(ctx);
        GiveBack(&held, PortRelease::kAsCloseCom);
    }
    err(kLogInfo, "TELDRV> EndVpi() exited");
    return kHostDone;
}
