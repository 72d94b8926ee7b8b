// 64-bit calendar time against an independent civil-date formula, and date:
// its formats, the time text, the table form and its errors (in UTC).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "tests/support/process_harness.h"

using hvx_test::call;
using hvx_test::eval;
using hvx_test::process_env;

namespace {

// Days from 1970-01-01 to the first of a month (m 1..12) of any year.
int64_t days_from_civil(int64_t y, int64_t m) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

int64_t reference(const struct tm& t) {
    int64_t year = (int64_t)t.tm_year + 1900, mon = t.tm_mon;
    int64_t carry = mon >= 0 ? mon / 12 : -((11 - mon) / 12);
    int64_t days = days_from_civil(year + carry, mon - carry * 12 + 1) + t.tm_mday - 1;
    return days * 86400 + (int64_t)t.tm_hour * 3600 + (int64_t)t.tm_min * 60 + t.tm_sec;
}

struct tm make_tm(int year, int mon, int mday, int hour = 0, int min = 0, int sec = 0) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = mon;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    return t;
}

TEST(Timegm64, KnownDates) {
    struct {
        struct tm t;
        int64_t want;
    } rows[] = {
        {make_tm(1970, 0, 1), 0},
        {make_tm(1969, 11, 31, 23, 59, 59), -1},
        {make_tm(2000, 2, 1), 951868800},
        {make_tm(2100, 2, 1), 4107542400},
        {make_tm(2038, 0, 19, 3, 14, 8), 2147483648},
        {make_tm(2024, 2, 0), 1709164800},         // day 0 of March: 29 February
        {make_tm(2020, -1, 1), 1575158400},        // month -1: December before
        {make_tm(2020, 12, 1), 1609459200},        // month 12: January after
    };
    for (const auto& r : rows) EXPECT_EQ(timegm64(&r.t), r.want) << r.t.tm_year << "-" << r.t.tm_mon;
    // Year 2500 folds one 400-year cycle and agrees with the count year by year.
    struct tm t2500 = make_tm(2500, 5, 15);
    EXPECT_EQ(timegm64(&t2500), reference(t2500));
}

