// The one open-addressing hash table of the kernels: linear probing over a
// power-of-two array kept at most half full, each key's home slot taken from the
// low bits of its (well-mixed) 64-bit hash. Deletion shifts the rest of the run
// back, so no tombstones accumulate.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#if defined(__SSE__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace fenwa {

// `Slot` is a small trivially copyable record whose value-initialised form is
// the empty slot; it provides `bool empty() const` and `std::uint64_t hash() const`
// (the hash it was placed by, needed to move it when the table grows or a key
// before it is erased).
template <class Slot>
class ProbeTable {
  public:
    using value_type = Slot;

    // Empties the table and sizes it for `expected` keys (it then never needs
    // to grow for that many), reusing its memory when it is large enough.
    void reset(std::size_t expected) {
        std::size_t cap = kMinSlots;
        while (cap / 2 < expected) cap <<= 1;
        slots_.assign(cap, Slot{});
        count_ = 0;
    }
    void clear() noexcept {
        slots_.clear();
        count_ = 0;
    }
    std::size_t capacity() const noexcept { return slots_.capacity(); }
    std::size_t size() const noexcept { return count_; }

    // Hints the cache line of `hash`'s home slot ahead of a probe.
    void prefetch(std::uint64_t hash) const noexcept {
#if defined(__GNUC__) || defined(__clang__)
        __builtin_prefetch(slots_.data() + home(hash), 1);
#elif defined(__SSE__) || defined(_M_X64)
        _mm_prefetch(reinterpret_cast<const char*>(slots_.data() + home(hash)), _MM_HINT_T0);
#else
        (void)hash;
#endif
    }

    // The slot holding the key for which `match(slot)` holds, or the empty slot
    // where that key belongs. The table must have been sized or grown first.
    template <class Match>
    Slot* find(std::uint64_t hash, Match&& match) noexcept {
        assert(!slots_.empty());
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = home(hash);; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (s.empty() || match(s)) return &s;
        }
    }
    template <class Match>
    const Slot* find(std::uint64_t hash, Match&& match) const noexcept {
        return const_cast<ProbeTable*>(this)->find(hash, std::forward<Match>(match));
    }

    // Stores `slot` into `at`, an empty slot returned by find().
    void place(Slot* at, const Slot& slot) noexcept {
        assert(at->empty() && !slot.empty());
        *at = slot;
        ++count_;
    }

    // Makes room for one more key, doubling the array when it would pass half
    // full. Call before find() for a key that may be added; on an allocation
    // failure nothing changes.
    void reserve_one() { reserve(count_ + 1); }

    // Makes room for `keys` keys in all, so that adding up to that many
    // allocates nothing. On an allocation failure nothing changes.
    void reserve(std::size_t keys) {
        if (keys * 2 <= slots_.size()) return;
        std::size_t cap = slots_.empty() ? kMinSlots : slots_.size() * 2;
        while (cap / 2 < keys) cap <<= 1;
        std::vector<Slot> bigger(cap, Slot{});
        const std::size_t mask = bigger.size() - 1;
        for (const Slot& s : slots_) {
            if (s.empty()) continue;
            std::size_t i = static_cast<std::size_t>(s.hash()) & mask;
            while (!bigger[i].empty()) i = (i + 1) & mask;
            bigger[i] = s;
        }
        slots_.swap(bigger);
    }

    // Removes the key in `at`, a full slot returned by find().
    void erase(Slot* at) noexcept {
        assert(!at->empty());
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<std::size_t>(at - slots_.data());
        // Move back every later key of the run whose home slot does not lie in
        // (i, j], so that each key stays reachable from its home.
        for (std::size_t j = (i + 1) & mask; !slots_[j].empty(); j = (j + 1) & mask) {
            const std::size_t h = home(slots_[j].hash());
            const bool stays = (i < j) ? (h > i && h <= j) : (h > i || h <= j);
            if (!stays) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = Slot{};
        --count_;
    }

  private:
    static constexpr std::size_t kMinSlots = 16;

    std::size_t home(std::uint64_t hash) const noexcept {
        return static_cast<std::size_t>(hash) & (slots_.size() - 1);
    }

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

// A set of 64-bit hashes. The slot value 0 marks an empty slot, so the key 0
// is kept apart in a flag.
class HashSet64 {
  public:
    // Empties the set, sized for `expected` insertions without growing.
    void reset(std::size_t expected) {
        table_.reset(expected);
        has_zero_ = false;
    }
    void clear() noexcept {
        table_.clear();
        has_zero_ = false;
    }
    std::size_t capacity() const noexcept { return table_.capacity(); }
    using value_type = std::uint64_t;

    void prefetch(std::uint64_t h) const noexcept { table_.prefetch(h); }

    bool contains(std::uint64_t h) const noexcept {
        if (h == 0) return has_zero_;
        if (table_.size() == 0) return false;
        return !table_.find(h, [h](const Slot& s) { return s.key == h; })->empty();
    }

    // Room for `keys` keys in all, so that inserting up to that many allocates
    // nothing (the key 0 needs no room).
    void reserve(std::size_t keys) { table_.reserve(keys); }

    // Adds `h`, which must be absent; grows as needed. On an allocation failure
    // nothing changes.
    void insert(std::uint64_t h) {
        if (h == 0) {
            has_zero_ = true;
            return;
        }
        table_.reserve_one();
        Slot* at = table_.find(h, [h](const Slot& s) { return s.key == h; });
        assert(at->empty());
        if (at->empty()) table_.place(at, Slot{h});
    }

    // True when `h` was present already; inserts it otherwise. The set must
    // have been reset() for at least as many insertions.
    bool seen_or_insert(std::uint64_t h) noexcept {
        if (h == 0) return std::exchange(has_zero_, true);
        Slot* at = table_.find(h, [h](const Slot& s) { return s.key == h; });
        if (!at->empty()) return true;
        table_.place(at, Slot{h});
        return false;
    }

    // Removes `h`, which must be present (checked in debug builds; an absent
    // key changes nothing).
    void erase(std::uint64_t h) noexcept {
        if (h == 0) {
            assert(has_zero_);
            has_zero_ = false;
            return;
        }
        if (table_.size() == 0) {
            assert(false && "erase of an absent key");
            return;
        }
        Slot* at = table_.find(h, [h](const Slot& s) { return s.key == h; });
        assert(!at->empty() && "erase of an absent key");
        if (!at->empty()) table_.erase(at);
    }

  private:
    struct Slot {
        std::uint64_t key = 0;
        bool empty() const noexcept { return key == 0; }
        std::uint64_t hash() const noexcept { return key; }
    };

    ProbeTable<Slot> table_;
    bool has_zero_ = false;
};

}  // namespace fenwa
