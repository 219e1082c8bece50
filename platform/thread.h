// Thread service: start a detached thread with an explicit stack size.
#pragma once

#include <cstdint>

namespace platform {

using ThreadEntry = void (*)(void* arg);

struct ThreadBackend {
    int (*start)(ThreadEntry entry, void* arg, uint32_t stackSize);  // 0, or -1 on failure
};

// Like _beginthread: 0 when the thread runs, -1 when it could not be started.
int StartThread(ThreadEntry entry, void* arg, uint32_t stackSize);

// nullptr restores the platform's own threads.
void UseThreadBackend(const ThreadBackend* backend);
const ThreadBackend* NativeThreadBackend();

}  // namespace platform
