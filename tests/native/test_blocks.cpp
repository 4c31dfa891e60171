// The block model and the one-pass history kernel.
#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"
#include "context_apoptosis/blocks.hpp"
#include "context_apoptosis/history.hpp"

using namespace fenwa::blocks;
namespace history = fenwa::history;

struct WeightCase {
    std::uint32_t signal;
    float weight;
    bool durable;
    bool conversational;
};

int main() {
    const WeightCase cases[] = {
        {0x00, 0.6f, false, false},     {0x40, 0.6f, false, false},
        {SYSTEM, 4.0f, true, false},    {FACT, 4.0f, true, false},
        {USER, 1.0f, false, true},      {ASSISTANT, 1.0f, false, true},
        {TOOL, 0.25f, false, false},    {THINKING, 0.15f, false, false},
        {0x29, 4.0f, true, false},    // SYSTEM | FACT | THINKING
        {0x22, 1.0f, false, true},    // USER | THINKING
        {0x30, 0.15f, false, false},  // TOOL | THINKING
        {0x0A, 4.0f, true, true},     // USER | FACT: durable first
        {0xFFFFFFFF, 4.0f, true, true},
    };
    for (const auto& c : cases) {
        CHECK(metabolic_weight(c.signal) == c.weight);
        CHECK(is_durable(c.signal) == c.durable);
        CHECK(is_conversational(c.signal) == c.conversational);
    }

    CHECK(estimate_tokens(std::string_view("")) == 1);
    CHECK(estimate_tokens(std::string_view("abc")) == 1);
    CHECK(estimate_tokens(std::string_view("abcd")) == 2);
    CHECK(estimate_tokens(std::size_t{400}) == 101);
    // The quotient is narrowed to 32 bits before the wrapping add.
    CHECK(estimate_tokens(std::size_t{0xFFFFFFFFull} * 4) == 0);
    CHECK(estimate_tokens((std::size_t{1} << 34) + 8) == 3);

    CHECK(fenwa::blocks::floor_half_life(0.0f) == 0.1f);
    CHECK(fenwa::blocks::floor_half_life(-5.0f) == 0.1f);
    CHECK(fenwa::blocks::floor_half_life(std::numeric_limits<float>::quiet_NaN()) == 0.1f);
    CHECK(fenwa::blocks::floor_half_life(6.0f) == 6.0f);

    // Twelve USER messages with the defaults: the two oldest are purged.
    std::vector<std::uint32_t> flags(12, USER);
    std::vector<std::uint8_t> keep(12, 9);
    history::decide(flags.data(), flags.size(), {6.0f, 0.35f, 0}, keep.data());
    for (std::size_t k = 0; k < 12; ++k) CHECK(keep[k] == (k >= 2 ? 1 : 0));

    // A prefix beyond the history protects everything; a NaN threshold purges the rest.
    history::decide(flags.data(), flags.size(), {6.0f, std::nanf(""), ~std::uint64_t{0}},
                    keep.data());
    for (auto k : keep) CHECK(k == 1);
    history::decide(flags.data(), flags.size(), {6.0f, std::nanf(""), 3}, keep.data());
    for (std::size_t k = 0; k < 12; ++k) CHECK(keep[k] == (k < 3 ? 1 : 0));

    // Empty history: nothing written, nothing read.
    history::decide(nullptr, 0, {6.0f, 0.35f, 5}, nullptr);

    // Accounting: "abcd" counts 2 tokens, "" 1, and the stable prefix sums the
    // first min(n, prefix) messages.
    {
        const std::size_t bytes[] = {4, 0, 6, 400};
        const std::uint8_t mask[] = {1, 0, 1, 0};
        const history::Accounting a = history::account(bytes, mask, 4, 2);
        CHECK(a.kept == 2 && a.tokens_before == 2 + 1 + 2 + 101);
        CHECK(a.tokens_after == 4 && a.stable_prefix_tokens == 3);
        CHECK(a.reduction == 1.0 - 4.0 / 106.0);
        const history::Accounting all = history::account(bytes, mask, 4, ~std::uint64_t{0});
        CHECK(all.stable_prefix_tokens == all.tokens_before);
        const history::Accounting none = history::account(nullptr, nullptr, 0, 3);
        CHECK(none.tokens_before == 0 && none.reduction == 0.0 && none.kept == 0);
    }
    return TEST_MAIN_RESULT();
}
