// The effort gauge: a lexical reasoning-effort score for one request, with its
// tier, token budget and the raw signals behind it.
#pragma once

#include <cstdint>
#include <string_view>

namespace fenwa::analysers {

struct EffortSignals {
    std::uint64_t words = 0;
    float len_score = 0.0f;
    std::uint64_t hard_hits = 0;
    std::uint64_t constraint_hits = 0;
    std::uint64_t code_hits = 0;
    float digit_ratio = 0.0f;
    float novelty = 0.0f;
    std::uint64_t trivial_hits = 0;
};

struct Effort {
    float score = 0.0f;
    const char* tier = "off";  // "off", "low", "medium" or "high"
    std::uint64_t budget_tokens = 0;
    EffortSignals signals;
};

// `text` is valid UTF-8.
Effort effort_gauge(std::string_view text);

// Removes non-alphanumeric characters from both ends of a word (valid UTF-8).
std::string_view trim_word(std::string_view word) noexcept;

}  // namespace fenwa::analysers
