// The trim walk on its own: the removal order, and the budget walk over small
// histories whose outcome is known.
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "host_trim/trim_walk.hpp"

namespace ht = fenwa::host_trim;

namespace {

void order() {
    // A TOOL message (weight 0.25) at half-life 6 leaves as if it were 12
    // positions older than a USER message (weight 1): -12 is 6 * log2(0.25).
    const std::uint32_t bits[] = {0x02, 0x10, 0x02, 0x10, 0x04, 0x01};
    const std::uint8_t pinned[] = {0, 0, 0, 0, 0, 1};
    const std::vector<std::uint32_t> got = ht::removal_order(bits, pinned, 6, 6.0);
    // keys: 0, -11, 2, -9, 4 -> 1, 3, 0, 2, 4 (the pinned 5 is left out)
    CHECK((got == std::vector<std::uint32_t>{1, 3, 0, 2, 4}));
    // Equal keys keep index order.
    const std::uint32_t same[] = {0x02, 0x02, 0x02};
    const std::uint8_t none[] = {0, 0, 0};
    CHECK((ht::removal_order(same, none, 3, 0.1) == std::vector<std::uint32_t>{0, 1, 2}));
}

// A cost table that grows by one token per digit from 10 (one digit).
ht::PlaceholderCosts costs_by_digit() {
    ht::PlaceholderCosts c{};
    for (std::size_t d = 1; d < c.size(); ++d) c[d] = 9 + static_cast<std::int64_t>(d);
    return c;
}
const ht::PlaceholderCosts kCosts = costs_by_digit();

void placeholder() {
    // The cost is looked up by the digits of the size, a tokens count taken as
    // kBytesPerToken bytes each.
    CHECK(ht::placeholder_estimate_of_size(4000, kCosts) == 13);
    CHECK(ht::placeholder_estimate_of_size(9, kCosts) == 10);
    CHECK(ht::placeholder_estimate_of_size(-5, kCosts) == 11);  // the sign counts
    CHECK(ht::placeholder_estimate(1000, kCosts) ==
          ht::placeholder_estimate_of_size(64000, kCosts));
    // Saturated, never past the table.
    CHECK(ht::placeholder_estimate(INT64_MAX, kCosts) == 28);
    CHECK(ht::placeholder_estimate_of_size(INT64_MAX, kCosts) == 28);
}

void filing_of_sent_messages() {
    // Durable classes and the system role are never filed.
    CHECK(ht::file_sent(0x08 | 0x02, false, 0, 50, 200, true, kCosts).decay_class ==
          -1);  // FACT | USER
    CHECK(ht::file_sent(0x02, true, 0, 50, 200, true, kCosts).decay_class == -1);
    // The first matching class wins: conversational, thinking, tool, unclassed.
    CHECK(ht::file_sent(0x02 | 0x20, false, 0, 7, 28, true, kCosts).decay_class == 0);
    CHECK(ht::file_sent(0x20 | 0x10, false, 0, 7, 28, true, kCosts).decay_class == 1);
    CHECK(ht::file_sent(0x10, false, 0, 7, 28, true, kCosts).decay_class == 2);
    CHECK(ht::file_sent(0, false, 0, 7, 28, true, kCosts).decay_class == 3);
    // A tool result saves its tokens less one placeholder (13 tokens at 4000
    // bytes) per answered call, only when results are elided, and never below 0.
    CHECK(ht::file_sent(0x10, false, 1, 1000, 4000, true, kCosts).saving == 1000 - 13);
    CHECK(ht::file_sent(0x10, false, 2, 1000, 4000, true, kCosts).saving == 1000 - 26);
    CHECK(ht::file_sent(0x10, false, 1, 1000, 4000, false, kCosts).saving == 1000);
    CHECK(ht::file_sent(0x10, false, 1, 10, 40, true, kCosts).saving == 0);
    CHECK(ht::file_sent(0x10, false, UINT64_MAX, INT64_MAX, 4000, true, kCosts).saving == 0);
    // A table of zero costs still saves no more than the message holds.
    const ht::PlaceholderCosts zero{};
    CHECK(ht::file_sent(0x10, false, 3, 10, 40, true, zero).saving == 7);
}

void filing_of_a_range() {
    // user, system, tool result (4000 bytes, one answer), fact, unclassed
    const ht::SentMessage sent[] = {{0x02, false, 0, 7, 28},
                                    {0x02, true, 0, 50, 200},
                                    {0x10, false, 1, 1000, 4000},
                                    {0x08 | 0x02, false, 0, 9, 36},
                                    {0, false, 0, 3, 12}};
    const ht::FiledRange filed = ht::file_range(sent, 5, true, kCosts);
    CHECK(!filed.overflow && filed.tokens == 1069 && filed.bytes == 4276);
    using Pairs = std::vector<std::pair<std::size_t, std::int64_t>>;
    CHECK((filed.by_class[0] == Pairs{{0, 7}}));
    CHECK(filed.by_class[1].empty());
    CHECK((filed.by_class[2] == Pairs{{2, 1000 - 13}}));
    CHECK((filed.by_class[3] == Pairs{{4, 3}}));
    // A result that saves nothing is not filed; an empty range sums to 0.
    const ht::SentMessage small[] = {{0x10, false, 1, 10, 40}};
    CHECK(ht::file_range(small, 1, true, kCosts).by_class[2].empty());
    CHECK(ht::file_range(small, 1, false, kCosts).by_class[2].size() == 1);
    CHECK(ht::file_range(sent, 0, true, kCosts).tokens == 0);
    // Sums past INT64_MAX are reported, tokens and bytes alike.
    const ht::SentMessage big[] = {{0, false, 0, INT64_MAX, 1}, {0, false, 0, 1, 1}};
    CHECK(ht::file_range(big, 2, true, kCosts).overflow);
    CHECK(!ht::file_range(big, 1, true, kCosts).overflow);
    const ht::SentMessage wide[] = {{0, false, 0, 1, INT64_MAX}, {0, false, 0, 1, 1}};
    CHECK(ht::file_range(wide, 2, true, kCosts).overflow);
}

void walk_drops_calls_with_results_and_elides_results() {
    // user, assistant calls, result, result, assistant, user
    std::uint8_t action[] = {0, 0, 0, 0, 0, 0};
    std::int64_t tokens[] = {10, 5, 1000, 2000, 30, 10};
    std::int64_t current[] = {10, 5, 1000, 2000, 30, 10};
    const std::uint8_t shape[] = {ht::kPlain,  ht::kCalls, ht::kAnswer,
                                  ht::kAnswer, ht::kPlain, ht::kPlain};
    std::int64_t total = 0;
    for (const std::int64_t t : tokens) total += t;
    ht::WalkState s{action, current, tokens, shape, 6, total, true, &kCosts};
    std::vector<ht::Change> changes;
    std::vector<std::uint32_t> elided;
    // Results first: each becomes a placeholder; that is enough for the budget.
    const std::uint32_t results_first[] = {2, 3, 0, 1, 4};
    ht::WalkStop stop = ht::walk(s, results_first, 5, 0, 100, changes, elided);
    CHECK(!stop.needs_caller && stop.position == 2);
    CHECK(action[2] == ht::kElided && action[3] == ht::kElided);
    CHECK((elided == std::vector<std::uint32_t>{2, 3}));
    CHECK(s.total == 10 + 5 + current[2] + current[3] + 30 + 10 && s.total <= 100);
    // The call leaves with its (elided) results.
    changes.clear();
    const std::uint32_t call[] = {1};
    stop = ht::walk(s, call, 1, 0, 0, changes, elided);
    CHECK(action[1] == ht::kDropped && action[2] == ht::kDropped && action[3] == ht::kDropped);
    CHECK(s.total == 50 && current[2] == 0);
    CHECK(changes.size() == 3 && changes[0].reason == ht::kOverBudget &&
          changes[1].reason == ht::kCallLeft);
}

void walk_stops_where_the_caller_must_act() {
    std::uint8_t action[] = {0, ht::kStripped, 0};
    std::int64_t tokens[] = {10, 10, 10};
    std::int64_t current[] = {10, 10, 10};
    const std::uint8_t shape[] = {ht::kComplex, ht::kPlain, ht::kAnswer};
    ht::WalkState s{action, current, tokens, shape, 3, 30, false, &kCosts};
    std::vector<ht::Change> changes;
    std::vector<std::uint32_t> elided;
    const std::uint32_t candidates[] = {0, 1, 2, 7};
    for (std::size_t at = 0; at < 3; ++at) {
        const ht::WalkStop stop = ht::walk(s, candidates, 4, at, 0, changes, elided);
        CHECK(stop.needs_caller && stop.position == at + 1);
    }
    // An index outside the list is skipped; a budget already met stops at once.
    CHECK(!ht::walk(s, candidates, 4, 3, 0, changes, elided).needs_caller);
    CHECK(ht::walk(s, candidates, 4, 0, 30, changes, elided).position == 0);
    CHECK(changes.empty() && elided.empty());
}

}  // namespace

int main() {
    order();
    placeholder();
    filing_of_sent_messages();
    filing_of_a_range();
    walk_drops_calls_with_results_and_elides_results();
    walk_stops_where_the_caller_must_act();
    return TEST_MAIN_RESULT();
}
