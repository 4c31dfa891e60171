#include "host_trim/token_estimate.hpp"

#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "platform/cpu.hpp"
#include "platform/simd.hpp"

// The block scan's SSSE3 and AVX2 forms are chosen at run time on x86-64:
// compiled with GCC and clang through function-level targets, with MSVC (whose
// intrinsics need no target) as they are. AArch64 always has NEON.
#if defined(__x86_64__) || defined(_M_X64)
#define FENWA_TOKEN_SSSE3 1
#include <tmmintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#define FENWA_TARGET_SSSE3
#define FENWA_TARGET_SSSE3_POPCNT
#define FENWA_TARGET_AVX2
#else
#define FENWA_TARGET_SSSE3 __attribute__((target("ssse3")))
#define FENWA_TARGET_SSSE3_POPCNT __attribute__((target("ssse3,popcnt")))
#define FENWA_TARGET_AVX2 __attribute__((target("avx2,popcnt")))
#endif
// The AVX2 form too, but not with MinGW's GCC, which cannot realign the stack
// for 32-byte locals on Windows.
#if !(defined(__MINGW32__) && !defined(__clang__))
#define FENWA_TOKEN_AVX2 1
#include <immintrin.h>
#endif
#elif defined(__aarch64__) || defined(_M_ARM64)
#define FENWA_TOKEN_NEON 1
#endif
#if defined(_MSC_VER) && !defined(__clang__)
#define FENWA_ALWAYS_INLINE __forceinline
#else
#define FENWA_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

