// The effort gauge: lowercase the text, split it into words, count the word-list
// hits and the byte classes, then weigh them into a single-precision score.
#include "context_apoptosis/effort_gauge.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "context_apoptosis/probe_table.hpp"
#include "context_apoptosis/text.hpp"
#include "context_apoptosis/unicode.hpp"
#include "context_apoptosis/word_hash.hpp"
#include "platform/scratch.hpp"
#include "platform/simd.hpp"

namespace fenwa::analysers {
namespace {

constexpr std::uint8_t kHard = 1;
constexpr std::uint8_t kConstraint = 2;
constexpr std::uint8_t kCode = 4;
constexpr std::uint8_t kTrivial = 8;

struct ListWord {
    std::string_view text;
    std::uint8_t list;
};

// Every entry is lowercase UTF-8 ("restrição" is 11 bytes, "obrigatório" 12).
constexpr ListWord kListWords[] = {
    // Hard words (whole-word match).
    {"why", kHard},
    {"how", kHard},
    {"bug", kHard},
    {"plan", kHard},
    {"erro", kHard},
    {"gere", kHard},
    {"prove", kHard},
    {"error", kHard},
    {"falha", kHard},
    {"monte", kHard},
    {"prova", kHard},
    {"broken", kHard},
    {"depure", kHard},
    {"compare", kHard},
    // Constraint words.
    {"must", kConstraint},
    {"never", kConstraint},
    {"always", kConstraint},
    {"without", kConstraint},
    {"ensure", kConstraint},
    {"require", kConstraint},
    {"requirement", kConstraint},
    {"constraint", kConstraint},
    {"invariant", kConstraint},
    {"except", kConstraint},
    {"deve", kConstraint},
    {"nunca", kConstraint},
    {"sempre", kConstraint},
    {"sem", kConstraint},
    {"garanta", kConstraint},
    {"requisito", kConstraint},
    {"restri\xC3\xA7\xC3\xA3o", kConstraint},
    {"restricao", kConstraint},
    {"invariante", kConstraint},
    {"exceto", kConstraint},
    {"obrigat\xC3\xB3rio", kConstraint},
    {"obrigatorio", kConstraint},
    // Programming keywords.
    {"fn", kCode},
    {"def", kCode},
    {"class", kCode},
    {"import", kCode},
    {"return", kCode},
    {"const", kCode},
    {"let", kCode},
    {"select", kCode},
    {"async", kCode},
    {"struct", kCode},
    {"impl", kCode},
    {"function", kCode},
    {"var", kCode},
    {"pub", kCode},
    // Acknowledgements.
    {"ok", kTrivial},
    {"okay", kTrivial},
    {"yes", kTrivial},
    {"no", kTrivial},
    {"thanks", kTrivial},
    {"continue", kTrivial},
    {"sure", kTrivial},
    {"great", kTrivial},
    {"good", kTrivial},
    {"sim", kTrivial},
    {"n\xC3\xA3o", kTrivial},
    {"nao", kTrivial},
    {"obrigado", kTrivial},
    {"obrigada", kTrivial},
    {"prossiga", kTrivial},
    {"segue", kTrivial},
    {"beleza", kTrivial},
    {"certo", kTrivial},
    {"show", kTrivial},
    {"valeu", kTrivial},
};

constexpr std::string_view kHardStems[] = {
    "design",   "architect", "optimi",  "refactor",   "implement", "analy",   "compar",
    "debug",    "deriv",     "evaluat", "integrat",   "migrat",    "audit",   "projet",
    "arquitet", "otimiz",    "refator", "analis",     "planej",    "avali",   "estud",
    "viabilid", "estrateg",  "constru", "desenvolv",  "valid",     "verific", "revis",
    "integr",   "corrij",    "corrig",  "diagnostic", "investig",
};

// Equality of n bytes; words are short, so up to 16 bytes compare as two
// partial words without a call.
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
    if (n <= 8) return load_partial(a, n) == load_partial(b, n);
    if (n <= 16) {
        return load_partial(a, 8) == load_partial(b, 8) &&
               load_partial(a + 8, n - 8) == load_partial(b + 8, n - 8);
    }
    return std::memcmp(a, b, n) == 0;
}

// Whole-word lists as one small open-addressing table keyed by the word's (at
// most 16) bytes; each slot holds the lists the word belongs to.
class WordTable {
  public:
    static constexpr std::size_t kMaxLen = 16;

