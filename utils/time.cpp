// Time-of-day and calendar-day helpers in the process's local time zone.
#include <time.h>

#include <vector>

#include "nesk_utils.h"

namespace {

bool same_day(const struct tm& a, const struct tm& b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday;
}

}  // namespace

std::string nesk_utils::time_get_timestr(long t) {
    // ctime(3) re-reads TZ on every call; the reentrant forms only when told to.
    tzset();
    time_t value = static_cast<time_t>(t);
    char text[64];  // ctime_r needs 26 bytes
    if (ctime_r(&value, text) == nullptr) return std::string();
    // "Wed Jun 30 21:49:08 1993\n": the blanks doubled before a one-digit day
    // fold into one separator, so the fourth piece is always the time of day.
    std::vector<std::string> pieces;
    char blank[] = " ";
    tokenize(text, blank, pieces);
    if (pieces.size() < 4) return std::string();
    return trim(pieces[3]);
}

long nesk_utils::time_get_datetimezero(long t) {
    tzset();
    const time_t value = static_cast<time_t>(t);
    struct tm day;
    if (localtime_r(&value, &day) == nullptr) return -1;

    // Midnight must be converted back with the daylight-saving state in force
    // at midnight, which differs from that of `t` on the days the clocks
    // change, and at a change at midnight itself the day may start twice
    // (clocks set back) or at 01:00 (clocks set forward). Try each state and
    // keep the earliest instant that still lies on the same day, not after `t`.
    long start = -1;
    for (int dst : {0, 1, -1}) {
        struct tm midnight = day;
        midnight.tm_hour = 0;
        midnight.tm_min = 0;
        midnight.tm_sec = 0;
        midnight.tm_isdst = dst;
        time_t candidate = mktime(&midnight);
        if (candidate == static_cast<time_t>(-1) || candidate > value) continue;
        struct tm check;
        if (localtime_r(&candidate, &check) == nullptr || !same_day(check, day)) continue;
        if (start == -1 || candidate < start) start = static_cast<long>(candidate);
    }
    return start;
}

bool nesk_utils::date_isequal(long a, long b) {
    long day_a = time_get_datetimezero(a);
    return day_a != -1 && day_a == time_get_datetimezero(b);
}
