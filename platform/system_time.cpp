// The checks SetSystemTime makes: nothing is normalised into another date.
#include "platform/time.h"

namespace platform {
namespace {
bool IsLeap(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

bool ValidSystemTime(const SystemTime& t) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12) return false;
    unsigned days = kDays[t.wMonth - 1] + ((t.wMonth == 2 && IsLeap(t.wYear)) ? 1 : 0);
    return t.wDay >= 1 && t.wDay <= days && t.wHour < 24 && t.wMinute < 60 && t.wSecond < 60 &&
           t.wMilliseconds < 1000;
}


}  // namespace platform
