// What the module knows about the contexts it runs: a host block's contents
// before ColdStart cannot be trusted, so the module keeps its own list of the
// contexts that ColdStart has taken on and EndVpi has not yet released.
#pragma once

#include "driver/context.h"

// false when the context has been started already (and not ended).
bool ClaimContext(const StationContext* ctx);
void ReleaseContext(const StationContext* ctx);
bool ContextClaimed(const StationContext* ctx);

// Opens the context's port with its settings; the handle, or 0 on failure.
platform::PortHandle OpenCom(StationContext* ctx);