namespace fenwa::host_trim {

namespace {

enum Class : int { kLower, kUpper, kDigit, kSpace, kNewline, kOther, kPunct, kMulti, kNone };

constexpr std::array<std::uint8_t, 128> make_ascii_classes() {
    std::array<std::uint8_t, 128> t{};
    for (int c = 0; c < 128; ++c) {
        Class k = kPunct;
        if (c >= 'a' && c <= 'z')
            k = kLower;
        else if (c >= 'A' && c <= 'Z')
            k = kUpper;
        else if (c >= '0' && c <= '9')
            k = kDigit;
        else if (c == ' ')
            k = kSpace;
        else if (c == '\n')
            k = kNewline;
        else if (c < 0x20 || c == 0x7F)
            k = kOther;
        t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(k);
    }
    return t;
}
constexpr std::array<std::uint8_t, 128> kAsciiClasses = make_ascii_classes();

// The group of every BMP code point, by 16 code points (every group bound is a
// multiple of 16); code points from U+10000 are kAstral.
struct GroupRange {
    std::uint32_t first, end;
    TokenFeature group;
};
constexpr GroupRange kGroupRanges[] = {
    {0x80, 0xC0, kSymbols},         {0xC0, 0x370, kLatin},       {0x370, 0x400, kGreek},
    {0x400, 0x410, kCyrillicOther}, {0x410, 0x450, kCyrillic},   {0x450, 0x530, kCyrillicOther},
    {0x530, 0x600, kHebrew},        {0x600, 0x900, kArabic},     {0x900, 0xE00, kIndic},
    {0xE00, 0x1000, kThai},         {0x1000, 0x1100, kGeorgian}, {0x1100, 0x1200, kHangul},
    {0x1200, 0x1E00, kEthiopic},    {0x1E00, 0x1F00, kLatin},    {0x1F00, 0x2000, kGreek},
    {0x2000, 0x3000, kSymbols},     {0x3000, 0xA000, kCjk},      {0xA000, 0xD800, kHangul},
    {0xD800, 0x10000, kCompat},
};

constexpr std::array<std::uint8_t, 0x1000> make_group_table() {
    std::array<std::uint8_t, 0x1000> t{};
    for (const GroupRange& r : kGroupRanges)
        for (std::uint32_t k = r.first >> 4; k < r.end >> 4; ++k)
            t[k] = static_cast<std::uint8_t>(r.group);
    return t;
}
constexpr std::array<std::uint8_t, 0x1000> kGroupTable = make_group_table();

inline std::size_t group_of(std::uint32_t cp) noexcept {
    return cp < 0x10000 ? std::size_t{kGroupTable[cp >> 4]} : std::size_t{kAstral};
}

// Letter pairs European languages other than English use far more than English
// and code do (derived from the corpus by tools/fit_token_estimate.py; the
// Python reference holds the same table): bit b of row a for the pair of the
// a-th and b-th letters, case-folded.
constexpr std::uint32_t kPairTable[26] = {
    0x22146A1, 0x26921C2, 0x2840300, 0x23BF691, 0x21027C2, 0x2400650, 0x3C1464B,
    0x3202E0A, 0x1510791, 0x3EE7F7B, 0x3BB5FC7, 0x2A036C3, 0x3012DC8, 0x2511192,
    0x3250781, 0x2207646, 0x3E896FE, 0x2110283, 0x2204E0F, 0x2212601, 0x3F14788,
    0x377EFEF, 0x3B10440, 0x2336642, 0x3511EFF, 0x3FFFFDF,
};
// j k q v w x y z
constexpr std::uint32_t kRare = (1u << ('j' - 'a')) | (1u << ('k' - 'a')) | (1u << ('q' - 'a')) |
                                (1u << ('v' - 'a')) | (1u << ('w' - 'a')) | (1u << ('x' - 'a')) |
                                (1u << ('y' - 'a')) | (1u << ('z' - 'a'));

// Two ASCII letters.
inline bool foreign_pair(std::uint32_t a, std::uint32_t b) noexcept {
    return (kPairTable[(a | 0x20u) - 'a'] >> ((b | 0x20u) - 'a')) & 1u;
}

// The row of kPairTable of each ASCII letter (either case) as a byte, shifted
// so that bit (b & 31) is the second letter b (1 for a or A, 26 for z or Z).
constexpr std::array<std::uint32_t, 256> make_rows() {
    std::array<std::uint32_t, 256> t{};
    for (int c = 'a'; c <= 'z'; ++c) {
        t[static_cast<std::size_t>(c)] = kPairTable[c - 'a'] << 1;
        t[static_cast<std::size_t>(c - 0x20)] = kPairTable[c - 'a'] << 1;
    }
    return t;
}
constexpr std::array<std::uint32_t, 256> kRowByByte = make_rows();

// Without a population-count instruction in the target's baseline (x86-64
// before SSE4.2), std::popcount becomes a library call; the bit-slicing count
// stays inline.
inline std::uint64_t popcount(std::uint64_t v) noexcept {
#if defined(__POPCNT__) || defined(__aarch64__) || defined(_M_ARM64)
    return static_cast<std::uint64_t>(std::popcount(v));
#else
    v = v - ((v >> 1) & 0x5555555555555555u);
    v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return (v * 0x0101010101010101u) >> 56;
#endif
}

// The population count of the processor when the form `kernel` is compiled
// for one (the caller's target holds it), else popcount.
template <TokenKernel kernel>
FENWA_ALWAYS_INLINE std::uint64_t count_bits(std::uint64_t v) noexcept {
#if defined(FENWA_TOKEN_SSSE3)
    if constexpr (kernel == TokenKernel::kSsse3 || kernel == TokenKernel::kAvx2) {
#if defined(_MSC_VER) && !defined(__clang__)
        return static_cast<std::uint64_t>(__popcnt64(v));
#else
        return static_cast<std::uint64_t>(__builtin_popcountll(v));
#endif
    }
#endif
    return popcount(v);
}

// The foreign pairs of a 64-byte block: `pairs` has bit i (from 1) where bytes
// i-1 and i are both ASCII letters; the count of those whose pair is in
// kPairTable.
std::uint64_t foreign_pairs_portable(const std::uint8_t* p, std::uint64_t pairs) noexcept {
    std::uint64_t foreign = 0;
    for (; pairs; pairs &= pairs - 1) {
        const auto i = static_cast<std::size_t>(std::countr_zero(pairs));
        foreign += (kRowByByte[p[i - 1]] >> (p[i] & 31u)) & 1u;
    }
    return foreign;
}

#if defined(FENWA_TOKEN_SSSE3) || defined(FENWA_TOKEN_NEON)
// kRowByByte by the low five bits of the first letter (1-26; other values give
// 0), cut into the row's four bytes: byte k of the row of a at [32 * k + a], so
// that the byte holding bit b is at [32 * (b >> 3) + a], and the bit is b & 7.
constexpr std::array<std::uint8_t, 128> make_row_bytes() {
    std::array<std::uint8_t, 128> t{};
    for (std::size_t a = 1; a <= 26; ++a)
        for (std::size_t k = 0; k < 4; ++k)
            t[32 * k + a] = static_cast<std::uint8_t>((kPairTable[a - 1] << 1) >> (8 * k));
    return t;
}
alignas(16) constexpr std::array<std::uint8_t, 128> kRowBytes = make_row_bytes();
#endif

#if defined(FENWA_TOKEN_SSSE3)
// Bit i (from 1) set where bytes i-1 and i, if both letters, are a pair of
// kPairTable, sixteen pairs at a time: each row byte looked up by a shuffle
// over the 16-entry halves of a row-byte table, the byte picked by the second
// letter, then its bit.
FENWA_TARGET_SSSE3 std::uint64_t foreign_pairs_ssse3(const std::uint8_t* p) noexcept {
    const __m128i five = _mm_set1_epi8(31);
    const __m128i bits = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    std::uint64_t hits = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        // The byte before each one; before the block's first, a 0 (bit 0 of
        // `pairs` is never set).
        const __m128i before =
            k == 0 ? _mm_slli_si128(x, 1)
                   : _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k - 1));
        const __m128i a = _mm_and_si128(before, five);
        const __m128i b = _mm_and_si128(x, five);
        // A shuffle reads the low four bits of an index and gives 0 for one
        // with its top bit set: a < 16 reads the low half, a >= 16 the high.
        const __m128i low = _mm_add_epi8(a, _mm_set1_epi8(0x70));
        const __m128i high = _mm_xor_si128(low, _mm_set1_epi8(static_cast<char>(0x80)));
        __m128i row[4];
        for (int r = 0; r < 4; ++r) {
            const auto* t = reinterpret_cast<const __m128i*>(kRowBytes.data() + 32 * r);
            row[r] = _mm_or_si128(_mm_shuffle_epi8(_mm_load_si128(t), low),
                                  _mm_shuffle_epi8(_mm_load_si128(t + 1), high));
        }
        // The row byte b >> 3: b is 0-31, compared as signed bytes.
        auto pick = [](__m128i was, __m128i other, __m128i take) {
            return _mm_xor_si128(was, _mm_and_si128(_mm_xor_si128(was, other), take));
        };
        __m128i byte = pick(row[0], row[1], _mm_cmpgt_epi8(b, _mm_set1_epi8(7)));
        byte = pick(byte, row[2], _mm_cmpgt_epi8(b, _mm_set1_epi8(15)));
        byte = pick(byte, row[3], _mm_cmpgt_epi8(b, _mm_set1_epi8(23)));
        const __m128i bit = _mm_shuffle_epi8(bits, b);  // 1 << (b & 7): b & 15 indexes
        const __m128i hit = _mm_cmpeq_epi8(_mm_and_si128(byte, bit), bit);
        hits |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hit)))
                << (16 * k);
    }
    return hits;
}