    WordTable() {
        for (const ListWord& w : kListWords) {
            const Key k = key(w.text);
            std::size_t i = slot_of(k);
            while (slots_[i].list && !(slots_[i].key == k)) i = (i + 1) & kMask;
            slots_[i].key = k;
            slots_[i].list |= w.list;
        }
    }

    // The lists `word` belongs to (0 for none).
    std::uint8_t lookup(std::string_view word) const noexcept {
        if (word.size() < 2 || word.size() > kMaxLen) return 0;
        const Key k = key(word);
        for (std::size_t i = slot_of(k);; i = (i + 1) & kMask) {
            if (!slots_[i].list) return 0;
            if (slots_[i].key == k) return slots_[i].list;
        }
    }

  private:
    struct Key {
        std::uint64_t lo = 0, hi = 0, len = 0;
        bool operator==(const Key&) const = default;
    };
    struct Slot {
        Key key;
        std::uint8_t list = 0;
    };
    static constexpr std::size_t kSlots = 256;
    static constexpr std::size_t kMask = kSlots - 1;

    static Key key(std::string_view w) noexcept {
        Key k;
        const std::size_t first = w.size() < 8 ? w.size() : 8;
        k.lo = load_partial(w.data(), first);
        k.hi = load_partial(w.data() + first, w.size() - first);
        k.len = w.size();
        return k;
    }
    static std::size_t slot_of(const Key& k) noexcept {
        std::uint64_t h = (k.lo * 0x9E3779B97F4A7C15ULL) ^ ((k.hi + k.len) * 0xC2B2AE3D27D4EB4FULL);
        return static_cast<std::size_t>(h >> 56) & kMask;
    }

    std::array<Slot, kSlots> slots_{};
};

// Hard stems indexed by their first byte, built at compile time: a bucket
// that would overflow stops the build.
class StemIndex {
  public:
    static constexpr std::size_t kBucketSize = 8;

    template <std::size_t N>
    constexpr explicit StemIndex(const std::string_view (&stems)[N]) {
        for (std::string_view s : stems) {
            auto& bucket = buckets_[static_cast<unsigned char>(s[0])];
            if (bucket.count == kBucketSize)
                throw "more stems share a first byte than a bucket holds";
            bucket.stems[bucket.count++] = s;
        }
    }
    bool match(std::string_view word) const noexcept {
        if (word.empty()) return false;
        const Bucket& bucket = buckets_[static_cast<unsigned char>(word[0])];
        for (std::size_t i = 0; i < bucket.count; ++i) {
            const std::string_view s = bucket.stems[i];
            if (word.size() >= s.size() && same_bytes(word.data(), s.data(), s.size())) return true;
        }
        return false;
    }

