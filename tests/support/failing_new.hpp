#pragma once
/// A test-only replacement of the global operator new that counts allocations and can be told
/// to fail the Nth one, so a test can sweep every allocation point of a call.

#include <cstddef>

namespace kestrix::testing {

/// From the next allocation on, the `n`th one (counting from 0) fails: operator new throws
/// std::bad_alloc and the nothrow form returns nullptr. Only that one fails.
void fail_allocation_at(std::size_t n) noexcept;

/// Stops failing; returns how many allocations were made since the last fail_allocation_at.
std::size_t stop_failing() noexcept;

/// Whether the armed failure happened.
[[nodiscard]] bool failure_happened() noexcept;

/// Blocks from operator new not yet released, counted over the whole run.
[[nodiscard]] std::size_t live_blocks() noexcept;

/// Runs `call` with the Nth allocation failing for N = 0, 1, ... until a run makes fewer than
/// N + 1 allocations; `check(n, failed)` judges each run. Returns the number of runs that had a
/// failure injected, i.e. the allocation points swept.
template <class Call, class Check>
std::size_t sweep_allocations(Call&& call, Check&& check) {
    for (std::size_t n = 0;; ++n) {
        fail_allocation_at(n);
        call();
        stop_failing();
        const bool failed = failure_happened();
        check(n, failed);
        if (!failed) return n;
    }
}

} // namespace kestrix::testing
