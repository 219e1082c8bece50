// Calendar dates and times in UTC from seconds since 1970 and back, for the
// tools: the central's clock request and time texts, the demo's clock. The
// driver has its own (platform/system_time.cpp); the tools, which the tests
// check the driver against, keep theirs apart.
#pragma once

#include <cstdint>

namespace tools {

struct Civil {
    int64_t year;
    unsigned month, day, hour, minute, second, weekday;  // weekday 0 is Sunday
};

Civil CivilFromSeconds(int64_t seconds);
// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);

}  // namespace tools
