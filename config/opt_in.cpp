#include "config/opt_in.h"

#include <cstdlib>

#include "common/alloc_hook.h"
#include "driver/context.h"

namespace {

// Every group off, as a file without the keywords leaves the driver.
constexpr OptInSettings kAllOff = {{0, false, false, false, 0, 0, nullptr}, {0, 0, 0}, {{}, 0, nullptr, nullptr}};

// Shared by every context that could not have a block of its own; never
// written, never freed.
OptInSettings refusing = {{0, true, true, true, 0, 0, nullptr}, {0, 0, 0}, {{}, 0, nullptr, nullptr}};

}  // namespace

OptInSettings* OwnedOptIn(const StationContext* ctx) { return ctx->optIn != &refusing ? ctx->optIn : nullptr; }

OptInSettings* OwnOptIn(StationContext* ctx) {
    if (OptInSettings* own = OwnedOptIn(ctx)) return own;
    auto* block = static_cast<OptInSettings*>(driverAlloc(sizeof(OptInSettings)));
    if (block == nullptr) return nullptr;
    // A context that had to refuse keeps refusing in its own block.
    *block = ctx->optIn != nullptr ? *ctx->optIn : kAllOff;
    ctx->optIn = block;
    return block;
}

void UseRefusingOptIn(StationContext* ctx) { ctx->optIn = &refusing; }

size_t OptInHeapBlocks(const StationContext* ctx, void* (&blocks)[kOptInHeapBlocks]) {
    OptInSettings* own = OwnedOptIn(ctx);
    if (own == nullptr) return 0;
    size_t count = 0;
    if (own->remoteAccess.names != nullptr) blocks[count++] = own->remoteAccess.names;
    if (own->linkCapture.run != nullptr) blocks[count++] = own->linkCapture.run;
    blocks[count++] = own;
    return count;
}

void ReleaseOptIn(StationContext* ctx) {
    void* blocks[kOptInHeapBlocks];
    const size_t count = OptInHeapBlocks(ctx, blocks);
    for (size_t i = 0; i < count; ++i) std::free(blocks[i]);
}
