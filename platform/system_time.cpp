// The checks SetSystemTime makes: nothing is normalised into another date.
// And the conversions between SYSTEMTIME fields and calendar seconds.
#include "platform/time.h"

namespace platform {
namespace {
bool IsLeap(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

bool ValidSystemTime(const SystemTime& t) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12) return false;
    unsigned days = kDays[t.wMonth - 1] + ((t.wMonth == 2 && IsLeap(t.wYear)) ? 1 : 0);
    return t.wDay >= 1 && t.wDay <= days && t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 &&
           t.wMilliseconds < 1000;
}

int64_t SystemTimeSeconds(const SystemTime& utc) {
    return DaysFromCivil(utc.wYear, utc.wMonth, utc.wDay) * 86400 + utc.wHour * 3600 + utc.wMinute * 60 +
           utc.wSecond;
}

SystemTime SystemTimeAt(int64_t seconds) {
    const int64_t dayStart = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const int64_t secondOfDay = seconds - dayStart * 86400;
    const int64_t z = dayStart + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2);
    // 1970-01-01 was a Thursday.
    const int64_t weekday = ((dayStart % 7) + 11) % 7;
    return {static_cast<uint16_t>(year),
            static_cast<uint16_t>(month),
            static_cast<uint16_t>(weekday),
            static_cast<uint16_t>(day),
            static_cast<uint16_t>(secondOfDay / 3600),
            static_cast<uint16_t>(secondOfDay / 60 % 60),
            static_cast<uint16_t>(secondOfDay % 60),
            0};
}

}  // namespace platform
