// What the module knows about the contexts it runs: a host block's contents
// before ColdStart cannot be trusted, so the module keeps its own list of the
// contexts that ColdStart has taken on and EndVpi has not yet released.
#pragma once

#include <vector>

#include "driver/context.h"

// What a start that failed with no thread running still holds. The module
// keeps it apart from the host's block, which the host may free and hand out
// again before the next start.
struct StartLeftovers {
    platform::PortHandle port = 0;
    std::vector<void*> memory;
};

// false when the context is running (a start that succeeded, or failed with
// its thread running) and not ended. A context whose last start failed with
// nothing running is taken on again, and *leftovers is what that start left
// for the caller to give back; otherwise *leftovers is left empty.
bool ClaimContext(const StationContext* ctx, StartLeftovers* leftovers);
// The start of ctx failed with nothing running: ctx may be started again.
void KeepFailedStart(const StationContext* ctx, StartLeftovers leftovers);
// CloseCom closed the port, so a later start must not close it again.
void ForgetLeftoverPort(const StationContext* ctx);
void ReleaseContext(const StationContext* ctx);
bool ContextClaimed(const StationContext* ctx);
