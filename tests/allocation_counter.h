// Counts every malloc, calloc and realloc of the process, by replacing
// glibc's entry points. Include it in exactly one file of an executable that
// is built without the sanitizers (they bring their own malloc).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace macgate {

inline std::atomic<uint64_t> Allocations{0};

}  // namespace macgate

// glibc's own entry points, so that the counting versions can forward.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);

void* malloc(size_t size) noexcept {
    macgate::Allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept {
    macgate::Allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) noexcept {
    macgate::Allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}
}
