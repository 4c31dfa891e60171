// Shingles are hashed, never built: one SipHash-1-3 stream per shingle, fed its
// tokens in order, each followed by the 0xFF terminator. The seen hashes go into
// an open-addressing set sized once for every shingle.
#include "context_apoptosis/saturation.hpp"

#include <memory>
#include <vector>

#include "context_apoptosis/siphash.hpp"
#include "context_apoptosis/text.hpp"

namespace fenwa::analysers {
namespace {

// A set of 64-bit hashes with a fixed capacity of at least twice the number of
// insertions. Zero marks an empty slot; the hash 0 itself is tracked apart.
class HashSet {
  public:
    explicit HashSet(std::size_t expected) {
        std::size_t cap = 16;
        while (cap / 2 < expected) cap <<= 1;
        mask_ = cap - 1;
        slots_.reset(new std::uint64_t[cap]());
    }

    // True when `h` was already present; inserts it otherwise.
    bool seen_or_insert(std::uint64_t h) noexcept {
        if (h == 0) {
            const bool was = has_zero_;
            has_zero_ = true;
            return was;
        }
        // The hashes are uniformly distributed: their bits index the table directly.
        for (std::size_t i = static_cast<std::size_t>(h ^ (h >> 32)) & mask_;;
             i = (i + 1) & mask_) {
            if (slots_[i] == h) return true;
            if (slots_[i] == 0) {
                slots_[i] = h;
                return false;
            }
        }
    }

  private:
    std::unique_ptr<std::uint64_t[]> slots_;
    std::size_t mask_ = 0;
    bool has_zero_ = false;
};

}  // namespace

float saturation_scan(std::string_view text, std::uint64_t window) {
    const std::vector<std::string_view> tokens = text::split_words(text);
    const std::uint64_t n = tokens.size();
    const std::uint64_t w = window == 0 ? 1 : window;
    // N < 2w, without forming 2w when w exceeds N (2w may not fit in 64 bits).
    if (w > n || n < 2 * w) return 0.0f;

    const std::uint64_t shingles = n - w + 1;
    HashSet seen(static_cast<std::size_t>(shingles));
    std::uint64_t repeated = 0;
    for (std::uint64_t i = 0; i < shingles; ++i) {
        SipHash13 h;
        for (std::uint64_t j = i; j < i + w; ++j) h.write_text(tokens[static_cast<std::size_t>(j)]);
        if (seen.seen_or_insert(h.finish())) ++repeated;
    }
    return static_cast<float>(repeated) / static_cast<float>(shingles);
}

}  // namespace fenwa::analysers
