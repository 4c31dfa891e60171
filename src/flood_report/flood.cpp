// One pass splits the text into tokens (the White_Space splitter shared with the
// saturation scan) and records, per token, its character count and the hash of
// its normalised form, and per line and paragraph a hash of its token sequence.
// Every word metric then works on those hashes:
//
// - n-grams are hashed by extending the (n-1)-gram hash with one token hash, and
//   only the positions whose (n-1)-gram occurs at least twice are carried to the
//   next n (an n-gram can repeat only where its prefix does). Natural text drops
//   almost every position after a few levels, and a flood has few distinct
//   n-grams, so the tables stay small either way;
// - from n = 6 on, a position only needs to know whether its n-gram occurred
//   before, which it finds looking from n = 10 down (see ngram_metrics); the
//   8-token saturation counts the positions whose 8-gram did. The raw 8-token
//   saturation hashes the tokens as written, and only at those positions: an
//   8-gram repeated verbatim is repeated once normalised too.
//
// The character shingles of long tokens and the run scan read the bytes again,
// the run scan in 64-byte blocks.
#include "flood_report/flood.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "context_apoptosis/text.hpp"
#include "context_apoptosis/unicode.hpp"
#include "context_apoptosis/word_hash.hpp"
#include "platform/simd.hpp"

namespace fenwa::flood {
namespace {

using Pos = std::uint32_t;

constexpr unsigned char kDigitsMark = 0xF8;
constexpr unsigned char kHexMark = 0xF9;
constexpr unsigned char kUuidMark = 0xFA;

inline std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ULL;
    x ^= x >> 33;
    return x;
}

// The hash of a sequence extended by one element (whose hash is well mixed):
// one multiplication, its high bits rotated down to where tables index.
inline std::uint64_t extend(std::uint64_t seq, std::uint64_t element) noexcept {
    return std::rotl((seq ^ element) * 0x9E3779B97F4A7C15ULL + element, 29);
}

inline bool is_digit(unsigned char c) noexcept {
    return c >= '0' && c <= '9';
}
inline bool is_hex(unsigned char c) noexcept {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The characters of a token, and whether normalisation can change it: only a
// token with a decimal digit or a run of 8 or more hex digits can.
struct TokenShape {
    std::size_t chars = 0;
    bool plain = true;
};

// Byte classes: the start of a character, a decimal digit, a hex digit.
constexpr std::uint8_t kStart = 1, kDigit = 2, kHexDigit = 4;
constexpr auto kByteClass = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned c = 0; c < 256; ++c) {
        t[c] = static_cast<std::uint8_t>(
            ((c & 0xC0) != 0x80 ? kStart : 0) | (c >= '0' && c <= '9' ? kDigit | kHexDigit : 0) |
            ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ? kHexDigit : 0));
    }
    return t;
}();

inline TokenShape token_shape(std::string_view token) noexcept {
    TokenShape shape;
    if (token.size() < 8) {
        // Short tokens, most of them, a word at a time: no run of 8 hex digits
        // fits, so only digits and continuation bytes matter.
        constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
        const std::uint64_t v = analysers::load_partial(token.data(), token.size());
        const std::uint64_t continuation = v & ~(v << 1) & kHigh;  // 10xxxxxx
        // Digits become bytes below 10 once xored with '0'; the zero padding
        // becomes '0', and bytes from 0x80 stay at 0x80 or above.
        const std::uint64_t x = v ^ (kOnes * '0');
        const bool digit = ((x - kOnes * 10) & ~x & kHigh) != 0;
        shape.chars = token.size() - static_cast<std::size_t>(std::popcount(continuation));
        shape.plain = !digit;
        return shape;
    }
    unsigned seen = 0;
    std::size_t hex_run = 0, longest_hex = 0;
    for (const char ch : token) {
        const unsigned c = kByteClass[static_cast<unsigned char>(ch)];
        shape.chars += c & kStart;
        seen |= c;
        hex_run = (c & kHexDigit) ? hex_run + 1 : 0;
        longest_hex = std::max(longest_hex, hex_run);
    }
    shape.plain = !(seen & kDigit) && longest_hex < 8;
    return shape;
}

