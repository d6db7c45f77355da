// The server control hook and the entry point's table, called directly on
// the linked-in library code.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "callout/callout.h"
#include "config/state.h"
#include "core_helpers.h"
#include "platform/platform.h"
#include "tests/control_lines.h"

namespace macgate {
namespace {

std::string TempPath(const char* name) {
    return testing::TempDir() + "macgate_control_" + name + "_" +
           testing::UnitTest::GetInstance()->current_test_info()->name();
}

bool Exists(const std::string& path) {
    std::ifstream file(path);
    return file.good();
}

std::string Contents(const std::string& path) {
    return ReadFile(path);
}

// The state start-up leaves behind with the info log configured.
std::string EnableInfoLog(const char* name, const std::string& initial = "") {
    std::string path = TempPath(name);
    WriteFile(path, initial);
    InfoLogEnabled = 1;
    std::snprintf(InfoLogPath, sizeof InfoLogPath, "%s", path.c_str());
    return path;
}

class ControlHook : public testing::Test {
protected:
    void TearDown() override {
        ResetStateForTesting();
        std::remove(path_.c_str());
    }
    std::string path_;
};

TEST_F(ControlHook, InfoLogOffEveryCodeReturnsZeroAndCreatesNothing) {
    path_ = TempPath("off");
    std::remove(path_.c_str());
    std::snprintf(InfoLogPath, sizeof InfoLogPath, "%s", path_.c_str());
    for (uint32_t code = 0; code <= 6; ++code) {
        EXPECT_EQ(DhcpControlHook(code, nullptr), 0u) << code;
    }
    EXPECT_FALSE(Exists(path_));
    EXPECT_EQ(InfoLog, nullptr);
}

TEST_F(ControlHook, FullCycleAppendsOneLinePerEvent) {
    path_ = EnableInfoLog("cycle", "Action specified is : ALLOW\n");
    EXPECT_EQ(DhcpControlHook(kControlStart, nullptr), 0u);
    // Each event's line is in the file at once, before the next event.
    EXPECT_EQ(Contents(path_), std::string("Action specified is : ALLOW\n") + kStarted);
    EXPECT_EQ(DhcpControlHook(kControlPause, nullptr), 0u);
    EXPECT_EQ(DhcpControlHook(kControlContinue, nullptr), 0u);
    EXPECT_EQ(Contents(path_),
              std::string("Action specified is : ALLOW\n") + kStarted + kPaused + kContinued);
    EXPECT_EQ(DhcpControlHook(kControlStop, nullptr), 0u);
    EXPECT_EQ(InfoLog, nullptr);
    EXPECT_EQ(Contents(path_), std::string("Action specified is : ALLOW\n") + kStarted + kPaused +
                                   kContinued + kStopped);
}

TEST_F(ControlHook, EventsWithoutAnOpenLogWriteNothing) {
    path_ = EnableInfoLog("closed");
    EXPECT_EQ(DhcpControlHook(kControlPause, nullptr), 0u);
    EXPECT_EQ(DhcpControlHook(kControlContinue, nullptr), 0u);
    EXPECT_EQ(DhcpControlHook(kControlStop, nullptr), 0u);
    EXPECT_EQ(Contents(path_), "");
    DhcpControlHook(kControlStart, nullptr);
    DhcpControlHook(kControlStop, nullptr);
    EXPECT_EQ(DhcpControlHook(kControlStop, nullptr), 0u);
    EXPECT_EQ(DhcpControlHook(kControlPause, nullptr), 0u);
    EXPECT_EQ(Contents(path_), std::string(kStarted) + kStopped);
}

TEST_F(ControlHook, UnknownCodesWriteNothing) {
    path_ = EnableInfoLog("codes");
    DhcpControlHook(kControlStart, nullptr);
    for (uint32_t code : {0u, 5u, 6u, 0xffffffffu}) {
        EXPECT_EQ(DhcpControlHook(code, nullptr), 0u) << code;
    }
    DhcpControlHook(kControlStop, nullptr);
    EXPECT_EQ(Contents(path_), std::string(kStarted) + kStopped);
}

TEST_F(ControlHook, SecondStartKeepsTheOpenStream) {
    path_ = EnableInfoLog("restart");
    DhcpControlHook(kControlStart, nullptr);
    FILE* first = InfoLog;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(DhcpControlHook(kControlStart, nullptr), 0u);
    EXPECT_EQ(InfoLog, first);
    DhcpControlHook(kControlPause, nullptr);
    DhcpControlHook(kControlStop, nullptr);
    EXPECT_EQ(Contents(path_), std::string(kStarted) + kStarted + kPaused + kStopped);
}

FILE* RefusingOpen(const char*, const char*, FileShare) {
    return nullptr;
}

size_t FailingAppend(FILE*, const char*, size_t) {
    errno = EIO;
    return 0;
}

TEST_F(ControlHook, RefusedOpenLeavesTheLogClosedUntilALaterStart) {
    path_ = EnableInfoLog("refused");
    Platform.OpenFile = RefusingOpen;
    EXPECT_EQ(DhcpControlHook(kControlStart, nullptr), 0u);
    EXPECT_EQ(InfoLog, nullptr);
    EXPECT_EQ(DhcpControlHook(kControlPause, nullptr), 0u);
    RestorePlatformCalls();
    DhcpControlHook(kControlStart, nullptr);
    DhcpControlHook(kControlStop, nullptr);
    EXPECT_EQ(Contents(path_), std::string(kStarted) + kStopped);
}

TEST_F(ControlHook, FailingWritesStillCloseTheLog) {
    path_ = EnableInfoLog("failing");
    Platform.AppendLines = FailingAppend;
    for (uint32_t code : {kControlStart, kControlPause, kControlContinue, kControlStop}) {
        EXPECT_EQ(DhcpControlHook(code, nullptr), 0u) << code;
    }
    EXPECT_EQ(InfoLog, nullptr);
    EXPECT_EQ(Contents(path_), "");
}

TEST(CalloutEntry, FillsItsSixSlotsAndLeavesTheServersAlone) {
    // With no file that can be opened, start-up ends at once; the table is
    // filled all the same.
    Platform.OpenFile = RefusingOpen;
    void* sentinels[10];
    for (int i = 0; i < 10; ++i) {
        sentinels[i] = &sentinels[i];
    }
    CalloutTable table;
    static_assert(sizeof table == sizeof sentinels, "ten pointer-sized slots");
    std::memcpy(&table, sentinels, sizeof table);
    EXPECT_EQ(DhcpServerCalloutEntry(nullptr, 0, &table), 0u);
    EXPECT_EQ(table.controlHook, &DhcpControlHook);
    EXPECT_EQ(table.newPktHook, &DhcpNewPktHook);
    EXPECT_EQ(table.pktDropHook, &DhcpPktDropHook);
    EXPECT_EQ(table.pktSendHook, &DhcpPktSendHook);
    EXPECT_EQ(table.addressDelHook, &DhcpAddressDelHook);
    EXPECT_EQ(table.deleteClientHook, &DhcpDeleteClientHook);
    EXPECT_EQ(table.slot5, sentinels[5]);
    EXPECT_EQ(table.slot6, sentinels[6]);
    EXPECT_EQ(table.slot8, sentinels[8]);
    EXPECT_EQ(table.slot9, sentinels[9]);
    // A server that passes no table gets success and no crash.
    EXPECT_EQ(DhcpServerCalloutEntry(nullptr, 0, nullptr), 0u);
}

TEST(CalloutEntry, HooksThatDoNothingReturnZero) {
    EXPECT_EQ(DhcpPktDropHook(1, 2, 3, 4, 5, 6), 0u);
    EXPECT_EQ(DhcpPktSendHook(0, 0, 0, 0, 0, 0), 0u);
    EXPECT_EQ(DhcpAddressDelHook(1, 2, 3, 4, 5, 6, 7), 0u);
    EXPECT_EQ(DhcpAddressOfferHook(1, 2, 3, 4, 5, 6, 7, 8, 9), 0u);
    EXPECT_EQ(DhcpDeleteClientHook(~uintptr_t{0}, 0, 0, 0, 0), 0u);
}

}  // namespace
}  // namespace macgate