#endif

#if defined(FENWA_TOKEN_NEON)
// The same as foreign_pairs_ssse3: the row byte at [32 * (b >> 3) + a] from the
// 128-byte table in two 64-byte lookups, then its bit.
std::uint64_t foreign_pairs_neon(const std::uint8_t* p) noexcept {
    const uint8x16x4_t first = vld1q_u8_x4(kRowBytes.data());
    const uint8x16x4_t second = vld1q_u8_x4(kRowBytes.data() + 64);
    const uint8x16_t five = vdupq_n_u8(31);
    std::uint64_t hits = 0;
    for (int k = 0; k < 4; ++k) {
        const uint8x16_t x = vld1q_u8(p + 16 * k);
        const uint8x16_t before =
            k == 0 ? vextq_u8(vdupq_n_u8(0), x, 15) : vld1q_u8(p + 16 * k - 1);
        const uint8x16_t a = vandq_u8(before, five);
        const uint8x16_t b = vandq_u8(x, five);
        const uint8x16_t at = vorrq_u8(a, vshlq_n_u8(vandq_u8(b, vdupq_n_u8(0x18)), 2));
        // An index past a table gives 0 (the first lookup) or keeps the byte
        // (the second): at - 64 wraps past the second table for at < 64.
        const uint8x16_t byte =
            vqtbx4q_u8(vqtbl4q_u8(first, at), second, vsubq_u8(at, vdupq_n_u8(64)));
        const uint8x16_t bit =
            vshlq_u8(vdupq_n_u8(1), vreinterpretq_s8_u8(vandq_u8(b, vdupq_n_u8(7))));
        hits |= static_cast<std::uint64_t>(simd::top_bits(simd::Bytes{vtstq_u8(byte, bit)}))
                << (16 * k);
    }
    return hits;
}
#endif

bool runs(TokenKernel kernel) noexcept {
    switch (kernel) {
        case TokenKernel::kAuto:
        case TokenKernel::kPortable:
            return true;
#if defined(FENWA_TOKEN_SSSE3)
        case TokenKernel::kSsse3: {
            static const bool has =
                platform::x86_features().ssse3 && platform::x86_features().popcnt;
            return has;
        }
#endif
#if defined(FENWA_TOKEN_SSSE3) && defined(FENWA_TOKEN_AVX2)
        case TokenKernel::kAvx2: {
            static const bool has =
                platform::x86_features().avx2 && platform::x86_features().popcnt;
            return has;
        }
#endif
#if defined(FENWA_TOKEN_NEON)
        case TokenKernel::kNeon:
            return true;
#endif
        default:
            return false;
    }
}

TokenKernel best_kernel() noexcept {
    if (runs(TokenKernel::kNeon)) return TokenKernel::kNeon;
    if (runs(TokenKernel::kAvx2)) return TokenKernel::kAvx2;
    if (runs(TokenKernel::kSsse3)) return TokenKernel::kSsse3;
    return TokenKernel::kPortable;
}

// The processor's choice, or the one FENWA_TOKEN_KERNEL names when it runs here.
TokenKernel chosen_kernel() noexcept {
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)  // getenv: only read, once, at the first scan
#endif
    const char* name = std::getenv("FENWA_TOKEN_KERNEL");
#if defined(_MSC_VER)
#pragma warning(pop)
#endif
    if (name != nullptr) {
        for (const TokenKernel k : kTokenKernels)
            if (std::strcmp(name, token_kernel_name(k)) == 0 && runs(k)) return k;
    }
    return best_kernel();
}

// The kernel in use (its TokenKernel value; kAuto before the first scan).
std::atomic<int> g_kernel{static_cast<int>(TokenKernel::kAuto)};

TokenKernel current_kernel() noexcept {
    int k = g_kernel.load(std::memory_order_relaxed);
    if (k == static_cast<int>(TokenKernel::kAuto)) {
        k = static_cast<int>(chosen_kernel());
        g_kernel.store(k, std::memory_order_relaxed);
    }
    return static_cast<TokenKernel>(k);
}

}  // namespace

bool token_kernel_available(TokenKernel kernel) noexcept {
    return kernel != TokenKernel::kAuto && runs(kernel);
}

bool force_token_kernel(TokenKernel kernel) noexcept {
    if (!runs(kernel)) return false;
    g_kernel.store(static_cast<int>(kernel == TokenKernel::kAuto ? chosen_kernel() : kernel),
                   std::memory_order_relaxed);
    return true;
}

TokenKernel token_kernel() noexcept {
    return current_kernel();
}

const char* token_kernel_name(TokenKernel kernel) noexcept {
    switch (kernel) {
        case TokenKernel::kPortable:
            return "portable";
        case TokenKernel::kSsse3:
            return "ssse3";
        case TokenKernel::kAvx2:
            return "avx2";
        case TokenKernel::kNeon:
            return "neon";
        default:
            return "auto";
    }
}

