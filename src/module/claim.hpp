// Borrow claims: a per-object atomic counter that lets many concurrent readers
// (shared claims) in, or exactly one writer (the exclusive mark), never both.
// Plain C++ so the counter can be exercised from native tests.
#pragma once

#include <atomic>
#include <cstdint>

namespace fenwa {

class ClaimCounter {
  public:
    enum class Result { ok, exclusively_held, held };

    static constexpr std::uint32_t kExclusive = 0xFFFFFFFFu;

    // Shared claim: fails only while the exclusive mark is set.
    Result acquire_shared() noexcept {
        std::uint32_t cur = count_.load(std::memory_order_relaxed);
        do {
            if (cur == kExclusive) return Result::exclusively_held;
        } while (!count_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return Result::ok;
    }
    void release_shared() noexcept { count_.fetch_sub(1, std::memory_order_release); }

    // Exclusive claim: succeeds only while no claim of either kind is held.
    Result acquire_exclusive() noexcept {
        std::uint32_t expected = 0;
        if (count_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                           std::memory_order_relaxed))
            return Result::ok;
        return Result::held;
    }
    void release_exclusive() noexcept { count_.store(0, std::memory_order_release); }

    std::uint32_t raw() const noexcept { return count_.load(std::memory_order_relaxed); }

  private:
    static_assert(std::atomic<std::uint32_t>::is_always_lock_free,
                  "claims are taken without a lock");
    std::atomic<std::uint32_t> count_{0};
};

}  // namespace fenwa
