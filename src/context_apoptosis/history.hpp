// One-pass dehydration of a whole message history: which messages survive a
// recency-weighted half-life decay, with a protected stable prefix.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fenwa::history {

struct Params {
    float half_life;       // already floored at 0.1
    float safe_threshold;  // used as is
    std::uint64_t stable_prefix;
};

// Writes keep[k] = 1 for every surviving message k of the n messages whose class
// bits are flags[0..n) (oldest first), 0 for every purged one.
void decide(const std::uint32_t* flags, std::size_t n, const Params& params,
            std::uint8_t* keep) noexcept;

// The audited savings of a decided history.
struct Accounting {
    std::uint64_t kept = 0;                  // messages kept
    std::uint64_t tokens_before = 0;         // token estimates of every message
    std::uint64_t tokens_after = 0;          // of the kept ones
    std::uint64_t stable_prefix_tokens = 0;  // of the first min(n, stable_prefix)
    double reduction = 0.0;                  // 1 - after / before; 0 for no tokens
};

// Sums the token estimates of the n messages whose UTF-8 lengths are
// bytes[0..n), given the keep mask that `decide` wrote.
Accounting account(const std::size_t* bytes, const std::uint8_t* keep, std::size_t n,
                   std::uint64_t stable_prefix) noexcept;

}  // namespace fenwa::history
