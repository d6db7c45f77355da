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
#include "filter/address_set.h"

namespace macgate {
namespace {

constexpr char kStarted[] = "The DHCP server has successfully started.";
constexpr char kStopped[] = "The DHCP server has successfully stopped.";
constexpr char kPaused[] = "The DHCP server has been paused.";
constexpr char kContinued[] = "The DHCP server has been continued.";

TEST(ControlCycle, EveryInfoLogLineStaysWholeWhileEventsCycle) {
    const std::string path = testing::TempDir() + "macgate-control-cycle-" +
                             std::to_string(std::random_device()()) + ".log";
    std::remove(path.c_str());

    // What start-up leaves: an allow list of the clients whose last byte is
    // a multiple of 3, and the info log configured but closed.
    FilterAction = 1;
    for (int last = 0; last < 256; last += 3) {
        char key[kAddressKeySize];
        std::snprintf(key, sizeof key, "5254006a01%02x", last);
        AddressSet = AddressSetInsert(key, AddressSet);
    }
    std::snprintf(InfoLogPath, sizeof InfoLogPath, "%s", path.c_str());
    InfoLogEnabled = 1;

    constexpr int kReplayThreads = 4;
    constexpr int kCycles = 200;
    std::atomic<bool> done{false};
    std::atomic<long> sent{0};
    std::atomic<int> wrongVerdicts{0};
    std::vector<std::thread> replay;
    for (int t = 0; t < kReplayThreads; ++t) {
        replay.emplace_back([&, t] {
            std::vector<uint8_t> message(300, 0);
            const uint8_t prefix[5] = {0x52, 0x54, 0x00, 0x6a, 0x01};
            std::memcpy(message.data() + 28, prefix, sizeof prefix);
            for (unsigned i = 0; !done.load(); ++i) {
                uint8_t last = static_cast<uint8_t>(i * 7 + t + 1);
                message[33] = last;
                uint8_t* packet = message.data();
                uint32_t size = static_cast<uint32_t>(message.size());
                int32_t flag = -1;
                DhcpNewPktHook(&packet, &size, 0, nullptr, nullptr, &flag);
                if (flag != (last % 3 == 0 ? 1 : 0)) {
                    ++wrongVerdicts;
                }
                ++sent;
                // Leaves the control thread a chance at the lock.
                std::this_thread::yield();
            }
        });
    }
    // Lets the replay threads through between two events.
    auto letPacketsThrough = [&sent] {
        long target = sent.load() + 20;
        while (sent.load() < target) {
            std::this_thread::yield();
        }
    };
    int cycles = 0;
    for (; cycles < kCycles; ++cycles) {
        EXPECT_EQ(DhcpControlHook(kControlStart, nullptr), 0u);
        letPacketsThrough();
        if (cycles % 5 == 4) {
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
    done = true;
    for (std::thread& thread : replay) {
        thread.join();
    }
    EXPECT_EQ(wrongVerdicts.load(), 0);

    // Decision lines only between a start and a stop; the events in their
    // order; nothing torn or mixed.
    const std::regex decision(
        "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
        "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} 5254006a01([0-9a-f]{2}) "
        "(Allow|Deny)");
    std::ifstream file(path, std::ios::binary);
    std::string line;
    int started = 0;
    int decisions = 0;
    int cycle = 0;
    bool open = false;
    std::string previousEvent = kStopped;
    while (std::getline(file, line)) {
        std::smatch match;
        if (std::regex_match(line, match, decision)) {
            EXPECT_TRUE(open) << "decision line outside start and stop: " << line;
            int last = std::stoi(match[3].str(), nullptr, 16);
            EXPECT_EQ(match[4].str(), last % 3 == 0 ? "Allow" : "Deny") << line;
            ++decisions;
            continue;
        }
        if (line == kStarted) {
            bool second = previousEvent == kStarted;
            EXPECT_TRUE(previousEvent == kStopped || (second && cycle % 5 == 4)) << line;
            if (!second) {
                ++started;
            }
            open = true;
        } else if (line == kPaused) {
            EXPECT_EQ(previousEvent, kStarted);
        } else if (line == kContinued) {
            EXPECT_EQ(previousEvent, kPaused);
        } else if (line == kStopped) {
            EXPECT_EQ(previousEvent, kContinued);
            open = false;
            ++cycle;
        } else {
            ADD_FAILURE() << "malformed line: '" << line << "'";
            continue;
        }
        previousEvent = line;
    }
    EXPECT_EQ(started, cycles);
    EXPECT_EQ(cycle, cycles);
    EXPECT_FALSE(open);
    EXPECT_GT(cycles, 0);
    std::remove(path.c_str());
    EXPECT_GT(decisions, 0);
    std::printf("%d control cycles, %d decision lines logged\n", cycles, decisions);
}

}  // namespace
}  // namespace macgate
