#include "host_trim/token_estimate.hpp"

#include <bit>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace fenwa::host_trim {

namespace {

enum Class : int { kLower, kUpper, kDigit, kSpace, kNewline, kOther, kPunct, kMulti };

// Upper bounds (exclusive) of the multi-byte groups; each is a UTF-8 lead-byte
// boundary, so the group of a character is the range its lead byte falls in.
constexpr std::uint32_t kGroupEnds[11] = {0x380,  0x400,  0x540,  0x800,   0x1000,  0x2000,
                                          0x3000, 0xA000, 0xE000, 0x10000, 0x110000};

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

int class_of(std::uint32_t c) noexcept {
    if (c < 0x80) return kAsciiClasses[c];
    int group = 0;
    while (group < 10 && c >= kGroupEnds[group]) ++group;
    return kMulti + group;
}

}  // namespace

void TokenScanner::push(std::uint32_t code_point) noexcept {
    const int c = class_of(code_point);
    const bool prev_letter = prev_ == kLower || prev_ == kUpper;
    switch (c) {
        case kLower:
        case kUpper:
            ++counts_[kLetters];
            if (!prev_letter) {
                ++counts_[kWords];
            } else if ((prev_ == kLower && c == kUpper) ||
                       (prev_ == kUpper && c == kLower && prev2_ == kUpper)) {
                ++counts_[kCaseSwitches];
            }
            if (prev_ >= kMulti) ++counts_[kMixedWords];
            break;
        case kDigit:
            ++counts_[kDigits];
            if (prev_ != kDigit) ++counts_[kDigitRuns];
            break;
        case kSpace:
            ++counts_[kSpaces];
            if (++space_run_ == 2) ++counts_[kSpaceRuns];
            break;
        case kNewline:
            ++counts_[kNewlines];
            break;
        case kOther:
            ++counts_[kOtherSpace];
            break;
        case kPunct:
            ++counts_[kPunctuation];
            if (prev_ != kPunct) ++counts_[kPunctuationRuns];
            break;
        default:
            ++counts_[kMultiByte + static_cast<std::size_t>(c - kMulti)];
            if (prev_ < kMulti) ++counts_[kNonAsciiRuns];
            break;
    }
    if (c != kSpace) space_run_ = 0;
    prev2_ = prev_;
    prev_ = c;
}

TokenFeatures token_features_utf8(const unsigned char* data, std::size_t size) noexcept {
    TokenScanner s;
    std::size_t i = 0;
    while (i < size) {
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

namespace {}  // namespace

namespace {

// One-byte text in blocks of 64 characters, by bit masks: a mask per class (bit
// i for character i), and the masks of the previous character and the one
// before it by shifting in the last block's top bits.
struct Masks {
    std::uint64_t lower, upper, digit, space, newline, other, high;
};

Masks block_masks(const std::uint8_t* p, std::size_t n) noexcept {
    Masks m{};
#if defined(__SSE2__) || defined(_M_X64)
    if (n == 64) {
        for (int k = 0; k < 4; ++k) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
            auto in = [&](char lo, char hi) {
                return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(lo - 1))),
                                     _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(hi + 1))));
            };
            auto bits = [&](__m128i v) {
                return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(v)))
                       << (16 * k);
            };
            const __m128i newline = _mm_cmpeq_epi8(x, _mm_set1_epi8('\n'));
            // Controls: below 0x20 as signed bytes (0x80 and up are negative) and
            // not negative, not a newline; and DEL.
            const __m128i control = _mm_or_si128(
                _mm_andnot_si128(_mm_or_si128(_mm_cmplt_epi8(x, _mm_setzero_si128()), newline),
                                 _mm_cmplt_epi8(x, _mm_set1_epi8(0x20))),
                _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7F)));
            m.lower |= bits(in('a', 'z'));
            m.upper |= bits(in('A', 'Z'));
            m.digit |= bits(in('0', '9'));
            m.space |= bits(_mm_cmpeq_epi8(x, _mm_set1_epi8(' ')));
            m.newline |= bits(newline);
            m.other |= bits(control);
            m.high |= bits(x);  // the sign bits: 0x80 and up
        }
        return m;
    }
#endif
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        switch (class_of(p[i])) {
            case kLower:
                m.lower |= bit;
                break;
            case kUpper:
                m.upper |= bit;
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
            case kPunct:
                break;
            default:
                m.high |= bit;
                break;
        }
    }
    return m;
}

