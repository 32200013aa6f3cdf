#include "failing_new.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace kestrix::testing {

namespace {

// Relaxed atomics: the sweeps are single-threaded, but a test framework may allocate from
// another thread and must not race with the counters.
std::atomic<bool> armed{false};
std::atomic<bool> failed{false};
std::atomic<std::size_t> made{0};
std::atomic<std::size_t> fail_at{0};
std::atomic<std::size_t> live{0};

/// Whether this allocation is the one to fail.
bool should_fail() noexcept {
    if (!armed.load(std::memory_order_relaxed)) return false;
    const std::size_t index = made.fetch_add(1, std::memory_order_relaxed);
    if (index != fail_at.load(std::memory_order_relaxed)) return false;
    failed.store(true, std::memory_order_relaxed);
    return true;
}

void* allocate(std::size_t size) noexcept {
    if (should_fail()) return nullptr;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) live.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void release(void* block) noexcept {
    if (block == nullptr) return;
    live.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

} // namespace

void fail_allocation_at(std::size_t n) noexcept {
    made.store(0, std::memory_order_relaxed);
    failed.store(false, std::memory_order_relaxed);
    fail_at.store(n, std::memory_order_relaxed);
    armed.store(true, std::memory_order_relaxed);
}

std::size_t stop_failing() noexcept {
    armed.store(false, std::memory_order_relaxed);
    return made.load(std::memory_order_relaxed);
}

bool failure_happened() noexcept {
    return failed.load(std::memory_order_relaxed);
}

std::size_t live_blocks() noexcept {
    return live.load(std::memory_order_relaxed);
}

} // namespace kestrix::testing

void* operator new(std::size_t size) {
    void* block = kestrix::testing::allocate(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return kestrix::testing::allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return kestrix::testing::allocate(size);
}
void operator delete(void* block) noexcept {
    kestrix::testing::release(block);
}
void operator delete[](void* block) noexcept {
    kestrix::testing::release(block);
}
void operator delete(void* block, std::size_t) noexcept {
    kestrix::testing::release(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    kestrix::testing::release(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    kestrix::testing::release(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    kestrix::testing::release(block);
}
