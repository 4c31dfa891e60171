// Every allocation of a kernel operation failed in turn: a counting operator new
// throws std::bad_alloc at the k-th allocation, for k = 0, 1, ... until the
// operation succeeds. Each failure must leave the observable state as it was and
// every allocation of the failed attempt freed.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "context_apoptosis/window.hpp"
#include "hormonal_bus/bus.hpp"
#include "platform/memory.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FENWA_OWN_OPERATOR_NEW 0  // the sanitizer runtimes bring their own
#else
#define FENWA_OWN_OPERATOR_NEW 1
#endif

namespace {

std::atomic<long> g_countdown{-1};  // allocations left before one fails; -1: never
std::atomic<long> g_live{0};        // allocations not yet freed

// Over-aligned blocks carved from malloc, the block's own start kept just before
// the aligned address (std::aligned_alloc does not exist on Windows, whose
// _aligned_malloc needs its own free).
[[maybe_unused]] void* aligned(std::size_t n, std::size_t align) {
    void* const raw = std::malloc(n + align + sizeof(void*));
    if (!raw) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*);
    auto* const p = reinterpret_cast<void*>((start + align - 1) / align * align);
    std::memcpy(static_cast<char*>(p) - sizeof(void*), &raw, sizeof raw);
    return p;
}

[[maybe_unused]] void* allocate(std::size_t n, std::size_t align, bool nothrow) {
    long left = g_countdown.load(std::memory_order_relaxed);
    if (left >= 0) {
        g_countdown.store(left - 1, std::memory_order_relaxed);
        if (left == 0) {
            if (nothrow) return nullptr;
            throw std::bad_alloc();
        }
    }
    if (n == 0) n = 1;
    void* p = align > alignof(std::max_align_t) ? aligned(n, align) : std::malloc(n);
    if (!p) {
        if (nothrow) return nullptr;
        throw std::bad_alloc();
    }
    g_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

[[maybe_unused]] void release(void* p, bool over_aligned = false) noexcept {
    if (!p) return;
    g_live.fetch_sub(1, std::memory_order_relaxed);
    if (over_aligned) {
        void* raw;
        std::memcpy(&raw, static_cast<char*>(p) - sizeof(void*), sizeof raw);
        std::free(raw);
    } else {
        std::free(p);
    }
}

}  // namespace

