#include "host_trim/view_tokens.hpp"

namespace fenwa::host_trim {

namespace {

constexpr std::uint64_t kMost = static_cast<std::uint64_t>(INT64_MAX);

std::uint64_t add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > kMost - b ? kMost : a + b;
}

std::uint64_t times(std::uint64_t count, std::uint64_t each) noexcept {
    return each != 0 && count > kMost / each ? kMost : count * each;
}

}  // namespace

std::int64_t view_tokens(std::int64_t text, std::uint64_t extra, std::uint64_t calls,
                         std::uint64_t answers, std::uint64_t id_tokens,
                         const Framing& framing) noexcept {
    std::uint64_t n = text < 0 ? 0 : static_cast<std::uint64_t>(text);
    n = add(n, extra > kMost ? kMost : extra);
    n = add(n, framing.per_message);
    n = add(n, times(calls, framing.per_call));
    n = add(n, times(answers, framing.per_result));
    if (framing.count_ids) n = add(n, id_tokens > kMost ? kMost : id_tokens);
    return static_cast<std::int64_t>(n);
}

}  // namespace fenwa::host_trim
