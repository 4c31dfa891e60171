// The token count of one view: text, extra tokens and framing, saturated.
#include <cstdint>

#include "check.hpp"
#include "host_trim/view_tokens.hpp"

namespace ht = fenwa::host_trim;

namespace {

constexpr ht::Framing kChat{4, 3, 0, true};
constexpr ht::Framing kNoIds{4, 3, 2, false};

void counts_each_part() {
    // A plain message: its text and the per-message framing.
    CHECK(ht::view_tokens(10, 0, 0, 0, 0, kChat) == 14);
    // Two calls with their ids (5 tokens between them) and an image.
    CHECK(ht::view_tokens(10, 765, 2, 0, 5, kChat) == 10 + 765 + 4 + 6 + 5);
    // Results are framed per result; ids count only where the format sends them.
    CHECK(ht::view_tokens(10, 0, 0, 3, 9, kNoIds) == 10 + 4 + 6);
    CHECK(ht::view_tokens(0, 0, 0, 0, 0, ht::Framing{}) == 0);
}

void saturates() {
    constexpr std::int64_t kMost = INT64_MAX;
    CHECK(ht::view_tokens(kMost, 0, 0, 0, 0, kChat) == kMost);
    CHECK(ht::view_tokens(kMost - 2, 0, 0, 0, 0, kChat) == kMost);
    CHECK(ht::view_tokens(0, UINT64_MAX, 0, 0, 0, kChat) == kMost);
    CHECK(ht::view_tokens(0, 0, UINT64_MAX, 0, 0, kChat) == kMost);
    CHECK(ht::view_tokens(0, 0, 0, UINT64_MAX, 0, kNoIds) == kMost);
    CHECK(ht::view_tokens(0, 0, 0, 0, UINT64_MAX, kChat) == kMost);
    // A count of zero per call multiplies to nothing, however many calls.
    CHECK(ht::view_tokens(1, 0, UINT64_MAX, 0, 0, ht::Framing{0, 0, 0, false}) == 1);
    // Just below the limit the sum is exact.
    CHECK(ht::view_tokens(kMost - 4, 0, 0, 0, 0, kChat) == kMost);
    CHECK(ht::view_tokens(kMost - 5, 0, 0, 0, 0, kChat) == kMost - 1);
}

}  // namespace

int main() {
    counts_each_part();
    saturates();
    return TEST_MAIN_RESULT();
}
