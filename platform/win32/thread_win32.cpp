// Windows threads through the C runtime's _beginthread, which takes the stack
// size as given and releases the thread's handle itself when it ends.
#include <process.h>

#include <cstdint>

#include "platform/thread.h"

namespace platform {
namespace {

int StartWin32(ThreadEntry entry, void* arg, uint32_t stackSize) {
    const uintptr_t thread = ::_beginthread(entry, stackSize, arg);
    return thread == static_cast<uintptr_t>(-1) ? -1 : 0;
}

const ThreadBackend kWin32Threads = {StartWin32};

}  // namespace

const ThreadBackend* NativeThreadBackend() { return &kWin32Threads; }

}  // namespace platform