inline std::size_t count_chars(std::string_view s) noexcept {
    std::size_t n = 0;
    for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// A hash map from 64-bit keys to a count and a first index, open addressing
// with linear probing, kept at most half full: it starts at room for an
// expected number of keys and doubles when it reaches that. Key 0 marks an
// empty slot, so a key of 0 is stored as another fixed value (a collision of
// negligible probability).
class Table {
  public:
    struct Entry {
        std::uint64_t key;
        Pos count;
        Pos first;
    };

    void reset(std::size_t expected) {
        std::size_t cap = 16;
        while (cap / 2 < expected) cap <<= 1;
        slots_.assign(cap, Entry{0, 0, 0});
        mask_ = cap - 1;
        size_ = 0;
    }

    void prefetch(std::uint64_t key) const noexcept {
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(&slots_[home(fix(key))], 1);
#else
        (void)key;
#endif
    }

    // The slot of `key`, inserted with `first` = pos and count 0 when absent.
    // The slot stays valid until the next insertion.
    std::size_t find_or_insert(std::uint64_t key, Pos pos) {
        key = fix(key);
        for (std::size_t i = home(key);; i = (i + 1) & mask_) {
            Entry& e = slots_[i];
            if (e.key == key) return i;
            if (e.key == 0) {
                if (2 * (size_ + 1) > slots_.size()) {
                    grow();
                    return find_or_insert(key, pos);
                }
                e = Entry{key, 0, pos};
                ++size_;
                return i;
            }
        }
    }

    bool contains(std::uint64_t key) const noexcept {
        key = fix(key);
        for (std::size_t i = home(key);; i = (i + 1) & mask_) {
            if (slots_[i].key == key) return true;
            if (slots_[i].key == 0) return false;
        }
    }

    Entry& at(std::size_t slot) noexcept { return slots_[slot]; }
    std::size_t size() const noexcept { return size_; }

  private:
    static std::uint64_t fix(std::uint64_t key) noexcept {
        return key ? key : 0x5851F42D4C957F2DULL;
    }
    std::size_t home(std::uint64_t key) const noexcept {
        return static_cast<std::size_t>(key ^ (key >> 29)) & mask_;
    }

    void grow() {
        std::vector<Entry> old(slots_.size() * 2, Entry{0, 0, 0});
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Entry& e : old) {
            if (!e.key) continue;
            std::size_t i = home(e.key);
            while (slots_[i].key) i = (i + 1) & mask_;
            slots_[i] = e;
        }
    }

    std::vector<Entry> slots_;
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
};

// Counts the duplicates (items equal to an earlier item) of a list of hashed
// items with their character counts.
struct Items {
    std::vector<std::uint64_t> hash;
    std::vector<std::uint64_t> chars;

    void add(std::uint64_t h, std::uint64_t c) {
        hash.push_back(h);
        chars.push_back(c);
    }

    // Sets the fraction of duplicate items and of their characters over `total`.
    void duplicates(Table& table, std::uint64_t total, double& frac, double& char_frac) const {
        if (hash.empty()) return;
        table.reset(hash.size());
        std::uint64_t dup = 0, dup_chars = 0;
        for (std::size_t i = 0; i < hash.size(); ++i) {
            Table::Entry& e = table.at(table.find_or_insert(hash[i], 0));
            if (e.count++) {
                ++dup;
                dup_chars += chars[i];
            }
        }
        frac = static_cast<double>(dup) / static_cast<double>(hash.size());
        if (total) char_frac = static_cast<double>(dup_chars) / static_cast<double>(total);
    }
};

// A line or paragraph being built from its tokens.
struct Span {
    std::uint64_t hash = 0;
    std::uint64_t chars = 0;
    bool empty = true;

    // A polynomial over the (already mixed) token hashes, mixed once at the end.
    void add(std::uint64_t token_hash, std::uint64_t token_chars) noexcept {
        hash = hash * 0x9E3779B97F4A7C15ULL + token_hash;
        chars += token_chars;
        empty = false;
    }
    void close(Items& into) {
        if (!empty) into.add(mix(hash), chars);
        *this = Span{};
    }
};

// Characters of the tokens covered by the windows [p, p + n) of `starts`
// (ascending); `prefix[i]` is the characters of the tokens before token i.
template <class Pick>
std::uint64_t covered_chars(const std::vector<Pos>& starts, std::size_t n,
                            const std::vector<std::uint64_t>& prefix, Pick&& pick) {
    std::uint64_t covered = 0;
    std::size_t until = 0;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        if (!pick(k)) continue;
        const std::size_t from = std::max<std::size_t>(starts[k], until);
        const std::size_t to = starts[k] + n;
        if (to > from) {
            covered += prefix[to] - prefix[from];
            until = to;
        }
    }
    return covered;
}

