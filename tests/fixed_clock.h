// A clock that always says the same thing, for Platform.Now and
// Platform.LocalTime, so that log lines carry a known time stamp.
#pragma once

#include <ctime>

namespace macgate {

inline time_t FixedNow() {
    return 1000;
}

// Tue Dec 08 2026 at Hour:Minute:Second.
template <int Hour, int Minute, int Second>
bool FixedLocalTime(time_t, struct tm* out) {
    *out = {};
    out->tm_year = 2026 - 1900;
    out->tm_mon = 11;
    out->tm_mday = 8;
    out->tm_wday = 2;
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
