// POSIX threads, detached, with the requested stack size where the C library
// allows one that small (never below PTHREAD_STACK_MIN; sanitizer builds raise
// the floor, their instrumentation needs far more stack than the driver).
#include <pthread.h>

#include <algorithm>
#include <climits>
#include <new>

#include "platform/thread.h"

#ifndef TELDRV_MIN_THREAD_STACK
#define TELDRV_MIN_THREAD_STACK 16384
#endif

namespace platform {
namespace {

struct Start {
    ThreadEntry entry;
    void* arg;
};

void* Trampoline(void* raw) {
    Start start = *static_cast<Start*>(raw);
    delete static_cast<Start*>(raw);
    start.entry(start.arg);
    return nullptr;
}

int StartPosix(ThreadEntry entry, void* arg, uint32_t stackSize) {
    const size_t floor = std::max<size_t>(static_cast<size_t>(PTHREAD_STACK_MIN), TELDRV_MIN_THREAD_STACK);
    const size_t stack = std::max<size_t>(stackSize, floor);

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return -1;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, stack);
    auto* start = new (std::nothrow) Start{entry, arg};
    int result = -1;
    if (start) {
        pthread_t thread;
        if (pthread_create(&thread, &attr, Trampoline, start) == 0) {
            result = 0;
        } else {
            delete start;
        }
    }
    pthread_attr_destroy(&attr);
    return result;
}

const ThreadBackend kPosixThreads = {StartPosix};

}  // namespace

const ThreadBackend* NativeThreadBackend() { return &kPosixThreads; }

}  // namespace platform
