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

bool IsLeap(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Checks the fields the way SetSystemTime does: nothing is normalised into
// another date.
bool ValidUtc(const SystemTime& t) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12) return false;
    unsigned days = kDays[t.wMonth - 1] + ((t.wMonth == 2 && IsLeap(t.wYear)) ? 1 : 0);
    return t.wDay >= 1 && t.wDay <= days && t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 &&
           t.wMilliseconds < 1000;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

constexpr uint32_t kErrorInvalidParameter = 87;  // what SetSystemTime reports for a bad field

bool SetSystemClockPosix(const SystemTime* utc) {
    if (!ValidUtc(*utc)) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    const int64_t seconds = DaysFromCivil(utc->wYear, utc->wMonth, utc->wDay) * 86400 + utc->wHour * 3600 +
                            utc->wMinute * 60 + utc->wSecond;
    timespec value{static_cast<time_t>(seconds), static_cast<long>(utc->wMilliseconds) * 1000000L};
    if (clock_settime(CLOCK_REALTIME, &value) != 0) {
        SetLastError(static_cast<uint32_t>(errno));
        return false;
    }
    return true;
}

const TimeBackend kPosixTime = {SleepPosix, CalendarTimePosix, MonotonicMsPosix, SetSystemClockPosix};

}  // namespace

const TimeBackend* NativeTimeBackend() { return &kPosixTime; }

}  // namespace platform
