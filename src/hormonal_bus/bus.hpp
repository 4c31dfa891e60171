// The hormonal bus kernel: up to 32 float channels in atomic 32-bit cells, the
// count of injections and the event queue. Nothing here takes a lock; every
// operation may run on any number of threads at once.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "hormonal_bus/event_queue.hpp"
#include "platform/bits.hpp"

namespace fenwa::bus {

class Bus {
  public:
    static constexpr std::size_t kMaxChannels = 32;

    // `num_signals` is clamped to 1..32; `event_capacity` 0 means 1. Throws as
    // the event queue does when its storage cannot be had.
    Bus(std::uint64_t num_signals, std::uint64_t event_capacity);

    std::size_t num_signals() const noexcept { return count_; }
    std::uint64_t secretions() const noexcept {
        return secretions_.load(std::memory_order_relaxed);
    }

    // Adds `intensity` to every channel of `flags` below the channel count,
    // lowest first, counts the call and records the whole mask as an event
    // (dropped when the queue is full).
    void inject(std::uint32_t flags, float intensity) noexcept {
        for (std::uint32_t m = flags & mask_; m != 0; m &= m - 1) {
            add(cells_[static_cast<std::size_t>(std::countr_zero(m))], intensity);
        }
        secretions_.fetch_add(1, std::memory_order_relaxed);
        events_.offer(SignalEvent{flags, intensity});
    }

    // Sum of the channels of `mask` below the channel count, from +0.0, lowest first.
    float sense(std::uint32_t mask) const noexcept {
        float sum = 0.0f;
        for (std::uint32_t m = mask & mask_; m != 0; m &= m - 1) {
            sum += load(cells_[static_cast<std::size_t>(std::countr_zero(m))]);
        }
        return sum;
    }

    // Channel `index`, or 0.0 when there is no such channel.
    float concentration(std::uint64_t index) const noexcept {
        return index < count_ ? load(cells_[static_cast<std::size_t>(index)]) : 0.0f;
    }

    // Multiplies every channel by `decay`.
    void tick(float decay) noexcept {
        for (std::size_t i = 0; i < count_; ++i) scale(cells_[i], decay);
    }

    float channel(std::size_t i) const noexcept { return load(cells_[i]); }

    // Sum of every channel from index 0 up, starting at -0.0 so that a bus of
    // negative zeros reports negative zero.
    float total() const noexcept;

    // The consumer side of one drain; see Drain below.
    friend class Drain;

    EventQueue& events() noexcept { return events_; }

  private:
    using Cell = std::atomic<std::uint32_t>;

    static float load(const Cell& c) noexcept {
        return fenwa::bit_cast<float>(c.load(std::memory_order_relaxed));
    }
    // Compare-and-swap until the cell moves from the value read to f(value):
    // no update of a concurrent thread is ever lost.
    template <class F>
    static void update(Cell& c, F f) noexcept {
        std::uint32_t seen = c.load(std::memory_order_relaxed);
        while (!c.compare_exchange_weak(
            seen, fenwa::bit_cast<std::uint32_t>(f(fenwa::bit_cast<float>(seen))),
            std::memory_order_relaxed, std::memory_order_relaxed)) {
        }
    }
    static void add(Cell& c, float v) noexcept {
        update(c, [v](float x) { return x + v; });
    }
    static void scale(Cell& c, float d) noexcept {
        update(c, [d](float x) { return x * d; });
    }

    // Every operation may run on any number of threads because the cells and the
    // count are lock-free atomics; a float travels through its cell as its bits.
    static_assert(Cell::is_always_lock_free && sizeof(Cell) == sizeof(float));
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
    static_assert(std::numeric_limits<float>::is_iec559, "0.0f is all zero bits");
    static_assert(kMaxChannels == 32, "one channel per bit of a u32 flag word");

    std::array<Cell, kMaxChannels> cells_{};  // bit pattern of 0.0f is all zeros
    std::size_t count_;
    std::uint32_t mask_;  // the bits that name a channel
    std::atomic<std::uint64_t> secretions_{0};
    EventQueue events_;

    // Events a drain took but could not deliver, oldest first from held_head_:
    // the next drain returns them before anything newer. Only drains touch
    // them, one at a time (draining_); producers never see them.
    std::vector<SignalEvent> held_;
    std::size_t held_head_ = 0;
    std::atomic<bool> draining_{false};
};

// One drain of a bus's events. `take` moves up to `max` events, oldest first,
// into `events()`; unless `commit` is called, the destructor gives every one of
// them back to the front of the bus, so a consumer that fails to deliver them
// (say, for want of memory) loses nothing. Only one drain of a bus is active at a
// time: another one started meanwhile (on another thread, or re-entered from
// code run while the first delivers) takes nothing; the events stay for later.
class Drain {
  public:
    explicit Drain(Bus& bus) noexcept;
    ~Drain();
    Drain(const Drain&) = delete;
    Drain& operator=(const Drain&) = delete;

    // Takes up to `max` events. Storage is sized before anything is taken, by
    // what the bus holds, so a failed allocation takes nothing.
    void take(std::uint64_t max);
    const std::vector<SignalEvent>& events() const noexcept { return out_; }
    // The events were delivered: they leave the bus for good.
    void commit() noexcept { committed_ = true; }

  private:
    Bus* bus_;  // nullptr when another drain is active
    std::vector<SignalEvent> out_;
    std::size_t from_held_ = 0;
    bool committed_ = false;
};

}  // namespace fenwa::bus
