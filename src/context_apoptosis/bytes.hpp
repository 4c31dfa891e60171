// Little-endian word loads for the hashes and the short-string compares.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fenwa::bytes {

template <class T>
constexpr T byteswap(T v) noexcept {
    T r = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        r |= ((v >> (8 * i)) & 0xFF) << (8 * (sizeof(T) - 1 - i));
    return r;
}

inline std::uint32_t load_le32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = byteswap(v);
    return v;
}

inline std::uint64_t load_le64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = byteswap(v);
    return v;
}

// The n <= 8 bytes at p as a little-endian word, upper bytes zero, read without
// touching memory outside [p, p + n) and without a byte loop.
inline std::uint64_t load_partial(const void* data, std::size_t n) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    if (n == 8) return load_le64(p);
    if (n >= 4) {
        const std::uint64_t lo = load_le32(p);
        const std::uint64_t hi = load_le32(p + n - 4);
        return lo | (hi << (8 * (n - 4)));  // the overlapping bytes agree
    }
    if (n == 0) return 0;
    return static_cast<std::uint64_t>(p[0]) |
           (static_cast<std::uint64_t>(p[n / 2]) << (8 * (n / 2))) |
           (static_cast<std::uint64_t>(p[n - 1]) << (8 * (n - 1)));
}

}  // namespace fenwa::bytes
