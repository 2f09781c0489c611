#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <string>

#include "nesk_utils.h"
#include "test_support.h"

namespace {

TEST(UintToHexstr, PadsButNeverCuts) {
    struct Case {
        unsigned int v, width;
        const char* out;
    } cases[] = {
        {255, 4, "00ff"},        {0x12345, 2, "12345"},       {0, 0, "0"},   {0, 3, "000"},
        {0xabcdef, 0, "abcdef"}, {0xffffffff, 8, "ffffffff"}, {0xA, 1, "a"}, {16, 2, "10"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(nesk_utils::uint_to_hexstr(c.v, c.width), c.out) << c.v << " width " << c.width;
}

TEST(StringToNumber, LeadingDigitsOnly) {
    struct Case {
        const char* in;
        int as_int;
        unsigned int as_uint;
        unsigned long as_ulong;
    } cases[] = {
        {"42", 42, 42, 42},
        {"  -7", -7, UINT_MAX - 6, ULONG_MAX - 6},
        {"+12abc", 12, 12, 12},
        {"abc", 0, 0, 0},
        {"", 0, 0, 0},
        {"0x10", 0, 0, 0},
        {"4294967295", INT_MAX, UINT_MAX, 4294967295UL},
        {"99999999999999999999", INT_MAX, UINT_MAX, LONG_MAX},
        {"-99999999999", INT_MIN, 3079215105U, 18446743973709551617UL},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(nesk_utils::string_to_int(c.in), c.as_int) << c.in;
        EXPECT_EQ(nesk_utils::string_to_ulong(c.in), c.as_ulong) << c.in;
        EXPECT_EQ(nesk_utils::string_to_uint(c.in), c.as_uint) << c.in;
    }
    EXPECT_DOUBLE_EQ(nesk_utils::string_to_double(" 1.5GB"), 1.5);
    EXPECT_DOUBLE_EQ(nesk_utils::string_to_double("x"), 0.0);
}

TEST(StringToUll, HonoursBasePrefixes) {
    struct Case {
        const char* in;
        unsigned long long out;
    } cases[] = {
        {"0x10", 16},
        {"0X1f", 31},
        {"010", 8},
        {"10", 10},
        {"0", 0},
        {" 12 ", 12},
        {"", 0},
        {"09", 0},
        {"18446744073709551615", ULLONG_MAX},
        {"0x5000c500a1b2c3d4", 0x5000c500a1b2c3d4ULL},
    };
    for (const Case& c : cases) EXPECT_EQ(nesk_utils::string_to_ull(c.in), c.out) << c.in;
}

TEST(IsNumber, DecimalIntegerWithOptionalWhiteSpace) {
    const char* accepted[] = {"0", "42", " -12 ", "+7", "\t8\n", "007", "99999999999999999999999"};
    const char* rejected[] = {"", " ", "-", "+", "0x10", "1 2", "12a", "1.5", "a1", "12 x", "1\v2"};
    for (const char* s : accepted) EXPECT_TRUE(nesk_utils::is_number(s)) << '"' << s << '"';
    for (const char* s : rejected) EXPECT_FALSE(nesk_utils::is_number(s)) << '"' << s << '"';
    EXPECT_FALSE(nesk_utils::is_number(nullptr));
}

TEST(ConvertSizeToGb, ExactCaseSensitiveUnits) {
    struct Case {
        double size;
        const char* unit;
        double out;
    } cases[] = {
        {1073741824.0, "B", 1.0}, {1048576.0, "KB", 1.0}, {1024, "MB", 1.0},
        {512, "MB", 0.5},         {3, "GB", 3.0},         {2, "TB", 2048.0},
        {1, "PB", 1048576.0},     {1, "mb", -1.0},        {1, "", -1.0},
        {1, "GiB", -1.0},         {1, " GB", -1.0},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(nesk_utils::convert_size_to_gb(c.size, c.unit), c.out)
            << c.size << ' ' << c.unit;
}

// Sets TZ for the test and restores the previous zone afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const std::string& zone) : env_(std::in_place, "TZ", zone) { tzset(); }
    ~ScopedTimeZone() {
        env_.reset();
        tzset();
    }

private:
    std::optional<nesk_test::ScopedEnv> env_;
};

bool have_zone(const std::string& zone) {
    return access(("/usr/share/zoneinfo/" + zone).c_str(), R_OK) == 0;
}

TEST(Time, TimeOfDay) {
    ScopedTimeZone utc("UTC");
    EXPECT_EQ(nesk_utils::time_get_timestr(0), "00:00:00");
    EXPECT_EQ(nesk_utils::time_get_timestr(86399), "23:59:59");
    EXPECT_EQ(nesk_utils::time_get_timestr(1000000000), "01:46:40");  // a one-digit day
    EXPECT_EQ(nesk_utils::time_get_timestr(1761519599), "22:59:59");
    // Far beyond what the C library can render.
    EXPECT_EQ(nesk_utils::time_get_timestr(LONG_MAX), "");
    EXPECT_EQ(nesk_utils::time_get_timestr(LONG_MIN), "");
    EXPECT_EQ(nesk_utils::time_get_datetimezero(LONG_MAX), -1);
    EXPECT_FALSE(nesk_utils::date_isequal(LONG_MAX, LONG_MAX));

    if (!have_zone("Europe/Berlin")) GTEST_SKIP() << "no tzdata for Europe/Berlin";
    ScopedTimeZone berlin("Europe/Berlin");
    EXPECT_EQ(nesk_utils::time_get_timestr(0), "01:00:00");
    EXPECT_EQ(nesk_utils::time_get_timestr(1743371999), "23:59:59");
}

// One local day: its first and last second.
struct Day {
    const char* zone;
    const char* what;
    long first, last;
};

void check_day(const Day& d) {
    SCOPED_TRACE(std::string(d.zone) + ": " + d.what);
    EXPECT_EQ(nesk_utils::time_get_datetimezero(d.first), d.first);
    EXPECT_EQ(nesk_utils::time_get_datetimezero(d.last), d.first);
    EXPECT_EQ(nesk_utils::time_get_datetimezero((d.first + d.last) / 2), d.first);
    EXPECT_EQ(nesk_utils::time_get_datetimezero(d.last + 1), d.last + 1);
    EXPECT_TRUE(nesk_utils::date_isequal(d.first, d.last));
    EXPECT_TRUE(nesk_utils::date_isequal(d.last, d.first + 3600));
    EXPECT_FALSE(nesk_utils::date_isequal(d.last, d.last + 1));
    EXPECT_FALSE(nesk_utils::date_isequal(d.first - 1, d.first));
}

TEST(Time, LocalCalendarDay) {
    {
        ScopedTimeZone utc("UTC");
        check_day({"UTC", "2001-09-09", 999993600, 1000079999});
        check_day({"UTC", "1970-01-01", 0, 86399});
    }
    const Day zoned[] = {
        {"Europe/Berlin", "winter day", 1736895600, 1736981999},
        {"Europe/Berlin", "clocks forward at 02:00", 1743289200, 1743371999},
        {"Europe/Berlin", "clocks back at 03:00", 1761429600, 1761519599},
        {"America/Santiago", "day starting at 01:00", 1725768000, 1725850799},
        {"America/Havana", "midnight twice", 1730606400, 1730696399},
    };
    int checked = 0;
    for (const Day& d : zoned) {
        if (!have_zone(d.zone)) continue;
        ScopedTimeZone zone(d.zone);
        check_day(d);
        ++checked;
    }
    if (have_zone("America/Santiago")) {
        // An hour of 2024-04-06 repeats after midnight UTC; it belongs to the
        // day that began before the clocks went back.
        ScopedTimeZone zone("America/Santiago");
        EXPECT_EQ(nesk_utils::time_get_datetimezero(1712460600), 1712372400);
        EXPECT_TRUE(nesk_utils::date_isequal(1712372400, 1712462399));
        EXPECT_FALSE(nesk_utils::date_isequal(1712462399, 1712462400));
    }
    if (checked == 0) GTEST_SKIP() << "no tzdata: only UTC was checked";
}

}  // namespace
