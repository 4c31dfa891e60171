// Lookups in the generated tables and the lowercasing pass.
#include "context_apoptosis/unicode.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace fenwa::unicode {
namespace {

#include "context_apoptosis/unicode_tables.inc"

constexpr std::uint8_t kAlnum = 1;
constexpr std::uint8_t kCased = 2;
constexpr std::uint8_t kCaseIgnorable = 4;
constexpr std::uint8_t kMultiLowerFlag = 8;
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

void append_utf8(std::string& out, char32_t cp) {
    char buf[4];
    std::size_t n;
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    out.append(buf, n);
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
    out.clear();
    // Lowercasing grows a text only through the rare multi-character mappings.
    out.reserve(text.size());
    const auto* p = begin;
    while (p < end) {
        // ASCII run: a byte loop, eight bytes at a time when all are ASCII.
        const auto* run = p;
        while (end - p >= 8) {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            if (v & 0x8080808080808080ULL) break;
            p += 8;
        }
        while (p < end && *p < 0x80) ++p;
        if (p > run) {
            const std::size_t base = out.size();
            out.resize(base + static_cast<std::size_t>(p - run));
            char* dst = out.data() + base;
            for (const auto* q = run; q < p; ++q) {
                const unsigned char b = *q;
                *dst++ = static_cast<char>(b + (static_cast<unsigned>(b - 'A') < 26u ? 32 : 0));
            }
        }
        if (p == end) break;
        std::size_t len;
        const char32_t cp = decode(p, len);
        if (cp == 0x03A3) {
            append_utf8(out, final_sigma(begin, p, p + len, end) ? 0x03C2 : 0x03C3);
        } else {
            const CharRecord& r = record(cp);
            if (r.flags & kMultiLowerFlag) {
                out.append(kMultiLower[r.delta]);
            } else if (r.delta == 0) {
                out.append(reinterpret_cast<const char*>(p), len);
            } else {
                append_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(cp) + r.delta));
            }
        }
        p += len;
    }
}

}  // namespace fenwa::unicode
