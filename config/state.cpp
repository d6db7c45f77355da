#include "config/state.h"

#include <thread>

namespace macgate {

std::atomic<LoadedList*> ListInUse{nullptr};
FILE* ErrorLog = nullptr;
FILE* InfoLog = nullptr;
int32_t InfoLogEnabled = 0;
char InfoLogPath[kPathBufferSize] = {};
std::mutex InfoLogLock;

namespace {

// Decisions under way, by the generation they began in.
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

// Sequentially consistent throughout: a decision whose count the waiter did
// not see reads ListInUse after the list was taken out of it.
ListReader::ListReader() {
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

ListReader::~ListReader() {
    ListReaders[generation_].fetch_sub(1);
}

void WaitForListReaders() {
    std::lock_guard<std::mutex> guard(ListWaitLock);
    // The decisions of the old generation finish first, so that its count
    // is free again before the turn after this one.
    const unsigned old = ListGeneration.load() & 1u;
    WaitForNoReaders(old ^ 1u);
    ListGeneration.fetch_add(1);
    WaitForNoReaders(old);
}

}  // namespace macgate