// The n-gram metrics. Levels 2 to 5 count every n-gram of the positions whose
// (n-1)-gram occurs at least twice: top n-gram coverage for n = 2..4, repeated
// 5-gram coverage. Levels 6 to 10 only need to know, per position, whether its
// n-gram occurred before, and that answer only shrinks as n grows (an earlier
// n-gram brings its prefixes along). So each surviving position looks its
// n-grams up from n = 10 down to the first that occurred before, and inserts
// only those above it: a flood position, repeated at n = 10, costs one lookup.
void ngram_metrics(const std::vector<std::uint64_t>& token_hash,
                   const std::vector<std::uint64_t>& raw_hash,
                   const std::vector<std::uint64_t>& prefix, Table& table, Metrics& m) {
    const std::size_t n_tokens = token_hash.size();
    const std::uint64_t total = prefix.back();
    if (n_tokens >= 4) m.repeats = 1;  // raised at level 4 when a 4-gram repeats
    if (n_tokens < 2 || total == 0) return;
    const auto frac = [&](std::uint64_t chars) {
        return static_cast<double>(chars) / static_cast<double>(total);
    };

    std::vector<Pos> starts(n_tokens - 1);
    std::vector<std::uint64_t> hashes(n_tokens - 1);
    for (std::size_t p = 0; p + 1 < n_tokens; ++p) {
        starts[p] = static_cast<Pos>(p);
        hashes[p] = extend(token_hash[p], token_hash[p + 1]);
    }
    std::vector<Pos> next_starts;
    std::vector<std::uint64_t> next_hashes;

    // Per position of a level: kRepeat when its n-gram occurred before, kRepeated
    // when it occurs again later; either means a count of at least two.
    constexpr std::uint8_t kRepeat = 1, kRepeated = 2;
    std::vector<std::uint8_t> flags;

    for (std::size_t n = 2; n <= 5; ++n) {
        if (starts.empty()) return;
        const std::size_t count = starts.size();
        // Level 2 starts with room for a quarter of its positions, a later level
        // for twice the distinct keys of the level before (a flood has few), and
        // the table grows as needed.
        table.reset(n == 2 ? count / 4 : std::min(count, 2 * table.size() + 16));
        flags.assign(count, 0);
        Pos best_count = 1, best_first = 0;
        std::uint64_t best_key = 0;
        // Keys are hashed ahead of their lookups so that the lookups, random
        // accesses into a table larger than the caches, overlap.
        constexpr std::size_t kAhead = 16;
        for (std::size_t k = 0; k < std::min(kAhead, count); ++k) table.prefetch(hashes[k]);
        for (std::size_t k = 0; k < count; ++k) {
            if (k + kAhead < count) table.prefetch(hashes[k + kAhead]);
            // Entries record the index of their first position in this level.
            Table::Entry& e = table.at(table.find_or_insert(hashes[k], static_cast<Pos>(k)));
            if (e.count++) {
                flags[k] |= kRepeat;
                flags[e.first] |= kRepeated;
            }
            if (e.count > best_count ||
                (e.count == best_count && e.count > 1 && e.first < best_first)) {
                best_count = e.count;
                best_first = e.first;
                best_key = hashes[k];
            }
        }
        if (n == 4 && best_count >= 2) m.repeats = best_count;
        if (n <= 4 && best_count >= 2) {
            m.top_ngram_char_frac[n - 2] = frac(covered_chars(
                starts, n, prefix, [&](std::size_t k) { return hashes[k] == best_key; }));
        }
        if (n == 5) {
            m.dup_ngram_char_frac[0] = frac(covered_chars(
                starts, n, prefix, [&](std::size_t k) { return (flags[k] & kRepeat) != 0; }));
            break;
        }
        next_starts.resize(count);
        next_hashes.resize(count);
        std::size_t kept = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t end = starts[k] + n;  // the token that extends the n-gram
            if (flags[k] && end < n_tokens) {
                next_starts[kept] = starts[k];
                next_hashes[kept] = extend(hashes[k], token_hash[end]);
                ++kept;
            }
        }
        next_starts.resize(kept);
        next_hashes.resize(kept);
        starts.swap(next_starts);
        hashes.swap(next_hashes);
    }

    // Levels 6 to 10 over the positions whose 5-gram occurs at least twice.
    constexpr std::size_t kLow = 6, kHigh = 10, kLevels = kHigh - kLow + 1;
    std::array<Table, kLevels> seen;
    for (Table& t : seen) t.reset(2 * table.size() + 16);
    std::array<std::uint64_t, kLevels> covered{}, until{};
    std::uint64_t repeated_shingles = 0;
    std::vector<std::uint64_t> raw_shingles;
    // The raw 8-token shingles' hashes: a polynomial over the token hashes,
    // rolled forward from the last position asked for when that is near (a
    // flood asks for nearly every position) and computed afresh otherwise.
    constexpr std::uint64_t kRawBase = 0x9E3779B97F4A7C15ULL;
    std::uint64_t raw_top = 1;  // kRawBase^(width - 1)
    for (std::size_t i = 1; i < kTokenShingle; ++i) raw_top *= kRawBase;
    std::size_t raw_at = 0;
    std::uint64_t raw_roll = 0;
    bool raw_started = false;
    const auto raw_shingle = [&](std::size_t p) {
        if (raw_started && p >= raw_at && p - raw_at < kTokenShingle) {
            for (; raw_at < p; ++raw_at) {
                raw_roll = (raw_roll - raw_hash[raw_at] * raw_top) * kRawBase +
                           raw_hash[raw_at + kTokenShingle];
            }
        } else {
            raw_roll = 0;
            for (std::size_t i = 0; i < kTokenShingle; ++i)
                raw_roll = raw_roll * kRawBase + raw_hash[p + i];
            raw_at = p;
            raw_started = true;
        }
        return raw_roll;
    };
    std::uint64_t level_hash[kLevels];
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t p = starts[k];
        if (!flags[k] || p + kLow > n_tokens) continue;
        const std::size_t top = std::min(kHigh, n_tokens - p);
        std::uint64_t h = hashes[k];
        for (std::size_t n = kLow; n <= top; ++n) {
            h = extend(h, token_hash[p + n - 1]);
            level_hash[n - kLow] = h;
        }
        // The longest n whose n-gram occurred before (5: none beyond the 5-gram,
        // which a first occurrence of its 5-gram cannot pass).
        std::size_t hit = 5;
        if (flags[k] & kRepeat) {
            for (std::size_t n = top; n >= kLow; --n) {
                if (seen[n - kLow].contains(level_hash[n - kLow])) {
                    hit = n;
                    break;
                }
            }
        }
        for (std::size_t n = hit + 1; n <= top; ++n)
            seen[n - kLow].find_or_insert(level_hash[n - kLow], 0);
        for (std::size_t n = kLow; n <= hit; ++n) {
            const std::uint64_t from = std::max<std::uint64_t>(p, until[n - kLow]);
            covered[n - kLow] += prefix[p + n] - prefix[from];
            until[n - kLow] = p + n;
        }
        repeated_shingles += hit >= kTokenShingle;
        if (top >= kTokenShingle) {
            // Every position of a verbatim repeat and of its first occurrence is
            // here, as both share a repeated 5-gram.
            raw_shingles.push_back(mix(raw_shingle(p)));
        }
    }
    for (std::size_t n = kLow; n <= kHigh; ++n)
        m.dup_ngram_char_frac[n - 5] = frac(covered[n - kLow]);
    if (n_tokens >= 2 * kTokenShingle) {
        // Counting repeats needs no order, so the lookups run apart from the
        // hashing, each slot fetched ahead of its lookup.
        std::uint64_t repeated_raw = 0;
        table.reset(raw_shingles.size());  // verbatim shingles are mostly distinct
        constexpr std::size_t kAhead = 16;
        const std::size_t count = raw_shingles.size();
        for (std::size_t k = 0; k < std::min(kAhead, count); ++k) table.prefetch(raw_shingles[k]);
        for (std::size_t k = 0; k < count; ++k) {
            if (k + kAhead < count) table.prefetch(raw_shingles[k + kAhead]);
            repeated_raw += table.at(table.find_or_insert(raw_shingles[k], 0)).count++ != 0;
        }
        m.token_saturation = static_cast<double>(repeated_shingles) /
                             static_cast<double>(n_tokens - kTokenShingle + 1);
        m.raw_token_saturation =
            static_cast<double>(repeated_raw) / static_cast<double>(n_tokens - kTokenShingle + 1);
    }
}

