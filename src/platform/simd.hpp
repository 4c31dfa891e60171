// Sixteen-byte vectors for the byte-scanning kernels: SSE2 on x86-64 (GCC, clang
// and MSVC, which never defines __SSE2__ but always has it on x64), NEON on
// AArch64, and nothing elsewhere (FENWA_SIMD undefined: the kernels keep only
// their scalar loops). One kernel text serves both instruction sets; the
// operations are those both have at the same cost, and their results are the
// same bit for bit.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define FENWA_SIMD 1
#define FENWA_SIMD_SSE2 1
#include <emmintrin.h>
#elif defined(__aarch64__) || defined(_M_ARM64)
#define FENWA_SIMD 1
#define FENWA_SIMD_NEON 1
#include <arm_neon.h>
#endif

#if defined(FENWA_SIMD)
namespace fenwa::simd {

// Sixteen bytes. Compare results are 0xFF where true, 0x00 where false.
struct Bytes {
#if defined(FENWA_SIMD_SSE2)
    __m128i v;
#else
    uint8x16_t v;
#endif
};

#if defined(FENWA_SIMD_SSE2)

inline Bytes load(const void* p) noexcept {
    return {_mm_loadu_si128(static_cast<const __m128i*>(p))};
}
inline Bytes splat(unsigned char b) noexcept {
    return {_mm_set1_epi8(static_cast<char>(b))};
}
inline Bytes zero() noexcept {
    return {_mm_setzero_si128()};
}
inline Bytes operator==(Bytes a, Bytes b) noexcept {
    return {_mm_cmpeq_epi8(a.v, b.v)};
}
// Compares the bytes as signed (bytes from 0x80 up are negative).
inline Bytes greater_signed(Bytes a, Bytes b) noexcept {
    return {_mm_cmpgt_epi8(a.v, b.v)};
}
inline Bytes less_signed(Bytes a, Bytes b) noexcept {
    return {_mm_cmplt_epi8(a.v, b.v)};
}
inline Bytes operator&(Bytes a, Bytes b) noexcept {
    return {_mm_and_si128(a.v, b.v)};
}
inline Bytes operator|(Bytes a, Bytes b) noexcept {
    return {_mm_or_si128(a.v, b.v)};
}
inline Bytes operator^(Bytes a, Bytes b) noexcept {
    return {_mm_xor_si128(a.v, b.v)};
}
// Byte-wise a - b, modulo 256.
inline Bytes operator-(Bytes a, Bytes b) noexcept {
    return {_mm_sub_epi8(a.v, b.v)};
}
// Bit i is the top bit of byte i.
inline unsigned top_bits(Bytes a) noexcept {
    return static_cast<unsigned>(_mm_movemask_epi8(a.v));
}
// The sum of the sixteen bytes, unsigned.
inline std::uint64_t byte_sum(Bytes a) noexcept {
    const __m128i sums = _mm_sad_epu8(a.v, _mm_setzero_si128());
    return static_cast<std::uint64_t>(_mm_cvtsi128_si32(sums)) +
           static_cast<std::uint64_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
}

#else  // NEON

inline Bytes load(const void* p) noexcept {
    return {vld1q_u8(static_cast<const std::uint8_t*>(p))};
}
inline Bytes splat(unsigned char b) noexcept {
    return {vdupq_n_u8(b)};
}
inline Bytes zero() noexcept {
    return {vdupq_n_u8(0)};
}
inline Bytes operator==(Bytes a, Bytes b) noexcept {
    return {vceqq_u8(a.v, b.v)};
}
inline Bytes greater_signed(Bytes a, Bytes b) noexcept {
    return {vcgtq_s8(vreinterpretq_s8_u8(a.v), vreinterpretq_s8_u8(b.v))};
}
inline Bytes less_signed(Bytes a, Bytes b) noexcept {
    return {vcltq_s8(vreinterpretq_s8_u8(a.v), vreinterpretq_s8_u8(b.v))};
}
inline Bytes operator&(Bytes a, Bytes b) noexcept {
    return {vandq_u8(a.v, b.v)};
}
inline Bytes operator|(Bytes a, Bytes b) noexcept {
    return {vorrq_u8(a.v, b.v)};
}
inline Bytes operator^(Bytes a, Bytes b) noexcept {
    return {veorq_u8(a.v, b.v)};
}
inline Bytes operator-(Bytes a, Bytes b) noexcept {
    return {vsubq_u8(a.v, b.v)};
}
inline unsigned top_bits(Bytes a) noexcept {
    // Each byte's top bit moved to bit (i mod 8), then each half added up.
    static constexpr std::int8_t kShift[16] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7};
    const uint8x16_t bits = vshlq_u8(vshrq_n_u8(a.v, 7), vld1q_s8(kShift));
    return static_cast<unsigned>(vaddv_u8(vget_low_u8(bits))) |
           (static_cast<unsigned>(vaddv_u8(vget_high_u8(bits))) << 8);
}
inline std::uint64_t byte_sum(Bytes a) noexcept {
    return vaddlvq_u8(a.v);
}

#endif

// Bit i set when a[i] == b[i], for the 64 bytes from each.
inline std::uint64_t equal_mask64(const unsigned char* a, const unsigned char* b) noexcept {
    std::uint64_t mask = 0;
    for (int k = 0; k < 4; ++k) {
        mask |= static_cast<std::uint64_t>(top_bits(load(a + 16 * k) == load(b + 16 * k)))
                << (16 * k);
    }
    return mask;
}

}  // namespace fenwa::simd
#endif
