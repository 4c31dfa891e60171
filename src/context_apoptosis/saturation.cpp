// Shingles are hashed, never built: one SipHash-1-3 stream per shingle over its
// tokens in order, each followed by the 0xFF terminator. The seen hashes go into
// an open-addressing set sized once for every shingle.
#include "context_apoptosis/saturation.hpp"

#include <algorithm>
#include <cstring>
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

    // Hints the cache line of `h`'s home slot ahead of its lookup.
    void prefetch(std::uint64_t h) const noexcept {
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(&slots_[home(h)], 1);
#else
        (void)h;
#endif
    }

    // True when `h` was already present; inserts it otherwise.
    bool seen_or_insert(std::uint64_t h) noexcept {
        if (h == 0) {
            const bool was = has_zero_;
            has_zero_ = true;
            return was;
        }
        for (std::size_t i = home(h);; i = (i + 1) & mask_) {
            if (slots_[i] == h) return true;
            if (slots_[i] == 0) {
                slots_[i] = h;
                return false;
            }
        }
    }

  private:
    // The hashes are uniformly distributed: their bits index the table directly.
    std::size_t home(std::uint64_t h) const noexcept {
        return static_cast<std::size_t>(h ^ (h >> 32)) & mask_;
    }

    std::unique_ptr<std::uint64_t[]> slots_;
    std::size_t mask_ = 0;
    bool has_zero_ = false;
};

}  // namespace

namespace {

// D / S for the token stream of `text`. The stream is the bytes the shingle hash
// consumes: every token followed by 0xFF, back to back; starts[i] is where token
// i begins and starts[N] is the end. Shingle i is then the contiguous range from
// starts[i] to starts[i + w], and hashing it in one write feeds SipHash exactly
// the bytes of writing its w tokens one by one, without the per-token overhead.
// `Offset` is 32 bits wide whenever the stream fits, halving the offsets' memory.
template <class Offset>
float scan(std::string_view text, std::uint64_t w) {
    // Tokens are separated by at least one byte, so the stream is at most one
    // byte longer than the text and there are at most (size + 1) / 2 tokens.
    // Reserving the bounds up front costs only address space: pages that are
    // never written are never touched.
    // Eight spare bytes after the stream let the hash read its last block whole.
    std::unique_ptr<char[]> stream(new char[text.size() + 1 + 8]);
    std::vector<Offset> starts;
    starts.reserve(text.size() / 2 + 2);
    char* out = stream.get();
    text::for_each_word(text, [&](std::string_view token) {
        starts.push_back(static_cast<Offset>(out - stream.get()));
        std::memcpy(out, token.data(), token.size());
        out += token.size();
        *out++ = '\xFF';
    });
    std::memset(out, 0, 8);
    const std::uint64_t n = starts.size();
    starts.push_back(static_cast<Offset>(out - stream.get()));

    // N < 2w, without forming 2w when w exceeds N (2w may not fit in 64 bits).
    if (w > n || n < 2 * w) return 0.0f;

    const std::size_t shingles = static_cast<std::size_t>(n - w + 1);
    const std::size_t width = static_cast<std::size_t>(w);
    HashSet seen(shingles);
    // Shingles are hashed a batch at a time and their slots fetched ahead, so the
    // set lookups (random accesses into a table larger than the caches) overlap.
    constexpr std::size_t kBatch = 16;
    std::uint64_t batch[kBatch];
    std::uint64_t repeated = 0;
    const char* const base = stream.get();
    for (std::size_t first = 0; first < shingles; first += kBatch) {
        const std::size_t count = std::min(kBatch, shingles - first);
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t from = starts[first + k];
            SipHash13 h;
            h.write_padded(base + from, starts[first + k + width] - from);
            batch[k] = h.finish();
            seen.prefetch(batch[k]);
        }
        for (std::size_t k = 0; k < count; ++k) repeated += seen.seen_or_insert(batch[k]);
    }
    return static_cast<float>(repeated) / static_cast<float>(shingles);
}

}  // namespace

float saturation_scan(std::string_view text, std::uint64_t window) {
    const std::uint64_t w = window == 0 ? 1 : window;
    if (text.size() < 0xFFFFFFFFu) return scan<std::uint32_t>(text, w);
    return scan<std::size_t>(text, w);
}

}  // namespace fenwa::analysers
