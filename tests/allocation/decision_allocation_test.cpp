// A packet decision allocates nothing: every allocation of this process is
// counted, and each row of decisions must leave the count where it was.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "callout/callout.h"
#include "config/state.h"
#include "filter/address_set.h"
#include "platform/platform.h"
#include "tests/allocation_counter.h"

namespace macgate {
namespace {

int32_t Decide(uint8_t* message, uint32_t size) {
    int32_t flag = -1;
    DhcpNewPktHook(&message, &size, 0, nullptr, nullptr, &flag);
    return flag;
}

TEST(DecisionAllocation, NoDecisionAllocates) {
    const std::string path = testing::TempDir() + "macgate-allocation-" +
                             std::to_string(std::random_device()()) + ".log";
    struct Case {
        const char* name;
        unsigned char action;
        bool listed;
        bool infoLog;
        uint8_t last;  // of the client's address; listed clients end in 5e
    };
    const Case cases[] = {
        {"empty set", 1, false, false, 0x5e},
        {"allow list, listed", 1, true, false, 0x5e},
        {"allow list, unlisted", 1, true, false, 0x5f},
        {"deny list, listed", 0, true, false, 0x5e},
        {"deny list, unlisted", 0, true, false, 0x5f},
        {"allow list, logged", 1, true, true, 0x5e},
        {"deny list, logged", 0, true, true, 0x5e},
        {"all-zero address", 1, true, true, 0x00},
    };
    for (const Case& test : cases) {
        ResetStateForTesting();
        FilterAction = test.action;
        if (test.listed) {
            AddressSet = AddressSetInsert("001a2b3c4d5e", AddressSet);
            AddressSet = AddressSetInsert("001a2b3c4d60", AddressSet);
        }
        std::vector<uint8_t> message(300, 0);
        const uint8_t address[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, test.last};
        if (test.last != 0) {
            std::copy(address, address + 6, message.begin() + 28);
        }
        if (test.infoLog) {
            InfoLogEnabled = 1;
            InfoLog = Platform.OpenFile(path.c_str(), "a", FileShare::kDenyWrite);
            ASSERT_NE(InfoLog, nullptr);
            // The stream's buffer and the time zone come with the first line.
            Decide(message.data(), 300);
        }
        const uint64_t before = Allocations.load();
        int32_t first = Decide(message.data(), 300);
        for (int i = 0; i < 100; ++i) {
            EXPECT_EQ(Decide(message.data(), 300), first);
        }
        EXPECT_EQ(Allocations.load() - before, 0u) << test.name;
    }
    ResetStateForTesting();
    std::remove(path.c_str());
}

}  // namespace
}  // namespace macgate