  private:
    struct Bucket {
        std::array<std::string_view, kBucketSize> stems{};
        std::size_t count = 0;
    };
    std::array<Bucket, 256> buckets_{};
};

constexpr StemIndex kStemIndex(kHardStems);

// Two quick tests that most words fail, skipping both lookups: for each first
// byte, a bit per word length (lengths from 31 share bit 31) that some list word
// or hard stem could have; and a bit per two-byte prefix that one starts with.
constexpr std::array<std::uint32_t, 256> make_candidate_lengths() {
    std::array<std::uint32_t, 256> lengths{};
    for (const ListWord& w : kListWords) {
        lengths[static_cast<unsigned char>(w.text[0])] |=
            1u << std::min<std::size_t>(w.text.size(), 31);
    }
    for (std::string_view s : kHardStems) {
        for (std::size_t n = s.size(); n <= 31; ++n)
            lengths[static_cast<unsigned char>(s[0])] |= 1u << n;
    }
    return lengths;
}
constexpr auto kCandidateLengths = make_candidate_lengths();

constexpr std::size_t prefix_of(std::string_view w) noexcept {
    return (static_cast<std::size_t>(static_cast<unsigned char>(w[0])) << 8) |
           static_cast<unsigned char>(w[1]);
}
constexpr std::array<std::uint64_t, 1024> make_candidate_prefixes() {
    std::array<std::uint64_t, 1024> bits{};
    for (const ListWord& w : kListWords)
        bits[prefix_of(w.text) / 64] |= 1ull << (prefix_of(w.text) % 64);
    for (std::string_view s : kHardStems) bits[prefix_of(s) / 64] |= 1ull << (prefix_of(s) % 64);
    return bits;
}
constexpr auto kCandidatePrefixes = make_candidate_prefixes();

// False when `word` can be neither a list word nor start with a hard stem
// (every one of which is at least two bytes long).
bool may_be_listed(std::string_view word) noexcept {
    if (word.size() < 2) return false;
    const std::size_t prefix = prefix_of(word);
    return ((kCandidatePrefixes[prefix / 64] >> (prefix % 64)) & 1u) &&
           ((kCandidateLengths[static_cast<unsigned char>(word[0])] >>
             std::min<std::size_t>(word.size(), 31)) &
            1u);
}

const WordTable& word_table() {
    static const WordTable table;
    return table;
}

// Byte classes: code punctuation and ASCII digits; ASCII alphanumerics.
constexpr std::uint8_t kPunct = 1;
constexpr std::uint8_t kDigit = 2;
constexpr std::uint8_t kAsciiAlnum = 4;

constexpr std::array<std::uint8_t, 256> make_byte_classes() {
    std::array<std::uint8_t, 256> t{};
    for (unsigned char c : std::string_view("();<=>`{}")) t[c] = kPunct;
    for (int c = '0'; c <= '9'; ++c) t[static_cast<std::size_t>(c)] = kDigit | kAsciiAlnum;
    for (int c = 'a'; c <= 'z'; ++c) t[static_cast<std::size_t>(c)] = kAsciiAlnum;
    for (int c = 'A'; c <= 'Z'; ++c) t[static_cast<std::size_t>(c)] = kAsciiAlnum;
    return t;
}
constexpr auto kByteClass = make_byte_classes();

// The number of distinct words: a set of word indexes, sized once for all words
// so that it never grows. A slot holds the index and the upper half of the
// word's hash as a tag; `Index` is 32 bits wide whenever the word count allows,
// so that a slot takes 8 bytes. Words are hashed a batch at a time and their
// home slots fetched ahead, so that the lookups overlap.
template <class Index>
struct WordSlot {
    std::uint32_t tag;
    Index index;  // word index + 1; 0 marks an empty slot
    bool empty() const noexcept { return index == 0; }
};

template <class Index>
std::uint64_t count_distinct(const std::vector<std::string_view>& words,
                             ProbeTable<WordSlot<Index>>& slots) {
    slots.reset(words.size());
    std::uint64_t distinct = 0;
    constexpr std::size_t kBatch = 16;
    std::uint64_t hashes[kBatch];
    for (std::size_t first = 0; first < words.size(); first += kBatch) {
        const std::size_t count = std::min(kBatch, words.size() - first);
        for (std::size_t k = 0; k < count; ++k) {
            hashes[k] = word_hash(words[first + k]);
            slots.prefetch(hashes[k]);
        }
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint64_t h = hashes[k];
            const auto tag = static_cast<std::uint32_t>(h >> 32);
            const std::string_view w = words[first + k];
            WordSlot<Index>* at = slots.find(h, [&](const WordSlot<Index>& s) {
                if (s.tag != tag) return false;
                const std::string_view seen = words[static_cast<std::size_t>(s.index) - 1];
                return seen.size() == w.size() && same_bytes(seen.data(), w.data(), w.size());
            });
            if (at->empty()) {
                slots.place(at, WordSlot<Index>{tag, static_cast<Index>(first + k + 1)});
                ++distinct;
            }
        }
    }
    return distinct;
}

