// Windows threads. A thread asked for with a handle keeps its handle until
// it is joined: WaitForSingleObject returns once the thread has ended, after
// it has left the library's code, so a host may unload the library as soon
// as the driver has joined its threads. Any other thread's handle is closed
// at once. The stack size is the initial commit, as _beginthread gives it;
// the reservation is the program's default.
#include <windows.h>

#include <cstdint>
#include <new>

#include "platform/thread.h"

namespace platform {
namespace {

// CreateThread's entry gives a DWORD; the driver's gives nothing.
struct Start {
    ThreadEntry entry;
    void* arg;
};

DWORD WINAPI Trampoline(LPVOID raw) {
    const Start start = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    start.entry(start.arg);
    return 0;
}

int StartWin32(ThreadEntry entry, void* arg, uint32_t stackSize, uintptr_t* handle) {
    auto* start = new (std::nothrow) Start{entry, arg};
    const HANDLE thread = start ? ::CreateThread(nullptr, stackSize, Trampoline, start, 0, nullptr) : nullptr;
    if (thread == nullptr) {
        delete start;
        return -1;
    }
    if (handle != nullptr) {
        *handle = reinterpret_cast<uintptr_t>(thread);
    } else {
        ::CloseHandle(thread);
    }
    return 0;
}

void JoinWin32(uintptr_t handle) {
    const HANDLE thread = reinterpret_cast<HANDLE>(handle);
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
}

const ThreadBackend kWin32Threads = {StartWin32, JoinWin32};

}  // namespace

const ThreadBackend* NativeThreadBackend() { return &kWin32Threads; }

}  // namespace platform
