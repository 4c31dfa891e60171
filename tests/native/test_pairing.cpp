// The pairing kernel over small histories whose outcome is known.
#include <cstdint>
#include <utility>
#include <vector>

#include "check.hpp"
#include "host_trim/pairing.hpp"

namespace ht = fenwa::host_trim;

namespace {

// A history as per-message call and answer ids.
using Ids = std::vector<std::vector<std::uint32_t>>;

struct History {
    History(Ids made, Ids answered, std::vector<std::uint8_t> followers = {})
        : calls(std::move(made)), answers(std::move(answered)), follower(std::move(followers)) {}

    Ids calls, answers;
    std::vector<std::uint8_t> follower;
    std::vector<std::uint8_t> may_wait;
    std::vector<std::uint32_t> cs, c, as, a;

    ht::PairInput input(std::size_t ids) {
        cs = {0};
        as = {0};
        c.clear();
        a.clear();
        for (std::size_t i = 0; i < calls.size(); ++i) {
            c.insert(c.end(), calls[i].begin(), calls[i].end());
            a.insert(a.end(), answers[i].begin(), answers[i].end());
            cs.push_back(static_cast<std::uint32_t>(c.size()));
            as.push_back(static_cast<std::uint32_t>(a.size()));
        }
        may_wait.resize(ids, 0);
        return {
            calls.size(), ids,      cs.data(),       c.data(),
            as.data(),    a.data(), may_wait.data(), follower.empty() ? nullptr : follower.data()};
    }
};

void adjacent() {
    // user, assistant(calls 0, 1), result 0, result 1, assistant
    History h{{{}, {0, 1}, {}, {}, {}}, {{}, {}, {0}, {1}, {}}};
    ht::PairOutcome out = ht::pair_adjacent(h.input(2));
    CHECK(out.error == ht::PairError::none);
    CHECK((out.owner == std::vector<std::int64_t>{1, 1}));
    // A result after a plain message is an orphan.
    History orphan{{{}, {0}, {}, {}}, {{}, {}, {}, {0}}};
    out = ht::pair_adjacent(orphan.input(1));
    CHECK(out.error == ht::PairError::unanswered_before && out.message == 1 && out.other == 2);
    History late{{{0}, {}}, {{}, {1}}};
    out = ht::pair_adjacent(late.input(2));
    CHECK(out.error == ht::PairError::orphan && out.message == 1 && out.id == 1);
    // Answered twice, an id used twice, a call left open at the end.
    History twice{{{0}, {}, {}}, {{}, {0}, {0}}};
    CHECK(ht::pair_adjacent(twice.input(1)).error == ht::PairError::answered_twice);
    History reused{{{0}, {}, {0}}, {{}, {0}, {}}};
    out = ht::pair_adjacent(reused.input(1));
    CHECK(out.error == ht::PairError::id_used_twice && out.message == 2);
    History open{{{}, {0, 1}, {}}, {{}, {}, {1}}};
    out = ht::pair_adjacent(open.input(2));
    CHECK(out.error == ht::PairError::unanswered && out.message == 1 && out.id == 0);
}

void anywhere() {
    // call 0, call 1, output 1, output 0: any order after the call.
    History h{{{0}, {1}, {}, {}}, {{}, {}, {1}, {0}}};
    CHECK(ht::pair_anywhere(h.input(2)).error == ht::PairError::none);
    // An approval request may wait for its answer; a call may not.
    History waits{{{0}, {1}}, {{}, {}}};
    waits.input(2);
    waits.may_wait = {1, 0};
    ht::PairOutcome out = ht::pair_anywhere(waits.input(2));
    CHECK(out.error == ht::PairError::unanswered && out.message == 1 && out.id == 1);
    History before{{{}, {0}}, {{0}, {}}};
    CHECK(ht::pair_anywhere(before.input(1)).error == ht::PairError::orphan);
}

void reasoning() {
    // reasoning, reasoning, output: one follower for the run.
    History run{{{}, {}, {}}, {{}, {}, {}}, {1, 1, 2}};
    CHECK(ht::pair_anywhere(run.input(0)).error == ht::PairError::none);
    History user{{{}, {}}, {{}, {}}, {1, 0}};
    ht::PairOutcome out = ht::pair_anywhere(user.input(0));
    CHECK(out.error == ht::PairError::reasoning_alone && out.message == 0 && out.other == 1);
    History end{{{}, {}, {}}, {{}, {}, {}}, {0, 1, 1}};
    out = ht::pair_anywhere(end.input(0));
    CHECK(out.error == ht::PairError::reasoning_alone && out.message == 1 && out.other == 3);
}

}  // namespace

int main() {
    adjacent();
    anywhere();
    reasoning();
    return TEST_MAIN_RESULT();
}
