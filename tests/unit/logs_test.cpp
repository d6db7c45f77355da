#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "config/logs.h"
#include "platform/platform.h"

namespace macgate {
namespace {

time_t FixedNow() {
    return 1000;
}

bool FixedLocalTime(time_t, struct tm* out) {
    *out = {};
    out->tm_year = 2026 - 1900;
    out->tm_mon = 11;
    out->tm_mday = 8;
    out->tm_wday = 2;
    out->tm_hour = 6;
    out->tm_min = 5;
    out->tm_sec = 2;
    return true;
}

bool FailingLocalTime(time_t, struct tm*) {
    return false;
}

TEST(FormatLogTimestamp, EnglishNamesAndLeadingZeros) {
    Platform.Now = FixedNow;
    Platform.LocalTime = FixedLocalTime;
    char text[kTimestampTextSize];
    FormatLogTimestamp(text);
    EXPECT_STREQ(text, "Tue Dec 08 06:05:02 2026\n");
    EXPECT_EQ(std::strlen(text), 25u);
}

TEST(FormatLogTimestamp, UnconvertibleTimeGivesEmptyText) {
    Platform.LocalTime = FailingLocalTime;
    char text[kTimestampTextSize];
    FormatLogTimestamp(text);
    EXPECT_STREQ(text, "");
}

}  // namespace
}  // namespace macgate
