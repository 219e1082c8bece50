// The Windows clock: Sleep, time(), the tick count and SetSystemTime.
#include <windows.h>

#include <ctime>

#include "platform/time.h"

namespace platform {
namespace {

void SleepWin32(uint32_t ms) { ::Sleep(ms); }

int32_t CalendarTimeWin32() { return static_cast<int32_t>(std::time(nullptr)); }

uint64_t MonotonicMsWin32() { return ::GetTickCount64(); }

// FILETIME counts 100 ns steps from 1601.
uint64_t WallClockUsWin32() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    return ticks / 10u - 11644473600000000ull;
}

uint32_t SetSystemClockWin32(const SystemTime* utc) {
    SYSTEMTIME value{};
    value.wYear = utc->wYear;
    value.wMonth = utc->wMonth;
    value.wDayOfWeek = utc->wDayOfWeek;
    value.wDay = utc->wDay;
    value.wHour = utc->wHour;
    value.wMinute = utc->wMinute;
    value.wSecond = utc->wSecond;
    value.wMilliseconds = utc->wMilliseconds;
    return ::SetSystemTime(&value) ? 0 : ::GetLastError();
}

const TimeBackend kWin32Time = {SleepWin32, CalendarTimeWin32, MonotonicMsWin32, SetSystemClockWin32,
                                WallClockUsWin32};

}  // namespace

const TimeBackend* NativeTimeBackend() { return &kWin32Time; }

}  // namespace platform
