#include "driver/running.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include "host/korpro.h"
#include "serial/link_capture.h"
#include "serial/port.h"

using enum HostResult;
using enum PortResult;

namespace {

struct ContextRecord {
    const StationContext* ctx;
    // kNotStarted only for a session run without ColdStart: its gate thread.
    ContextState state;
    StartHoldings held;  // a failed idle start: all it took; otherwise the threads
};

// ColdStart and EndVpi of different instances may come from different host
// threads, and gate message threads start on each instance's own thread, so
// the records have a lock of their own.
std::mutex& RecordsMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<ContextRecord>& Records() {
    static std::vector<ContextRecord> records;
    return records;
}

ContextRecord* Find(const StationContext* ctx) {
    std::vector<ContextRecord>& records = Records();
    const auto at =
        std::find_if(records.begin(), records.end(), [ctx](const ContextRecord& r) { return r.ctx == ctx; });
    return at == records.end() ? nullptr : &*at;
}

void Add(StartHoldings* held, void* block) {
    if (block != nullptr) held->memory[held->memoryCount++] = block;
}

// What the block says the context holds: read only while it is the driver's
// (right after a start, or once a running context's threads have stopped).
// The threads are the record's.
StartHoldings HoldingsOf(const StationContext* ctx, const StartHoldings& threads) {
    StartHoldings held;
    held.portEnabled = ctx->portEnabled != 0;
    held.port = LoadShared(ctx->portHandle);
    for (char* number : ctx->phoneNumbers) Add(&held, number);
    Add(&held, ctx->changeBuffer);
    Add(&held, ctx->stationGates);
    Add(&held, ctx->gateIdMap);
    void* optIn[kOptInHeapBlocks];
    const size_t optInCount = OptInHeapBlocks(ctx, optIn);
    for (size_t i = 0; i < optInCount; ++i) Add(&held, optIn[i]);
    if (const OptInSettings* own = OwnedOptIn(ctx)) held.capture = own->linkCapture.run;
    held.answerThread = threads.answerThread;
    held.gateThread = threads.gateThread;
    return held;
}

}  // namespace

ContextState StateOf(const StationContext* ctx) {
    std::lock_guard lock(RecordsMutex());
    const ContextRecord* known = Find(ctx);
    return known != nullptr ? known->state : ContextState::kNotStarted;
}

bool ClaimContext(const StationContext* ctx, StartHoldings* leftovers) {
    std::lock_guard lock(RecordsMutex());
    ContextRecord* known = Find(ctx);
    if (known == nullptr) {
        Records().push_back(ContextRecord{ctx, ContextState::kRunning, {}});
        return true;
    }
    if (known->state == ContextState::kRunning) return false;
    *leftovers = std::exchange(known->held, StartHoldings{});
    known->state = ContextState::kRunning;
    return true;
}

void KeepFailedStart(const StationContext* ctx) {
    std::lock_guard lock(RecordsMutex());
    ContextRecord* known = Find(ctx);
    if (known == nullptr) return;
    known->held = HoldingsOf(ctx, known->held);
    known->state = ContextState::kFailedIdle;
}

void KeepAnswerThread(const StationContext* ctx, platform::ThreadHandle thread) {
    std::lock_guard lock(RecordsMutex());
    if (ContextRecord* known = Find(ctx)) known->held.answerThread = thread;
}

void KeepGateThread(const StationContext* ctx, platform::ThreadHandle thread) {
    platform::ThreadHandle ended;
    {
        std::lock_guard lock(RecordsMutex());
        ContextRecord* known = Find(ctx);
        if (known == nullptr) {
            Records().push_back(ContextRecord{ctx, ContextState::kNotStarted, {}});
            known = &Records().back();
        }
        ended = std::exchange(known->held.gateThread, thread);
    }
    platform::JoinThread(&ended);
}

platform::PortHandle LeftoverPort(const StationContext* ctx) {
    std::lock_guard lock(RecordsMutex());
    const ContextRecord* known = Find(ctx);
    return known != nullptr ? known->held.port : 0;
}

void ForgetLeftoverPort(const StationContext* ctx) {
    std::lock_guard lock(RecordsMutex());
    if (ContextRecord* known = Find(ctx)) known->held.port = 0;
}

StartHoldings ReleaseContext(const StationContext* ctx) {
    std::lock_guard lock(RecordsMutex());
    ContextRecord* known = Find(ctx);
    if (known == nullptr) return {};
    StartHoldings held = known->state == ContextState::kRunning ? HoldingsOf(ctx, known->held) : known->held;
    std::erase_if(Records(), [ctx](const ContextRecord& r) { return r.ctx == ctx; });
    return held;
}

void GiveBack(StartHoldings* held, PortRelease how) {
    platform::JoinThread(&held->answerThread);
    platform::JoinThread(&held->gateThread);
    // Nothing reads or writes the port any more: the capture is whole.
    EndLinkCapture(std::exchange(held->capture, nullptr));
    for (size_t i = 0; i < held->memoryCount; ++i) std::free(held->memory[i]);
    held->memoryCount = 0;
    if (how == PortRelease::kAsCloseCom) {
        if (held->portEnabled) CloseComPort(held->port);
    } else if (held->port != 0) {
        ClosePort(held->port);
    }
    held->port = 0;
}

HostResult CloseComPort(platform::PortHandle handle) {
    if (handle != 0 && ClosePort(handle) != PortResult::kPortOk) {
        err(kLogInfo, "TELDRV> CloseCom() exited 2");
        return HostResult::kHostNotAvailable;
    }
    err(kLogInfo, "TELDRV> CloseCom() exited 0");
    return HostResult::kHostDone;
}