void TokenScanner::push(std::uint32_t code_point) noexcept {
    const int c = code_point < 0x80 ? int{kAsciiClasses[code_point]} : int{kMulti};
    const bool letter = c == kLower || c == kUpper;
    const bool prev_letter = prev_ == kLower || prev_ == kUpper;
    bool latin = false;
    switch (c) {
        case kLower:
        case kUpper:
            ++counts_[kLetters];
            if (!prev_letter) {
                ++counts_[kWords];
                if (c == kUpper) ++counts_[kCapitalised];
            } else {
                if ((prev_ == kLower && c == kUpper) ||
                    (prev_ == kUpper && c == kLower && prev2_ == kUpper))
                    ++counts_[kCaseSwitches];
                if (foreign_pair(prev_char_, code_point)) ++counts_[kForeignPairs];
            }
            if ((kRare >> ((code_point | 0x20u) - 'a')) & 1u) ++counts_[kRareLetters];
            break;
        case kDigit:
            if (prev_ != kDigit) {
                ++counts_[kDigitRuns];
                if (prev_ == kSpace) ++counts_[kSpacedDigits];
                digit_phase_ = 0;
            }
            if (digit_phase_ == 0) ++counts_[kDigitGroups];
            digit_phase_ = digit_phase_ == 2 ? 0 : digit_phase_ + 1;
            break;
        case kSpace:
            ++counts_[kSpaces];
            if (prev_ == kSpace && prev2_ != kSpace) ++counts_[kSpaceRuns];
            break;
        case kNewline:
            if (prev_ != kNewline) ++counts_[kNewlineRuns];
            break;
        case kOther:
            ++counts_[kOtherSpace];
            break;
        case kPunct:
            ++counts_[kPunctuation];
            if (prev_ != kPunct) ++counts_[kPunctuationRuns];
            break;
        default: {
            const std::size_t g = group_of(code_point);
            ++counts_[g];
            latin = g == kLatin;
            if (prev_ != kMulti) ++counts_[kNonAsciiRuns];
            break;
        }
    }
    if (letter || latin) {
        ++word_;
        if (latin && !accented_) {
            accented_ = true;
            counts_[kAccentedWords] += word_ - 1;  // the characters before it
        }
        if (accented_) ++counts_[kAccentedWords];
    } else {
        word_ = 0;
        accented_ = false;
    }
    prev2_ = prev_;
    prev_ = c;
    prev_char_ = code_point;
}

namespace {

// Bit i of each mask for character i of 64.
struct Masks {
    std::uint64_t lower, upper, digit, space, newline, other, rare, high;
};

// The masks of 64 bytes; a byte from 0x80 (a unit from 0x80 narrowed) is in
// `high` and in no other mask.
Masks byte_masks(const std::uint8_t* p) noexcept {
    Masks m{};
#if defined(FENWA_SIMD)
    using simd::Bytes;
    for (int k = 0; k < 4; ++k) {
        const Bytes x = simd::load(p + 16 * k);
        // Signed compares: bytes from 0x80 are negative, below every range here.
        auto in = [&](unsigned char lo, unsigned char hi) {
            return simd::greater_signed(x, simd::splat(static_cast<unsigned char>(lo - 1))) &
                   simd::less_signed(x, simd::splat(static_cast<unsigned char>(hi + 1)));
        };
        auto bits = [&](Bytes v) {
            return static_cast<std::uint64_t>(simd::top_bits(v)) << (16 * k);
        };
        const Bytes folded = x | simd::splat(0x20);
        const Bytes rare = (folded == simd::splat('j')) | (folded == simd::splat('k')) |
                           (folded == simd::splat('q')) |
                           (simd::greater_signed(folded, simd::splat('u')) &
                            simd::less_signed(folded, simd::splat('{')));
        const Bytes newline = x == simd::splat('\n');
        m.lower |= bits(in('a', 'z'));
        m.upper |= bits(in('A', 'Z'));
        m.digit |= bits(in('0', '9'));
        m.space |= bits(x == simd::splat(' '));
        m.newline |= bits(newline);
        // Controls: below 0x20 but not a newline (which is below 0x20 too), and
        // not from 0x80 (negative); DEL.
        m.other |=
            bits((simd::less_signed(x, simd::splat(0x20)) ^ newline) | (x == simd::splat(0x7F)));
        m.rare |= bits(rare);
        m.high |= bits(x);
    }
    m.rare &= m.lower | m.upper;
    m.other &= ~m.high;
#else
    for (std::size_t i = 0; i < 64; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        if (p[i] >= 0x80) {
            m.high |= bit;
            continue;
        }
        switch (kAsciiClasses[p[i]]) {
            case kLower:
            case kUpper:
                (kAsciiClasses[p[i]] == kLower ? m.lower : m.upper) |= bit;
                if ((kRare >> ((p[i] | 0x20u) - 'a')) & 1u) m.rare |= bit;
                break;
            case kDigit:
                m.digit |= bit;
                break;
            case kSpace:
                m.space |= bit;
                break;
            case kNewline:
                m.newline |= bit;
                break;
            case kOther:
                m.other |= bit;
                break;
            default:
                break;
        }
    }
#endif
    return m;
}

#if defined(FENWA_TOKEN_SSSE3) && defined(FENWA_TOKEN_AVX2)
// byte_masks and foreign_pairs_ssse3 of a block in one pass, 32 bytes at a
// time. The shuffles work within each 16-byte half, so their tables are in both.
FENWA_TARGET_AVX2 inline __m256i splat(int v) noexcept {
    return _mm256_set1_epi8(static_cast<char>(v));
}
FENWA_TARGET_AVX2 inline std::uint64_t mask(__m256i v) noexcept {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(v)));
}

