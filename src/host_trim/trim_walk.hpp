// The budget walk of fenwa_host.trim over plain arrays: the removal order of the
// candidates, and the loop that removes them until the token count fits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace fenwa::host_trim {

// What a message holds, as the walk needs it.
enum Shape : std::uint8_t {
    kPlain = 0,    // no tool calls, answers none
    kCalls = 1,    // makes tool calls; its results follow it directly
    kAnswer = 2,   // answers exactly one call and makes none
    kComplex = 3,  // anything else: handled by the caller
};

// What happened to a message (the values fenwa_host.trim stores per index).
enum Action : std::uint8_t { kKept = 0, kElided = 1, kStripped = 2, kDropped = 3 };

// Why, for the changes the walk makes.
enum Reason : std::uint8_t { kOverBudget = 0, kCallLeft = 1 };

// The metabolic weight of a message's class bits, as the removal order uses it.
double removal_weight(std::uint32_t bits) noexcept;

// The unpinned indices in removal order: by `half_life * log2(weight) + index`,
// lowest first, ties by index. `half_life` must be finite and positive.
std::vector<std::uint32_t> removal_order(const std::uint32_t* bits, const std::uint8_t* pinned,
                                         std::size_t n, double half_life);

// The token cost of the longest placeholder of an elided tool result, by the
// number of decimal digits of the payload's size (index 1 to 20; the text and
// its estimate belong to fenwa_host.tokens, which passes the table in).
using PlaceholderCosts = std::array<std::int64_t, 21>;

struct Change {
    std::uint32_t index;
    Reason reason;
};

struct WalkState {
    std::uint8_t* action;        // per message, updated
    std::int64_t* current;       // tokens per message as it stands, updated
    const std::int64_t* tokens;  // tokens per message as given
    const std::uint8_t* shape;   // per message
    std::size_t n;
    std::int64_t total;  // the sum of `current`, updated
    // Tool results are elided in place (the estimate of their placeholder needs
    // only the digits of the payload's size); otherwise they stop the walk.
    bool inline_results;
    const PlaceholderCosts* placeholder_costs;
};

// Where the walk stopped.
struct WalkStop {
    std::size_t position;  // the next candidate to look at
    bool needs_caller;     // candidates[position - 1] must be removed by the caller
};

// Removes candidates from `position` on until `total <= max_tokens`: a plain
// message is dropped; a message that makes calls is dropped with the results
// that follow it; a single tool result is elided (its index goes to `elided`).
// Messages already dropped or elided are skipped. Stops early, with
// `needs_caller`, at a candidate it does not handle (a complex or stripped
// message, or a tool result when results are not inline). Every reason it sets
// is recorded in `changes`.
WalkStop walk(WalkState& state, const std::uint32_t* candidates, std::size_t count,
              std::size_t position, std::int64_t max_tokens, std::vector<Change>& changes,
              std::vector<std::uint32_t>& elided);

// The token estimate of the longest placeholder for a payload of `bytes` bytes.
std::int64_t placeholder_estimate_of_size(std::int64_t bytes,
                                          const PlaceholderCosts& costs) noexcept;
// The same for a payload of `tokens` estimated tokens, taken as at most
// kBytesPerToken * tokens bytes (the estimate never gives fewer tokens per byte).
inline constexpr std::int64_t kBytesPerToken = 64;
std::int64_t placeholder_estimate(std::int64_t tokens, const PlaceholderCosts& costs) noexcept;

// The decay class of a message that is not durable, in the order the one-pass
// rule tests them: 0 conversational, 1 thinking, 2 tool, 3 unclassed.
int decay_class(std::uint32_t bits) noexcept;

// How a message that joins the cached prefix counts toward the purge estimate of
// fenwa_host.Conversation: its decay class (-1 for durable and system messages,
// which never leave) and the tokens purging it would save. A tool result that
// would be elided saves its tokens less one longest placeholder per answered
// call (with `elide`), never below 0. `bytes` is the UTF-8 size of its text.
struct Filing {
    int decay_class;
    std::int64_t saving;
};
Filing file_sent(std::uint32_t bits, bool system_role, std::uint64_t answers, std::int64_t tokens,
                 std::int64_t bytes, bool elide, const PlaceholderCosts& costs) noexcept;

// One message of a range that joins the cached prefix.
struct SentMessage {
    std::uint32_t bits;
    bool system_role;
    std::uint64_t answers;
    std::int64_t tokens;  // not negative
    std::int64_t bytes;   // UTF-8 size of its text, not negative
};

// A filed range: its token and byte sums and, per decay class, the (index in the
// range, saving) pairs of the messages a purge would shorten (saving above 0).
struct FiledRange {
    std::int64_t tokens = 0;
    std::int64_t bytes = 0;
    bool overflow = false;  // a sum passed INT64_MAX (the sums are then partial)
    std::array<std::vector<std::pair<std::size_t, std::int64_t>>, 4> by_class;
};
FiledRange file_range(const SentMessage* messages, std::size_t n, bool elide,
                      const PlaceholderCosts& costs);

}  // namespace fenwa::host_trim
