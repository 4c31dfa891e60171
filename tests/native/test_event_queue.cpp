// The bounded MPMC event queue: exact capacities, full and empty, and many
// producers and consumers at once.
#include <atomic>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "check.hpp"
#include "hormonal_bus/event_queue.hpp"

using fenwa::bus::EventQueue;
using fenwa::bus::SignalEvent;

namespace {

// Offers and takes through several laps of a queue of `capacity`, keeping it
// exactly full at the turn of each lap.
void laps(std::uint64_t capacity) {
    EventQueue q(capacity);
    const std::uint64_t cap = capacity == 0 ? 1 : capacity;
    CHECK(q.capacity() == cap);
    std::uint32_t next_in = 0, next_out = 0;
    for (int lap = 0; lap < 5; ++lap) {
        for (std::uint64_t i = 0; i < cap; ++i) CHECK(q.offer({next_in++, 0.5f}));
        CHECK(q.size_hint() == cap);
        CHECK(!q.offer({999, 0.0f}));  // full: the newest is refused
        // Take half, refill half: positions cross the end of the storage.
        for (std::uint64_t i = 0; i < (cap + 1) / 2; ++i) {
            SignalEvent e{};
            CHECK(q.take(e) && e.flags == next_out++);
        }
        for (std::uint64_t i = 0; i < (cap + 1) / 2; ++i) CHECK(q.offer({next_in++, 0.5f}));
        CHECK(!q.offer({999, 0.0f}));
        SignalEvent e{};
        while (q.take(e)) CHECK(e.flags == next_out++);
        CHECK(next_out == next_in);
        CHECK(q.size_hint() == 0);
    }
}

// Producers each offer `per_producer` events tagged with their id and a running
// number; consumers take concurrently. Every accepted event is taken exactly
// once, nothing else appears, and each consumer sees each producer's events in
// the producer's order.
void concurrent(std::uint64_t capacity, unsigned producers, unsigned consumers,
                std::uint32_t per_producer) {
    EventQueue q(capacity);
    std::vector<std::vector<char>> accepted(producers, std::vector<char>(per_producer, 0));
    std::vector<std::vector<SignalEvent>> taken(consumers);
    std::atomic<unsigned> producing{producers};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (unsigned p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            while (!go.load()) std::this_thread::yield();
            for (std::uint32_t i = 0; i < per_producer; ++i)
                accepted[p][i] = q.offer({p << 24 | i, static_cast<float>(i)}) ? 1 : 0;
            producing.fetch_sub(1);
        });
    }
    for (unsigned c = 0; c < consumers; ++c) {
        threads.emplace_back([&, c] {
            while (!go.load()) std::this_thread::yield();
            SignalEvent e{};
            for (;;) {
                if (q.take(e)) {
                    taken[c].push_back(e);
                } else if (producing.load() == 0) {
                    if (!q.take(e)) break;
                    taken[c].push_back(e);
                } else {
                    std::this_thread::yield();
                }
            }
        });
    }
    go.store(true);
    for (auto& t : threads) t.join();

    std::vector<std::vector<int>> seen(producers, std::vector<int>(per_producer, 0));
    bool ordered = true, well_formed = true;
    for (const auto& list : taken) {
        std::vector<std::int64_t> last(producers, -1);
        for (const SignalEvent& e : list) {
            const std::uint32_t p = e.flags >> 24, i = e.flags & 0xFFFFFF;
            if (p >= producers || i >= per_producer || e.intensity != static_cast<float>(i)) {
                well_formed = false;
                continue;
            }
            ++seen[p][i];
            if (static_cast<std::int64_t>(i) <= last[p]) ordered = false;
            last[p] = i;
        }
    }
    CHECK(well_formed);
    CHECK(ordered);
    bool exact = true;
    std::uint64_t accepted_total = 0;
    for (unsigned p = 0; p < producers; ++p) {
        for (std::uint32_t i = 0; i < per_producer; ++i) {
            accepted_total += static_cast<unsigned char>(accepted[p][i]);
            if (seen[p][i] != accepted[p][i]) exact = false;
        }
    }
    CHECK(exact);
    CHECK(accepted_total > 0);
    SignalEvent e{};
    CHECK(!q.take(e));
}

}  // namespace

int main() {
    for (std::uint64_t cap : {0u, 1u, 2u, 3u, 7u, 64u}) laps(cap);

    // Storage that cannot be sized, and storage that cannot be had.
    bool overflow = false;
    try {
        EventQueue q(EventQueue::kCapacityLimit);
    } catch (const std::length_error&) {
        overflow = true;
    }
    CHECK(overflow);
    bool no_memory = false;
    try {
        EventQueue q(EventQueue::kCapacityLimit - 1);
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    CHECK(no_memory);

    // Without consumers, concurrent producers fill the queue exactly.
    {
        EventQueue q(1000);
        std::vector<std::thread> ts;
        for (int t = 0; t < 4; ++t)
            ts.emplace_back([&] {
                for (int i = 0; i < 5000; ++i) q.offer({1, 1.0f});
            });
        for (auto& t : ts) t.join();
        int n = 0;
        SignalEvent e{};
        while (q.take(e)) ++n;
        CHECK(n == 1000);
    }

    concurrent(1, 2, 2, 20000);     // one slot: every lap is a full/empty turn
    concurrent(5, 3, 2, 50000);     // small, odd capacity: drops under contention
    concurrent(4096, 3, 2, 50000);  // roomy: few or no drops
    return TEST_MAIN_RESULT();
}
