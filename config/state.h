// Process-wide state of the filter: the list in use and the two logs.
// Everything here is zero when the library is loaded. Start-up fills it on
// the host's thread before any hook can run, and stop (StopFilter) puts all
// of it back; in between only InfoLog changes (under InfoLogLock).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "filter/loaded_list.h"

namespace macgate {

// The list that decisions are made on, published by start-up and taken back
// by stop; null when none is loaded, which serves every client. A decision
// reads it once, inside a ListReader, so that a list can be put in its place
// while decisions run and released once none of them can still read it.
extern std::atomic<LoadedList*> ListInUse;

// Marks one decision's use of the list in use, from before it reads
// ListInUse until it is done with the list. The thread's own reader slot
// (a count on a cache line of its own, which no other thread writes) is odd
// while it reads: no shared write, no lock, and no allocation after the
// thread's first. The publisher pays instead: WaitForListReaders makes every
// thread pass a memory barrier and waits for the odd counts it sees. A
// thread gives its slot back when it ends; when every slot is taken, a
// thread counts its decisions in two shared counts instead. Readers may be
// nested on one thread; the outermost marks the slot.
class ListReader {
public:
    // The common case inline: the thread holds a slot, and the publisher's
    // barrier orders the reader's accesses.
    ListReader() : mark_(nullptr), count_(0), generation_(kNoGeneration) {
        ListReaderSlot* slot = ThreadReaderSlot;
        if (slot == nullptr || !LightListReaders.load(std::memory_order_relaxed)) {
            Begin();
            return;
        }
        const uint64_t count = slot->count.load(std::memory_order_relaxed);
        if ((count & 1u) != 0) {
            return;  // an outer reader of this thread has marked the slot
        }
        mark_ = &slot->count;
        count_ = count + 1;
        // The waiter's barrier orders this store before the read of
        // ListInUse that follows; only the compiler must keep the order.
        mark_->store(count_, std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    ~ListReader() {
        if (mark_ != nullptr) {
            mark_->store(count_ + 1, std::memory_order_release);
        } else if (generation_ != kNoGeneration) {
            End();
        }
    }
    ListReader(const ListReader&) = delete;
    ListReader& operator=(const ListReader&) = delete;

    // A thread's reader slot: its count, on a cache line of its own,
    // written only by the thread that holds the slot, odd while it reads.
    struct alignas(64) ListReaderSlot {
        std::atomic<uint64_t> count{0};
        std::atomic<bool> taken{false};
    };

private:
    static constexpr unsigned kNoGeneration = ~0u;
    // The rest of the constructor and destructor: claiming a slot, and the
    // shared counts of a thread without one.
    void Begin();
    void End();
    // Takes a free slot for this thread, or gives null when none is left.
    static ListReaderSlot* ClaimSlot();
    struct SlotRelease;

    // This thread's slot, null until its first decision takes one.
    static thread_local ListReaderSlot* ThreadReaderSlot;
    // True when WaitForListReaders' barrier orders the readers' accesses.
    static std::atomic<bool> LightListReaders;

    std::atomic<uint64_t>* mark_;  // the slot's count, or null
    uint64_t count_;               // the odd count this reader set in it
    unsigned generation_;          // a shared count's, without a slot
};

// Waits until no decision that began before the call can still read a list
// taken out of use before it.
void WaitForListReaders();

// Reader slots: more than a DHCP server runs threads at once. A thread
// beyond these counts its decisions in the shared counts.
constexpr size_t kListReaderSlots = 256;

// How many threads hold a reader slot now.
size_t ListReaderSlotsTaken();

// The two log streams; null means "not open" and messages for it are dropped.
extern FILE* ErrorLog;
extern FILE* InfoLog;

// 1 when an info log is configured; every write to InfoLog happens only then.
extern int32_t InfoLogEnabled;

// The info log's narrow path, kept for the server-start reopening.
constexpr int kPathBufferSize = 1024;
extern char InfoLogPath[kPathBufferSize];

// Serialises the opens and closes of InfoLog and the start and stop of its
// writer (config/info_log_writer.h), which alone writes it while it runs;
// decisions never take it.
extern std::mutex InfoLogLock;

}  // namespace macgate
