// Thread service: start a thread with an explicit stack size, and wait for
// one to end.
#pragma once

#include <cstdint>

namespace platform {

using ThreadEntry = void (*)(void* arg);

struct ThreadBackend {
    // 0, or -1 on failure. With `thread` the thread is joinable and *thread
    // names it for join; without, it is detached.
    int (*start)(ThreadEntry entry, void* arg, uint32_t stackSize, uintptr_t* thread);
    // Returns once the thread has ended, and releases what named it.
    void (*join)(uintptr_t thread);
};

// A thread to be waited for, once. The backend that started it joins it, so
// a test that swaps backends meanwhile cannot mix them up.
struct ThreadHandle {
    const ThreadBackend* backend = nullptr;  // nullptr: no thread
    uintptr_t thread = 0;
};

// Like _beginthread: 0 when the thread runs, -1 when it could not be started.
// With `handle` the thread must be joined (JoinThread); without, it is
// detached and nobody can wait for it.
int StartThread(ThreadEntry entry, void* arg, uint32_t stackSize, ThreadHandle* handle = nullptr);

// Waits until the thread has left its entry and the code that ran it, then
// empties *handle. An empty handle returns at once.
void JoinThread(ThreadHandle* handle);

// nullptr restores the platform's own threads.
void UseThreadBackend(const ThreadBackend* backend);
const ThreadBackend* NativeThreadBackend();

}  // namespace platform
