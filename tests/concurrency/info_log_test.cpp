// Packet threads write decision lines while server start and stop open and
// close the info log through the control hook.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
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

TEST(InfoLogConcurrency, PacketLinesStayWholeWhileTheLogOpensAndCloses) {
    std::random_device random;
    const std::string path =
        testing::TempDir() + "macgate-info-log-" + std::to_string(random()) + ".log";
    std::remove(path.c_str());

    // Allow list of the even last bytes.
    StartWithEveryNth(0x001a2b3c4d00, 2, path);

    constexpr int kPacketThreads = 4;
    constexpr int kRounds = 40;
    std::atomic<long> wrongVerdicts{0};
    WorkerThreads packetThreads(kPacketThreads, [&](int t) {
        thread_local uint8_t last = static_cast<uint8_t>(t * 61 + 1);
        std::vector<uint8_t> message = MessageFor(0x001A2B3C4D00 | last);
        if (HookVerdict(message) != (last % 2 == 0 ? 1 : 0)) {
            ++wrongVerdicts;
        }
        ++last;
    });

    // Server start and stop through the control hook; the packet threads
    // run both while the log is open and while it is closed.
    for (int round = 0; round < kRounds; ++round) {
        EXPECT_EQ(DhcpControlHook(kControlStart, nullptr), 0u);
        packetThreads.LetThrough(50);
        EXPECT_EQ(DhcpControlHook(kControlStop, nullptr), 0u);
        packetThreads.LetThrough(50);
    }
    packetThreads.Stop();
    EXPECT_EQ(wrongVerdicts.load(), 0);

    // Packet lines only while the log is open, between a start and a stop.
    const std::regex packetLine(std::string(kTimestampPattern) +
                                " 001a2b3c4d([0-9a-f]{2}) (Allow|Deny)");
    const std::regex dropped(kDroppedPattern);
    std::ifstream file(path);
    std::string line;
    int starts = 0;
    int stops = 0;
    int packetLines = 0;
    bool open = false;
    while (std::getline(file, line)) {
        std::smatch match;
        if (line + "\n" == kStarted) {
            EXPECT_FALSE(open) << "two starts without a stop";
            open = true;
            ++starts;
        } else if (line + "\n" == kStopped) {
            EXPECT_TRUE(open) << "a stop without a start";
            open = false;
            ++stops;
        } else if (std::regex_match(line, dropped)) {
            // A loaded machine can fill the writer's queue.
            EXPECT_TRUE(open) << "count line while the log is closed";
        } else if (std::regex_match(line, match, packetLine)) {
            EXPECT_TRUE(open) << "packet line while the log is closed: " << line;
            ++packetLines;
            int last = std::stoi(match[1].str(), nullptr, 16);
            EXPECT_EQ(match[2].str(), last % 2 == 0 ? "Allow" : "Deny") << line;
        } else {
            ADD_FAILURE() << "malformed line: " << line;
        }
    }
    EXPECT_EQ(starts, kRounds);
    EXPECT_EQ(stops, kRounds);
    EXPECT_GE(packetLines, kRounds);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace macgate