#if FENWA_OWN_OPERATOR_NEW
void* operator new(std::size_t n) {
    return allocate(n, 0, false);
}
void* operator new[](std::size_t n) {
    return allocate(n, 0, false);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return allocate(n, 0, true);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t n, std::align_val_t a) {
    return allocate(n, static_cast<std::size_t>(a), false);
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    try {
        return allocate(n, static_cast<std::size_t>(a), true);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
void operator delete(void* p, std::align_val_t a) noexcept {
    release(p, static_cast<std::size_t>(a) > alignof(std::max_align_t));
}
void operator delete(void* p, std::size_t, std::align_val_t a) noexcept {
    release(p, static_cast<std::size_t>(a) > alignof(std::max_align_t));
}
#endif

namespace {

using fenwa::window::LedgerEntry;
using fenwa::window::Window;
namespace blocks = fenwa::blocks;

// Runs `op(obj)` on a fresh `make()` with the k-th allocation failing, for every
// k until it succeeds; returns the number of failure points. With `no_leftovers`
// (constructors), every allocation of a failed attempt must also be freed;
// otherwise room a failed attempt reserved may stay, unobservable.
template <class Make, class Op, class Observe>
long sweep(const char* name, Make make, Op op, Observe observe, bool no_leftovers = false) {
    for (long k = 0; k < 100000; ++k) {
        auto obj = make();
        const std::string before = observe(*obj);
        const long live = g_live.load();
        bool failed = false;
        g_countdown.store(k);
        try {
            op(*obj);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        g_countdown.store(-1);
        if (!failed) {
            std::printf("%s: %ld failure points\n", name, k);
            return k;
        }
        if (no_leftovers) CHECK(g_live.load() == live);
        const std::string after = observe(*obj);
        if (after != before) {
            std::fprintf(stderr, "%s: allocation %ld changed the state\n", name, k);
            CHECK(after == before);
            return k;
        }
    }
    CHECK(!"the operation never succeeded");
    return -1;
}

std::string window_state(const Window& w) {
    std::string out;
    for (const auto& b : w.snapshot()) {
        std::uint32_t bits;
        std::memcpy(&bits, &b.oxygen, sizeof bits);
        out += b.content + "|" + std::to_string(bits) + "|" + std::to_string(b.signal) + "|" +
               std::to_string(b.tokens) + "\n";
    }
    for (const auto& e : w.state_entries()) out += "ledger:" + e + "\n";
    out += w.render();
    out += "|" + std::to_string(w.inserted_tokens()) + "|" + std::to_string(w.reclaimed_tokens());
    return out;
}

// A window whose next absorbing cycle purges `doomed` conversational blocks
// (some with long texts and repeated digests) beside durable and TOOL blocks.
std::unique_ptr<Window> doomed_window(std::size_t doomed, std::uint64_t state_capacity) {
    auto w = std::make_unique<Window>(2.0f, 0.35f, 0, state_capacity);
    for (std::size_t i = 0; i < doomed; ++i) {
        std::string text = "user message  number\t" + std::to_string(i % 7);
        if (i % 3 == 0) text += std::string(300, 'x');
        w->insert(text, i % 2 ? blocks::USER : blocks::ASSISTANT, 0.4f);
        w->insert("fact " + std::to_string(i), blocks::FACT, std::nullopt);
        w->insert("tool output", blocks::TOOL, std::nullopt);
    }
    w->ledger_append("an earlier entry");
    return w;
}

// Another thread's work while the cycle has the outer lock released: new blocks
// (so that the cycle must promise more ledger room and start over) and ledger
// appends (which must not eat the room promised to the cycle).
class Meddling final : public fenwa::window::OuterLock {
  public:
    explicit Meddling(Window& w) : w_(w) {}
    void release() noexcept override {
        if (rounds_ >= 3) return;
        ++rounds_;
        const long saved = g_countdown.exchange(-1);
        w_.insert("late user block " + std::to_string(rounds_), blocks::USER, 0.1f);
        w_.ledger_append("meddling entry " + std::to_string(rounds_));
        g_countdown.store(saved);
    }
    void reacquire() noexcept override {}

  private:
    Window& w_;
    int rounds_ = 0;
};

[[maybe_unused]] void window_sweeps() {
    const auto none = [] { return std::make_unique<int>(0); };
    const auto no_state = [](const auto&) { return std::string(); };
    sweep("Window(capacity=1000)", none, [](int&) { Window w(2.0f, 0.35f, 1000, 64); }, no_state);
    for (std::uint64_t cap : {4u, 64u, 100u, 100000u}) {
        const std::string label = "dehydrate(absorb), state_capacity " + std::to_string(cap);
        sweep(
            label.c_str(), [&] { return doomed_window(40, cap); },
            [](Window& w) { CHECK(w.dehydrate(0.5f, true) == 80); }, window_state);
    }
    sweep(
        "dehydrate", [] { return doomed_window(40, 8); },
        [](Window& w) { CHECK(w.dehydrate(0.5f, false) == 80); }, window_state);
    sweep(
        "insert", [] { return doomed_window(3, 8); },
        [](Window& w) { w.insert("a new block", blocks::USER, std::nullopt); }, window_state);
    sweep(
        "ledger_append", [] { return doomed_window(3, 100); },
        [](Window& w) { w.ledger_append("a new fact"); }, window_state);
    sweep(
        "render", [] { return doomed_window(5, 8); }, [](Window& w) { (void)w.render(); },
        window_state);
    sweep(
        "state_entries", [] { return doomed_window(5, 8); },
        [](Window& w) { (void)w.state_entries(); }, window_state);
    sweep(
        "active_context", [] { return doomed_window(5, 8); },
        [](Window& w) { (void)w.active_context(); }, window_state);
}

// While the outer lock is released, blocks arrive and the ledger fills: the cycle
// starts over with more room promised, and every digest still gets its append.
void cycle_with_meddling() {
    for (std::uint64_t cap : {2u, 64u, 1000u}) {
        auto w = doomed_window(10, cap);
        Meddling meddling(*w);
        const std::uint64_t purged = w->dehydrate(0.5f, true, meddling);
        CHECK(purged == 20 + 3);  // 10 conversational, 10 TOOL, 3 late USER blocks
        const auto entries = w->state_entries();
        // The earlier entry, 3 meddling ones, 9 distinct digests of the 10
        // blocks and those of the 3 late blocks.
        CHECK(entries.size() == std::min<std::size_t>(cap, 1 + 3 + 9 + 3));
        CHECK(entries.back() == "late user block 3");
        CHECK(w->inserted_tokens() - w->active_tokens() == w->reclaimed_tokens());
    }
    // Failures at every allocation with meddling: still all or nothing.
    sweep(
        "dehydrate(absorb) with meddling", [] { return doomed_window(10, 64); },
        [](Window& w) {
            Meddling meddling(w);
            w.dehydrate(0.5f, true, meddling);
        },
        [](const Window& w) {
            // The meddling itself changes the window; compare what the cycle owns.
            std::string out;
            for (const auto& b : w.snapshot())
                if (b.content.rfind("late", 0) != 0) out += b.content + "\n";
            return out + std::to_string(w.reclaimed_tokens());
        });
}

[[maybe_unused]] void bus_sweeps() {
    const auto none = [] { return std::make_unique<int>(0); };
    sweep(
        "Bus(event_capacity=5000)", none, [](int&) { fenwa::bus::Bus b(32, 5000); },
        [](const auto&) { return std::string(); }, true);
    auto full_bus = [] {
        auto b = std::make_unique<fenwa::bus::Bus>(8, 64);
        for (std::uint32_t i = 1; i <= 50; ++i) b->inject(i, 0.5f);
        return b;
    };
    // What is left to drain, read without failures.
    auto pending = [](fenwa::bus::Bus& b) {
        std::string out;
        fenwa::bus::Drain d(b);
        d.take(UINT64_MAX);
        for (const auto& e : d.events()) out += std::to_string(e.flags) + ",";
        return out;  // not committed: the events stay
    };
    sweep(
        "Drain::take", full_bus,
        [](fenwa::bus::Bus& b) {
            fenwa::bus::Drain d(b);
            d.take(20);
            d.commit();
        },
        pending);
}

// The one capacity rule, on both sides of each boundary.
void capacity_rule() {
    constexpr std::uint64_t kLargest = static_cast<std::uint64_t>(PTRDIFF_MAX);
    auto outcome = [](std::uint64_t count, std::uint64_t each, std::uint64_t fixed) {
        try {
            (void)fenwa::check_reservation(count, each, fixed);
            return 0;
        } catch (const std::length_error&) {
            return 1;
        } catch (const std::bad_alloc&) {
            return 2;
        }
    };
    CHECK(outcome(kLargest / 44, 44, 0) == 2);
    CHECK(outcome(kLargest / 44 + 1, 44, 0) == 1);
    CHECK(outcome(std::uint64_t{1} << 59, 16, 128) == 1);
    CHECK(outcome((std::uint64_t{1} << 59) - 1, 16, 128) == 2);  // sizable, never backed
    CHECK(outcome(UINT64_MAX, 1, 0) == 1);
    CHECK(outcome(1000, 44, 128) == 0);
    CHECK(outcome(0, 44, 0) == 0);
    CHECK(fenwa::check_reservation(10, 16, 128) == 288);
}

// The machine's memory is read on each system that reports it: a terabyte-scale
// reservation no machine here backs is refused, a small one never is.
void machine_memory_guard() {
#if defined(__linux__) || defined(__APPLE__) || defined(_WIN32)
    for (int shift : {50, 56, 62}) CHECK(fenwa::exceeds_machine_memory(std::uint64_t{1} << shift));
#endif
    for (std::uint64_t small : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{1} << 20})
        CHECK(!fenwa::exceeds_machine_memory(small));
}

}  // namespace

int main() {
    capacity_rule();
    machine_memory_guard();
    cycle_with_meddling();
#if FENWA_OWN_OPERATOR_NEW
    window_sweeps();
    bus_sweeps();
#else
    std::printf("allocation sweeps skipped under a sanitizer\n");
#endif
    return TEST_MAIN_RESULT();
}
