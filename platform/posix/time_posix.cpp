// The POSIX clock: real sleeps, time(), CLOCK_MONOTONIC, clock_settime.
#include <cerrno>
#include <ctime>

#include "platform/error.h"
#include "platform/time.h"

namespace platform {
namespace {

void SleepPosix(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int32_t CalendarTimePosix() { return static_cast<int32_t>(::time(nullptr)); }

uint64_t MonotonicMsPosix() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

uint64_t WallClockUsPosix() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

uint32_t SetSystemClockPosix(const SystemTime* utc) {
    // What SetSystemTime reports for a bad field.
    if (!ValidSystemTime(*utc)) return kErrorInvalidParameter;
    const int64_t seconds = SystemTimeSeconds(*utc);
    timespec value{static_cast<time_t>(seconds), static_cast<long>(utc->wMilliseconds) * 1000000L};
    if (clock_settime(CLOCK_REALTIME, &value) != 0) return static_cast<uint32_t>(errno);
    return 0;
}

const TimeBackend kPosixTime = {SleepPosix, CalendarTimePosix, MonotonicMsPosix, SetSystemClockPosix,
                                WallClockUsPosix};

}  // namespace

const TimeBackend* NativeTimeBackend() { return &kPosixTime; }

}  // namespace platform