TEST(Timegm64, AgreesWithTheCivilFormulaOverTheWholeRange) {
    std::mt19937_64 rng(1126);
    auto any = [&](int64_t lo, int64_t hi) { return (int)std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
    for (int i = 0; i < 20000; i++) {
        struct tm t = {};
        bool wide = i % 2;  // every field over its whole 32-bit range
        t.tm_year = wide ? any(INT32_MIN, INT32_MAX) : any(-12000, 12000);
        t.tm_mon = wide ? any(INT32_MIN, INT32_MAX) : any(-30, 40);
        t.tm_mday = wide ? any(INT32_MIN, INT32_MAX) : any(0, 32);
        t.tm_hour = wide ? any(INT32_MIN, INT32_MAX) : any(0, 23);
        t.tm_min = wide ? any(INT32_MIN, INT32_MAX) : any(0, 59);
        t.tm_sec = wide ? any(INT32_MIN, INT32_MAX) : any(0, 60);
        ASSERT_EQ(timegm64(&t), reference(t))
            << t.tm_year << " " << t.tm_mon << " " << t.tm_mday << " " << t.tm_hour << " " << t.tm_min << " "
            << t.tm_sec;
    }
}

struct date_calls : ::testing::Test {
    process_env env;
    Process* p = env.spawn("");
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    std::string date(const std::string& args) {
        auto r = call(p, lua54_date, args);
        return r.error.empty() ? (r.values.empty() ? "(none)" : r.values[0]) : "error: " + r.error;
    }
};

TEST_F(date_calls, FormatsAndTimeTexts) {
    struct {
        const char* args;
        const char* want;
    } rows[] = {
        {"nil, '2024-05-06 07:08:09'", "2024-05-06 07:08:09"},
        {"'!%Y', '2024-05-06 07:08:09'", "2024"},
        {"nil, '2024-05'", "2024-04-30 00:00:00"},           // short: a missing day is day 0
        {"nil, '2024-05-0x 07:08:09'", "2024-04-30 07:08:09"},  // a non-digit field counts as 0
        {"nil, '2020-00-01 00:00:00'", "2019-12-01 00:00:00"},  // months are normalised
        {"nil, '2020-99-01 00:00:00'", "2028-03-01 00:00:00"},
        {"nil, ''", "-1-11-30 00:00:00"},  // year 0, month 0, day 0
        {"'!%H:%M', 0, 3600", "01:00"},
        {"'%Y %H', 0, 7200", "1970 02"},  // local time is UTC here
        {"nil, 2147483647, 2147483647", "2106-02-07 06:28:14"},
        {"nil, 1.9", "1970-01-01 00:00:01"},
        {"'!%#c', 1700000000", "Tuesday, November 14, 2023, 22:13:20"},
        {"'!%#x', 1700000000", "Tuesday, November 14, 2023"},
        {"'!%Z', 1700000000", "UTC"},  // the others: ConversionsMatchTheCLibrary
        {"'!%#d %#H %#I %#j %#m %#M %#S %#U %#w %#W %#y %#Y', '2024-01-05 03:04:05'",
         "5 3 3 5 1 4 5 0 5 1 24 2024"},
        {"'!a%%b'", "a%b"},
        {"'!%Q'", "error: bad argument #1 to '?' (invalid conversion specifier '%Q')"},
        {"'!%Y%'", "error: bad argument #1 to '?' (invalid conversion specifier '%')"},
        {"'%#q x'", "error: bad argument #1 to '?' (invalid conversion specifier '%#q x')"},
        {"nil, 2^31", "error: bad argument #2 to '?' (time out-of-bounds)"},
        {"nil, -2^31 - 1", "error: bad argument #2 to '?' (time out-of-bounds)"},
        {"nil, 0, 2^31", "error: bad argument #3 to '?' (time out-of-bounds)"},
        {"nil, math.huge", "error: bad argument #2 to '?' (time out-of-bounds)"},
        // -1 is a time like any other.
        {"nil, -1", "1969-12-31 23:59:59"},
        {"'!%Y', -1", "1969"},
        {"nil, '1969-12-31 23:59:59'", "1969-12-31 23:59:59"},
        {"nil, 3600, -3601", "1969-12-31 23:59:59"},
    };
    for (const auto& r : rows) EXPECT_EQ(date(r.args), r.want) << r.args;
    // Through a script the error names the call.
    EXPECT_EQ(eval(p, "return select(2, pcall(date, '%Q')), select(2, pcall(date, nil, 2^31))").values,
              (std::vector<std::string>{"bad argument #1 to 'date' (invalid conversion specifier '%Q')",
                                        "bad argument #2 to 'date' (time out-of-bounds)"}));
}

TEST_F(date_calls, TableForm) {
    auto r = eval(p, "local t = date('!*t', 0, 3600) "
                     "return t.year, t.month, t.day, t.hour, t.min, t.sec, t.yday, t.wday, t.isdst");
    EXPECT_EQ(r.values, (std::vector<std::string>{"1970", "1", "1", "1", "0", "0", "1", "5", "false"}));
    r = eval(p, "local t = date('*t', '2024-12-31 23:59:59') return t.yday, t.wday, math.type(t.year)");
    EXPECT_EQ(r.values, (std::vector<std::string>{"366", "3", "integer"}));
}

// The single-letter conversions agree with the C library's in the C locale.
TEST_F(date_calls, ConversionsMatchTheCLibrary) {
    std::mt19937_64 rng(108);
    const std::string letters = "aAbBcdHIjmMpSUwWxXyYz%";
    for (int i = 0; i < 300; i++) {
        time_t when = (time_t)std::uniform_int_distribution<int64_t>(-2147483648LL, 2147483647LL)(rng);
        std::string fmt;
        for (char c : letters) fmt += std::string("%") + c + "|";
        struct tm t;
        gmtime_r(&when, &t);
        char want[512];
        strftime(want, sizeof want, fmt.c_str(), &t);
        EXPECT_EQ(date("'!" + fmt + "', " + std::to_string((long long)when)), want) << when;
    }
}

}  // namespace