// Repeated character shingles of the long tokens, over `total` characters.
double char_saturation(const std::vector<std::string_view>& long_tokens, std::size_t shingles,
                       std::uint64_t total, Table& table) {
    if (shingles == 0 || total == 0) return 0;
    constexpr std::uint64_t kBase = 0x100000001B3ULL;
    std::uint64_t top = 1;  // kBase^(width - 1)
    for (std::size_t i = 1; i < kCharShingle; ++i) top *= kBase;
    // Shingles are hashed (a rolling polynomial over the code points) a batch at
    // a time, and their slots fetched before the batch is looked up, as the
    // saturation scan does.
    table.reset(shingles / 4);  // grows as needed; floods hold few distinct shingles
    std::uint64_t repeated = 0;
    constexpr std::size_t kBatch = 16;
    std::uint64_t batch[kBatch];
    std::size_t batched = 0;
    const auto flush = [&] {
        for (std::size_t k = 0; k < batched; ++k) table.prefetch(batch[k]);
        for (std::size_t k = 0; k < batched; ++k) {
            Table::Entry& e = table.at(table.find_or_insert(batch[k], 0));
            repeated += e.count++ != 0;
        }
        batched = 0;
    };
    // A run of decimal digits reads as this one character, past every code point.
    constexpr char32_t kDigitRun = 0x110000;
    char32_t window[kCharShingle];  // the last characters, by index modulo the width
    for (const std::string_view token : long_tokens) {
        const auto* p = reinterpret_cast<const unsigned char*>(token.data());
        const auto* const end = p + token.size();
        std::uint64_t h = 0;
        bool in_digits = false;
        for (std::size_t i = 0; p < end;) {
            std::size_t len;
            char32_t cp = unicode::decode(p, len);
            p += len;
            if (cp >= '0' && cp <= '9') {
                if (in_digits) continue;
                in_digits = true;
                cp = kDigitRun;
            } else {
                in_digits = false;
            }
            char32_t& slot = window[i % kCharShingle];
            if (i >= kCharShingle) h -= slot * top;
            slot = cp;
            h = h * kBase + cp;
            if (i + 1 >= kCharShingle) {
                batch[batched++] = mix(h);
                if (batched == kBatch) flush();
            }
            ++i;
        }
    }
    flush();
    return static_cast<double>(repeated) / static_cast<double>(total);
}

