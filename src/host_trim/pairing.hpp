// Pairing of tool calls with their answers over plain arrays: who makes each call
// and which messages answer it, or the first rule a message list breaks.
//
// Ids are codes 0..ids-1 (the caller interns its id strings). Message i makes the
// calls calls[call_start[i] .. call_start[i + 1]) and answers the ids
// answers[answer_start[i] .. answer_start[i + 1]).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fenwa::host_trim {

// Per message, for the reasoning rule: a reasoning item must be followed by an
// output item (a run of reasoning items shares one).
enum Follower : std::uint8_t { kOtherItem = 0, kReasoningItem = 1, kOutputItem = 2 };

struct PairInput {
    std::size_t n;  // messages
    std::size_t ids;
    const std::uint32_t* call_start;    // n + 1 offsets
    const std::uint32_t* calls;         // id codes
    const std::uint32_t* answer_start;  // n + 1 offsets
    const std::uint32_t* answers;       // id codes
    const std::uint8_t* may_wait;       // per id: a call the provider takes unanswered
    const std::uint8_t* follower;       // per message (Follower), or nullptr: no rule
};

enum class PairError : std::uint8_t {
    none,
    id_used_twice,      // message, id
    orphan,             // message, id: no (open) call of that id before it
    answered_twice,     // message, id
    unanswered_before,  // message (the call's), id, other (the message reached)
    unanswered,         // message (the call's), id
    reasoning_alone,    // message (the reasoning's), other (the next message, or n at the end)
};

struct PairOutcome {
    PairError error = PairError::none;
    std::size_t message = 0;
    std::uint32_t id = 0;
    std::size_t other = 0;
    // Per id: the message that makes the call (-1 for an id only answered).
    std::vector<std::int64_t> owner;
};

// Results directly follow the message that made the calls: every answered id is
// a call of the nearest earlier message that made calls, with only results
// between them, and every call is answered before the next message that is not
// a result. (OpenAI Chat, LangChain, Anthropic.)
PairOutcome pair_adjacent(const PairInput& in);

// An answer comes anywhere after its call, once; every call is answered unless
// it may wait; and the reasoning rule holds when `follower` is given. (Responses.)
PairOutcome pair_anywhere(const PairInput& in);

}  // namespace fenwa::host_trim
