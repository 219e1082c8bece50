#include "tools/shared/civil_time.h"

namespace tools {

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

Civil CivilFromSeconds(int64_t seconds) {
    const int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const int64_t rest = seconds - days * 86400;
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    Civil civil{};
    civil.day = doy - (153 * mp + 2) / 5 + 1;
    civil.month = mp < 10 ? mp + 3 : mp - 9;
    civil.year = static_cast<int64_t>(yoe) + era * 400 + (civil.month <= 2);
    civil.hour = static_cast<unsigned>(rest / 3600);
    civil.minute = static_cast<unsigned>(rest / 60 % 60);
    civil.second = static_cast<unsigned>(rest % 60);
    civil.weekday = static_cast<unsigned>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
    return civil;
}

}  // namespace tools
