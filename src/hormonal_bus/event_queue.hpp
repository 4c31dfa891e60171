// The bus's event buffer: a bounded multi-producer multi-consumer queue without
// locks. Producers and consumers never wait for each other: `offer` fails at
// once when the queue is full and `take` when it is empty.
//
// Each slot pairs an 8-byte stamp with the 8-byte event. Position p (a running
// count of offers, or of takes) lives in slot p % capacity during lap
// p / capacity; the slot's stamp is 2 * lap while it waits for the producer of
// position p and 2 * lap + 1 once that producer has published, and the
// consumer moves it on to 2 * (lap + 1) when it has read the event. Two stamp
// values per lap keep full and empty apart for every capacity, one included, so
// the capacity is used exactly as given. Releasing the stamp publishes the
// event (and everything the producer wrote before it); the taker's acquiring
// load sees it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/cache_line.hpp"

namespace fenwa::bus {

struct SignalEvent {
    std::uint32_t flags;
    float intensity;
};

class EventQueue {
  public:
    // Capacities from here on cannot have their storage (16 bytes a slot) sized.
    static constexpr std::uint64_t kCapacityLimit = std::uint64_t{1} << 59;
    static_assert(kCapacityLimit == (static_cast<std::uint64_t>(PTRDIFF_MAX) + 1) / 16);

    // Allocates and initialises every slot for max(capacity, 1) events. Throws
    // std::length_error when the storage size is not representable and
    // std::bad_alloc when the memory cannot be had.
    explicit EventQueue(std::uint64_t capacity);
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    std::uint64_t capacity() const noexcept { return capacity_; }

    // Appends `event` unless the queue is full; never waits.
    bool offer(SignalEvent event) noexcept {
        return claim(control_->tail, kAwaitsProducer, [&](SignalEvent& e) { e = event; });
    }

    // Removes the oldest published event into `out`; false when there is none.
    bool take(SignalEvent& out) noexcept {
        return claim(control_->head, kAwaitsConsumer, [&](SignalEvent& e) { out = e; });
    }

    // Positions claimed by producers but not yet taken, at most the capacity. A
    // snapshot only: concurrent offers and takes move it.
    std::uint64_t size_hint() const noexcept {
        const std::uint64_t head = control_->head.load(std::memory_order_relaxed);
        const std::uint64_t tail = control_->tail.load(std::memory_order_relaxed);
        const std::uint64_t n = tail > head ? tail - head : 0;
        return n < capacity_ ? n : capacity_;
    }

  private:
    // The stamp a slot carries, during its lap, while it waits for the side that
    // moves the end: 2 * lap for a producer, 2 * lap + 1 for a consumer.
    static constexpr std::uint64_t kAwaitsProducer = 0;
    static constexpr std::uint64_t kAwaitsConsumer = 1;

    // Claims the next position of `end` (the tail for producers, the head for
    // consumers), hands its slot's event to `access` and moves the stamp on to
    // the other side. Fails, without waiting, when the slot at the end still
    // waits for the other side (queue full, or empty) and the end has not moved
    // meanwhile.
    template <class Access>
    bool claim(std::atomic<std::uint64_t>& end, std::uint64_t awaits, Access access) noexcept {
        std::uint64_t pos = end.load(std::memory_order_relaxed);
        for (;;) {
            const Where at = locate(pos);
            Slot& slot = slots_[at.index];
            const std::uint64_t ready = at.lap * 2 + awaits;
            if (slot.stamp.load(std::memory_order_acquire) == ready) {
                if (end.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    access(slot.event);
                    slot.stamp.store(ready + 1, std::memory_order_release);
                    return true;
                }
                // `pos` now holds the position another claimant moved the end on to.
            } else {
                // Either the other side has not finished with the slot yet (the
                // queue is full for a producer, empty for a consumer) or another
                // claimant took this position (the end has moved).
                const std::uint64_t seen = pos;
                pos = end.load(std::memory_order_relaxed);
                if (pos == seen) return false;
            }
        }
    }

    struct Where {
        std::uint64_t index;
        std::uint64_t lap;
    };
    // Slot and lap of a position; a power-of-two capacity (the default 4096)
    // spares the division.
    Where locate(std::uint64_t pos) const noexcept {
        if (shift_ >= 0) return {pos & (capacity_ - 1), pos >> shift_};
        return {pos % capacity_, pos / capacity_};
    }

    struct Slot {
        std::atomic<std::uint64_t> stamp;
        SignalEvent event;
    };
    // Waiting on neither side rests on the stamps and ends being lock-free atomics,
    // never a hidden mutex.
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free,
                  "stamps and ends are lock-free 64-bit atomics");
    static_assert(sizeof(SignalEvent) == 8, "an event is a flag word and a float");
    static_assert(sizeof(Slot) == 16 && alignof(Slot) == 8, "a slot is a stamp and an event");
    // The destructor frees the block without running destructors.
    static_assert(std::is_trivially_destructible_v<Slot>);

    // The two ends, each on its own cache line, at the start of the storage block.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4324)  // the padding is the point
#endif
    struct Control {
        alignas(kCacheLine) std::atomic<std::uint64_t> head{0};
        alignas(kCacheLine) std::atomic<std::uint64_t> tail{0};
    };
#if defined(_MSC_VER)
#pragma warning(pop)
#endif
    static_assert(sizeof(Control) == 2 * kCacheLine && alignof(Control) == kCacheLine,
                  "one cache line per end");
    static_assert(std::is_trivially_destructible_v<Control>);
    // The slots follow the control block directly, so it keeps them aligned.
    static_assert(sizeof(Control) % alignof(Slot) == 0);
    // Below the limit, the block's byte size is representable.
    static_assert(kCapacityLimit <= (UINT64_MAX - sizeof(Control)) / sizeof(Slot));

    std::uint64_t capacity_;
    int shift_;  // log2 of a power-of-two capacity, else -1
    Control* control_;
    Slot* slots_;
};

}  // namespace fenwa::bus
