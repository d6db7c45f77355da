// Replay threads send packets through the packet hook while the server's
// control events cycle through start, pause, continue and stop (and an
// occasional second start), all through the real hooks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "callout/callout.h"
#include "config/state.h"
#include "core_helpers.h"
#include "filter/address_set.h"
#include "tests/control_lines.h"
#include "worker_threads.h"

namespace macgate {
namespace {

TEST(ControlCycle, EveryInfoLogLineStaysWholeWhileEventsCycle) {
    const std::string path = testing::TempDir() + "macgate-control-cycle-" +
                             std::to_string(std::random_device()()) + ".log";
    std::remove(path.c_str());

    // What start-up leaves: an allow list of the clients whose last byte is
    // a multiple of 3, and the info log configured but closed.
    StartWithEveryNth(0x5254006a0100, 3, path);

    constexpr int kReplayThreads = 4;
    constexpr int kCycles = 200;
    std::atomic<int> wrongVerdicts{0};
    WorkerThreads replay(kReplayThreads, [&](int t) {
        thread_local unsigned i = 0;
        std::vector<uint8_t> message = MessageFor(0x5254006a0100);
        const uint8_t last = static_cast<uint8_t>(i++ * 7 + static_cast<unsigned>(t) + 1);
        message[33] = last;
        if (HookVerdict(message) != (last % 3 == 0 ? 1 : 0)) {
            ++wrongVerdicts;
        }
        // Leaves the control thread a chance at the lock.
        std::this_thread::yield();
    });
    // Lets the replay threads through between two events.
    auto letPacketsThrough = [&replay] { replay.LetThrough(20); };
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        EXPECT_EQ(DhcpControlHook(kControlStart, nullptr), 0u);
        letPacketsThrough();
        if (cycle % 5 == 4) {
            EXPECT_EQ(DhcpControlHook(kControlStart, nullptr), 0u);
            letPacketsThrough();
        }
        EXPECT_EQ(DhcpControlHook(kControlPause, nullptr), 0u);
        letPacketsThrough();
        EXPECT_EQ(DhcpControlHook(kControlContinue, nullptr), 0u);
        letPacketsThrough();
        EXPECT_EQ(DhcpControlHook(kControlStop, nullptr), 0u);
        letPacketsThrough();
    }
    replay.Stop();
    EXPECT_EQ(wrongVerdicts.load(), 0);

    // Decision lines only between a start and a stop, and some in every
    // stretch that packets were let through while the log was open; the
    // events in their order; nothing torn or mixed.
    const std::regex decision(std::string(kTimestampPattern) +
                              " 5254006a01([0-9a-f]{2}) (Allow|Deny)");
    // A loaded machine can fill the writer's queue: what it dropped is
    // counted in a line of its own, which is no event.
    const std::regex dropped(kDroppedPattern);
    std::ifstream file(path, std::ios::binary);
    std::string line;
    int starts = 0, secondStarts = 0, pauses = 0, continues = 0, stops = 0;
    int decisions = 0;
    int stretch = 0;  // decision lines since the last event
    int emptyStretches = 0;
    bool open = false;
    std::string previousEvent = kStopped;
    while (std::getline(file, line)) {
        std::smatch match;
        const std::string event = line + "\n";
        if (std::regex_match(line, match, decision)) {
            EXPECT_TRUE(open) << "decision line outside start and stop: " << line;
            int last = std::stoi(match[1].str(), nullptr, 16);
            EXPECT_EQ(match[2].str(), last % 3 == 0 ? "Allow" : "Deny") << line;
            ++decisions;
            ++stretch;
            continue;
        }
        if (std::regex_match(line, dropped)) {
            EXPECT_TRUE(open) << "count line outside start and stop";
            ++stretch;
            continue;
        }
        // Every event but a start after a stop follows packets let through.
        if ((event != kStarted || previousEvent != kStopped) && stretch == 0) {
            ++emptyStretches;
        }
        if (event == kStarted && previousEvent == kStarted) {
            EXPECT_EQ(stops % 5, 4) << "second start in the wrong cycle";
            ++secondStarts;
        } else if (event == kStarted) {
            EXPECT_EQ(previousEvent, kStopped);
            ++starts;
            open = true;
        } else if (event == kPaused) {
            EXPECT_EQ(previousEvent, kStarted);
            ++pauses;
        } else if (event == kContinued) {
            EXPECT_EQ(previousEvent, kPaused);
            ++continues;
        } else if (event == kStopped) {
            EXPECT_EQ(previousEvent, kContinued);
            open = false;
            ++stops;
        } else {
            ADD_FAILURE() << "malformed line: '" << line << "'";
            continue;
        }
        stretch = 0;
        previousEvent = event;
    }
    EXPECT_EQ(emptyStretches, 0) << "events with no decision line logged before them";
    EXPECT_EQ(starts, kCycles);
    EXPECT_EQ(secondStarts, kCycles / 5);
    EXPECT_EQ(pauses, kCycles);
    EXPECT_EQ(continues, kCycles);
    EXPECT_EQ(stops, kCycles);
    EXPECT_FALSE(open);
    std::remove(path.c_str());
    std::printf("%d control cycles, %d decision lines logged\n", kCycles, decisions);
}

}  // namespace
}  // namespace macgate
