// Decisions race lists being put in use and released: each decision reads
// one list whole, never a half-built, mixed or released one, and a decision
// that starts after the switch reads the new list. Run under the thread
// sanitizer, a list released while a decision can still read it is a
// reported race; under the address sanitizer, a use after free.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "config/decision.h"
#include "config/startup.h"
#include "core_helpers.h"

namespace macgate {
namespace {

// Served by both lists, dropped by both, and served by the deny list only.
constexpr uint64_t kAlwaysServed = 0x02005e000001;
constexpr uint64_t kAlwaysDropped = 0x02005e000002;
constexpr uint64_t kServedByDeny = 0x02005e000003;

// An allow list that names kAlwaysServed, or a deny list that names
// kAlwaysDropped, each with `filler` more addresses so that building and
// releasing it take a while.
std::string ListText(bool allow, int filler) {
    std::string text = allow ? "MAC_ACTION = {ALLOW}\n" : "MAC_ACTION = {DENY}\n";
    text += Key(allow ? kAlwaysServed : kAlwaysDropped) + "\n";
    for (int i = 0; i < filler; ++i) {
        text += Key(0x0a0000000000 | static_cast<uint64_t>(i) << 8 | (allow ? 1 : 2)) + "\n";
    }
    return text;
}

int32_t Verdict(uint64_t address) {
    std::vector<uint8_t> message = MessageFor(address);
    return FilterPacket(message.data(), message.size());
}

TEST(ListSwitch, DecisionsReadOneWholeListWhileListsAreReplaced) {
    ResetStateForTesting();
    const std::string allow = ListText(true, 1000);
    const std::string deny = ListText(false, 1000);
    PublishText(allow);

    constexpr int kThreads = 4;
    constexpr int kSwitches = 100;
    std::atomic<bool> done{false};
    std::atomic<long> decisions{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (!done.load()) {
                if (Verdict(kAlwaysServed) != 1 || Verdict(kAlwaysDropped) != 0) {
                    ++wrong;
                }
                ++decisions;
            }
        });
    }
    int stale = 0;
    for (int i = 1; i <= kSwitches; ++i) {
        const bool toDeny = i % 2 == 1;
        // Built beside the list in use, while the decisions go on.
        LoadedList* next = new LoadedList;
        LoadText(toDeny ? deny : allow, *next);
        const long before = decisions.load();
        PublishList(next);
        if (Verdict(kServedByDeny) != (toDeny ? 1 : 0)) {
            ++stale;
        }
        // Lets the decision threads run on the new list before the next one.
        while (decisions.load() < before + 20) {
            std::this_thread::yield();
        }
    }
    done = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(stale, 0);
    EXPECT_GT(decisions.load(), kSwitches * 20L);
    ResetStateForTesting();
}

}  // namespace
}  // namespace macgate