// Bit i set when text[at + i] == text[at + p + i], for 64 positions.
inline std::uint64_t equal_mask(const unsigned char* at, std::size_t p) noexcept {
#if defined(FENWA_SIMD)
    return simd::equal_mask64(at, at + p);
#else
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < 64; ++i)
        mask |= static_cast<std::uint64_t>(at[i] == at[i + p]) << i;
    return mask;
#endif
}

// Whether all 64 positions from `at` match their partners `p` bytes on; the
// first 16 are tested alone, as most blocks fail there.
inline bool full_block(const unsigned char* at, std::size_t p) noexcept {
#if defined(FENWA_SIMD)
    if (simd::top_bits(simd::load(at) == simd::load(at + p)) != 0xFFFF) return false;
#endif
    return equal_mask(at, p) == ~std::uint64_t{0};
}

// The longest stretch of the text with a period of 1 to kMaxPeriod bytes whose
// run of matching positions (text[i] == text[i + p]) reaches kMinRunExtent:
// its characters over the text's characters. A run of matching positions
// [a, a + m) for period p is the periodic stretch [a, a + m + p). A run of 128
// positions or more always covers a whole 64-aligned block, so only such
// blocks are searched, and each one found is extended both ways.
double longest_run(std::string_view text) {
    const auto* const s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t best_len = 0, best_start = 0;
    for (std::size_t p = 1; p <= kMaxPeriod && p < n; ++p) {
        const std::size_t positions = n - p;  // positions i with i + p < n
        std::size_t i = 0;
        while (i + 64 <= positions) {
            if (!full_block(s + i, p)) {
                i += 64;
                continue;
            }
            // The block before was not full, so the run starts at most 63 back.
            std::size_t start = i;
            while (start > 0 && s[start - 1] == s[start - 1 + p]) --start;
            std::size_t end = i + 64;
            while (end + 64 <= positions) {
                const std::uint64_t mask = equal_mask(s + end, p);
                end += static_cast<std::size_t>(std::countr_one(mask));
                if (mask != ~std::uint64_t{0}) break;
            }
            if (end + 64 > positions) {
                while (end < positions && s[end] == s[end + p]) ++end;
            }
            const std::size_t run = end - start;
            if (run >= kMinRunExtent && run >= p && run + p > best_len) {
                best_len = run + p;
                best_start = start;
            }
            i = (end + 64) & ~std::size_t{63};
        }
    }
    if (best_len == 0) return 0;
    return static_cast<double>(count_chars(text.substr(best_start, best_len))) /
           static_cast<double>(count_chars(text));
}

}  // namespace

