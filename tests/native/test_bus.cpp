// The bus kernel under threads: concurrent compare-and-swap updates are exact
// and the counter and event bookkeeping of every injection holds.
#include <cstdint>
#include <thread>
#include <vector>

#include "check.hpp"
#include "hormonal_bus/bus.hpp"

using fenwa::bus::Bus;
using fenwa::bus::SignalEvent;

int main() {
    // Concurrent adds on one channel all count.
    {
        Bus bus(32, 64);
        std::vector<std::thread> ts;
        for (int t = 0; t < 4; ++t)
            ts.emplace_back([&] {
                for (int i = 0; i < 100000; ++i) bus.inject(1u << 7 | 1u, 1.0f);
            });
        for (auto& t : ts) t.join();
        CHECK(bus.concentration(7) == 400000.0f);
        CHECK(bus.concentration(0) == 400000.0f);
        CHECK(bus.secretions() == 400000);
        std::vector<SignalEvent> events;
        bus.drain(UINT64_MAX, events);
        CHECK(events.size() == 64);  // the first 64 kept, the rest dropped
    }
    // Adds racing with ticks: every update lands, so with decay 1.0 nothing is lost.
    {
        Bus bus(1, 1);
        std::thread adder([&] {
            for (int i = 0; i < 200000; ++i) bus.inject(1, 1.0f);
        });
        std::thread ticker([&] {
            for (int i = 0; i < 200000; ++i) bus.tick(1.0f);
        });
        adder.join();
        ticker.join();
        CHECK(bus.channel(0) == 200000.0f);
    }
    return TEST_MAIN_RESULT();
}