template <class Index>
std::uint64_t count_distinct(const std::vector<std::string_view>& words) {
    static SharedScratch<ProbeTable<WordSlot<Index>>> shared;
    Scratch<ProbeTable<WordSlot<Index>>> slots(shared);
    return count_distinct<Index>(words, *slots);
}

// Counts the code punctuation bytes and the ASCII digit bytes of `s`.
void count_bytes(std::string_view s, std::uint64_t& punct, std::uint64_t& digits) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* const end = p + s.size();
#if defined(FENWA_SIMD)
    // Sixteen bytes at a time. Signed byte compares are exact here: every byte
    // looked for is ASCII, and bytes from 0x80 up compare as negative.
    using simd::Bytes;
    using simd::splat;
    auto in = [](Bytes v, char lo, char hi) {
        return simd::greater_signed(v, splat(static_cast<unsigned char>(lo - 1))) &
               simd::less_signed(v, splat(static_cast<unsigned char>(hi + 1)));
    };
    // Matches are counted per byte lane (a compare yields -1, subtracted from the
    // lane), and the lanes are summed before any of them can reach 256.
    while (end - p >= 16) {
        Bytes punct_acc = simd::zero();
        Bytes digit_acc = simd::zero();
        for (int i = 0; i < 255 && end - p >= 16; ++i, p += 16) {
            const Bytes v = simd::load(p);
            // ( ) are 0x28..0x29; ; < = > are 0x3B..0x3E; then ` { }.
            const Bytes pm = (in(v, '(', ')') | in(v, ';', '>')) |
                             ((v == splat('`')) | ((v == splat('{')) | (v == splat('}'))));
            punct_acc = punct_acc - pm;
            digit_acc = digit_acc - in(v, '0', '9');
        }
        punct += simd::byte_sum(punct_acc);
        digits += simd::byte_sum(digit_acc);
    }
#endif
    for (; p < end; ++p) {
        const std::uint8_t k = kByteClass[*p];
        punct += k & kPunct;
        digits += (k & kDigit) >> 1;
    }
}

// The score: five signals, each scaled to 0..1 and capped, weighed in this
// order in single precision, then scaled by novelty from half to full.
constexpr float kWordsForFullLength = 400.0f;  // length signal saturates here
constexpr float kHardHitsForFull = 3.0f;
constexpr float kConstraintHitsForFull = 6.0f;
constexpr float kCodeHitsForFull = 12.0f;
constexpr float kDigitRatioScale = 8.0f;       // one byte in eight a digit saturates
constexpr std::uint64_t kPunctPerCodeHit = 6;  // code punctuation bytes per code hit

constexpr float kLengthWeight = 0.3f;
constexpr float kHardWeight = 0.25f;
constexpr float kConstraintWeight = 0.2f;
constexpr float kCodeWeight = 0.15f;
constexpr float kDigitWeight = 0.1f;
constexpr float kNoveltyFloor = 0.5f;  // the factor is kNoveltyFloor * (1 + novelty)

// Short texts without hard or code signals, and very short acknowledgements,
// score at most kTrivialScoreCap.
constexpr std::uint64_t kShortWords = 7;
constexpr std::uint64_t kAcknowledgementWords = 4;
constexpr float kTrivialScoreCap = 0.05f;

// Tiers by score, and their token budgets.
constexpr float kLowTierFrom = 0.15f;
constexpr float kMediumTierFrom = 0.4f;
constexpr float kHighTierFrom = 0.7f;
constexpr std::uint32_t kLowBudget = 1024;
constexpr std::uint32_t kMediumBudget = 4096;
constexpr std::uint32_t kHighBudget = 16384;

float min1(float x) noexcept {
    return x < 1.0f ? x : 1.0f;
}

}  // namespace