FENWA_TARGET_AVX2 Masks block_avx2(const std::uint8_t* p, std::uint64_t& pair_hits) noexcept {
    Masks m{};
    std::uint64_t hits = 0;
    for (int k = 0; k < 2; ++k) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
        const int at = 32 * k;
        // Signed compares: bytes from 0x80 are negative. c is in [lo, lo + n)
        // when c - lo + 0x80, as a signed byte, is below n - 128.
        const __m256i folded = _mm256_or_si256(x, splat(0x20));
        const __m256i letter =
            _mm256_cmpgt_epi8(splat(26 - 128), _mm256_add_epi8(folded, splat(0x80 - 'a')));
        const __m256i digit =
            _mm256_cmpgt_epi8(splat(10 - 128), _mm256_add_epi8(x, splat(0x80 - '0')));
        const __m256i newline = _mm256_cmpeq_epi8(x, splat('\n'));
        const __m256i rare = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpeq_epi8(folded, splat('j')),
                            _mm256_cmpeq_epi8(folded, splat('k'))),
            _mm256_or_si256(
                _mm256_cmpeq_epi8(folded, splat('q')),
                _mm256_cmpgt_epi8(splat(5 - 128), _mm256_add_epi8(folded, splat(0x80 - 'v')))));
        const std::uint64_t letters = mask(letter);
        const std::uint64_t lower_case = mask(_mm256_slli_epi16(x, 2));  // bit 5 of each byte
        const std::uint64_t high = mask(x);
        m.lower |= (letters & lower_case) << at;
        m.upper |= (letters & ~lower_case) << at;
        m.digit |= mask(digit) << at;
        m.space |= mask(_mm256_cmpeq_epi8(x, splat(' '))) << at;
        m.newline |= mask(newline) << at;
        // Controls: below 0x20 (and so bytes from 0x80, taken out after) but not
        // a newline; DEL.
        m.other |= ((mask(_mm256_cmpgt_epi8(splat(0x20), x)) & ~mask(newline) & ~high) |
                    mask(_mm256_cmpeq_epi8(x, splat(0x7F))))
                   << at;
        m.rare |= (mask(rare) & letters) << at;
        m.high |= high << at;
    }
    for (int k = 0; k < 2; ++k) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
        const int at = 32 * k;
        // The byte before each one (0 before the block's first): across the
        // halves by a lane permute, then a byte shift within each.
        const __m256i before =
            k == 0 ? _mm256_alignr_epi8(x, _mm256_permute2x128_si256(x, x, 0x08), 15)
                   : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 31));
        const __m256i a = _mm256_and_si256(before, splat(31));
        const __m256i b = _mm256_and_si256(x, splat(31));
        const __m256i low = _mm256_add_epi8(a, splat(0x70));
        const __m256i upper_half = _mm256_xor_si256(low, splat(0x80));
        __m256i row[4];
        for (int r = 0; r < 4; ++r) {
            const auto* t = reinterpret_cast<const __m128i*>(kRowBytes.data() + 32 * r);
            row[r] = _mm256_or_si256(
                _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(_mm_load_si128(t)), low),
                _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(_mm_load_si128(t + 1)),
                                    upper_half));
        }
        // The row byte b >> 3 (b is 0-31), picked by its bits 3 and 4 moved to
        // the top of each byte: a blend reads only that bit.
        const __m256i bit3 = _mm256_slli_epi16(b, 4);
        const __m256i bit4 = _mm256_slli_epi16(b, 3);
        const __m256i byte = _mm256_blendv_epi8(_mm256_blendv_epi8(row[0], row[1], bit3),
                                                _mm256_blendv_epi8(row[2], row[3], bit3), bit4);
        const __m256i bits = _mm256_broadcastsi128_si256(
            _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128));
        const __m256i bit = _mm256_shuffle_epi8(bits, b);
        hits |= mask(_mm256_cmpeq_epi8(_mm256_and_si256(byte, bit), bit)) << at;
    }
    pair_hits = hits;
    return m;
}
#endif

inline int byte_class(std::uint8_t b) noexcept {
    return b >= 0x80 ? int{kMulti} : int{kAsciiClasses[b]};
}

}  // namespace

