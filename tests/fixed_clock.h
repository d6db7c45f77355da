// A clock that always says the same thing, for Platform.Now and
// Platform.LocalTime, so that log lines carry a known time stamp.
#pragma once

#include <ctime>

namespace macgate {

inline time_t FixedNow() {
    return 1000;
}

// The date that FixedLocalTime gives: Tue Dec 08 2026 unless a test sets
// another (every test starts from that one again, see test_main.cpp).
struct FixedDate {
    int year = 2026;
    int month = 11;  // 0 is January
    int day = 8;
    int weekday = 2;  // 0 is Sunday
};
inline FixedDate FixedClockDate;

// FixedClockDate at Hour:Minute:Second.
template <int Hour, int Minute, int Second>
bool FixedLocalTime(time_t, struct tm* out) {
    *out = {};
    out->tm_year = FixedClockDate.year - 1900;
    out->tm_mon = FixedClockDate.month;
    out->tm_mday = FixedClockDate.day;
    out->tm_wday = FixedClockDate.weekday;
    out->tm_hour = Hour;
    out->tm_min = Minute;
    out->tm_sec = Second;
    return true;
}

// Local time that cannot be worked out.
inline bool FailingLocalTime(time_t, struct tm*) {
    return false;
}

}  // namespace macgate
