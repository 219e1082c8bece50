// POSIX threads, with the requested stack size where the C library allows one
// that small (never below PTHREAD_STACK_MIN; sanitizer builds raise the floor,
// their instrumentation needs far more stack than the driver). A thread asked
// for with a handle is joinable: pthread_join returns once it has left the
// library's code, so a host may unload the library as soon as the driver has
// joined its threads. Any other thread is detached.
#include <pthread.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "platform/thread.h"

#ifndef TELDRV_MIN_THREAD_STACK
#define TELDRV_MIN_THREAD_STACK 16384
#endif

namespace platform {
namespace {

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t), "a thread id must fit the handle");

// pthread's entry takes and gives a void*; the driver's gives nothing.
struct Start {
    ThreadEntry entry;
    void* arg;
};

void* Trampoline(void* raw) {
    const Start start = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    start.entry(start.arg);
    return nullptr;
}

int StartPosix(ThreadEntry entry, void* arg, uint32_t stackSize, uintptr_t* handle) {
    const size_t floor = std::max<size_t>(static_cast<size_t>(PTHREAD_STACK_MIN), TELDRV_MIN_THREAD_STACK);
    const size_t stack = std::max<size_t>(stackSize, floor);

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return -1;
    pthread_attr_setdetachstate(&attr, handle != nullptr ? PTHREAD_CREATE_JOINABLE : PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, stack);
    auto* start = new (std::nothrow) Start{entry, arg};
    int result = -1;
    if (start) {
        pthread_t thread;
        if (pthread_create(&thread, &attr, Trampoline, start) == 0) {
            if (handle != nullptr) {
                *handle = 0;
                std::memcpy(handle, &thread, sizeof thread);
            }
            result = 0;
        } else {
            delete start;
        }
    }
    pthread_attr_destroy(&attr);
    return result;
}

void JoinPosix(uintptr_t handle) {
    pthread_t thread;
    std::memcpy(&thread, &handle, sizeof thread);
    pthread_join(thread, nullptr);
}

const ThreadBackend kPosixThreads = {StartPosix, JoinPosix};

}  // namespace

const ThreadBackend* NativeThreadBackend() { return &kPosixThreads; }

}  // namespace platform