void normalise_token(std::string_view token, std::string& out) {
    out.clear();
    const auto* const s = reinterpret_cast<const unsigned char*>(token.data());
    const std::size_t n = token.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c >= 0x80 || !is_hex(c)) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        // A hex run that starts here (not inside a longer run).
        if (i == 0 || !is_hex(s[i - 1])) {
            std::size_t run = i;
            while (run < n && is_hex(s[run])) ++run;
            // UUID: groups of 8, 4, 4, 4 and 12 hex digits joined by hyphens, with
            // no hex digit right after it.
            if (run - i == 8) {
                static constexpr std::size_t kGroups[] = {4, 4, 4, 12};
                std::size_t at = run;
                bool uuid = true;
                for (const std::size_t g : kGroups) {
                    if (at >= n || s[at] != '-') {
                        uuid = false;
                        break;
                    }
                    ++at;
                    std::size_t len = 0;
                    while (at < n && is_hex(s[at])) ++at, ++len;
                    if (len != g) {
                        uuid = false;
                        break;
                    }
                }
                if (uuid) {
                    out.push_back(static_cast<char>(kUuidMark));
                    i = at;
                    continue;
                }
            }
            if (run - i >= 8) {
                out.push_back(static_cast<char>(kHexMark));
                i = run;
                continue;
            }
        }
        if (is_digit(c)) {
            while (i < n && is_digit(s[i])) ++i;
            out.push_back(static_cast<char>(kDigitsMark));
            continue;
        }
        out.push_back(static_cast<char>(c));
        ++i;
    }
}

Metrics flood_metrics(std::string_view text) {
    Metrics m;
    // Token positions are 32-bit; a text has at most (size + 1) / 2 tokens.
    if (text.size() / 2 >= std::numeric_limits<Pos>::max() - 16)
        throw std::length_error("text too large");

    std::vector<std::uint64_t> token_hash, raw_hash;
    std::vector<std::uint64_t> prefix{0};  // characters before each token
    token_hash.reserve(text.size() / 6 + 16);
    raw_hash.reserve(text.size() / 6 + 16);
    prefix.reserve(text.size() / 6 + 17);
    Items lines, paragraphs;
    Span line, paragraph;
    std::vector<std::string_view> long_tokens;
    std::size_t char_shingles = 0;
    std::string normal;
    const char* gap_from = text.data();

    text::for_each_word(text, [&](std::string_view token) {
        const std::size_t newlines =
            static_cast<std::size_t>(std::count(gap_from, token.data(), '\n'));
        gap_from = token.data() + token.size();
        if (newlines >= 1) line.close(lines);
        if (newlines >= 2) paragraph.close(paragraphs);

        const TokenShape shape = token_shape(token);
        const std::uint64_t raw = analysers::word_hash(token);
        std::uint64_t h = raw;
        if (!shape.plain) {
            normalise_token(token, normal);
            h = analysers::word_hash(normal);
        }
        const std::size_t chars = shape.chars;
        token_hash.push_back(h);
        raw_hash.push_back(raw);
        prefix.push_back(prefix.back() + chars);
        line.add(h, chars);
        paragraph.add(h, chars);
        if (chars >= kLongToken) {
            long_tokens.push_back(token);
            char_shingles += chars - kCharShingle + 1;
        }
    });
    line.close(lines);
    paragraph.close(paragraphs);

    const std::uint64_t total = prefix.back();
    Table table;
    lines.duplicates(table, total, m.dup_line_frac, m.dup_line_char_frac);
    paragraphs.duplicates(table, total, m.dup_para_frac, m.dup_para_char_frac);
    ngram_metrics(token_hash, raw_hash, prefix, table, m);
    m.char_saturation = char_saturation(long_tokens, char_shingles, total, table);
    m.longest_run_frac = longest_run(text);
    return m;
}

}  // namespace fenwa::flood
