#include <gtest/gtest.h>

#include <ctime>

#include "config/logs.h"
#include "fixed_clock.h"
#include "platform/platform.h"

namespace macgate {
namespace {

TEST(FormatLogTimestamp, EveryDayAndMonthNameAndLeadingZeros) {
    struct Case {
        FixedDate date;
        const char* text;
    };
    const Case cases[] = {
        {{2026, 0, 4, 0}, "Sun Jan 04 06:05:02 2026\n"},
        {{2026, 1, 2, 1}, "Mon Feb 02 06:05:02 2026\n"},
        {{2026, 2, 3, 2}, "Tue Mar 03 06:05:02 2026\n"},
        {{2026, 3, 1, 3}, "Wed Apr 01 06:05:02 2026\n"},
        {{2026, 4, 7, 4}, "Thu May 07 06:05:02 2026\n"},
        {{2026, 5, 5, 5}, "Fri Jun 05 06:05:02 2026\n"},
        {{2026, 6, 4, 6}, "Sat Jul 04 06:05:02 2026\n"},
        {{2026, 7, 31, 1}, "Mon Aug 31 06:05:02 2026\n"},
        {{2026, 8, 30, 3}, "Wed Sep 30 06:05:02 2026\n"},
        {{2026, 9, 10, 6}, "Sat Oct 10 06:05:02 2026\n"},
        {{2026, 10, 26, 4}, "Thu Nov 26 06:05:02 2026\n"},
        {{2026, 11, 8, 2}, "Tue Dec 08 06:05:02 2026\n"},
        {{999, 0, 1, 2}, "Tue Jan 01 06:05:02 0999\n"},
        {{9999, 11, 31, 5}, "Fri Dec 31 06:05:02 9999\n"},
        // Fields no calendar has give no text rather than a longer one.
        {{10000, 0, 1, 6}, ""},
        {{2026, 12, 1, 0}, ""},
        {{2026, 0, 1, 7}, ""},
    };
    Platform.Now = FixedNow;
    Platform.LocalTime = FixedLocalTime<6, 5, 2>;
    for (const Case& test : cases) {
        FixedClockDate = test.date;
        char text[kTimestampTextSize];
        FormatLogTimestamp(text);
        EXPECT_STREQ(text, test.text);
    }
}

TEST(FormatLogTimestamp, UnconvertibleTimeGivesEmptyText) {
    Platform.LocalTime = FailingLocalTime;
    char text[kTimestampTextSize];
    FormatLogTimestamp(text);
    EXPECT_STREQ(text, "");
}

}  // namespace
}  // namespace macgate