std::string_view trim_word(std::string_view word) noexcept {
    // Most words begin and end with an ASCII letter or digit: nothing to trim.
    if (!word.empty() && (kByteClass[static_cast<unsigned char>(word.front())] & kAsciiAlnum) &&
        (kByteClass[static_cast<unsigned char>(word.back())] & kAsciiAlnum))
        return word;
    const auto* b = reinterpret_cast<const unsigned char*>(word.data());
    const auto* e = b + word.size();
    while (b < e) {
        if (*b < 0x80) {
            if (kByteClass[*b] & kAsciiAlnum) break;
            ++b;
        } else {
            std::size_t len;
            if (unicode::is_alnum(unicode::decode(b, len))) break;
            b += len;
        }
    }
    while (e > b) {
        if (e[-1] < 0x80) {
            if (kByteClass[e[-1]] & kAsciiAlnum) break;
            --e;
        } else {
            std::size_t len;
            if (unicode::is_alnum(unicode::decode_before(b, e, len))) break;
            e -= len;
        }
    }
    return {reinterpret_cast<const char*>(b), static_cast<std::size_t>(e - b)};
}

Effort effort_gauge(std::string_view text) {
    static SharedScratch<std::string> shared_lower;
    static SharedScratch<std::vector<std::string_view>> shared_words;
    Scratch<std::string> lower_buffer(shared_lower);
    Scratch<std::vector<std::string_view>> words_buffer(shared_words);
    std::string& lower = *lower_buffer;
    std::vector<std::string_view>& words = *words_buffer;
    unicode::to_lower(text, lower);

    Effort out;
    EffortSignals& sig = out.signals;
    const WordTable& table = word_table();
    std::uint64_t code_words = 0;
    text::for_each_word(lower, [&](std::string_view w) {
        words.push_back(w);
        const std::string_view t = trim_word(w);
        if (!may_be_listed(t)) return;
        const std::uint8_t lists = table.lookup(t);
        if ((lists & kHard) || kStemIndex.match(t)) ++sig.hard_hits;
        if (lists & kConstraint) ++sig.constraint_hits;
        if (lists & kCode) ++code_words;
        if (lists & kTrivial) ++sig.trivial_hits;
    });
    sig.words = words.size();

    std::uint64_t punct = 0, digits = 0;
    count_bytes(lower, punct, digits);
    sig.code_hits = code_words + punct / kPunctPerCodeHit;
    sig.digit_ratio =
        lower.empty() ? 0.0f : static_cast<float>(digits) / static_cast<float>(lower.size());
    sig.novelty = words.empty() ? 0.0f
                                : static_cast<float>(words.size() < 0xFFFFFFFFu
                                                         ? count_distinct<std::uint32_t>(words)
                                                         : count_distinct<std::size_t>(words)) /
                                      static_cast<float>(sig.words);
    sig.len_score = min1(static_cast<float>(sig.words) / kWordsForFullLength);

    const float L = sig.len_score;
    const float H = min1(static_cast<float>(sig.hard_hits) / kHardHitsForFull);
    const float C = min1(static_cast<float>(sig.constraint_hits) / kConstraintHitsForFull);
    const float K = min1(static_cast<float>(sig.code_hits) / kCodeHitsForFull);
    const float G = min1(kDigitRatioScale * sig.digit_ratio);
    float S = kLengthWeight * L;
    S = S + kHardWeight * H;
    S = S + kConstraintWeight * C;
    S = S + kCodeWeight * K;
    S = S + kDigitWeight * G;
    const float F = kNoveltyFloor + kNoveltyFloor * sig.novelty;
    float score = std::clamp(F * S, 0.0f, 1.0f);

    if ((sig.words <= kShortWords && sig.hard_hits == 0 && sig.code_hits == 0) ||
        (sig.words < kAcknowledgementWords && sig.trivial_hits > 0)) {
        score = std::min(score, kTrivialScoreCap);
    }
    out.score = score;

    if (score < kLowTierFrom) {
        if (sig.hard_hits > 0 && sig.words >= kAcknowledgementWords && score > kTrivialScoreCap) {
            out.tier = "low";
            out.budget_tokens = kLowBudget;
        } else {
            out.tier = "off";
            out.budget_tokens = 0;
        }
    } else if (score < kMediumTierFrom) {
        out.tier = "low";
        out.budget_tokens = kLowBudget;
    } else if (score < kHighTierFrom) {
        out.tier = "medium";
        out.budget_tokens = kMediumBudget;
    } else {
        out.tier = "high";
        out.budget_tokens = kHighBudget;
    }
    return out;
}

}  // namespace fenwa::analysers
