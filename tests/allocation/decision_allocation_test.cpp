// A packet decision allocates nothing: every allocation of this process is
// counted, and each row of decisions after a thread's first must leave the
// count where it was.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "callout/callout.h"
#include "config/state.h"
#include "core_helpers.h"
#include "platform/platform.h"
#include "tests/allocation_counter.h"

namespace macgate {
namespace {

TEST(DecisionAllocation, NoDecisionAllocates) {
    const std::string path = testing::TempDir() + "macgate-allocation-" +
                             std::to_string(std::random_device()()) + ".log";
    struct Case {
        const char* name;
        unsigned char action;
        bool listed;  // a list of two addresses and the prefix 001c23, else none
        bool infoLog;
        uint8_t address[6];
        int32_t verdict;
    };
    const Case cases[] = {
        {"empty set", 1, false, false, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}, 1},
        {"allow list, listed", 1, true, false, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}, 1},
        {"allow list, unlisted", 1, true, false, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5f}, 0},
        {"deny list, listed", 0, true, false, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}, 0},
        {"deny list, unlisted", 0, true, false, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5f}, 1},
        {"allow list, under the prefix", 1, true, false, {0x00, 0x1c, 0x23, 0x12, 0x34, 0x56}, 1},
        {"deny list, beside the prefix", 0, true, false, {0x00, 0x1c, 0x24, 0x00, 0x00, 0x00}, 1},
        {"allow list, logged", 1, true, true, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}, 1},
        {"deny list, logged", 0, true, true, {0x00, 0x1c, 0x23, 0x12, 0x34, 0x56}, 0},
        {"all-zero address, logged", 1, true, true, {0, 0, 0, 0, 0, 0}, 0},
    };
    for (const Case& test : cases) {
        ResetStateForTesting();
        if (test.listed) {
            PublishKeys(test.action, {"001a2b3c4d5e", "001a2b3c4d60", "001c23******"});
        } else {
            PublishKeys(test.action, {});
        }
        std::vector<uint8_t> message = Message(test.address);
        if (test.infoLog) {
            OpenInfoLogForTesting(path);
            // The time zone comes with the first line.
            HookVerdict(message);
            WaitForInfoLogWriter();
        }
        // A thread's first decision takes its reader slot; with the info log
        // on, the stream's buffer and the time zone come with the first line.
        HookVerdict(message);
        const uint64_t before = Allocations.load();
        int wrong = 0;
        for (int i = 0; i < 100; ++i) {
            wrong += HookVerdict(message) != test.verdict ? 1 : 0;
        }
        // The writer's share too: it writes what it took, allocating nothing.
        WaitForInfoLogWriter();
        EXPECT_EQ(wrong, 0) << test.name;
        EXPECT_EQ(Allocations.load() - before, 0u) << test.name;
    }
    ResetStateForTesting();
    std::remove(path.c_str());
}

}  // namespace
}  // namespace macgate
