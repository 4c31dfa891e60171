#include "context_apoptosis/siphash_x4.hpp"

#include <algorithm>

#include "context_apoptosis/bytes.hpp"
#include "context_apoptosis/siphash.hpp"
#include "platform/cpu.hpp"

// The four-lane form needs AVX2, chosen at run time, on x86-64 with GCC or clang
// (a function-level target) and MSVC (whose intrinsics need no target). Not with
// MinGW's GCC, which cannot realign the stack for the 32-byte locals on Windows.
#if defined(__x86_64__) || defined(_M_X64)
#if !(defined(__MINGW32__) && !defined(__clang__))
#define FENWA_SIP_X4 1
#include <immintrin.h>
#endif
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#define FENWA_TARGET_AVX2
#else
#define FENWA_TARGET_AVX2 __attribute__((target("avx2")))
#endif

namespace fenwa {

#if defined(FENWA_SIP_X4)

namespace {

template <int R>
FENWA_TARGET_AVX2 inline __m256i rotl(__m256i x) noexcept {
    if constexpr (R == 32) {
        return _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1));
    } else {
        return _mm256_or_si256(_mm256_slli_epi64(x, R), _mm256_srli_epi64(x, 64 - R));
    }
}

struct State {
    __m256i v0, v1, v2, v3;
};

FENWA_TARGET_AVX2 inline void round(State& s) noexcept {
    s.v0 = _mm256_add_epi64(s.v0, s.v1);
    s.v1 = rotl<13>(s.v1);
    s.v1 = _mm256_xor_si256(s.v1, s.v0);
    s.v0 = rotl<32>(s.v0);
    s.v2 = _mm256_add_epi64(s.v2, s.v3);
    s.v3 = rotl<16>(s.v3);
    s.v3 = _mm256_xor_si256(s.v3, s.v2);
    s.v0 = _mm256_add_epi64(s.v0, s.v3);
    s.v3 = rotl<21>(s.v3);
    s.v3 = _mm256_xor_si256(s.v3, s.v0);
    s.v2 = _mm256_add_epi64(s.v2, s.v1);
    s.v1 = rotl<17>(s.v1);
    s.v1 = _mm256_xor_si256(s.v1, s.v2);
    s.v2 = rotl<32>(s.v2);
}

FENWA_TARGET_AVX2 inline void compress(State& s, __m256i m) noexcept {
    s.v3 = _mm256_xor_si256(s.v3, m);
    round(s);
    s.v0 = _mm256_xor_si256(s.v0, m);
}

FENWA_TARGET_AVX2 inline __m256i lanes(std::uint64_t a, std::uint64_t b, std::uint64_t c,
                                       std::uint64_t d) noexcept {
    return _mm256_set_epi64x(static_cast<long long>(d), static_cast<long long>(c),
                             static_cast<long long>(b), static_cast<long long>(a));
}

}  // namespace

namespace {}  // namespace

bool sip13_x4_available() noexcept {
    static const bool available = platform::x86_features().avx2;
    return available;
}

FENWA_TARGET_AVX2 void sip13_padded_x4(const unsigned char* const* p, const std::size_t* n,
                                       std::uint64_t* out) noexcept {
    State s{lanes(SipHash13::kInit0, SipHash13::kInit0, SipHash13::kInit0, SipHash13::kInit0),
            lanes(SipHash13::kInit1, SipHash13::kInit1, SipHash13::kInit1, SipHash13::kInit1),
            lanes(SipHash13::kInit2, SipHash13::kInit2, SipHash13::kInit2, SipHash13::kInit2),
            lanes(SipHash13::kInit3, SipHash13::kInit3, SipHash13::kInit3, SipHash13::kInit3)};
    const std::size_t blocks[4] = {n[0] / 8, n[1] / 8, n[2] / 8, n[3] / 8};
    const std::size_t common =
        std::min(std::min(blocks[0], blocks[1]), std::min(blocks[2], blocks[3]));
    const std::size_t most =
        std::max(std::max(blocks[0], blocks[1]), std::max(blocks[2], blocks[3]));
    // Whole blocks every lane has: all four lanes advance together.
    for (std::size_t i = 0; i < 8 * common; i += 8) {
        compress(s, lanes(bytes::load_le64(p[0] + i), bytes::load_le64(p[1] + i),
                          bytes::load_le64(p[2] + i), bytes::load_le64(p[3] + i)));
    }
    // Blocks only some lanes have: the others keep their state (and read a
    // block they own, so no read leaves a buffer).
    for (std::size_t b = common; b < most; ++b) {
        const State before = s;
        auto word = [&](int k) { return bytes::load_le64(p[k] + 8 * std::min(b, blocks[k])); };
        compress(s, lanes(word(0), word(1), word(2), word(3)));
        const __m256i active = lanes(b < blocks[0] ? ~0ull : 0, b < blocks[1] ? ~0ull : 0,
                                     b < blocks[2] ? ~0ull : 0, b < blocks[3] ? ~0ull : 0);
        s.v0 = _mm256_blendv_epi8(before.v0, s.v0, active);
        s.v1 = _mm256_blendv_epi8(before.v1, s.v1, active);
        s.v2 = _mm256_blendv_epi8(before.v2, s.v2, active);
        s.v3 = _mm256_blendv_epi8(before.v3, s.v3, active);
    }
    // The last partial block with the length byte, then finalisation.
    auto last = [&](int k) {
        const std::size_t tail = n[k] % 8;
        return (bytes::load_le64(p[k] + (n[k] - tail)) & ((std::uint64_t{1} << (8 * tail)) - 1)) |
               (static_cast<std::uint64_t>(n[k] & 0xFF) << 56);
    };
    compress(s, lanes(last(0), last(1), last(2), last(3)));
    s.v2 = _mm256_xor_si256(s.v2, _mm256_set1_epi64x(0xFF));
    round(s);
    round(s);
    round(s);
    const __m256i h = _mm256_xor_si256(_mm256_xor_si256(s.v0, s.v1), _mm256_xor_si256(s.v2, s.v3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), h);
}

#else

bool sip13_x4_available() noexcept {
    return false;
}

void sip13_padded_x4(const unsigned char* const* p, const std::size_t* n,
                     std::uint64_t* out) noexcept {
    for (int k = 0; k < 4; ++k) {
        SipHash13 h;
        h.write_padded(p[k], n[k]);
        out[k] = h.finish();
    }
}

#endif

}  // namespace fenwa
