// The info log on file systems that stop taking its lines: one frozen
// (fsfreeze) while decisions go on, one that fills up. run.sh mounts them
// and names them in MACGATE_FROZEN_DIR and MACGATE_FULL_DIR.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "callout/callout.h"
#include "config/info_log_writer.h"
#include "core_helpers.h"
#include "tests/control_lines.h"

namespace macgate {
namespace {

constexpr uint64_t kBlock = 0x001a2b3c4d00;

// Packet threads that decide, each on addresses of its own, until stopped.
class Deciders {
public:
    explicit Deciders(int threads) {
        for (int t = 0; t < threads; ++t) {
            threads_.emplace_back([this, t] {
                uint8_t last = static_cast<uint8_t>(t * 61 + 1);
                while (!stop_.load()) {
                    std::vector<uint8_t> message = MessageFor(kBlock | last);
                    wrong_ += HookVerdict(message) != (last % 2 == 0 ? 1 : 0) ? 1 : 0;
                    ++decisions_;
                    ++last;
                }
            });
        }
    }
    ~Deciders() {
        Stop();
    }
    void Stop() {
        stop_ = true;
        for (std::thread& thread : threads_) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }
    // Waits until `amount` more decisions were made; false when they were
    // not made in a minute.
    bool Progress(long amount) const {
        const long target = decisions_.load() + amount;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (decisions_.load() < target) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    long Decisions() const {
        return decisions_.load();
    }
    long Wrong() const {
        return wrong_.load();
    }

private:
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<long> decisions_{0};
    std::atomic<long> wrong_{0};
};

// What a log holds: every line whole and of a known form.
struct LogLines {
    long decisions = 0;
    uint64_t dropped = 0;  // the sum of the count lines
    int countLines = 0;
    std::string last;
};

LogLines ReadLog(const std::string& path) {
    const std::regex decision(std::string(kTimestampPattern) +
                              " 001a2b3c4d([0-9a-f]{2}) (Allow|Deny)");
    const std::regex count(kDroppedPattern);
    LogLines lines;
    std::ifstream file(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "the log ends in a cut line";
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch match;
        if (std::regex_match(line, match, decision)) {
            ++lines.decisions;
            EXPECT_EQ(match[2].str(),
                      std::stoi(match[1].str(), nullptr, 16) % 2 == 0 ? "Allow" : "Deny")
                << line;
        } else if (std::regex_match(line, match, count)) {
            ++lines.countLines;
            lines.dropped += std::stoull(match[1].str());
        } else if (line + "\n" != kStarted && line + "\n" != kStopped) {
            ADD_FAILURE() << "torn or unknown line: " << line;
        }
        lines.last = line + "\n";
    }
    return lines;
}

// The file system under `dir` frozen until the end of the scope.
class Frozen {
public:
    explicit Frozen(const std::string& dir) : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY)) {
        frozen_ = fd_ >= 0 && ioctl(fd_, FIFREEZE, 0) == 0;
    }
    ~Frozen() {
        Thaw();
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    void Thaw() {
        if (frozen_) {
            frozen_ = ioctl(fd_, FITHAW, 0) != 0;
        }
    }
    bool frozen() const {
        return frozen_;
    }

private:
    int fd_;
    bool frozen_ = false;
};

// The drop reports that the writer gave.
std::atomic<int> Reports{0};
std::atomic<int> ReportedError{-1};
void CountReport(uint64_t, int error) {
    ++Reports;
    ReportedError = error;
}

std::string Mounted(const char* variable) {
    const char* dir = std::getenv(variable);
    return dir != nullptr ? dir : "";
}

// After the server stopped: every decision was right, and each one is a
// line of the log or counted in a count line, which adds up to what the
// writer dropped; the log ends with the stop line.
void ExpectEveryLineAccountedFor(const std::string& path, uint64_t droppedBefore, long decisions,
                                 long wrong) {
    EXPECT_EQ(wrong, 0);
    const LogLines log = ReadLog(path);
    const uint64_t dropped = InfoLogLinesDropped() - droppedBefore;
    EXPECT_GT(log.countLines, 0);
    EXPECT_EQ(log.dropped, dropped);
    EXPECT_EQ(log.decisions + static_cast<long>(dropped), decisions);
    EXPECT_EQ(log.last, kStopped);
    std::remove(path.c_str());
}

TEST(FrozenInfoLog, DecisionsGoOnAndEveryLostLineIsCounted) {
    const std::string dir = Mounted("MACGATE_FROZEN_DIR");
    if (dir.empty()) {
        GTEST_SKIP() << "tests/filesystem/run.sh mounts the file system to freeze";
    }
    const std::string path = dir + "/info.log";
    StartWithEveryNth(kBlock, 2, path);
    ASSERT_EQ(DhcpControlHook(kControlStart, nullptr), 0u);
    const uint64_t droppedBefore = InfoLogLinesDropped();

    long decisions = 0;
    long wrong = 0;
    {
        Deciders deciders(4);
        ASSERT_TRUE(deciders.Progress(1000));
        Frozen frozen(dir);
        ASSERT_TRUE(frozen.frozen()) << "FIFREEZE: " << std::strerror(errno);
        // Far more than the queue holds: with a packet thread held in the
        // write, none of this would happen.
        EXPECT_TRUE(deciders.Progress(4 * static_cast<long>(kInfoLogQueueLines)));
        EXPECT_GE(InfoLogLinesDropped() - droppedBefore, kInfoLogQueueLines);
        frozen.Thaw();
        ASSERT_FALSE(frozen.frozen());
        EXPECT_TRUE(deciders.Progress(1000));
        deciders.Stop();
        decisions = deciders.Decisions();
        wrong = deciders.Wrong();
    }
    ASSERT_EQ(DhcpControlHook(kControlStop, nullptr), 0u);
    ExpectEveryLineAccountedFor(path, droppedBefore, decisions, wrong);
}

TEST(FullInfoLog, ReportedOnceNoLineTornAndWritingResumes) {
    const std::string dir = Mounted("MACGATE_FULL_DIR");
    if (dir.empty()) {
        GTEST_SKIP() << "tests/filesystem/run.sh mounts the file system to fill";
    }
    const std::string path = dir + "/info.log";
    const std::string filler = dir + "/filler";
    Reports = 0;
    SetInfoLogDropReport(CountReport);
    StartWithEveryNth(kBlock, 2, path);
    ASSERT_EQ(DhcpControlHook(kControlStart, nullptr), 0u);
    const uint64_t droppedBefore = InfoLogLinesDropped();
    {
        // Everything the file system has left.
        std::ofstream fill(filler, std::ios::binary);
        const std::string block(4096, 'x');
        while (fill.write(block.data(), static_cast<std::streamsize>(block.size())) &&
               fill.flush()) {
        }
    }

    long decisions = 0;
    long wrong = 0;
    {
        Deciders deciders(4);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        // The writer says so once it has met the full disk.
        while ((InfoLogLinesDropped() - droppedBefore < 1000 || Reports.load() == 0) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_GE(InfoLogLinesDropped() - droppedBefore, 1000u);
        EXPECT_TRUE(deciders.Progress(1000));
        EXPECT_EQ(Reports.load(), 1) << "one report for one full disk";
        EXPECT_EQ(ReportedError.load(), ENOSPC);

        std::remove(filler.c_str());
        const uint64_t droppedWhileFull = InfoLogLinesDropped();
        EXPECT_TRUE(deciders.Progress(1000));
        deciders.Stop();
        decisions = deciders.Decisions();
        wrong = deciders.Wrong();
        WaitForInfoLogWriter();
        EXPECT_LT(InfoLogLinesDropped() - droppedWhileFull, 2 * kInfoLogQueueLines)
            << "lines are still dropped once the disk has room";
    }
    ASSERT_EQ(DhcpControlHook(kControlStop, nullptr), 0u);
    SetInfoLogDropReport(nullptr);
    EXPECT_EQ(Reports.load(), 1);
    ExpectEveryLineAccountedFor(path, droppedBefore, decisions, wrong);
}

}  // namespace
}  // namespace macgate
