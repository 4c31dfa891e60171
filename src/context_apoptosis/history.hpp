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

}  // namespace fenwa::history
