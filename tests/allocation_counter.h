// Counts every malloc, calloc and realloc of the process, by replacing
// glibc's entry points, and fails the one whose count is FailingAllocation.
// Include it in exactly one file of an executable that is built without the
// sanitizers (they bring their own malloc).
#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace macgate {

inline std::atomic<uint64_t> Allocations{0};
// The count of the allocation that gives null; 0 fails none.
inline std::atomic<uint64_t> FailingAllocation{0};

// Counts one allocation; true, with errno ENOMEM as malloc leaves it, when
// it is the one to fail.
inline bool CountAllocation() {
    const uint64_t count = Allocations.fetch_add(1, std::memory_order_relaxed) + 1;
    if (count != FailingAllocation.load(std::memory_order_relaxed)) {
        return false;
    }
    errno = ENOMEM;
    return true;
}

// Fails the allocation `n` allocations after this one is made, while it lives.
class FailNthAllocation {
public:
    explicit FailNthAllocation(uint64_t n) {
        FailingAllocation = Allocations.load() + n;
    }
    ~FailNthAllocation() {
        FailingAllocation = 0;
    }
    FailNthAllocation(const FailNthAllocation&) = delete;
    FailNthAllocation& operator=(const FailNthAllocation&) = delete;
};

}  // namespace macgate

// glibc's own entry points, so that the counting versions can forward.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);

void* malloc(size_t size) noexcept {
    return macgate::CountAllocation() ? nullptr : __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept {
    return macgate::CountAllocation() ? nullptr : __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) noexcept {
    return macgate::CountAllocation() ? nullptr : __libc_realloc(block, size);
}
}
