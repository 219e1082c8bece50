// What the module knows about the contexts it runs: a host block's contents
// before ColdStart cannot be trusted, nor after a start that failed with
// nothing running (the host may free the block and get it back with other
// contents), so the module keeps its own record of each context that
// ColdStart has taken on and EndVpi has not yet released, with what the
// block has no room for: the handles of the threads started for it.
#pragma once

#include <array>
#include <cstddef>

#include "config/opt_in.h"
#include "driver/context.h"
#include "driver/operations.h"
#include "platform/thread.h"

// Everything a start takes, in one list: the failed-start record, a retried
// start and EndVpi give back exactly this, through GiveBack.
struct StartHoldings {
    bool portEnabled = false;  // EndVpi closes the port as CloseCom does
    platform::PortHandle port = 0;
    // Heap blocks in the order they are freed: the phone numbers, the change
    // buffer, the station gates, the gate id map, the opt-in settings' blocks.
    std::array<void*, kPhoneNumberSlots + 3 + kOptInHeapBlocks> memory{};
    size_t memoryCount = 0;
    platform::ThreadHandle answerThread;
    platform::ThreadHandle gateThread;  // the last gate message thread started
    // LINK_CAPTURE's block (one of `memory`): closed before it is freed.
    LinkCaptureRun* capture = nullptr;
};

enum class ContextState : uint8_t {
    kNotStarted,  // ColdStart never took it on, or EndVpi released it
    kRunning,     // started, or failed with its thread running
    kFailedIdle,  // its last start failed with nothing running
};

ContextState StateOf(const StationContext* ctx);

// false when the context is running and not ended. Otherwise the context is
// taken on, and *leftovers is what its last failed start left, for the
// caller to give back.
bool ClaimContext(const StationContext* ctx, StartHoldings* leftovers);
// The start of ctx failed with nothing running: the module keeps what the
// block lists now, and ctx may be started again.
void KeepFailedStart(const StationContext* ctx);
// The threads started for a context, joined when it ends. A gate message
// thread replaces the one before it, which has ended and is joined here, so
// none pile up over a long run of calls. A session run without ColdStart (as
// the test rigs run one) keeps its gate thread here all the same.
void KeepAnswerThread(const StationContext* ctx, platform::ThreadHandle thread);
void KeepGateThread(const StationContext* ctx, platform::ThreadHandle thread);
// The port of a context whose start failed with nothing running; CloseCom
// closed it, so nothing else may close it again.
platform::PortHandle LeftoverPort(const StationContext* ctx);
void ForgetLeftoverPort(const StationContext* ctx);
// EndVpi: the record goes, and what the context holds is handed over. A
// running context's block is read for it (its threads have stopped); a
// failed one's is not.
StartHoldings ReleaseContext(const StationContext* ctx);

// How GiveBack closes the port: EndVpi as CloseCom does, with its line, when
// the host enabled a port; a retried start silently.
enum class PortRelease : uint8_t { kSilent, kAsCloseCom };
// Joins the threads, frees the memory, closes the port; *held is empty then.
void GiveBack(StartHoldings* held, PortRelease how);

// CloseCom's close of a handle (0: none) with its line.
HostResult CloseComPort(platform::PortHandle handle);
