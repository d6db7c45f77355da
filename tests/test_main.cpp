// Every test starts with the library "just loaded" and the real platform
// calls in place, whatever the test before it left behind.
#include <gtest/gtest.h>

#include "core_helpers.h"
#include "fixed_clock.h"
#include "platform/platform.h"

namespace {

class ResetBetweenTests : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override {
        macgate::RestorePlatformCalls();
        macgate::ResetStateForTesting();
        macgate::FixedClockDate = macgate::FixedDate();
    }
    void OnTestEnd(const testing::TestInfo&) override {
        macgate::RestorePlatformCalls();
        macgate::ResetStateForTesting();
    }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new ResetBetweenTests);
    return RUN_ALL_TESTS();
}