inline std::uint64_t popcount(std::uint64_t v) noexcept {
    return static_cast<std::uint64_t>(std::popcount(v));
}

}  // namespace

// Any code units, a block of 64 at a time: the masks of the block narrowed to
// bytes (every non-ASCII unit as 0x80), then the group of each non-ASCII unit.
template <class Unit>
TokenFeatures features_by_blocks(const Unit* data, std::size_t size) noexcept {
    TokenFeatures f{};
    Masks last{};  // the previous block's masks (only their top two bits matter)
    for (std::size_t at = 0; at < size; at += 64) {
        const std::size_t n = size - at < 64 ? size - at : 64;
        const std::uint64_t valid = n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
        Masks m;
        if constexpr (sizeof(Unit) == 1) {
            m = block_masks(data + at, n);
        } else {
            std::uint8_t narrow[64];
            for (std::size_t i = 0; i < n; ++i) {
                const auto u = static_cast<std::uint32_t>(data[at + i]);
                narrow[i] = static_cast<std::uint8_t>(u < 0x80 ? u : 0x80);
            }
            m = block_masks(narrow, n);
        }
        auto prev = [](std::uint64_t now, std::uint64_t before) {
            return (now << 1) | (before >> 63);
        };
        auto prev2 = [](std::uint64_t now, std::uint64_t before) {
            return (now << 2) | (before >> 62);
        };
        const std::uint64_t letters = m.lower | m.upper;
        const std::uint64_t last_letters = last.lower | last.upper;
        const std::uint64_t punct =
            valid & ~(letters | m.digit | m.space | m.newline | m.other | m.high);
        const std::uint64_t last_punct =
            ~(last_letters | last.digit | last.space | last.newline | last.other | last.high) &
            (at ? ~std::uint64_t{0} : 0);
        f[kLetters] += popcount(letters);
        f[kWords] += popcount(letters & ~prev(letters, last_letters));
        f[kCaseSwitches] +=
            popcount(m.upper & prev(m.lower, last.lower)) +
            popcount(m.lower & prev(m.upper, last.upper) & prev2(m.upper, last.upper));
        f[kDigits] += popcount(m.digit);
        f[kDigitRuns] += popcount(m.digit & ~prev(m.digit, last.digit));
        f[kMixedWords] += popcount(letters & prev(m.high, last.high));
        f[kSpaces] += popcount(m.space);
        f[kSpaceRuns] +=
            popcount(m.space & prev(m.space, last.space) & ~prev2(m.space, last.space));
        f[kNewlines] += popcount(m.newline);
        f[kOtherSpace] += popcount(m.other);
        f[kPunctuation] += popcount(punct);
        f[kPunctuationRuns] += popcount(punct & ~prev(punct, last_punct));
        if constexpr (sizeof(Unit) == 1) {
            f[kMultiByte] += popcount(m.high);  // U+0080-U+00FF: all of the first group
        } else {
            for (std::uint64_t h = m.high; h; h &= h - 1) {
                const auto i = static_cast<std::size_t>(std::countr_zero(h));
                ++f[kMultiByte + static_cast<std::size_t>(
                                     class_of(static_cast<std::uint32_t>(data[at + i])) - kMulti)];
            }
        }
        f[kNonAsciiRuns] += popcount(m.high & ~prev(m.high, last.high));
        last = m;
        // A short final block leaves zero bits above n, which no later block reads.
        (void)valid;
    }
    return f;
}
TokenFeatures token_features_latin1(const std::uint8_t* data, std::size_t size) noexcept {
    return features_by_blocks(data, size);
}
TokenFeatures token_features_ucs2(const std::uint16_t* data, std::size_t size) noexcept {
    return features_by_blocks(data, size);
}
TokenFeatures token_features_ucs4(const std::uint32_t* data, std::size_t size) noexcept {
    return features_by_blocks(data, size);
}

std::int64_t token_estimate(const TokenFeatures& features,
                            const TokenCoefficients& coefficients) noexcept {
    // Exact integer arithmetic, as the Python reference computes it; saturated at
    // INT64_MAX (for texts no machine holds). Coefficients are never negative.
    constexpr std::uint64_t kMost = static_cast<std::uint64_t>(INT64_MAX);
    std::uint64_t total = 0;
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
    total = (total >> kTokenScaleBits) + ((total >> (kTokenScaleBits - 1)) & 1u);
    return total < 1 ? 1 : static_cast<std::int64_t>(total);
}

}  // namespace fenwa::host_trim