template <int Kernel, class Unit>
FENWA_ALWAYS_INLINE void TokenScanner::scan64(const std::uint8_t* p, const Unit* units,
                                              std::size_t n) noexcept {
    constexpr auto kernel = static_cast<TokenKernel>(Kernel);
    auto popcount = [](std::uint64_t v) { return count_bits<kernel>(v); };
    // Only the first n characters count: every mask is cut to them.
    const std::uint64_t valid = n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
#if defined(FENWA_TOKEN_SSSE3) && defined(FENWA_TOKEN_AVX2)
    std::uint64_t pair_hits = 0;  // from the AVX2 form's pass over the block
    Masks m = kernel == TokenKernel::kAvx2 ? block_avx2(p, pair_hits) : byte_masks(p);
#else
    Masks m = byte_masks(p);
#endif
    if (n < 64) {
        m.lower &= valid;
        m.upper &= valid;
        m.digit &= valid;
        m.space &= valid;
        m.newline &= valid;
        m.other &= valid;
        m.rare &= valid;
        m.high &= valid;
    }
    // The masks of the previous character and the one before it: the block's
    // own bits shifted up, the scanner's last two classes shifted in.
    auto prev = [&](std::uint64_t now, auto is) {
        return (now << 1) | static_cast<std::uint64_t>(is(prev_));
    };
    auto prev2 = [&](std::uint64_t now, auto is) {
        return (now << 2) | (static_cast<std::uint64_t>(is(prev_)) << 1) |
               static_cast<std::uint64_t>(is(prev2_));
    };
    auto is_letter = [](int c) { return c == kLower || c == kUpper; };
    auto is_lower = [](int c) { return c == kLower; };
    auto is_upper = [](int c) { return c == kUpper; };
    auto is_digit = [](int c) { return c == kDigit; };
    auto is_space = [](int c) { return c == kSpace; };
    auto is_newline = [](int c) { return c == kNewline; };
    auto is_punct = [](int c) { return c == kPunct; };
    auto is_multi = [](int c) { return c == kMulti; };

    const std::uint64_t letters = m.lower | m.upper;
    const std::uint64_t punct =
        valid & ~(letters | m.digit | m.space | m.newline | m.other | m.high);
    const std::uint64_t starts = letters & ~prev(letters, is_letter);
    counts_[kLetters] += popcount(letters);
    counts_[kWords] += popcount(starts);
    counts_[kCapitalised] += popcount(starts & m.upper);
    counts_[kCaseSwitches] +=
        popcount(m.upper & prev(m.lower, is_lower)) +
        popcount(m.lower & prev(m.upper, is_upper) & prev2(m.upper, is_upper));
    counts_[kRareLetters] += popcount(m.rare);
    {
        // Pairs inside the block read both letters from it; a pair at its first
        // character takes the previous one from the scanner.
        const std::uint64_t pairs = letters & ~starts;
        std::uint64_t foreign = (pairs & 1u) ? foreign_pair(prev_char_, p[0]) : 0;
        if (pairs & ~std::uint64_t{1}) {
#if defined(FENWA_TOKEN_SSSE3) && defined(FENWA_TOKEN_AVX2)
            if constexpr (kernel == TokenKernel::kAvx2)
                foreign += popcount(pair_hits & pairs & ~std::uint64_t{1});
            else
#endif
#if defined(FENWA_TOKEN_SSSE3)
                if constexpr (kernel == TokenKernel::kSsse3)
                foreign += popcount(foreign_pairs_ssse3(p) & pairs & ~std::uint64_t{1});
            else
#elif defined(FENWA_TOKEN_NEON)
            if constexpr (kernel == TokenKernel::kNeon)
                foreign += popcount(foreign_pairs_neon(p) & pairs & ~std::uint64_t{1});
            else
#endif
                foreign += foreign_pairs_portable(p, pairs & ~std::uint64_t{1});
        }
        counts_[kForeignPairs] += foreign;
    }

    // Digit runs, and a group at every third digit of a run from its start.
    const std::uint64_t digit_starts = m.digit & ~prev(m.digit, is_digit);
    counts_[kDigitRuns] += popcount(digit_starts);
    counts_[kSpacedDigits] += popcount(digit_starts & prev(m.space, is_space));
    if (m.digit) {
        // The first digit of each group: every run's first digit, and three on
        // from one while the run goes on. A run open before the block has its
        // next group start where its phase says, if it gets there.
        const std::uint64_t d = m.digit;
        const bool open = (d & 1u) && prev_ == kDigit;
        std::uint64_t first = digit_starts;
        if (open) {
            const unsigned at = (3 - digit_phase_) % 3;
            if (at < static_cast<unsigned>(std::countr_one(d))) first |= std::uint64_t{1} << at;
        }
        const std::uint64_t third = d & (d << 1) & (d << 2);  // digits after two digits
        std::uint64_t groups = first;
        for (std::uint64_t t = first; t;) {
            t = (t << 3) & third;
            groups |= t;
        }
        counts_[kDigitGroups] += popcount(groups);
        // A run that reaches the block's end: where its next digit falls, counted
        // from its last group.
        if ((d >> (n - 1)) & 1u) {
            const auto run = static_cast<unsigned>(std::countl_one(d << (64 - n)));
            const std::uint64_t in_run = groups >> (n - run);
            if (in_run != 0) {
                const auto last = static_cast<unsigned>(63 - std::countl_zero(in_run)) +
                                  static_cast<unsigned>(n) - run;
                digit_phase_ = (static_cast<unsigned>(n) - last) % 3;
            } else {  // the open run, with no group of its own in the block
                digit_phase_ = (digit_phase_ + static_cast<unsigned>(n)) % 3;
            }
        }
    }

    counts_[kSpaces] += popcount(m.space);
    counts_[kSpaceRuns] += popcount(m.space & prev(m.space, is_space) & ~prev2(m.space, is_space));
    counts_[kNewlineRuns] += popcount(m.newline & ~prev(m.newline, is_newline));
    counts_[kOtherSpace] += popcount(m.other);
    counts_[kPunctuation] += popcount(punct);
    counts_[kPunctuationRuns] += popcount(punct & ~prev(punct, is_punct));

    // Non-ASCII characters: their groups one by one, their runs by the mask.
    std::uint64_t latin = 0;
    if (m.high) {
        counts_[kNonAsciiRuns] += popcount(m.high & ~prev(m.high, is_multi));
        // Counted by runs of one group in a register: one increment of the
        // same counter in memory after another would wait on each other.
        std::size_t group = kLatin;
        std::uint64_t count = 0;
        for (std::uint64_t h = m.high; h; h &= h - 1) {
            const auto i = static_cast<std::size_t>(std::countr_zero(h));
            const std::size_t g = group_of(static_cast<std::uint32_t>(units[i]));
            if (g != group) {
                counts_[group] += count;
                group = g;
                count = 0;
            }
            ++count;
            latin |= static_cast<std::uint64_t>(g == kLatin) << i;
        }
        counts_[group] += count;
    }

    // Words of ASCII letters and kLatin characters: one that holds a kLatin
    // character counts all its characters, those of it before the block too.
    if (!latin) {
        // Only a word open before the block can be accented: it goes on through
        // the block's leading letters.
        const auto lead = static_cast<std::uint64_t>(std::countr_one(letters));
        if (accented_) counts_[kAccentedWords] += lead;
        if (lead >= n) {
            word_ += n;
        } else {
            word_ = static_cast<std::uint64_t>(std::countl_one(letters << (64 - n)));
            accented_ = false;
        }
    } else {
        const std::uint64_t word_chars = letters | latin;
        std::uint64_t open = 0;  // the word open at the block's end, and whether accented
        bool open_accented = false;
        for (std::uint64_t w = word_chars; w;) {
            const int s = std::countr_zero(w);
            const int len = std::countr_one(w >> s);
            const std::uint64_t run =
                s + len >= 64 ? ~std::uint64_t{0} << s : ((std::uint64_t{1} << len) - 1) << s;
            const std::uint64_t before = s == 0 ? word_ : 0;
            const bool was = s == 0 && accented_;
            const bool now = was || (latin & run) != 0;
            if (was)
                counts_[kAccentedWords] += static_cast<std::uint64_t>(len);
            else if (now)
                counts_[kAccentedWords] += before + static_cast<std::uint64_t>(len);
            if (static_cast<std::size_t>(s + len) >= n) {
                open = before + static_cast<std::uint64_t>(len);
                open_accented = now;
            }
            w &= ~run;
        }
        word_ = open;
        accented_ = open_accented;
    }

    prev2_ = n >= 2 ? byte_class(p[n - 2]) : prev_;
    prev_ = byte_class(p[n - 1]);
    prev_char_ = static_cast<std::uint32_t>(units[n - 1]);
}

