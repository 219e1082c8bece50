// Windows threads. Each thread holds a reference on the module whose code it
// runs, taken before the thread exists and given back by
// FreeLibraryAndExitThread once its entry has returned: a host that unloads
// the library right after EndVpi cannot pull the code from under a thread
// still leaving it. The stack size is the initial commit, as _beginthread
// gives it; the reservation is the program's default.
#include <windows.h>

#include <cstdint>
#include <new>

#include "platform/thread.h"

namespace platform {
namespace {

struct Start {
    ThreadEntry entry;
    void* arg;
    HMODULE module;
};

DWORD WINAPI Trampoline(LPVOID raw) {
    const Start start = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    start.entry(start.arg);
    ::FreeLibraryAndExitThread(start.module, 0);
}

int StartWin32(ThreadEntry entry, void* arg, uint32_t stackSize) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(reinterpret_cast<const void*>(&Trampoline)), &module)) {
        return -1;
    }
    auto* start = new (std::nothrow) Start{entry, arg, module};
    const HANDLE thread = start ? ::CreateThread(nullptr, stackSize, Trampoline, start, 0, nullptr) : nullptr;
    if (thread == nullptr) {
        delete start;
        ::FreeLibrary(module);
        return -1;
    }
    ::CloseHandle(thread);
    return 0;
}

const ThreadBackend kWin32Threads = {StartWin32};

}  // namespace

const ThreadBackend* NativeThreadBackend() { return &kWin32Threads; }

}  // namespace platform
