// The analyser kernels on random texts of every small length (run under the
// sanitizers this checks the block loads at buffer ends), against plain
// recomputations of the quantities they are built from.
#include <atomic>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "context_apoptosis/effort_gauge.hpp"
#include "context_apoptosis/saturation.hpp"
#include "context_apoptosis/text.hpp"

using namespace fenwa;

namespace {

// Several threads at once: one of them borrows each kept buffer and the others
// work in buffers of their own; every result equals the one computed alone,
// and a later large call that releases the buffers changes nothing.
void concurrent_calls() {
    std::vector<std::string> texts;
    std::mt19937 rng(5);
    for (int t = 0; t < 6; ++t) {
        std::string text;
        const std::size_t words = 200 + static_cast<std::size_t>(t) * 3000;
        for (std::size_t i = 0; i < words; ++i) {
            text += 'w';
            text += std::to_string(rng() % (50 + static_cast<unsigned>(t) * 40));
            text += (i % 9 == 8) ? "\n" : " ";
        }
        texts.push_back(text);
    }
    std::vector<float> saturation;
    std::vector<analysers::Effort> effort;
    for (const auto& t : texts) {
        saturation.push_back(analysers::saturation_scan(t, 3));
        effort.push_back(analysers::effort_gauge(t));
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; ++k) {
        threads.emplace_back([&, k] {
            for (int rep = 0; rep < 20; ++rep) {
                const std::size_t i = static_cast<std::size_t>(rep + k) % texts.size();
                const analysers::Effort e = analysers::effort_gauge(texts[i]);
                if (analysers::saturation_scan(texts[i], 3) != saturation[i] ||
                    e.score != effort[i].score || e.signals.novelty != effort[i].signals.novelty) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    CHECK(mismatches.load() == 0);
    // A text large enough that its buffers are released after the call.
    std::string big;
    for (int i = 0; i < 400000; ++i) {
        big += 'x';
        big += std::to_string(i % 1000);
        big += ' ';
    }
    const float once = analysers::saturation_scan(big, 2);
    CHECK(analysers::saturation_scan(big, 2) == once);
    CHECK(analysers::saturation_scan(texts[0], 3) == saturation[0]);
}

}  // namespace

int main() {
    concurrent_calls();
    const std::vector<std::string> pieces = {"a",
                                             "b",
                                             "ab",
                                             "why",
                                             "Def",
                                             "(",
                                             ";",
                                             "9",
                                             " ",
                                             "  ",
                                             "\n",
                                             "\xC2\xA0",
                                             "\xC4\xB0",
                                             "\xCE\xA3",
                                             "\xE3\x80\x80",
                                             "RESTRI\xC3\x87\xC3\x83O"};
    std::mt19937 rng(3);
    for (int round = 0; round < 4000; ++round) {
        std::string text;
        const int n = static_cast<int>(rng() % 48);
        for (int i = 0; i < n; ++i) text += pieces[rng() % pieces.size()];
        // An exact-size copy, so that any read past the end is outside the allocation.
        const std::string exact(text);
        const auto tokens = text::split_words(exact);

        const analysers::Effort e = analysers::effort_gauge(exact);
        CHECK(e.signals.words == tokens.size());
        CHECK(e.score >= 0.0f && e.score <= 1.0f);
        CHECK(e.signals.novelty >= 0.0f && e.signals.novelty <= 1.0f);

        for (std::uint64_t w : {0ull, 1ull, 2ull, 3ull, 8ull, ~0ull}) {
            const std::uint64_t width = w == 0 ? 1 : w;
            float expected = 0.0f;
            if (width <= tokens.size() / 2) {
                std::set<std::vector<std::string_view>> seen;
                std::uint64_t repeated = 0;
                const std::size_t shingles = tokens.size() - width + 1;
                for (std::size_t i = 0; i < shingles; ++i) {
                    std::vector<std::string_view> s(
                        tokens.begin() + static_cast<std::ptrdiff_t>(i),
                        tokens.begin() + static_cast<std::ptrdiff_t>(i + width));
                    if (!seen.insert(s).second) ++repeated;
                }
                expected = static_cast<float>(repeated) / static_cast<float>(shingles);
            }
            CHECK(analysers::saturation_scan(exact, w) == expected);
        }
    }
    return TEST_MAIN_RESULT();
}
