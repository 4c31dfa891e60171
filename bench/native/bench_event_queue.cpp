// Throughput of the bus's event queue against a std::mutex + std::deque queue of
// the same capacity, timed in the same run:
//   single     one thread offering and taking one event at a time
//   contended  two producers and one consumer moving a fixed number of events
// (producers retry, yielding, while the queue is full, so every event arrives)
//
// Output: one line per case, "<case> <ours seconds/event> <mutex seconds/event>",
// the best of several runs.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "hormonal_bus/event_queue.hpp"

using fenwa::bus::EventQueue;
using fenwa::bus::SignalEvent;

namespace {

constexpr std::uint64_t kCapacity = 4096;

class MutexQueue {
  public:
    explicit MutexQueue(std::size_t capacity) : capacity_(capacity) {}
    bool offer(SignalEvent e) {
        std::lock_guard<std::mutex> lock(m_);
        if (q_.size() >= capacity_) return false;
        q_.push_back(e);
        return true;
    }
    bool take(SignalEvent& out) {
        std::lock_guard<std::mutex> lock(m_);
        if (q_.empty()) return false;
        out = q_.front();
        q_.pop_front();
        return true;
    }

  private:
    std::mutex m_;
    std::deque<SignalEvent> q_;
    std::size_t capacity_;
};

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

template <class Q>
double single(std::uint64_t n) {
    Q q(kCapacity);
    std::uint64_t sum = 0;
    const double t0 = now();
    for (std::uint64_t i = 0; i < n; ++i) {
        q.offer({static_cast<std::uint32_t>(i), 1.0f});
        SignalEvent e{};
        q.take(e);
        sum += e.flags;
    }
    const double t = now() - t0;
    if (sum != n * (n - 1) / 2 && n < (1u << 16)) std::abort();
    return t / static_cast<double>(n);
}

// Two producers each move `per_producer` events through the queue to one
// consumer; a producer yields while the queue is full and the consumer while it
// is empty, so every event is delivered. The time per delivered event. Each
// producer's events must arrive in its order.
template <class Q>
double contended(std::uint64_t per_producer) {
    Q q(kCapacity);
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    for (std::uint32_t p = 0; p < 2; ++p) {
        producers.emplace_back([&, p] {
            while (!go.load()) std::this_thread::yield();
            for (std::uint64_t i = 0; i < per_producer; ++i) {
                while (!q.offer({p << 31 | static_cast<std::uint32_t>(i), 1.0f}))
                    std::this_thread::yield();
            }
        });
    }
    const std::uint64_t total = 2 * per_producer;
    std::uint64_t got = 0;
    std::int64_t last[2] = {-1, -1};
    bool ordered = true;
    go.store(true);
    const double t0 = now();
    SignalEvent e{};
    while (got < total) {
        if (!q.take(e)) {
            std::this_thread::yield();
            continue;
        }
        const std::uint32_t p = e.flags >> 31;
        const std::int64_t i = e.flags & 0x7FFFFFFF;
        if (i != last[p] + 1) ordered = false;
        last[p] = i;
        ++got;
    }
    const double t = now() - t0;
    for (auto& th : producers) th.join();
    if (!ordered) {
        std::fprintf(stderr, "events lost or out of order\n");
        std::exit(1);
    }
    return t / static_cast<double>(total);
}

template <class F>
double best(int repeat, F f) {
    double b = 1e30;
    for (int i = 0; i < repeat; ++i) {
        const double t = f();
        if (t < b) b = t;
    }
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string_view(argv[1]) == "--quick";
    const std::uint64_t n = quick ? 1'000'000 : 5'000'000;
    const int repeat = quick ? 3 : 5;
    std::printf("single %.3e %.3e\n", best(repeat, [&] { return single<EventQueue>(n); }),
                best(repeat, [&] { return single<MutexQueue>(n); }));
    std::printf("contended %.3e %.3e\n", best(repeat, [&] { return contended<EventQueue>(n / 2); }),
                best(repeat, [&] { return contended<MutexQueue>(n / 2); }));
    return 0;
}
