#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "config/logs.h"
#include "fixed_clock.h"
#include "platform/platform.h"

namespace macgate {
namespace {

TEST(FormatLogTimestamp, EnglishNamesAndLeadingZeros) {
    Platform.Now = FixedNow;
    Platform.LocalTime = FixedLocalTime<6, 5, 2>;
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
