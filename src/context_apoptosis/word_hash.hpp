// A fast non-cryptographic 64-bit hash of a short byte string, for in-memory
// hash sets of word views (nothing depends on its exact values).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "context_apoptosis/bytes.hpp"

namespace fenwa::analysers {

using bytes::load_partial;

inline std::uint64_t word_hash(std::string_view s) noexcept {
    constexpr std::uint64_t k1 = 0x9E3779B97F4A7C15ULL;
    constexpr std::uint64_t k2 = 0xC2B2AE3D27D4EB4FULL;
    const char* p = s.data();
    std::size_t n = s.size();
    std::uint64_t h = n * k2;
    for (; n >= 8; n -= 8, p += 8) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        h = (h ^ v) * k1;
        h ^= h >> 29;
    }
    if (n) {
        h = (h ^ load_partial(p, n)) * k1;
        h ^= h >> 29;
    }
    h *= k2;
    return h ^ (h >> 32);
}

}  // namespace fenwa::analysers