// The forms of push64, each compiled for its instruction set: a function-level
// target lets the SSSE3 form use the processor's population count too.
struct TokenBlocks {
    template <class Unit>
    static void portable(TokenScanner& s, const std::uint8_t* p, const Unit* u,
                         std::size_t n) noexcept {
        s.scan64<static_cast<int>(TokenKernel::kPortable)>(p, u, n);
    }
#if defined(FENWA_TOKEN_SSSE3)
    template <class Unit>
    FENWA_TARGET_SSSE3_POPCNT static void ssse3(TokenScanner& s, const std::uint8_t* p,
                                                const Unit* u, std::size_t n) noexcept {
        s.scan64<static_cast<int>(TokenKernel::kSsse3)>(p, u, n);
    }
#endif
#if defined(FENWA_TOKEN_SSSE3) && defined(FENWA_TOKEN_AVX2)
    template <class Unit>
    FENWA_TARGET_AVX2 static void avx2(TokenScanner& s, const std::uint8_t* p, const Unit* u,
                                       std::size_t n) noexcept {
        s.scan64<static_cast<int>(TokenKernel::kAvx2)>(p, u, n);
    }
#endif
#if defined(FENWA_TOKEN_NEON)
    template <class Unit>
    static void neon(TokenScanner& s, const std::uint8_t* p, const Unit* u,
                     std::size_t n) noexcept {
        s.scan64<static_cast<int>(TokenKernel::kNeon)>(p, u, n);
    }
#endif
};

template <class Unit>
void TokenScanner::push64(const std::uint8_t* p, const Unit* units, std::size_t n) noexcept {
    if (n == 0) return;
    switch (current_kernel()) {
#if defined(FENWA_TOKEN_SSSE3)
        case TokenKernel::kSsse3:
            TokenBlocks::ssse3(*this, p, units, n);
            return;
#endif
#if defined(FENWA_TOKEN_SSSE3) && defined(FENWA_TOKEN_AVX2)
        case TokenKernel::kAvx2:
            TokenBlocks::avx2(*this, p, units, n);
            return;
#endif
#if defined(FENWA_TOKEN_NEON)
        case TokenKernel::kNeon:
            TokenBlocks::neon(*this, p, units, n);
            return;
#endif
        default:
            TokenBlocks::portable(*this, p, units, n);
            return;
    }
}

template void TokenScanner::push64(const std::uint8_t*, const std::uint8_t*, std::size_t) noexcept;
template void TokenScanner::push64(const std::uint8_t*, const std::uint16_t*, std::size_t) noexcept;
template void TokenScanner::push64(const std::uint8_t*, const std::uint32_t*, std::size_t) noexcept;

void TokenScanner::push_ascii64(const std::uint8_t* chars) noexcept {
    push64(chars, chars, 64);
}

namespace {

inline bool ascii64(const std::uint8_t* p) noexcept {
#if defined(FENWA_SIMD)
    simd::Bytes any = simd::load(p);
    for (int k = 1; k < 4; ++k) any = any | simd::load(p + 16 * k);
    return simd::top_bits(any) == 0;
#else
    std::uint8_t any = 0;
    for (std::size_t i = 0; i < 64; ++i) any |= p[i];
    return any < 0x80;
#endif
}

}  // namespace

