// The self-dehydrating context window: live blocks, the purpose contract and the
// STATE ledger, each behind its own mutex (never two held at once), plus two
// atomic token counters. Plain C++; the Python class is a thin shell over it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "context_apoptosis/blocks.hpp"
#include "context_apoptosis/native_text.hpp"
#include "context_apoptosis/probe_table.hpp"

namespace fenwa::window {

// Longest digest before the cut, in bytes.
inline constexpr std::size_t kDigestBytes = 120;

// The one-line digest a purged conversational block leaves: the words of `text`
// joined by single spaces, cut at the first character boundary at or after byte
// 120 (and before the end) and followed by "…". Allocates only the digest.
std::string make_digest(std::string_view text);

// The ledger's index of present hashes (SipHash values, well mixed).
using HashIndex = HashSet64;

struct LedgerEntry {
    std::uint64_t hash;  // of the UTF-8 form
    text::StoredText text;
};

// Bounded, deduplicated, oldest-first list of texts, kept in a ring that grows
// up to the capacity. Not synchronised: the window guards it with its ledger
// mutex.
//
// Room can be promised ahead: after `promise(n)`, n appends through
// `append_promised` cannot fail, whatever other appends happen in between
// (each of those keeps the promised room free, or fails before any change).
class Ledger {
  public:
    // Up to this capacity the duplicate test scans the stored hashes; beyond it a
    // set of the present hashes keeps appends constant time.
    static constexpr std::size_t kScanLimit = 64;

    explicit Ledger(std::size_t capacity) noexcept;

    // Appends `text` with `hash` unless an entry with that hash is present; the
    // oldest entries beyond the capacity roll off. Returns whether it appended.
    // On an allocation failure the ledger is unchanged.
    bool append(std::uint64_t hash, text::StoredText&& text);

    // Makes room for `n` more appends (on failure nothing changes).
    void promise(std::size_t n);
    // One promised append: as `append`, but it cannot fail.
    bool append_promised(std::uint64_t hash, text::StoredText&& text) noexcept;
    // Withdraws `n` promised appends that will not be made.
    void withdraw(std::size_t n) noexcept { promised_ -= n; }

    std::size_t size() const noexcept { return count_; }
    // Calls `f(const LedgerEntry&)` for every entry, oldest first.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t i = 0; i < count_; ++i) f(ring_[(head_ + i) % ring_.size()]);
    }

  private:
    bool contains(std::uint64_t hash) const;
    // Room for `extra` appends beyond the promised ones.
    void make_room(std::size_t extra);
    void push(std::uint64_t hash, text::StoredText&& text) noexcept;

    std::size_t capacity_;
    bool indexed_;
    std::vector<LedgerEntry> ring_;  // count_ entries from head_, wrapping
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    std::size_t promised_ = 0;
    HashIndex index_;  // the hashes of the entries when indexed_
};

// The texts of a rendering, each section taken under its own lock: the purpose
// and a line feed, the "STATE:" header and one "- " line per ledger entry, then
// the live blocks joined by line feeds. The text itself is written from them
// afterwards, with no lock held.
class Rendering {
  public:
    // Code points in all, and the narrowest width that holds every one.
    std::size_t length() const noexcept { return length_; }
    text::Width width() const noexcept { return width_; }
    // Writes the rendering to `dst` as units of `width`, which must be at least
    // width(); returns the address just past it.
    char* write(char* dst, text::Width width) const noexcept;
    std::string utf8() const;

  private:
    friend class Window;

    std::optional<text::StoredText> purpose_;
    text::TextSnapshot ledger_;
    text::TextSnapshot blocks_;
    std::size_t length_ = 0;
    text::Width width_ = text::Width::ascii;
};

// The lock a caller holds around its calls to the window (for the Python class,
// the interpreter lock), which a cycle hands back while it decays and purges.
class OuterLock {
  public:
    virtual void release() noexcept = 0;
    virtual void reacquire() noexcept = 0;

  protected:
    ~OuterLock() = default;
};

class Window {
  public:
    // `half_life` below 0.1 (or NaN) runs as 0.1; `state_capacity` 0 as 1;
    // `capacity` only reserves room for that many blocks.
    Window(float half_life, float safe_threshold, std::uint64_t capacity,
           std::uint64_t state_capacity);

    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Stores a block whose UTF-8 form is `utf8_bytes` long; an absent or negative
    // `oxygen` selects the automatic weight.
    void insert(text::TextView content, std::size_t utf8_bytes, std::uint32_t signal,
                std::optional<float> oxygen);
    // The same for a UTF-8 text.
    void insert(std::string_view content, std::uint32_t signal, std::optional<float> oxygen);

