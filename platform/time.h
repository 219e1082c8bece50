// Time service: sleeping, calendar time and the machine's clock. Tests and
// the simulation replace the backend with a virtual clock, so the driver's
// waits never cost real time there.
#pragma once

#include <cstdint>

namespace platform {

// Win32 SYSTEMTIME, UTC.
struct SystemTime {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};

struct TimeBackend {
    void (*sleep)(uint32_t ms);
    int32_t (*calendarTime)();                       // seconds since 1970
    uint64_t (*monotonicMs)();                       // for deadlines
    uint32_t (*setSystemClock)(const SystemTime* utc);  // 0, or the platform error code
    uint64_t (*wallClockUs)();                       // microseconds since 1970
};

void Sleep(uint32_t ms);
int32_t CalendarTime();
uint64_t MonotonicMs();
// The calendar clock to the microsecond, for timestamps of what crosses a line.
uint64_t WallClockUs();
// SetSystemTime: false when refused, LastError() telling why.
bool SetSystemClock(const SystemTime& utc);
// Whether the fields name a real moment, checked as SetSystemTime checks them.
bool ValidSystemTime(const SystemTime& utc);
// Seconds since 1970 of a valid SYSTEMTIME (milliseconds dropped), and back.
int64_t SystemTimeSeconds(const SystemTime& utc);
SystemTime SystemTimeAt(int64_t seconds);

// nullptr restores the platform's own clock.
void UseTimeBackend(const TimeBackend* backend);
const TimeBackend* NativeTimeBackend();

}  // namespace platform
