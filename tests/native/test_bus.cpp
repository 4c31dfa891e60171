// The bus kernel: exact concurrent compare-and-swap updates, single-precision
// arithmetic and the counter/event bookkeeping of an injection.
#include <cmath>
#include <cstdint>
#include <limits>
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
    // Single precision throughout; clamping of the channel count and the mask.
    {
        Bus bus(0, 0);
        CHECK(bus.num_signals() == 1);
        bus.inject(0xFFFFFFFFu, 16777216.0f);
        bus.inject(1, 1.0f);
        CHECK(bus.channel(0) == 16777216.0f);
        CHECK(bus.concentration(1) == 0.0f);
        std::vector<SignalEvent> events;
        bus.drain(10, events);
        CHECK(events.size() == 1 && events[0].flags == 0xFFFFFFFFu);
    }
    {
        Bus bus(1000, 4);
        CHECK(bus.num_signals() == 32);
        bus.inject(0x80000000u, std::numeric_limits<float>::infinity());
        bus.tick(0.0f);
        CHECK(std::isnan(bus.channel(31)));
        CHECK(bus.sense(0x7FFFFFFFu) == 0.0f);
        CHECK(!std::signbit(Bus(3, 1).total()));
        Bus negative(2, 1);  // every channel -0.0: the sum from -0.0 keeps the sign
        negative.inject(3, -1.0f);
        negative.tick(0.0f);
        CHECK(std::signbit(negative.total()) && negative.total() == 0.0f);
    }
    return TEST_MAIN_RESULT();
}
