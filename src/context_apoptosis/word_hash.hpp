// A fast non-cryptographic 64-bit hash of a short byte string, for in-memory
// hash sets of word views (nothing depends on its exact values).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace fenwa::analysers {

// The n <= 8 bytes at p as a native-order word, upper bytes zero, read without
// touching memory outside [p, p + n) and without a byte loop.
inline std::uint64_t load_partial(const char* p, std::size_t n) noexcept {
    if (n >= 4) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        if constexpr (std::endian::native == std::endian::little) {
            return lo | (static_cast<std::uint64_t>(hi) << (8 * (n - 4)));
        } else {
            std::uint64_t v = 0;
            std::memcpy(&v, p, n);
            return v;
        }
    }
    if (n == 0) return 0;
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint64_t>(u[0]) |
           (static_cast<std::uint64_t>(u[n / 2]) << (8 * (n / 2))) |
           (static_cast<std::uint64_t>(u[n - 1]) << (8 * (n - 1)));
}

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
