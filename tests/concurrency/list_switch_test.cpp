// Decisions race lists being put in use and released: each decision reads
// one list whole, never a half-built, mixed or released one, and a decision
// that starts after the switch reads the new list. Run under the thread
// sanitizer, a list released while a decision can still read it is a
// reported race; under the address sanitizer, a use after free.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/decision.h"
#include "config/startup.h"
#include "core_helpers.h"
#include "filter/packet_filter.h"
#include "worker_threads.h"

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

// A decision that holds the list it read across a pause, as a packet thread
// that the system suspends mid-decision does: the list must outlive it.
bool SlowDecisionsAgree() {
    const std::vector<uint8_t> served = MessageFor(kAlwaysServed);
    const std::vector<uint8_t> dropped = MessageFor(kAlwaysDropped);
    ListReader reader;
    const LoadedList* list = ListInUse.load();
    std::this_thread::yield();
    return DecidePacket(list, served.data(), served.size()).verdict == 1 &&
           DecidePacket(list, dropped.data(), dropped.size()).verdict == 0;
}

// Threads that hold every reader slot still free, each after one decision,
// until the test lets them go; the decisions then count without a slot.
class SlotHolders {
public:
    void TakeEverySlot() {
        const size_t slots = kListReaderSlots - ListReaderSlotsTaken();
        for (size_t i = 0; i < slots; ++i) {
            threads_.emplace_back([this] {
                Verdict(kAlwaysServed);
                std::unique_lock<std::mutex> lock(mutex_);
                ++holding_;
                changed_.notify_all();
                changed_.wait(lock, [this] { return released_; });
            });
        }
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return holding_ == slots; });
    }
    ~SlotHolders() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            released_ = true;
            changed_.notify_all();
        }
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t holding_ = 0;
    bool released_ = false;
    std::vector<std::thread> threads_;
};

struct SwitchCase {
    const char* name;
    int publishers;
    bool slotsTaken;  // every reader slot held by other threads
};

void PrintTo(const SwitchCase& row, std::ostream* out) {
    *out << row.name;
}

class ListSwitch : public testing::TestWithParam<SwitchCase> {};

TEST_P(ListSwitch, DecisionsReadOneWholeListWhileListsAreReplaced) {
    const SwitchCase& row = GetParam();
    ResetStateForTesting();
    const std::string allow = ListText(true, 1000);
    const std::string deny = ListText(false, 1000);
    PublishText(allow);
    SlotHolders holders;
    if (row.slotsTaken) {
        holders.TakeEverySlot();
        ASSERT_EQ(ListReaderSlotsTaken(), kListReaderSlots);
    }

    constexpr int kThreads = 4;
    constexpr int kSwitches = 120;
    std::atomic<int> wrong{0};
    WorkerThreads deciders(kThreads, [&](int t) {
        const bool agree = t % 2 == 0 ? SlowDecisionsAgree()
                                      : Verdict(kAlwaysServed) == 1 && Verdict(kAlwaysDropped) == 0;
        if (!agree) {
            ++wrong;
        }
    });
    std::atomic<int> stale{0};
    RunOnThreads(row.publishers, [&](int publisher) {
        for (int i = 1 + publisher; i <= kSwitches; i += row.publishers) {
            const bool toDeny = i % 2 == 1;
            // Built beside the list in use, while the decisions go on.
            LoadedList* next = new LoadedList;
            LoadText(toDeny ? deny : allow, *next);
            PublishList(next);
            // With one publisher, a decision after the switch reads the new list.
            if (row.publishers == 1 && Verdict(kServedByDeny) != (toDeny ? 1 : 0)) {
                ++stale;
            }
            // Lets the decision threads run on the new list before the next one.
            deciders.LetThrough(20);
        }
    });
    deciders.Stop();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(stale.load(), 0);
    EXPECT_GT(deciders.Rounds(), kSwitches * 20L);
    ResetStateForTesting();
}

INSTANTIATE_TEST_SUITE_P(Publishers, ListSwitch,
                         testing::Values(SwitchCase{"one_publisher", 1, false},
                                         SwitchCase{"three_publishers", 3, false},
                                         SwitchCase{"every_slot_taken", 3, true}),
                         [](const testing::TestParamInfo<SwitchCase>& info) {
                             return std::string(info.param.name);
                         });

// Threads that end give their reader slot back: many more threads than
// slots, one after another, each decide, and the slots in use come back to
// what they were.
TEST(ListReaderSlots, ThreadsThatEndGiveTheirSlotBack) {
    ResetStateForTesting();
    PublishText(ListText(true, 0));
    const size_t before = ListReaderSlotsTaken();
    std::atomic<int> wrong{0};
    for (int round = 0; round < 150; ++round) {
        RunOnThreads(4, [&](int) {
            if (Verdict(kAlwaysServed) != 1) {
                ++wrong;
            }
        });
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(ListReaderSlotsTaken(), before);
    ResetStateForTesting();
}

}  // namespace
}  // namespace macgate
