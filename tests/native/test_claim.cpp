// The borrow-claim counter: shared claims stack, the exclusive mark excludes all.
#include <thread>
#include <vector>

#include "check.hpp"
#include "module/claim.hpp"

using fenwa::ClaimCounter;
using R = ClaimCounter::Result;

int main() {
    ClaimCounter c;
    CHECK(c.acquire_shared() == R::ok);
    CHECK(c.acquire_shared() == R::ok);
    CHECK(c.acquire_exclusive() == R::held);  // "Already borrowed"
    c.release_shared();
    CHECK(c.acquire_exclusive() == R::held);
    c.release_shared();
    CHECK(c.raw() == 0);

    CHECK(c.acquire_exclusive() == R::ok);
    CHECK(c.acquire_shared() == R::exclusively_held);  // "Already mutably borrowed"
    CHECK(c.acquire_exclusive() == R::held);
    c.release_exclusive();
    CHECK(c.acquire_shared() == R::ok);
    c.release_shared();

    // Many threads mixing shared and exclusive claims never see both at once and
    // leave the counter at zero.
    std::atomic<int> readers{0}, writers{0}, violations{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                if ((i + t) % 5 == 0) {
                    if (c.acquire_exclusive() == R::ok) {
                        if (writers.fetch_add(1) != 0 || readers.load() != 0) ++violations;
                        writers.fetch_sub(1);
                        c.release_exclusive();
                    }
                } else if (c.acquire_shared() == R::ok) {
                    readers.fetch_add(1);
                    if (writers.load() != 0) ++violations;
                    readers.fetch_sub(1);
                    c.release_shared();
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    CHECK(violations.load() == 0);
    CHECK(c.raw() == 0);
    return TEST_MAIN_RESULT();
}