TokenFeatures token_features_utf8(const unsigned char* data, std::size_t size) noexcept {
    TokenScanner s;
    std::size_t i = 0;
    std::size_t scalar_until = 0;  // decode one by one up to here before trying blocks again
    while (i < size) {
        if (i >= scalar_until && size - i >= 64) {
            if (ascii64(data + i)) {
                s.push_ascii64(data + i);
                i += 64;
                continue;
            }
            scalar_until = i + 64;
        }
        const unsigned char b = data[i];
        if (b < 0x80) {
            s.push(b);
            ++i;
            continue;
        }
        std::size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        std::uint32_t cp = len == 4 ? b & 0x07u : len == 3 ? b & 0x0Fu : b & 0x1Fu;
        bool ok = len > 1 && b <= 0xF4 && i + len <= size;
        for (std::size_t k = 1; ok && k < len; ++k) {
            const unsigned char cont = data[i + k];
            if ((cont & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (cont & 0x3Fu);
        }
        if (!ok) {
            s.push(0xFFFD);  // an invalid byte: one compatibility-group character
            ++i;
            continue;
        }
        s.push(cp);
        i += len;
    }
    return s.features();
}

namespace {

// Code units of any width, 64 at a time through the masks (wider units
// narrowed to bytes first, every one from 0x80 as 0x80), the rest one by one.
template <class Unit>
TokenFeatures features_by_blocks(const Unit* data, std::size_t size) noexcept {
    TokenScanner s;
    std::size_t at = 0;
    for (; at < size; at += 64) {
        const std::size_t n = size - at < 64 ? size - at : 64;
        if (sizeof(Unit) == 1 && n == 64) {
            s.push64(reinterpret_cast<const std::uint8_t*>(data + at), data + at, 64);
            continue;
        }
        // Narrowed (and, for the last block, padded) to 64 bytes. Latin-1 units
        // stay as they are: every one from 0x80 is a byte from 0x80 already.
        std::uint8_t narrow[64] = {};
        if constexpr (sizeof(Unit) == 1) {
            std::memcpy(narrow, data + at, n);
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                const auto u = static_cast<std::uint32_t>(data[at + i]);
                narrow[i] = static_cast<std::uint8_t>(u < 0x80 ? u : 0x80);
            }
        }
        s.push64(narrow, data + at, n);
    }
    return s.features();
}

}  // namespace

TokenFeatures token_features_latin1(const std::uint8_t* data, std::size_t size) noexcept {
    return features_by_blocks(data, size);
}
TokenFeatures token_features_ucs2(const std::uint16_t* data, std::size_t size) noexcept {
    return features_by_blocks(data, size);
}
TokenFeatures token_features_ucs4(const std::uint32_t* data, std::size_t size) noexcept {
    return features_by_blocks(data, size);
}

namespace {

// The dot product when it cannot overflow: every count below 2^26 and every
// coefficient below 2^31 (so each product is below 2^57, and 32 of them below
// 2^62); false, and `total` unset, otherwise. Products of 32-bit factors, two
// per vector multiply where the processor has one.
bool small_dot(const TokenFeatures& f, const TokenCoefficients& c, std::uint64_t& total) noexcept {
#if defined(FENWA_SIMD_SSE2)
    __m128i sum = _mm_setzero_si128(), counts = sum, weights = sum;
    for (std::size_t k = 0; k < kTokenFeatureCount; k += 2) {
        const __m128i n = _mm_loadu_si128(reinterpret_cast<const __m128i*>(f.data() + k));
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c.data() + k));
        counts = _mm_or_si128(counts, n);
        weights = _mm_or_si128(weights, w);
        sum = _mm_add_epi64(sum, _mm_mul_epu32(n, w));
    }
    alignas(16) std::uint64_t lanes[6];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sum);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 2), counts);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 4), weights);
    if ((lanes[2] | lanes[3]) >= (std::uint64_t{1} << 26) ||
        (lanes[4] | lanes[5]) >= (std::uint64_t{1} << 31))
        return false;
    total = lanes[0] + lanes[1];
    return true;
#else
    std::uint64_t counts = 0, weights = 0, sum = 0;
    for (std::size_t k = 0; k < kTokenFeatureCount; ++k) {
        counts |= f[k];
        weights |= static_cast<std::uint64_t>(c[k]);
        sum += static_cast<std::uint64_t>(static_cast<std::uint32_t>(f[k])) *
               static_cast<std::uint32_t>(c[k]);
    }
    if (counts >= (std::uint64_t{1} << 26) || weights >= (std::uint64_t{1} << 31)) return false;
    total = sum;
    return true;
#endif
}

}  // namespace

std::int64_t token_estimate(const TokenFeatures& features,
                            const TokenCoefficients& coefficients) noexcept {
    // Exact integer arithmetic, as the Python reference computes it; saturated at
    // INT64_MAX (for texts no machine holds). Coefficients are never negative.
    constexpr std::uint64_t kMost = static_cast<std::uint64_t>(INT64_MAX);
    auto rounded = [](std::uint64_t total) {
        total = (total >> kTokenScaleBits) + ((total >> (kTokenScaleBits - 1)) & 1u);
        return total < 1 ? std::int64_t{1} : static_cast<std::int64_t>(total);
    };
    std::uint64_t total = 0;
    if (small_dot(features, coefficients, total)) {
        if (total != 0) return rounded(total);
        // A sum of 0: a text with counted characters still has a token.
        for (std::uint64_t n : features)
            if (n) return 1;
        return 0;
    }
    bool any = false;
    for (std::size_t k = 0; k < kTokenFeatureCount; ++k) {
        const std::uint64_t n = features[k];
        if (n == 0) continue;
        any = true;
        const auto w = static_cast<std::uint64_t>(coefficients[k] < 0 ? 0 : coefficients[k]);
        if (w != 0 && n > (kMost - total) / w) return INT64_MAX;
        total += n * w;
    }
    if (!any) return 0;
    return rounded(total);
}

}  // namespace fenwa::host_trim
