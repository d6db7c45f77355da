// What the concurrency tests share: threads that repeat a body until told to
// stop, counting their rounds, so that the thread that drives events can let
// them through between two events.
#pragma once

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace macgate {

class WorkerThreads {
public:
    // Starts `count` threads, each running body(its index) until Stop().
    WorkerThreads(int count, std::function<void(int)> body) : body_(std::move(body)) {
        for (int t = 0; t < count; ++t) {
            threads_.emplace_back([this, t] {
                while (!stop_.load()) {
                    body_(t);
                    ++rounds_;
                }
            });
        }
    }
    ~WorkerThreads() {
        Stop();
    }
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Returns once the threads have run `amount` more rounds between them.
    void LetThrough(long amount) const {
        const long target = rounds_.load() + amount;
        while (rounds_.load() < target) {
            std::this_thread::yield();
        }
    }

    // Stops and joins the threads.
    void Stop() {
        stop_ = true;
        for (std::thread& thread : threads_) {
            thread.join();
        }
        threads_.clear();
    }

    long Rounds() const {
        return rounds_.load();
    }

private:
    std::function<void(int)> body_;
    std::atomic<bool> stop_{false};
    std::atomic<long> rounds_{0};
    std::vector<std::thread> threads_;
};

// Runs body(index) on `count` threads at once and joins them.
inline void RunOnThreads(int count, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) {
        threads.emplace_back(body, t);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

}  // namespace macgate
