#include "host_trim/token_estimate.hpp"

#include <bit>

#include "platform/simd.hpp"

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

}  // namespace

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

inline int byte_class(std::uint8_t b) noexcept {
    return b >= 0x80 ? int{kMulti} : int{kAsciiClasses[b]};
}

}  // namespace

template <class Unit>
void TokenScanner::push64(const std::uint8_t* p, const Unit* units, std::size_t n) noexcept {
    if (n == 0) return;
    // Only the first n characters count: every mask is cut to them.
    const std::uint64_t valid = n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
    Masks m = byte_masks(p);
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
        std::uint64_t pairs = letters & ~starts;
        std::uint64_t foreign = (pairs & 1u) ? foreign_pair(prev_char_, p[0]) : 0;
        for (pairs &= ~std::uint64_t{1}; pairs; pairs &= pairs - 1) {
            const auto i = static_cast<std::size_t>(std::countr_zero(pairs));
            foreign += (kRowByByte[p[i - 1]] >> (p[i] & 31u)) & 1u;
        }
        counts_[kForeignPairs] += foreign;
    }

    // Digit runs, and a group at every third digit of a run from its start.
    const std::uint64_t digit_starts = m.digit & ~prev(m.digit, is_digit);
    counts_[kDigitRuns] += popcount(digit_starts);
    counts_[kSpacedDigits] += popcount(digit_starts & prev(m.space, is_space));
    for (std::uint64_t d = m.digit; d;) {
        const int s = std::countr_zero(d);
        const int len = std::countr_one(d >> s);  // to bit 63 at most
        const unsigned phase = (s == 0 && prev_ == kDigit) ? digit_phase_ : 0;
        const unsigned end = phase + static_cast<unsigned>(len);
        counts_[kDigitGroups] += (end + 2) / 3 - (phase + 2) / 3;
        digit_phase_ = end % 3;
        d = s + len >= 64 ? 0 : d & ~(((std::uint64_t{1} << len) - 1) << s);
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
        for (std::uint64_t h = m.high; h; h &= h - 1) {
            const auto i = static_cast<std::size_t>(std::countr_zero(h));
            const std::size_t g = group_of(static_cast<std::uint32_t>(units[i]));
            ++counts_[g];
            if (g == kLatin) latin |= std::uint64_t{1} << i;
        }
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
        // Narrowed (and, for the last block, padded) to 64 bytes.
        std::uint8_t narrow[64] = {};
        for (std::size_t i = 0; i < n; ++i) {
            const auto u = static_cast<std::uint32_t>(data[at + i]);
            narrow[i] = static_cast<std::uint8_t>(u < 0x80 ? u : 0x80);
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
