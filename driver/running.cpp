#include "driver/running.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// ColdStart and EndVpi of different instances may come from different host
// threads, so the list has a lock of its own.
std::mutex& RunningMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<const StationContext*>& Running() {
    static std::vector<const StationContext*> contexts;
    return contexts;
}

}  // namespace

bool ClaimContext(const StationContext* ctx) {
    std::lock_guard lock(RunningMutex());
    std::vector<const StationContext*>& running = Running();
    if (std::find(running.begin(), running.end(), ctx) != running.end()) return false;
    running.push_back(ctx);
    return true;
}

void ReleaseContext(const StationContext* ctx) {
    std::lock_guard lock(RunningMutex());
    std::erase(Running(), ctx);
}

bool ContextClaimed(const StationContext* ctx) {
    std::lock_guard lock(RunningMutex());
    const std::vector<const StationContext*>& running = Running();
    return std::find(running.begin(), running.end(), ctx) != running.end();
}
