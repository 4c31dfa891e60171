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
        fenwa::bus::Drain drain(bus);
        drain.take(UINT64_MAX);
        CHECK(drain.events().size() == 64);  // the first 64 kept, the rest dropped
        drain.commit();
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
    // A drain that is not committed gives its events back, oldest first, ahead of
    // newer ones; a drain started while another is active takes nothing.
    {
        using fenwa::bus::Drain;
        Bus bus(4, 8);
        for (std::uint32_t f = 1; f <= 5; ++f) bus.inject(f, 1.0f);
        auto flags_of = [](const Drain& d) {
            std::vector<std::uint32_t> out;
            for (const SignalEvent& e : d.events()) out.push_back(e.flags);
            return out;
        };
        {
            Drain failed(bus);
            failed.take(3);
            CHECK((flags_of(failed) == std::vector<std::uint32_t>{1, 2, 3}));
            Drain nested(bus);
            nested.take(10);
            CHECK(nested.events().empty());
        }
        bus.inject(6, 1.0f);
        {
            Drain partial(bus);  // only part of the held events, then given back
            partial.take(2);
            CHECK((flags_of(partial) == std::vector<std::uint32_t>{1, 2}));
        }
        {
            Drain failed_again(bus);  // held events and newer ones, given back
            failed_again.take(5);
            CHECK((flags_of(failed_again) == std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
        }
        {
            Drain ok(bus);
            ok.take(2);
            CHECK((flags_of(ok) == std::vector<std::uint32_t>{1, 2}));
            ok.commit();
        }
        Drain rest(bus);
        rest.take(100);
        CHECK((flags_of(rest) == std::vector<std::uint32_t>{3, 4, 5, 6}));
        rest.commit();
    }
    return TEST_MAIN_RESULT();
}
