#include "driver/running.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace {

struct RunningContext {
    const StationContext* ctx;
    bool failedIdle;  // its start failed with no thread; may start again
    StartLeftovers leftovers;
};

// ColdStart and EndVpi of different instances may come from different host
// threads, so the list has a lock of its own.
std::mutex& RunningMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<RunningContext>& Running() {
    static std::vector<RunningContext> contexts;
    return contexts;
}

RunningContext* Find(const StationContext* ctx) {
    std::vector<RunningContext>& running = Running();
    const auto at = std::find_if(running.begin(), running.end(), [ctx](const RunningContext& r) { return r.ctx == ctx; });
    return at == running.end() ? nullptr : &*at;
}

}  // namespace

bool ClaimContext(const StationContext* ctx, StartLeftovers* leftovers) {
    std::lock_guard lock(RunningMutex());
    RunningContext* known = Find(ctx);
    if (known == nullptr) {
        Running().push_back(RunningContext{ctx, false, {}});
        return true;
    }
    if (!known->failedIdle) return false;
    *leftovers = std::exchange(known->leftovers, StartLeftovers{});
    known->failedIdle = false;
    return true;
}

void KeepFailedStart(const StationContext* ctx, StartLeftovers leftovers) {
    std::lock_guard lock(RunningMutex());
    RunningContext* known = Find(ctx);
    if (known == nullptr) return;
    known->failedIdle = true;
    known->leftovers = std::move(leftovers);
}

void ForgetLeftoverPort(const StationContext* ctx) {
    std::lock_guard lock(RunningMutex());
    if (RunningContext* known = Find(ctx)) known->leftovers.port = 0;
}

void ReleaseContext(const StationContext* ctx) {
    std::lock_guard lock(RunningMutex());
    std::erase_if(Running(), [ctx](const RunningContext& r) { return r.ctx == ctx; });
}

bool ContextClaimed(const StationContext* ctx) {
    std::lock_guard lock(RunningMutex());
    return Find(ctx) != nullptr;
}
