// Shingles are hashed, never built: one SipHash-1-3 stream per shingle over its
// tokens in order, each followed by the 0xFF terminator. The seen hashes go into
// a set sized once for every shingle. The buffers are kept between calls (see
// platform/scratch.hpp).
#include "context_apoptosis/saturation.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "context_apoptosis/probe_table.hpp"
#include "context_apoptosis/siphash.hpp"
#include "context_apoptosis/siphash_x4.hpp"
#include "context_apoptosis/text.hpp"
#include "platform/scratch.hpp"

namespace fenwa::analysers {
namespace {

// D / S for the token stream of `text`. The stream is the bytes the shingle hash
// consumes: every token followed by 0xFF, back to back; starts[i] is where token
// i begins and starts[N] is the end. Shingle i is then the contiguous range from
// starts[i] to starts[i + w], and hashing it in one write feeds SipHash exactly
// the bytes of writing its w tokens one by one, without the per-token overhead.
// `Offset` is 32 bits wide whenever the stream fits, halving the offsets' memory.
template <class Offset>
float scan(std::string_view text, std::uint64_t w,
           SharedScratch<std::vector<Offset>>& starts_buffer) {
    // Tokens are separated by at least one byte, so the stream is at most one
    // byte longer than the text and there are at most (size + 1) / 2 tokens.
    // Spare bytes after the stream let the hash read its last block whole (8)
    // and short tokens be copied sixteen bytes at a time (16).
    static SharedScratch<std::string> stream_buffer;
    Scratch<std::string> stream(stream_buffer);
    Scratch<std::vector<Offset>> starts(starts_buffer);
    stream->resize(text.size() + 1 + 16);
    starts->reserve(text.size() / 2 + 2);
    char* const base = stream->data();
    char* out = base;
    // A token's place in the stream never lies after its place in the text
    // (each separator of at least one byte becomes one 0xFF), so a sixteen-byte
    // copy stays inside the stream whenever it stays inside the text.
    const char* const text_end = text.data() + text.size();
    text::for_each_word(text, [&](std::string_view token) {
        starts->push_back(static_cast<Offset>(out - base));
        if (token.size() <= 16 && text_end - token.data() >= 16) {
            std::memcpy(out, token.data(), 16);
        } else {
            std::memcpy(out, token.data(), token.size());
        }
        out += token.size();
        *out++ = '\xFF';
    });
    std::memset(out, 0, 8);
    const std::uint64_t n = starts->size();
    starts->push_back(static_cast<Offset>(out - base));

    // N < 2w, without forming 2w when w exceeds N (2w may not fit in 64 bits).
    if (w > n || n < 2 * w) return 0.0f;

    const std::size_t shingles = static_cast<std::size_t>(n - w + 1);
    const std::size_t width = static_cast<std::size_t>(w);
    static SharedScratch<HashSet64> seen_buffer;
    Scratch<HashSet64> seen(seen_buffer);
    seen->reset(shingles);
    // Shingles are hashed a batch at a time and their slots fetched ahead, so the
    // set lookups (random accesses into a table larger than the caches) overlap.
    // Where the processor has the vector unit for it, four neighbouring shingles
    // (of similar lengths, as they share all but one token) hash at once.
    constexpr std::size_t kBatch = 16;
    std::uint64_t batch[kBatch];
    const unsigned char* from[kBatch];
    std::size_t length[kBatch];
    std::uint64_t repeated = 0;
    const bool four_lanes = sip13_x4_available();
    const Offset* const at = starts->data();
    const auto* const ubase = reinterpret_cast<const unsigned char*>(base);
    for (std::size_t first = 0; first < shingles; first += kBatch) {
        const std::size_t count = std::min(kBatch, shingles - first);
        for (std::size_t k = 0; k < count; ++k) {
            from[k] = ubase + at[first + k];
            length[k] = static_cast<std::size_t>(at[first + k + width] - at[first + k]);
        }
        std::size_t k = 0;
        if (four_lanes) {
            for (; k + 4 <= count; k += 4) sip13_padded_x4(from + k, length + k, batch + k);
        }
        for (; k < count; ++k) {
            SipHash13 h;
            h.write_padded(from[k], length[k]);
            batch[k] = h.finish();
        }
        for (k = 0; k < count; ++k) seen->prefetch(batch[k]);
        for (k = 0; k < count; ++k) repeated += seen->seen_or_insert(batch[k]);
    }
    return static_cast<float>(repeated) / static_cast<float>(shingles);
}

}  // namespace

float saturation_scan(std::string_view text, std::uint64_t window) {
    const std::uint64_t w = window == 0 ? 1 : window;
    if (text.size() < 0xFFFFFFFFu) {
        static SharedScratch<std::vector<std::uint32_t>> starts;
        return scan<std::uint32_t>(text, w, starts);
    }
    static SharedScratch<std::vector<std::size_t>> starts;
    return scan<std::size_t>(text, w, starts);
}

}  // namespace fenwa::analysers
