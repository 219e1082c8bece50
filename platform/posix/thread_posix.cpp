// POSIX threads, detached, with the requested stack size where the C library
// allows one that small (never below PTHREAD_STACK_MIN; sanitizer builds raise
// the floor, their instrumentation needs far more stack than the driver).
//
// A host may unload the library as soon as EndVpi returns, while the thread
// that let EndVpi go is still leaving the library's code. Each thread
// therefore gives itself a thread_local object with a destructor: glibc keeps
// a library loaded while one of its thread_local destructors is pending, and
// runs them after the start routine has returned, from its own code. So the
// library goes only once the thread has left it, and no call of ours ever
// returns into unloaded code (a dlclose of our own at the end would).
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

struct LibraryHold {
    ~LibraryHold() {}  // user-provided, so the C++ runtime registers it with glibc
    void Take() {}
};

struct Start {
    ThreadEntry entry;
    void* arg;
};

void* Trampoline(void* raw) {
    thread_local LibraryHold hold;
    hold.Take();
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
