// Routes the time and thread services to the installed backend, or to the
// platform's own when none is installed.
#include <atomic>

#include "platform/error.h"
#include "platform/thread.h"
#include "platform/time.h"

namespace platform {
namespace {
std::atomic<const TimeBackend*> installedTime{nullptr};
std::atomic<const ThreadBackend*> installedThread{nullptr};
thread_local uint32_t lastError = 0;

const TimeBackend& Time() {
    const TimeBackend* backend = installedTime.load(std::memory_order_acquire);
    return backend ? *backend : *NativeTimeBackend();
}
}  // namespace

void UseTimeBackend(const TimeBackend* backend) { installedTime.store(backend, std::memory_order_release); }
void UseThreadBackend(const ThreadBackend* backend) { installedThread.store(backend, std::memory_order_release); }

void Sleep(uint32_t ms) { Time().sleep(ms); }
int32_t CalendarTime() { return Time().calendarTime(); }
uint64_t MonotonicMs() { return Time().monotonicMs(); }
uint64_t WallClockUs() { return Time().wallClockUs(); }
bool SetSystemClock(const SystemTime& utc) {
    const uint32_t error = Time().setSystemClock(&utc);
    if (error != 0) SetLastError(error);
    return error == 0;
}

int StartThread(ThreadEntry entry, void* arg, uint32_t stackSize, ThreadHandle* handle) {
    const ThreadBackend* installed = installedThread.load(std::memory_order_acquire);
    const ThreadBackend* backend = installed ? installed : NativeThreadBackend();
    if (handle == nullptr) return backend->start(entry, arg, stackSize, nullptr);
    uintptr_t thread = 0;
    if (backend->start(entry, arg, stackSize, &thread) != 0) return -1;
    *handle = ThreadHandle{backend, thread};
    return 0;
}

void JoinThread(ThreadHandle* handle) {
    if (handle->backend == nullptr) return;
    handle->backend->join(handle->thread);
    *handle = ThreadHandle{};
}

uint32_t LastError() { return lastError; }
void SetLastError(uint32_t code) { lastError = code; }

}  // namespace platform
