// Lookups in the generated tables and the lowercasing pass.
#include "context_apoptosis/unicode.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace fenwa::unicode {
namespace {

#include "context_apoptosis/unicode_tables.inc"

constexpr char32_t kLastCodePoint = 0x10FFFF;

// The lookups below index without bounds checks; the generated tables make that
// safe, and the compiler checks it: stage 1 covers every code point, each of its
// blocks lies inside stage 2, every stage-2 entry names a record, and every
// multi-character record names an entry of kMultiLower.
constexpr bool tables_in_bounds() {
    constexpr std::size_t block = std::size_t{1} << kBlockBits;
    if (std::size(kStage1) != (std::size_t{kLastCodePoint} + 1) / block) return false;
    for (auto b : kStage1)
        if ((std::size_t{b} + 1) * block > std::size(kStage2)) return false;
    for (auto r : kStage2)
        if (r >= std::size(kRecords)) return false;
    for (const CharRecord& r : kRecords)
        if ((r.flags & kMultiLowerFlag) &&
            (r.delta < 0 || static_cast<std::size_t>(r.delta) >= std::size(kMultiLower)))
            return false;
    return true;
}
static_assert(tables_in_bounds());

const CharRecord& record(char32_t cp) noexcept {
    if (cp > kLastCodePoint) return kRecords[0];
    const unsigned block = kStage1[cp >> kBlockBits];
    return kRecords[kStage2[(block << kBlockBits) | (cp & ((1u << kBlockBits) - 1))]];
}

// Final_Sigma: a cased character before the sigma and none after it, skipping
// case-ignorable characters on both sides (a character that is both cased and
// case-ignorable is skipped). `at` and `after` delimit the sigma itself.
bool final_sigma(const unsigned char* begin, const unsigned char* at, const unsigned char* after,
                 const unsigned char* end) noexcept {
    const unsigned char* p = at;
    char32_t cp = 0;
    bool found = false;
    while (p > begin) {
        std::size_t len;
        cp = decode_before(begin, p, len);
        p -= len;
        if (!is_case_ignorable(cp)) {
            found = true;
            break;
        }
    }
    if (!found || !is_cased(cp)) return false;
    for (p = after; p < end;) {
        std::size_t len;
        cp = decode(p, len);
        p += len;
        if (!is_case_ignorable(cp)) return !is_cased(cp);
    }
    return true;
}

}  // namespace

const char* version() noexcept {
    return kUnicodeVersion;
}
bool is_alnum(char32_t cp) noexcept {
    return record(cp).flags & kAlnum;
}
bool is_cased(char32_t cp) noexcept {
    return record(cp).flags & kCased;
}
bool is_case_ignorable(char32_t cp) noexcept {
    return record(cp).flags & kCaseIgnorable;
}

void to_lower(std::string_view text, std::string& out) {
    const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = begin + text.size();
    // Lowercasing grows a text only through the multi-character mappings, whose
    // result is at most half as long again as the character it replaces; the
    // output is written through a pointer and cut to size at the end.
    out.resize(text.size() + text.size() / 2 + 4);
    auto* dst = reinterpret_cast<unsigned char*>(out.data());
    const auto* p = begin;
    while (p < end) {
        // ASCII run: eight bytes at a time, the capitals found with a carry-free
        // compare per byte (0x80 marks a byte in 'A'..'Z').
        while (end - p >= 8) {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            if (v & 0x8080808080808080ULL) break;
            const std::uint64_t ge_a = v + 0x3F3F3F3F3F3F3F3FULL;  // b + (0x80 - 'A')
            const std::uint64_t gt_z = v + 0x2525252525252525ULL;  // b + (0x80 - 'Z' - 1)
            const std::uint64_t upper = (ge_a & ~gt_z) & 0x8080808080808080ULL;
            v |= upper >> 2;  // 0x80 >> 2 is 0x20, the case bit
            std::memcpy(dst, &v, 8);
            p += 8;
            dst += 8;
        }
        while (p < end && *p < 0x80) {
            const unsigned char b = *p++;
            *dst++ =
                static_cast<unsigned char>(b + (static_cast<unsigned>(b - 'A') < 26u ? 32 : 0));
        }
        if (p == end) break;
        // Lead bytes E4..E9 start U+4000..U+9FFF (CJK ideographs and hexagrams),
        // which have no case: copied as they are, without a table lookup.
        while (end - p >= 3 && p[0] >= 0xE4 && p[0] <= 0xE9) {
            std::memcpy(dst, p, 3);
            p += 3;
            dst += 3;
        }
        if (p == end || *p < 0x80) continue;
        std::size_t len;
        const char32_t cp = decode(p, len);
        char32_t lower;
        if (cp == 0x03A3) {
            lower = final_sigma(begin, p, p + len, end) ? 0x03C2 : 0x03C3;
        } else {
            const CharRecord& r = record(cp);
            if (r.flags & kMultiLowerFlag) {
                const std::size_t n = std::strlen(kMultiLower[r.delta]);
                std::memcpy(dst, kMultiLower[r.delta], n);
                dst += n;
                p += len;
                continue;
            }
            if (r.delta == 0) {
                std::memcpy(dst, p, len);
                dst += len;
                p += len;
                continue;
            }
            lower = static_cast<char32_t>(static_cast<std::int32_t>(cp) + r.delta);
        }
        dst += encode(lower, dst);
        p += len;
    }
    out.resize(static_cast<std::size_t>(dst - reinterpret_cast<unsigned char*>(out.data())));
}

}  // namespace fenwa::unicode