    // The cycle's decay factor, 2^(-1/half_life) in single precision.
    float decay_factor() const noexcept;

    // One dehydration cycle; returns the number of purged blocks. With `outer`
    // released and the blocks lock held, durable blocks gain `reinforce_boost`,
    // the others decay, and those below the threshold are purged in one stable
    // in-place pass, their tokens added to the reclaimed counter. Then, with the
    // blocks lock dropped and `outer` held again, each digest of a purged
    // conversational block (with `absorb`) goes through the ledger's append rule.
    // The blocks and ledger locks are never held together.
    //
    // All or nothing: every allocation (the digests, the ledger's room for them)
    // is made before the first change; on failure the exception propagates and
    // the window is exactly as it was.
    std::uint64_t dehydrate(float reinforce_boost, bool absorb, OuterLock& outer);
    std::uint64_t dehydrate(float reinforce_boost, bool absorb);

    // Appends a fact unless present, comparing by the hash of its UTF-8 form.
    bool ledger_append(std::string&& text);
    bool ledger_append(std::string_view utf8, text::TextView text);
    void set_purpose(std::optional<text::StoredText>&& text);
    void set_purpose(std::optional<std::string>&& text);

    // The ledger's texts, oldest first, taken under the ledger lock.
    text::TextSnapshot state_texts() const;
    // The live blocks' texts, oldest first, taken under the blocks lock.
    text::TextSnapshot active_texts() const;
    // What render() writes: the purpose, the ledger and the live blocks, each
    // taken under its own lock (one after another, never two at once).
    Rendering rendering() const;

    // UTF-8 copies of the same (for inspection).
    std::vector<std::string> state_entries() const;
    std::vector<std::string> active_context() const;
    std::string render() const;

    std::size_t size() const;
    std::uint64_t active_tokens() const;
    std::uint64_t inserted_tokens() const noexcept {
        return inserted_tokens_.load(std::memory_order_relaxed);
    }
    std::uint64_t reclaimed_tokens() const noexcept {
        return reclaimed_tokens_.load(std::memory_order_relaxed);
    }
    // reclaimed / inserted in single precision (0 when nothing was inserted).
    float reduction_ratio() const noexcept;

    // Copies of the live blocks, oldest first (for inspection).
    std::vector<blocks::ContextBlock> snapshot() const;

    float half_life() const noexcept { return half_life_; }
    float safe_threshold() const noexcept { return safe_threshold_; }
    std::size_t state_capacity() const noexcept { return state_capacity_; }

  private:
    // The live blocks as parallel arrays: the fields a cycle reads and writes on
    // every block sit in compact arrays of their own, apart from the texts.
    struct Store {
        std::vector<float> oxygen;
        std::vector<std::uint32_t> signal;
        std::vector<std::uint32_t> tokens;
        std::vector<text::StoredText> content;

        std::size_t size() const noexcept { return content.size(); }
        void reserve(std::uint64_t count);
        // Room for one more block in every array; throws before anything changes.
        void make_room();
    };

    // What a cycle will do to the blocks, found before anything changes.
    struct Plan {
        std::size_t doomed = 0;   // blocks the purge removes
        std::size_t digests = 0;  // of which leave a digest (with absorb)
    };
    Plan plan(float reinforce_boost, float decay, bool absorb) const noexcept;
    // Decay and purge; cannot fail. Moves the purged conversational blocks'
    // digests (prepared by the caller, in block order) nowhere: the caller made
    // them before. Returns the number purged.
    std::uint64_t apply(float reinforce_boost, float decay) noexcept;
    // A digest ready for the ledger: its hash and its text, both made before the
    // purge so that appending it cannot fail.
    struct Digest {
        std::uint64_t hash;
        text::StoredText text;
    };
    // The digests of the blocks the purge will remove, oldest first.
    std::vector<Digest> digests_of_doomed(float reinforce_boost, float decay,
                                          std::size_t count) const;

    const float half_life_;
    const float safe_threshold_;
    const std::size_t state_capacity_;

    mutable std::mutex blocks_mutex_;
    Store blocks_;

    mutable std::mutex purpose_mutex_;
    std::optional<text::StoredText> purpose_;

    mutable std::mutex ledger_mutex_;
    Ledger ledger_;

    std::atomic<std::uint64_t> inserted_tokens_{0};
    std::atomic<std::uint64_t> reclaimed_tokens_{0};
};

}  // namespace fenwa::window
