#include "config/state.h"

#include <thread>

#include "platform/platform.h"

namespace macgate {

std::atomic<LoadedList*> ListInUse{nullptr};
FILE* ErrorLog = nullptr;
FILE* InfoLog = nullptr;
int32_t InfoLogEnabled = 0;
char InfoLogPath[kPathBufferSize] = {};
std::mutex InfoLogLock;

namespace {

using ReaderSlot = ListReader::ListReaderSlot;

ReaderSlot ReaderSlots[kListReaderSlots];

// Under the thread sanitizer, which cannot see a barrier that another
// thread makes for it, every reader orders its own accesses.
#if defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedThreads = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kSanitizedThreads = true;
#else
constexpr bool kSanitizedThreads = false;
#endif
#else
constexpr bool kSanitizedThreads = false;
#endif

// True when WaitForListReaders' barrier orders the readers' accesses, so
// that a reader needs none of its own. Set once, before the first slot is
// taken and before the first wait.
bool BarrierOrdersReaders() {
    static const bool ordered = !kSanitizedThreads && StartProcessBarrier();
    return ordered;
}

// Decisions under way without a slot, by the generation they began in.
std::atomic<unsigned> ListGeneration{0};
std::atomic<unsigned> ListReaders[2] = {{0}, {0}};
// One waiter at a time: a second one would turn the generation back under
// the first.
std::mutex ListWaitLock;

void WaitForNoReaders(unsigned generation) {
    while (ListReaders[generation].load() != 0) {
        std::this_thread::yield();
    }
}

}  // namespace

thread_local ListReader::ListReaderSlot* ListReader::ThreadReaderSlot = nullptr;

// BarrierOrdersReaders for the readers, read on every decision: stored by
// every thread's claim, before it reads it.
std::atomic<bool> ListReader::LightListReaders{false};

// Gives the slot of a thread back when the thread ends.
struct ListReader::SlotRelease {
    ~SlotRelease() {
        if (ThreadReaderSlot != nullptr) {
            ThreadReaderSlot->taken.store(false, std::memory_order_release);
            ThreadReaderSlot = nullptr;
        }
    }
};

ListReader::ListReaderSlot* ListReader::ClaimSlot() {
    LightListReaders.store(BarrierOrdersReaders(), std::memory_order_relaxed);
    for (ReaderSlot& slot : ReaderSlots) {
        bool free = false;
        if (!slot.taken.load(std::memory_order_relaxed) &&
            slot.taken.compare_exchange_strong(free, true, std::memory_order_acquire)) {
            // Constructed on this thread's first claim: gives the slot back
            // when the thread ends.
            static thread_local SlotRelease release;
            static_cast<void>(release);
            ThreadReaderSlot = &slot;
            return &slot;
        }
    }
    return nullptr;
}

void ListReader::Begin() {
    ReaderSlot* slot = ThreadReaderSlot != nullptr ? ThreadReaderSlot : ClaimSlot();
    if (slot != nullptr) {
        const uint64_t count = slot->count.load(std::memory_order_relaxed);
        if ((count & 1u) != 0) {
            return;  // an outer reader of this thread has marked the slot
        }
        mark_ = &slot->count;
        count_ = count + 1;
        if (LightListReaders.load(std::memory_order_relaxed)) {
            mark_->store(count_, std::memory_order_relaxed);
            std::atomic_signal_fence(std::memory_order_seq_cst);
        } else {
            // Sequentially consistent with the read of ListInUse and the
            // waiter's exchange and scan.
            mark_->store(count_);
        }
        return;
    }
    // Sequentially consistent throughout: a decision whose count the waiter
    // did not see reads ListInUse after the list was taken out of it.
    for (;;) {
        generation_ = ListGeneration.load() & 1u;
        ListReaders[generation_].fetch_add(1);
        if ((ListGeneration.load() & 1u) == generation_) {
            return;
        }
        // The generation turned meanwhile: count in the new one, so that a
        // waiter on the old one is never held by a decision that reads the
        // new list.
        ListReaders[generation_].fetch_sub(1);
    }
}

void ListReader::End() {
    ListReaders[generation_].fetch_sub(1);
}

void WaitForListReaders() {
    std::lock_guard<std::mutex> guard(ListWaitLock);
    // A reader whose mark this scan misses has not read ListInUse yet, and
    // reads the list that replaced the one taken out.
    if (BarrierOrdersReaders()) {
        ProcessBarrier();
    }
    for (ReaderSlot& slot : ReaderSlots) {
        const uint64_t count = slot.count.load();
        if ((count & 1u) != 0) {
            // Any change ends the read that was under way: the next one
            // reads the new list.
            while (slot.count.load(std::memory_order_acquire) == count) {
                std::this_thread::yield();
            }
        }
    }
    // The decisions of the old generation finish first, so that its count
    // is free again before the turn after this one.
    const unsigned old = ListGeneration.load() & 1u;
    WaitForNoReaders(old ^ 1u);
    ListGeneration.fetch_add(1);
    WaitForNoReaders(old);
}

size_t ListReaderSlotsTaken() {
    size_t taken = 0;
    for (const ReaderSlot& slot : ReaderSlots) {
        taken += slot.taken.load() ? 1 : 0;
    }
    return taken;
}

}  // namespace macgate
