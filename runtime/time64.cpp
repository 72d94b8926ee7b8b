// 64-bit calendar time: a broken-down UTC time to seconds since 1970 for any
// year, without the host's time limits or time zones.
#include <ctime>

#include "runtime/runtime.h"

static constexpr int64_t DAYS_PER_400_YEARS = 146097;
static constexpr int16_t days_before_month[2][12] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335},
};

static bool is_leap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int64_t timegm64(const struct tm* t) {
    // The month is brought into 0..11 first so that it can index the table.
    int64_t y = t->tm_year;
    int64_t m = t->tm_mon;
    int64_t carry = m >= 0 ? m / 12 : -((11 - m) / 12);
    y += carry;
    m -= carry * 12;

    int64_t days = 0;
    // Whole 400-year cycles first, so the year loop below stays short.
    if (y > 100 || y < -300) {
        int64_t c = (y - 100) / 400;
        y -= 400 * c;
        days = DAYS_PER_400_YEARS * c;
    }
    if (y > 70) {
        for (int64_t year = 1970; year < 1900 + y; year++) days += is_leap(year) ? 366 : 365;
    } else if (y < 70) {
        for (int64_t year = 1900 + y; year < 1970; year++) days -= is_leap(year) ? 366 : 365;
    }
    days += days_before_month[is_leap(1900 + y)][m];
    days += (int64_t)t->tm_mday - 1;
    return days * 86400 + (int64_t)t->tm_hour * 3600 + (int64_t)t->tm_min * 60 + (int64_t)t->tm_sec;
}
