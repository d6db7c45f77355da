#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "worker_threads.h"

namespace macgate {
namespace {

// Threads race to hold one file with deny-all opens: never two at once, and
// every claim is given back, so the file is free at the end.
TEST(ShareModeThreads, OneHolderAtATime) {
    char path[] = "/tmp/macgate-threads-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);

    std::atomic<int> holders{0};
    std::atomic<int> most{0};
    std::atomic<int> grants{0};
    RunOnThreads(4, [&](int) {
        for (int i = 0; i < 300; ++i) {
            // Writers exclude everyone whatever they share; readers here
            // deny reading too.
            bool writes = i % 2 == 1;
            FileShare share =
                writes && i % 3 == 0 ? FileShare::kDenyWrite : FileShare::kDenyReadWrite;
            FILE* stream = Platform.OpenFile(path, writes ? "w" : "r", share);
            if (stream == nullptr) {
                continue;
            }
            int now = ++holders;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            ++grants;
            --holders;
            Platform.CloseFile(stream);
        }
    });
    EXPECT_EQ(most.load(), 1);
    EXPECT_GT(grants.load(), 0);
    FILE* last = Platform.OpenFile(path, "w", FileShare::kDenyReadWrite);
    EXPECT_NE(last, nullptr);
    if (last != nullptr) {
        Platform.CloseFile(last);
    }
    unlink(path);
}

}  // namespace
}  // namespace macgate
